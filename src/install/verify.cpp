// The checks of the CD against its known releases (module install): the list the setup carries, what the
// sums of a copy say the CD is, the question a damaged copy raises, the CD's own DAT beside the log, the
// repair of an earlier install, and /verify, which reads the CD without installing it.
#include "install/install.h"

#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"
#include "platform/platform.h"
#include "util/setup_log.h"
#include "util/util.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr char CD_DAT[] = "zarnith_cd.dat";
// A file of a release in a folder deeper than a copy goes is not looked for.
constexpr size_t MAX_PARTS = CD_MAX_FOLDERS + 1;
// The files a question names; the log names them all.
constexpr int NAMED_IN_BOX = 8;

unsigned count(size_t n) { return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned>(n); }

// Writes the CD's own DAT beside the log for the player to send in; its path into out (PATH_BUF). 1/0,
// write_file's line on a failure.
int write_cd_dat(const CdCheck *c, char *out) {
    if (!setup_log_beside(CD_DAT, out)) return 0;
    size_t len = 0;
    char *text = cd_dat_text(c->files, c->count, "Tovek Zarnith (unlisted release)", &len);
    int ok = text && write_file(out, text, len);
    free(text);
    return ok;
}

// The names a question shows: the first few, then "...".
struct Named {
    char *list;
    size_t cap, used;
    int count;
};

void name(Named *n, const char *rel) {
    if (n->count++ < NAMED_IN_BOX)
        n->used += static_cast<size_t>(fmt(n->list + n->used, n->cap - n->used, "%s\n", rel));
    else if (n->count == NAMED_IN_BOX + 1)
        n->used += static_cast<size_t>(fmt(n->list + n->used, n->cap - n->used, "...\n"));
    if (n->used >= n->cap) n->used = n->cap - 1;
}

// Logs every file that keeps the CD from being its release, or that could not be read, and puts their
// names (the first few) into the question's list. 1 when a file could not be read.
int log_damage(const CdCheck *c, char *list, size_t cap) {
    Named n = {list, cap, 0, 0};
    int unread = 0;
    list[0] = '\0';
    for (size_t i = 0; i < c->count; ++i) {
        if (!c->files[i].summed) {
            setup_log("could not be read: %s", c->files[i].rel);
            unread = 1;
        } else if (c->v.kind == CD_DAMAGED && c->v.state[i] == FILE_DIFFERS) {
            setup_log("differs from the release: %s", c->files[i].rel);
        } else {
            continue;
        }
        name(&n, c->files[i].rel);
    }
    for (size_t i = 0; c->v.kind == CD_DAMAGED && i < c->v.missing; ++i) {
        const char *rel = release_file(c->list, c->v.release, c->v.missing_files[i]).path;
        setup_log("missing from the CD: %s", rel);
        name(&n, rel);
    }
    return unread;
}

// The CD's files with their sums as the copy left them, and those the repair kept as the install has them.
int gather(CdCheck *c, CdSrc *src) {
    free(c->files);
    c->files = cd_files(src, &c->count);
    if (!c->files) return 0;
    for (size_t i = 0; c->kept && i < c->count; ++i)
        if (c->kept[i].whole) c->files[i] = CdFile{c->files[i].rel, c->files[i].size, c->kept[i].crc, 1};
    return 1;
}

// Decides what the CD is from the sums and logs it; with the damaged files' names in list.
int decide(CdCheck *c, CdSrc *src, char *list, size_t cap, int *unread) {
    verdict_free(&c->v);
    if (!gather(c, src) || !cd_decide(c->list, c->files, c->count, MAX_PARTS, 0, &c->v))
        return fail("not enough memory to check the CD");
    *unread = 0;
    const char *release = c->v.kind == CD_NO_LIST ? "" : release_name(c->list, c->v.release);
    if (c->v.kind == CD_EXACT) setup_log("The CD is %s.", release);
    if (c->v.kind == CD_DAMAGED)
        setup_log("The CD is a damaged copy of %s: %u of its files differ from it or could not be read, %u are "
                  "missing",
                  release, count(c->v.differ), count(c->v.missing));
    *unread = log_damage(c, list, cap);
    return 1;
}

// Says that the CD is no known release and where its DAT is.
void report_unknown(const CdCheck *c, char *dat) {
    if (write_cd_dat(c, dat))
        setup_log("The CD is no release this setup knows; its files are listed in %s", dat);
    else
        setup_log("The CD is no release this setup knows");
}

}  // namespace

const ReleaseList *builtin_releases() {
#ifdef _WIN32
    // Read at the first check; a run checks one CD at a time, on one thread.
    static int looked;
    static ReleaseList list;
    static const ReleaseList *found;
    if (looked) return found;
    looked = 1;
    HRSRC r = FindResourceA(nullptr, "CDLIST", MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    if (!r) return nullptr;
    HGLOBAL g = LoadResource(nullptr, r);
    const uint8_t *bytes = g ? static_cast<const uint8_t *>(LockResource(g)) : nullptr;
    if (bytes && releases_read(bytes, SizeofResource(nullptr, r), &list))
        found = &list;
    else
        setup_log("the list of known releases in this setup is damaged: the CD is not checked");
    return found;
#else
    return nullptr;
#endif
}

void check_begin(CdCheck *c, CdSrc *src, const ReleaseList *list) {
    memset(c, 0, sizeof *c);
    c->list = list;
    src->sum_files = list ? 1 : 0;
}

void check_end(CdCheck *c) {
    free(c->files);
    free(c->want);
    free(c->kept);
    verdict_free(&c->v);
    memset(c, 0, sizeof *c);
}

void check_installed(CdCheck *c, CdSrc *src, const char *installed) {
    if (!c->list || !is_dir(installed) || !gather(c, src)) return;
    // Which release the CD is by its names and sizes alone: its bytes are read only where they are copied.
    if (!cd_decide(c->list, c->files, c->count, MAX_PARTS, 1, &c->v) || c->v.kind == CD_UNKNOWN) return;
    c->want = static_cast<uint8_t *>(malloc(c->count ? c->count : 1));
    c->kept = static_cast<FileSum *>(calloc(c->count ? c->count : 1, sizeof(FileSum)));
    if (!c->want || !c->kept) {
        free(c->want);
        free(c->kept);
        c->want = nullptr;
        c->kept = nullptr;
        return;
    }
    setup_log("Checking the installed files against %s ...", release_name(c->list, c->v.release));
    size_t copied = 0;
    for (size_t i = 0; i < c->count; ++i) {
        const CdFile &f = c->files[i];
        char path[PATH_BUF];
        c->want[i] = 1;
        if (c->v.state[i] == FILE_MATCHES && join_path(path, installed, f.rel) && path_exists(path) &&
            sum_file(path, &c->kept[i]) && c->kept[i].whole) {
            ReleaseFile r = release_file(c->list, c->v.release, c->v.file_of[i]);
            uint64_t size = 0;
            pf_file h = pf_open_read(path, 0);
            int sized = h != PF_INVALID && pf_size(h, &size);
            pf_close(h);
            c->want[i] = !(sized && size == r.size && c->kept[i].crc == r.crc);
        }
        if (c->want[i]) {
            c->kept[i] = FileSum{0, 0};
            setup_log("copying again: %s", f.rel);
            ++copied;
        }
    }
    setup_log("Kept %u files of the earlier install; %u are copied from the CD", count(c->count - copied),
              count(copied));
    verdict_free(&c->v);
}

int check_copy(CdCheck *c, CdSrc *src, const char *dest, InstallUi *ui) {
    if (!c->list) return 1;
    for (;;) {
        char list[LOG_BUF / 2], dat[PATH_BUF], text[LOG_BUF];
        int unread = 0;
        if (!decide(c, src, list, sizeof list, &unread)) return 0;
        if (c->v.kind == CD_UNKNOWN) report_unknown(c, dat);
        if (c->v.kind != CD_DAMAGED) return 1;
        if (!ui || !ui->ask)
            return fail("the CD's files named above are damaged or missing: clean the disc or make the image again");
        fmt(text, sizeof text,
            N_("These files of the CD are damaged or missing:\n%s\nRetry reads them from the CD again (clean the disc "
               "first), Keep them installs the game with them as they are, Cancel takes the install back."),
            list);
        int answer = ui->ask(ui->user, ASK_DAMAGED, text);
        if (answer == COPY_SKIP) {
            setup_log("The player keeps the install with the files named above as they are");
            return 1;
        }
        if (answer != COPY_RETRY) return fail("the installation was stopped");
        // Again the files that differ, as the disc gives them now (the missing ones are not on it).
        free(c->want);
        c->want = static_cast<uint8_t *>(malloc(c->count ? c->count : 1));
        if (!c->want) return fail("not enough memory to check the CD");
        for (size_t i = 0; i < c->count; ++i) c->want[i] = c->v.state[i] == FILE_DIFFERS;
        setup_log("Reading the damaged files again ...");
        if (!cd_copy_some(src, dest, nullptr, nullptr, nullptr, nullptr, c->want) && copy_stopping()) return 0;
    }
}

int do_verify(const char *cd, char *summary, size_t cap) {
    summary[0] = '\0';
    char why[LOG_BUF] = "";
    CdSrc *src = cd_open_why(cd, why, sizeof why);
    if (!src) {
        setup_log("%s", why);
        fmt(summary, cap, "%s", N_("The CD is not a readable disc, image or folder."));
        fail("the CD is not a readable disc, image or folder");
        return 1;
    }
    if (!is_zarnith_cd(src)) {
        log_missing_markers(src);
        cd_close(src);
        fmt(summary, cap, "%s", N_("This is not the Tovek Zarnith CD."));
        fail("this is not the Tovek Zarnith CD");
        return 1;
    }
    CdCheck c;
    check_begin(&c, src, builtin_releases());
    setup_log("Checking %s ...", cd_describe(src));
    int code = 1, unread = 0;
    char list[LOG_BUF / 2], dat[PATH_BUF] = "";
    if (cd_check(src, nullptr) && decide(&c, src, list, sizeof list, &unread)) {
        if (!c.list) setup_log("This setup carries no list of known releases");
        if (c.v.kind == CD_EXACT || c.v.kind == CD_DAMAGED) {
            if (write_cd_dat(&c, dat)) setup_log("The CD's files are listed in %s", dat);
        } else {
            report_unknown(&c, dat);
        }
        if (c.v.kind == CD_EXACT && !unread) {
            code = 0;
            fmt(summary, cap, N_("The CD is %s. Every file of it is as it should be."), release_name(c.list, c.v.release));
        } else if (c.v.kind == CD_DAMAGED || unread) {
            fmt(summary, cap, N_("These files of the CD are damaged or missing:\n%s\nClean the disc or make the image "
                                 "again."),
                list);
        } else {
            code = 2;
            fmt(summary, cap, N_("Every file of the CD could be read, but it is no release this setup knows. Its "
                                 "files are listed in %s: please send that file in."),
                dat);
        }
    }
    if (!summary[0]) fmt(summary, cap, "%s", N_("The CD could not be checked: see the setup log."));
    check_end(&c);
    cd_close(src);
    return code;
}
