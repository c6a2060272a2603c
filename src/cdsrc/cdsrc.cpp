// The CD source: one interface over a folder (a drive root or a copied disc) and a disc image, which
// the ISO 9660 reader of iso9660.cpp reads; the folder source is here.
#include "cdsrc/cdsrc.h"

#include <cstdlib>
#include <cstring>

#include "cdsrc_internal.h"
#include "util/setup_log.h"

namespace {

// The walk of a folder source: one listing per folder, in listing order, within the depth limit.
void dir_plan(const char *folder, const char *rel, int depth, CdPlan *plan) {
    PfList *l = pf_list_open(folder);
    if (!l) return;
    PfEntry e;
    while (pf_list_next(l, &e)) {
        if (e.directory && depth == MAX_DEPTH) continue;
        char child[PATH_BUF], child_rel[PATH_BUF];
        if (!join_path(child, folder, e.name) ||
            fmt(child_rel, sizeof child_rel, rel[0] ? "%s\\%s" : "%s%s", rel, e.name) >= static_cast<int>(PATH_BUF)) {
            plan_fault(plan, PLAN_TOO_LONG, child);
            continue;
        }
        if (!plan_add(plan, child_rel, e.directory, e.directory ? 0 : e.size, 0, 0)) break;
        if (e.directory) dir_plan(child, child_rel, depth + 1, plan);
    }
    pf_list_close(l);
}

constexpr uint32_t FOLDER_CHUNK = 1 << 20;

// The folder source's side of the copy: each file opened for a front-to-back scan, read where it was
// asked (the retries of a worn disc go back within the file).
struct FolderFile {
    pf_file f;
    uint64_t at;  // where the file's position stands
};

void *folder_open(void *, const CopyJob *job, unsigned long *code) {
    pf_file f = pf_open_read(job->from, 1);
    FolderFile *file = f == PF_INVALID ? nullptr : static_cast<FolderFile *>(malloc(sizeof(FolderFile)));
    if (!file) {
        *code = f == PF_INVALID ? pf_last_error() : 8;  // ERROR_NOT_ENOUGH_MEMORY
        pf_close(f);
        return nullptr;
    }
    *file = FolderFile{f, 0};
    return file;
}

int folder_read(void *, void *handle, const CopyJob *, uint64_t at, uint8_t *dst, uint32_t n, uint8_t *,
                unsigned long *code) {
    FolderFile *file = static_cast<FolderFile *>(handle);
    uint32_t got = 0;
    int ok = (file->at == at || pf_seek(file->f, at)) && pf_read(file->f, dst, n, &got);
    file->at = ok ? at + got : UINT64_MAX;
    if (!ok) {
        *code = pf_last_error();
        return READ_AGAIN;
    }
    if (got < n) {
        // The file ends before the size its folder gave: a disc that stopped delivering.
        *code = PF_ERR_HANDLE_EOF;
        return READ_AGAIN;
    }
    return READ_OK;
}

void folder_close(void *, void *handle) {
    FolderFile *file = static_cast<FolderFile *>(handle);
    if (file) pf_close(file->f);
    free(file);
}

void folder_failure(void *, const CopyJob *job, int opening, uint64_t, unsigned long code) {
    if (opening)
        setup_log("cannot read %s", job->from);
    else
        log_failure("read failed: %s (%s)", job->from, code);
}

const CopyReader folder_reader = {folder_open,  folder_read, folder_close, folder_failure,
                                  nullptr,      FOLDER_CHUNK, 0,           1,
                                  nullptr,      0};
// The same for a check, which only reads.
const CopyReader folder_checker = {folder_open,  folder_read, folder_close, folder_failure,
                                   nullptr,      FOLDER_CHUNK, 0,           0,
                                   nullptr,      1};

// A file that is no image but whose lines are a CUE sheet (or a cdrdao TOC sheet) is taken as one, whatever
// its extension (digital stores ship "game.ins" naming "game.gog"). 1 when its data file opens as the
// CD (s then reads it).
int sheet_by_content(CdSrc *s, const char *path, DiscTrack *t) {
    uint64_t size = 0;
    if (strcmp(t->file, path) != 0 || s->image_size > (4u << 20)) return 0;
    uint8_t *text = read_file(path, &size);
    DiscTrack sheet;
    const char *why = nullptr;
    int parsed = text && (cue_parse(path, text, static_cast<size_t>(size), &sheet, &why) ||
                          toc_parse(path, text, static_cast<size_t>(size), &sheet, &why));
    free(text);
    if (!parsed) return 0;
    pf_file data = open_data(path, &sheet);
    uint64_t data_size = 0;
    if (data == PF_INVALID || !pf_size(data, &data_size) || data_size == 0) {
        pf_close(data);
        return 0;
    }
    pf_close(s->handle);
    s->handle = data;
    s->image_size = data_size;
    *t = sheet;
    return iso_probe_track(s, t, 1);
}

// 1 when the image file (or the image in memory) is a CHD, by its signature.
int is_chd(CdSrc *s) {
    uint8_t head[8];
    uint32_t got = 0;
    if (s->mem) return chd_signature(s->mem, static_cast<size_t>(s->mem_size));
    return pf_read_at(s->handle, 0, head, sizeof head, &got) && chd_signature(head, got);
}

int is_cue(const char *path) {
    const char *dot = strrchr(path, '.');
    return dot && ascii_equal(dot, ".cue");
}

// The data file a sheet names kept as ECM ("game.bin.ecm" beside the sheet that names "game.bin"), as s's
// bytes. 1 when there is one; 0 with *reason when it is damaged, or without when there is none.
int ecm_for_sheet(CdSrc *s, const char *sheet, DiscTrack *t, const char **reason) {
    char beside[PATH_BUF];
    const char *name = last_separator(t->file), *folder_end = last_separator(sheet);
    fmt(beside, sizeof beside, "%.*s%s", folder_end ? static_cast<int>(folder_end - sheet + 1) : 0, sheet,
        name ? name + 1 : t->file);
    const char *tries[2] = {t->file, beside};
    for (const char *file : tries) {
        pf_file f = PF_INVALID;
        ByteSource *b = ecm_beside(file, &f, reason);
        if (b || *reason) {
            s->handle = f;
            s->bytes = b;
            if (b) fmt(t->file, sizeof t->file, "%s.ecm", file);
            return b != nullptr;
        }
        pf_close(f);
    }
    return 0;
}

// cd_open_why of the n-th image of an archive (n < 0: the first that opens).
CdSrc *open_source(const char *path, int n, char *why, size_t cap) {
    if (!*path) {
        fmt(why, cap, N_("no CD was given or found: name a drive, an image or a folder with /cd"));
        return nullptr;
    }
    CdSrc *s = static_cast<CdSrc *>(calloc(1, sizeof(CdSrc)));
    if (!s) {
        fmt(why, cap, N_("%s: out of memory"), path);
        return nullptr;
    }
    s->handle = PF_INVALID;
    char p[PATH_BUF];
    fmt(p, sizeof p, "%s", path);
    size_t len = strlen(p);
    if (len > 3) {
        while (len > 3 && (p[len - 1] == '\\' || p[len - 1] == '/')) p[--len] = '\0';
    } else if (len == 2 && p[1] == ':') {
        p[2] = '\\';
        p[3] = '\0';
    }
    if (is_dir(p)) {
        if (n > 0) {
            free(s);
            return nullptr;
        }
        fmt(s->path, sizeof s->path, "%s", p);
        fmt(s->desc, sizeof s->desc, N_("folder %s"), p);
        return s;
    }
    DiscTrack t;
    const char *reason = nullptr;
    int contained = -1, chd = 0;
    if (!path_exists(p)) {
        fmt(why, cap, N_("%s: no such file or folder"), p);
    } else if ((contained = container_open(s, p, n, why, cap)) >= 0) {
        if (contained) {
            s->is_image = 1;
            fmt(s->desc, sizeof s->desc, N_("image %s"), s->path);
            return s;
        }
    } else if (n > 0) {
        fmt(why, cap, "%s: %s", p, N_("the archive holds no CD image"));
    } else if (!disc_locate(p, &t, &reason)) {
        fmt(why, cap, "%s: %s", p, reason);
    } else if ((s->handle = open_data(p, &t)) == PF_INVALID && !ecm_for_sheet(s, p, &t, &reason)) {
        if (reason)
            fmt(why, cap, "%s: %s", t.file, reason);
        else if (strcmp(t.file, p) != 0)
            fmt(why, cap, N_("%s: the sheet names a data file that cannot be opened: %s"), p, t.file);
        else
            fmt(why, cap, N_("%s: the file cannot be opened (error %lu)"), p, pf_last_error());
    } else if (s->bytes ? (s->image_size = s->bytes->size) == 0
                        : !pf_size(s->handle, &s->image_size) || s->image_size == 0) {
        fmt(why, cap, N_("%s: the file is empty"), t.file);
    } else if (!s->bytes && is_chd(s) && !(chd = chd_attach(s, &t, why, cap))) {
        // why names the CHD and what is wrong with it
    } else if (!iso_probe_track(s, &t, is_cue(p) && !chd) && (s->bytes || !sheet_by_content(s, p, &t))) {
        // A CHD or an archive whose bytes with the volume's descriptor are damaged says so.
        const char *damage = bytes_failure(s->bytes);
        if (damage)
            fmt(why, cap, "%s: %s", t.file, damage);
        else
            fmt(why, cap, N_("%s: not a CD image (no ISO 9660 volume in any known layout)"), t.file);
    } else {
        s->is_image = 1;
        fmt(s->path, sizeof s->path, "%s", t.file);
        fmt(s->desc, sizeof s->desc, N_("image %s"), t.file);
        return s;
    }
    bytes_close(s->bytes);
    pf_close(s->handle);
    free(s);
    return nullptr;
}

}  // namespace

CdSrc *cd_open(const char *path) { return cd_open_why(path, nullptr, 0); }

CdSrc *cd_open_why(const char *path, char *why, size_t cap) { return open_source(path, -1, why, cap); }

CdSrc *cd_open_nth(const char *path, uint32_t n, char *why, size_t cap) {
    return open_source(path, n > INT32_MAX ? INT32_MAX : static_cast<int>(n), why, cap);
}

CdSrc *cd_open_mem(const uint8_t *data, uint64_t size) {
    CdSrc *s = static_cast<CdSrc *>(calloc(1, sizeof(CdSrc)));
    if (!s) return nullptr;
    s->handle = PF_INVALID;
    s->mem = data;
    s->mem_size = size;
    s->image_size = size;
    DiscTrack t = {};
    int opened = is_chd(s) ? chd_attach(s, &t, nullptr, 0) && iso_probe_track(s, &t, 0) : iso_probe_layouts(s);
    if (!opened) {
        bytes_close(s->bytes);
        free(s);
        return nullptr;
    }
    s->is_image = 1;
    fmt(s->path, sizeof s->path, "(memory)");
    fmt(s->desc, sizeof s->desc, N_("image %s"), s->path);
    return s;
}

void cd_close(CdSrc *s) {
    if (!s) return;
    bytes_close(s->bytes);
    pf_close(s->handle);
    if (s->plan) {
        free(s->plan->entries);
        free(s->plan->text);
        free(s->plan);
    }
    free(s);
}

const char *cd_describe(CdSrc *s) { return s->desc; }

int cd_damage(CdSrc *s, char *out, size_t cap) {
    const char *failure = bytes_failure(s->bytes);
    if (failure) fmt(out, cap, "%s: %s", s->path, failure);
    return failure != nullptr;
}

int cd_exists(CdSrc *s, const char *rel) {
    if (s->is_image) return iso_exists(s, rel);
    char full[PATH_BUF];
    fmt(full, sizeof full, "%s\\%s", s->path, rel);
    return path_exists(full);
}

uint8_t *cd_read(CdSrc *s, const char *rel, uint64_t *size) {
    if (!s->is_image) {
        char full[PATH_BUF];
        fmt(full, sizeof full, "%s\\%s", s->path, rel);
        return read_file(full, size);
    }
    return iso_read(s, rel, size);
}

// The plan of the whole CD, made by its first walk; none without memory for the record itself.
static CdPlan *plan_of(CdSrc *s) {
    if (s->plan) return s->plan;
    s->plan = static_cast<CdPlan *>(calloc(1, sizeof(CdPlan)));
    if (!s->plan) return nullptr;
    if (s->is_image)
        iso_plan(s, s->plan);
    else
        dir_plan(s->path, "", 0, s->plan);
    if (s->plan->fault == PLAN_OK) s->plan->usable = s->plan->count;
    return s->plan;
}

uint64_t cd_total_bytes(CdSrc *s) {
    CdPlan *plan = plan_of(s);
    return plan ? plan->total : 0;
}

size_t cd_longest_path(CdSrc *s) {
    CdPlan *plan = plan_of(s);
    return plan ? plan->longest : 0;
}

uint64_t cd_bytes_of(CdSrc *s, const char *rel) {
    CdPlan *plan = plan_of(s);
    uint64_t sum = 0;
    size_t n = strlen(rel);
    for (size_t i = 0; plan && i < plan->count; ++i) {
        const char *r = plan_rel(plan, i);
        if (!plan->entries[i].folder && strlen(r) >= n && ascii_equal_n(r, n, rel) && (r[n] == '\0' || r[n] == '\\'))
            sum += plan->entries[i].size;
    }
    return n ? sum : cd_total_bytes(s);
}

int copy_workers(uint32_t drive_type, unsigned processors) {
    if (drive_type == PF_DRIVE_CDROM) return 1;
    if (processors < 1) return 1;
    return processors > 4 ? 4 : static_cast<int>(processors);
}

namespace {

// The line of the walk's fault, as the copy meets it.
void log_fault(const CdPlan *plan, const char *dest) {
    switch (plan->fault) {
    case PLAN_UNSAFE_NAME: setup_log("unsafe name on the CD: \"%s\"", plan->fault_text); break;
    case PLAN_TOO_MANY_FOLDERS:
        setup_log("too many folders on the CD (its folders repeat or loop), stopped at %s%s%s", dest,
                  plan->fault_text[0] ? "\\" : "", plan->fault_text);
        break;
    case PLAN_TOO_LONG: setup_log("cannot read %s", plan->fault_text); break;
    case PLAN_DAMAGED: setup_log("%s", plan->fault_text); break;
    case PLAN_UNSUPPORTED:
        setup_log("the image uses %s, which this setup cannot copy as it is on the disc: make the image again "
                  "without it, or install from the disc or a copied folder",
                  plan->fault_text);
        break;
    default: setup_log("not enough memory to copy %s", dest); break;
    }
}

// The second half of a copy: tells note (or none) of every folder and file of the lists (the folders
// first, then the files to copy, then those left as they are), then makes the folders. 0 when the note
// said stop.
int copy_planned(const CopyJobs *folders, const CopyJobs *files, const CopyJobs *kept, const char *dest,
                 CopyNote note, void *ctx) {
    if (note) {
        size_t skip = strlen(dest);
        const CopyJobs *lists[3] = {folders, files, kept};
        for (int k = 0; k < 3; ++k)
            for (size_t i = 0; i < jobs_count(lists[k]); ++i) {
                const char *to = jobs_at(lists[k], i).to;
                if (!note(ctx, strlen(to) > skip ? to + skip + 1 : "", k == 0)) return 0;
            }
        if (!note(ctx, nullptr, 0)) return 0;
    }
    for (size_t i = 0; i < jobs_count(folders); ++i) make_folder(jobs_at(folders, i).to);
    return 1;
}

// One walk of the plan into the jobs of a copy or a check.
struct Copy {
    CdSrc *s;
    const char *dest;    // the destination folder; "" for a check
    Progress *p;
    int workers;
    const uint8_t *want; // per file of cd_files: copy it (none: every file)
    int check;           // read and sum the files, write nothing
    const CopyHooks *hooks;
};

// The copy of a planned CD: the folders, each before what it holds, then the files on the workers. A
// file that a later one replaces is not copied, nor one that `want` leaves out; their bytes go to p at
// once, so a successful copy still adds up to the total. What was planned before a fault is copied, then
// the copy fails with its line. A check makes no folder and reads the files where they are.
int copy_with(const Copy *c, CopyNote note, void *ctx) {
    CdSrc *s = c->s;
    CdPlan *plan = plan_of(s);
    CopyJobs *folders = jobs_new(), *files = jobs_new(), *kept = jobs_new();
    int planned = plan && folders && files && kept && (c->check || jobs_add(folders, "", c->dest, 0, 0));
    if (!planned) setup_log("not enough memory to copy %s", c->dest);
    for (size_t i = 0, k = 0; planned && i < plan->usable; ++i) {
        PlanEntry &e = plan->entries[i];
        const char *rel = plan_rel(plan, i);
        char to[PATH_BUF], from[PATH_BUF];
        const char *name = last_separator(rel);
        FileSum *sum = s->sum_files || c->check ? &e.sum : nullptr;
        int listed = 1, wanted = !e.folder && !e.replaced && (!c->want || c->want[k]);
        if (!e.folder && !e.replaced) ++k;
        if (c->check) {
            fmt(to, sizeof to, "%s", rel);
        } else if (!join_path(to, c->dest, rel)) {
            setup_log("cannot write %s", to);
            planned = 0;
            break;
        }
        if (e.folder) {
            if (!c->check) listed = jobs_add(folders, "", to, 0, 0);
        } else if (!wanted) {
            if (!e.replaced && !c->check) listed = jobs_add(kept, "", to, 0, 0);
            if (c->p) progress_add(c->p, e.size);
        } else if (s->is_image) {
            listed = jobs_add(files, name ? name + 1 : rel, to, e.extent, e.size, sum);
        } else if (!join_path(from, s->path, rel)) {
            setup_log("cannot read %s", from);
            planned = 0;
        } else {
            listed = jobs_add(files, from, to, 0, e.size, sum);
        }
        if (!listed) {
            setup_log("not enough memory to copy %s", to);
            planned = 0;
        }
    }
    if (planned && plan->fault != PLAN_OK) {
        log_fault(plan, c->dest);
        planned = 0;
    }
    int ok = folders && files && kept && (c->check || copy_planned(folders, files, kept, c->dest, note, ctx));
    // A decoder reads forwards only: the files in the order they lie in the image, so that a well-made
    // image decodes once (the folders were read by the walk, before any file).
    if (ok && s->bytes && s->bytes->sequential) jobs_sort_by_at(files);
    if (ok) {
        ok = s->is_image ? iso_copy_files(s, files, c->dest, c->workers, c->hooks, c->p, c->check)
                         : copy_files(files, c->check ? &folder_checker : &folder_reader, c->hooks, c->workers,
                                      strlen(c->dest), c->p);
    }
    jobs_free(folders);
    jobs_free(files);
    jobs_free(kept);
    return planned && ok;
}

int workers_for(CdSrc *s) { return copy_workers(pf_drive_type(s->path), pf_processor_count()); }

}  // namespace


int cd_copy_all(CdSrc *s, const char *dest, Progress *p) {
    return cd_copy_noted(s, dest, p, nullptr, nullptr, nullptr);
}

int cd_copy_noted(CdSrc *s, const char *dest, Progress *p, CopyNote note, void *ctx, const CopyHooks *hooks) {
    return cd_copy_some(s, dest, p, note, ctx, hooks, nullptr);
}

int cd_copy_some(CdSrc *s, const char *dest, Progress *p, CopyNote note, void *ctx, const CopyHooks *hooks,
                 const uint8_t *want) {
    Copy c = {s, dest, p, workers_for(s), want, 0, hooks};
    return copy_with(&c, note, ctx);
}

int cd_copy_all_with(CdSrc *s, const char *dest, Progress *p, int workers, const CopyHooks *hooks) {
    Copy c = {s, dest, p, workers, nullptr, 0, hooks};
    return copy_with(&c, nullptr, nullptr);
}

namespace {
// A check asks nobody: a file that does not read, even after the retries, is passed over.
int pass_over(void *, const CopyTrouble *) { return COPY_SKIP; }
}  // namespace

int cd_check(CdSrc *s, Progress *p) {
    static const CopyHooks hooks = {pass_over, nullptr, nullptr, nullptr};
    Copy c = {s, "", p, workers_for(s), nullptr, 1, &hooks};
    return copy_with(&c, nullptr, nullptr);
}
CdFile *cd_files(CdSrc *s, size_t *count) {
    CdPlan *plan = plan_of(s);
    if (!plan) return nullptr;
    CdFile *files = static_cast<CdFile *>(malloc(sizeof(CdFile) * (plan->usable ? plan->usable : 1)));
    if (!files) return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < plan->usable; ++i) {
        const PlanEntry &e = plan->entries[i];
        if (!e.folder && !e.replaced)
            files[n++] = CdFile{plan_rel(plan, i), e.size, e.sum.crc, static_cast<int>(e.sum.whole)};
    }
    *count = n;
    return files;
}
