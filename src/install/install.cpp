// The install sequence: the checks, the CD copy, the game's writable tree, the game executable with its
// emblem, the uninstaller entry and the shortcuts.
#include "install/install.h"

#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"
#include "platform/platform.h"
#include "util/setup_log.h"
#include "util/util.h"

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>

// The game's sound banks, copied from <cd>\SOUND into the writable drive in this order.
static const char *const hd_sound[] = {"AMBIENT", "BATTLE", "CREATURE", "DOORS",  "FOOTSTEP", "INTERFAC",
                                       "MAGIC",   "MUSICA", "MUSICB",   "VOICES", "WEATHER"};

static HRSRC find_payload() { return FindResourceA(nullptr, "GAMEEXE", MAKEINTRESOURCEA(10) /* RT_RCDATA */); }

int prebuilt_available() { return find_payload() ? 1 : 0; }

// Copies the files that lie directly in the CD's VELTRIS folder (no subfolders); 1 when at least one
// was copied.
static int copy_veltris(const char *cd, const char *hd) {
    char src[PATH_BUF], dst[PATH_BUF];
    fmt(src, sizeof src, "%s\\VELTRIS", cd);
    fmt(dst, sizeof dst, "%s\\VELTRIS", hd);
    make_dirs(dst);
    PfList *l = pf_list_open(src);
    if (!l) return 0;
    int copied = 0;
    PfEntry e;
    while (pf_list_next(l, &e)) {
        if (e.directory) continue;
        char from[JOIN_BUF], to[JOIN_BUF];
        fmt(from, sizeof from, "%s\\%s", src, e.name);
        fmt(to, sizeof to, "%s\\%s", dst, e.name);
        if (copy_file(from, to, nullptr)) ++copied;
    }
    pf_list_close(l);
    return copied > 0;
}

// Writes the game executable carried as resource GAMEEXE, byte for byte; *signed_exe says whether it
// carries a signature. write_file logs its own failure.
static int write_payload(const char *exe, int *signed_exe) {
    HRSRC r = find_payload();
    if (!r) return fail("this setup does not contain the game executable");
    HGLOBAL g = LoadResource(nullptr, r);
    const uint8_t *bytes = g ? static_cast<const uint8_t *>(LockResource(g)) : nullptr;
    DWORD size = SizeofResource(nullptr, r);
    if (!bytes) return fail("this setup does not contain the game executable");
    *signed_exe = exe_signed(bytes, size);
    return write_file(exe, bytes, size);
}

// Bytes of the two programs an install writes: the game executable and this setup's copy, which
// becomes uninstall.exe.
static uint64_t own_files_bytes(HRSRC payload) {
    uint64_t bytes = SizeofResource(nullptr, payload), self_size = 0;
    char self[PATH_BUF];
    pf_file f = pf_self_path(self, sizeof self) ? pf_open_read(self, 0) : PF_INVALID;
    if (f != PF_INVALID && pf_size(f, &self_size)) bytes += self_size;
    pf_close(f);
    return bytes;
}

// Opens the CD that o names and checks that it is the game's; none after its "ERROR:" line.
static CdSrc *open_game_cd(const char *path) {
    char why[LOG_BUF] = "";
    CdSrc *src = cd_open_why(path, why, sizeof why);
    if (!src) {
        setup_log("%s", why);
        fail("the CD is not a readable disc, image or folder");
        return nullptr;
    }
    // An archive of several images: the one that is the game's.
    CdSrc *first = src;
    src = game_image_in(path, src);
    if (src != first) setup_log("Found the CD as %s", src->path);
    // A folder of images given as the CD: the first of them that is the game's, as beside the setup.
    char image[PATH_BUF];
    if (!is_zarnith_cd(src) && !src->is_image && find_game_image(src->path, image)) {
        cd_close(src);
        src = game_image_in(image, cd_open(image));
        if (src) setup_log("Found the CD as %s", image);
    }
    char damage[LOG_BUF];
    if (src && !is_zarnith_cd(src) && cd_damage(src, damage, sizeof damage)) {
        // The markers may be there: the image could not be read to see them.
        setup_log("%s", damage);
        cd_close(src);
        fail("the CD is not a readable disc, image or folder");
        return nullptr;
    }
    if (!src || !is_zarnith_cd(src)) {
        if (src) log_missing_markers(src);
        cd_close(src);
        fail("this is not the Tovek Zarnith CD");
        return nullptr;
    }
    return src;
}

// What one install run carries from step to step: where it installs, its record, and what it needs to
// take everything back.
struct Run {
    const char *dir;
    Record *earlier;        // the record found in dir, or none
    RecordRun *record;      // this run's, once it is begun
    KeySnapshot *key;       // the uninstall entry as it was before this run
    int dir_made;
    int moving;             // the registered install lies elsewhere: this install takes its place
    char previous[PATH_BUF];
};

// A note of the CD copy: its paths are below game\cd.
static int note_cd(void *ctx, const char *rel, int folder) {
    RecordRun *r = static_cast<RecordRun *>(ctx);
    if (!rel) return record_flush(r, 1);
    char path[PATH_BUF];
    if (fmt(path, sizeof path, rel[0] ? "game\\cd\\%s" : "game\\cd", rel) >= static_cast<int>(sizeof path)) return 0;
    return record_note(r, path, folder);
}

// 1 unless the window asked to stop (then after its "ERROR:" line); waits while a question is open.
static int go_on() { return copy_wait() ? 1 : fail("the installation was stopped"); }

// What the install hears of the copy's troubles and asks the player about them: on a copy worker, one
// question at a time, with the copy held meanwhile.
struct Trouble {
    CdSrc *src;
    InstallUi *ui;
    CdIdentity disc;     // the CD as the copy began
    char *skipped;       // the paths of the files gone without, each with its NUL
    size_t used, room;
    unsigned count;
    char rel[PATH_BUF];  // the last file that did not read, and why
    unsigned long code;
    int gone;            // the CD was not in its drive then
    int cancelled;       // the player answered Cancel
};

static void note_skipped(Trouble *t, const char *rel) {
    size_t n = strlen(rel) + 1;
    if (t->used + n > t->room) {
        size_t room = t->room ? t->room * 2 : 4096;
        while (room < t->used + n) room *= 2;
        char *bigger = static_cast<char *>(realloc(t->skipped, room));
        if (!bigger) return;  // the file goes unlisted; the log still names it
        t->skipped = bigger;
        t->room = room;
    }
    memcpy(t->skipped + t->used, rel, n);
    t->used += n;
}

static int on_trouble(void *ctx, const CopyTrouble *c) {
    Trouble *t = static_cast<Trouble *>(ctx);
    fmt(t->rel, sizeof t->rel, "%s", c->file->rel);
    t->code = c->code;
    t->gone = !same_game_cd(t->src, &t->disc);
    if (!t->ui || !t->ui->ask) return COPY_CANCEL;
    char drive[PATH_BUF], cause[LOG_BUF / 2], text[LOG_BUF];
    cd_drive(t->src, drive);
    describe_error(c->code, cause, sizeof cause);
    for (;;) {
        if (t->gone)
            fmt(text, sizeof text,
                N_("The Tovek Zarnith CD is not in drive %s.\n\nPut it into the drive, then press Retry. Cancel stops "
                   "the installation."),
                drive);
        else
            fmt(text, sizeof text,
                N_("The file %s on the CD cannot be read (%s).\n\nClean the disc and put it back into the drive, then "
                   "press Retry. Skip this file installs the game without it (run the setup again later to add it); "
                   "Cancel stops the installation."),
                c->file->rel, cause);
        int answer = t->ui->ask(t->ui->user, t->gone ? ASK_NO_CD : ASK_UNREADABLE, text);
        if (answer == COPY_SKIP && !t->gone) {
            setup_log("Skipped %s: it could not be read from the CD", c->file->rel);
            note_skipped(t, c->file->rel);
            ++t->count;
            return COPY_SKIP;
        }
        if (answer != COPY_RETRY) {
            t->cancelled = 1;
            return COPY_CANCEL;
        }
        // Nothing of another disc is ever copied: the one in the drive must be the one the copy began with.
        if (same_game_cd(t->src, &t->disc)) return COPY_RETRY;
        setup_log("The disc in drive %s is not the Tovek Zarnith CD being installed", drive);
        t->gone = 1;
    }
}

// The copy of the CD (the files whose byte in want is set, or every one) with the player's answers to its
// troubles; its "ERROR:" line when it fails.
static int copy_cd_files(Run *run, CdSrc *src, const char *cd, Progress *p, InstallUi *ui, const uint8_t *want) {
    Trouble t = {};
    t.src = src;
    t.ui = ui;
    cd_identity(src, &t.disc);
    CopyHooks hooks = {on_trouble, nullptr, nullptr, &t};
    int ok = cd_copy_some(src, cd, p, note_cd, run->record, &hooks, want);
    char path[PATH_BUF];
    for (size_t at = 0; ok && at < t.used; at += strlen(t.skipped + at) + 1)
        ok = fmt(path, sizeof path, "game\\cd\\%s", t.skipped + at) < static_cast<int>(sizeof path) &&
             record_missing(run->record, path);
    free(t.skipped);
    if (ui) ui->skipped = t.count;
    if (ok) return 1;
    if (copy_stopping() || t.cancelled) return fail("the installation was stopped");
    if (!t.rel[0]) return fail("copying the CD failed");
    char message[LOG_BUF - 16], what[LOG_BUF / 2];
    if (t.gone) {
        cd_drive(src, what);
        fmt(message, sizeof message,
            N_("copying the CD failed: the Tovek Zarnith CD was taken out of drive %s: put it back and run the setup "
               "again"),
            what);
    } else {
        describe_error(t.code, what, sizeof what);
        fmt(message, sizeof message,
            N_("copying the CD failed: %s cannot be read from the CD (%s): clean the disc and run the setup again"),
            t.rel, what);
    }
    return fail(message);
}

// The line for a folder that cannot be made: which level, and why ("C:\\x is a file" reads as error 183).
static int folder_failed(const char *folder) {
    char cause[LOG_BUF / 2], level[PATH_BUF], message[LOG_BUF - 16];
    describe_error(make_dirs_error(folder, level), cause, sizeof cause);
    if (is_dir(level) || !path_exists(level))
        fmt(message, sizeof message, N_("cannot create the install folder %s: %s (%s)"), folder, level, cause);
    else
        fmt(message, sizeof message, N_("cannot create the install folder %s: %s is a file (%s)"), folder, level, cause);
    return fail(message);
}

// Makes the install folder (with its parents) and begins the record there; the entries of what will
// come beside the game tree, the uninstaller and its entry are written before the game tree's first
// folder, so that an install stopped in any way shows in the list of installed apps and its removal
// takes what was written.
static int register_early(Run *run, uint64_t cd_bytes) {
    int missing = missing_levels(run->dir);
    if (!make_dirs(run->dir)) return folder_failed(run->dir);
    run->dir_made = missing > 0;
    run->record = record_begin(run->dir, run->earlier, run->dir_made, missing > 1 ? missing - 1 : 0);
    if (!run->record) return fail("cannot write the install record");
    char path[PATH_BUF];
    int ok = record_note(run->record, "uninstall.exe", 0) && record_note(run->record, "zarnith.exe", 0);
    // The game writes these beside itself; they are its own only when they are not there before.
    static const char *const game_files[] = {"zarnith.log", "zarnith_pc.ini"};
    for (const char *name : game_files)
        if (ok && join_path(path, run->dir, name) && !path_exists(path)) ok = record_note(run->record, name, 0);
    if (!ok || !record_flush(run->record, 1)) return fail("cannot write the install record");
    register_uninstaller(run->dir, cd_bytes);
    return 1;
}

// The checks before anything is written, then the whole CD into <dir>\game\cd with the writable
// <dir>\game\hd beside it; p's total becomes the CD's bytes and the rest of the install.
static int copy_cd(Run *run, CdSrc *src, uint64_t exe_bytes, Progress *p, uint64_t *cd_bytes, InstallUi *ui) {
    *cd_bytes = cd_total_bytes(src);
    p->total = *cd_bytes + INSTALL_REST_BYTES;
    if (!check_install(run->dir, src, *cd_bytes, exe_bytes) || !check_targets(run->dir, run->earlier)) return 0;
    run->key = uninstall_key_save();
    if (!register_early(run, *cd_bytes) || !go_on()) return 0;

    char game[PATH_BUF], hd[PATH_BUF], cd[PATH_BUF];
    fmt(game, sizeof game, "%s\\game", run->dir);
    fmt(hd, sizeof hd, "%s\\hd", game);
    fmt(cd, sizeof cd, "%s\\cd", game);
    // A "game" folder of the user's stays theirs: only the game's two folders in it are the install's.
    int ours = record_count(run->earlier) ? record_lists(run->earlier, "game", 1) : legacy_install(run->dir);
    int ok = (path_exists(game) && !ours) ||
             record_note(run->record, "game", 1);
    if (!ok || !record_note(run->record, "game\\hd", 1) || !record_flush(run->record, 1))
        return fail("cannot write the install record");
    if (!make_dirs(hd)) return folder_failed(hd);
    // Each file is summed as it is copied and the CD then checked against the known releases; over an
    // earlier install, only what it lacks or holds wrong is copied.
    CdCheck check;
    check_begin(&check, src, builtin_releases());
    check_installed(&check, src, cd);
    setup_log("Copying %s ...", cd_describe(src));
    ok = copy_cd_files(run, src, cd, p, ui, check.want) && check_copy(&check, src, cd, ui) && go_on();
    check_end(&check);
    return ok;
}

// The game's writable tree <dir>\game\hd, from the CD copy beside it: the configuration (a
// reinstall keeps the player's), the VELTRIS files, the sound banks and the saved-games folder. Each
// is in the record before it is made.
// The player's files of the previous install that the new folder has none of: copied over, each in the
// record before it is made. Returns how many files came along; *ok 0 when the record cannot be written.
static int carry_tree(RecordRun *record, const char *from, const char *to, const char *rel, int *ok) {
    PfList *l = pf_list_open(from);
    PfEntry e;
    int carried = 0;
    while (*ok && l && pf_list_next(l, &e)) {
        char src[PATH_BUF], dst[PATH_BUF], child[PATH_BUF];
        if (e.reparse || !join_path(src, from, e.name) || !join_path(dst, to, e.name) || !join_path(child, rel, e.name))
            continue;
        if (e.directory) {
            *ok = (path_exists(dst) || record_note(record, child, 1)) && record_flush(record, 0);
            if (*ok && make_dirs(dst)) carried += carry_tree(record, src, dst, child, ok);
        } else if (!path_exists(dst)) {
            *ok = record_note(record, child, 0) && record_flush(record, 0);
            if (*ok && copy_file(src, dst, nullptr)) ++carried;
        }
    }
    pf_list_close(l);
    return carried;
}

// Takes along from the previous install what the player made: the configuration, the saved games and
// the game's own settings, where the new folder has none of its own.
static int carry_player_files(RecordRun *record, const char *dir, const char *previous) {
    static const char *const files[] = {"game\\hd\\GAME.CFG", "zarnith_pc.ini"};
    char from[PATH_BUF], to[PATH_BUF];
    int ok = 1;
    for (const char *rel : files) {
        if (!join_path(from, previous, rel) || !join_path(to, dir, rel) || path_exists(to) || !path_exists(from))
            continue;
        if (!record_note(record, rel, 0) || !record_flush(record, 0)) return fail("cannot write the install record");
        if (copy_file(from, to, nullptr)) setup_log("Carried %s from %s", rel, previous);
    }
    if (join_path(from, previous, "game\\hd\\SAVEGAME") && join_path(to, dir, "game\\hd\\SAVEGAME") && is_dir(from)) {
        if (!path_exists(to) && (!record_note(record, "game\\hd\\SAVEGAME", 1) || !record_flush(record, 0)))
            return fail("cannot write the install record");
        make_dirs(to);
        int carried = carry_tree(record, from, to, "game\\hd\\SAVEGAME", &ok);
        if (!ok) return fail("cannot write the install record");
        if (carried) setup_log("Carried %d saved-game files from %s", carried, previous);
    }
    return 1;
}

static int set_up_game_tree(RecordRun *record, const char *dir, const char *previous) {
    char cd[PATH_BUF], hd[PATH_BUF];
    fmt(cd, sizeof cd, "%s\\game\\cd", dir);
    fmt(hd, sizeof hd, "%s\\game\\hd", dir);
    // A moved install brings the player's configuration and saved games before the CD's are set up.
    if (previous && !carry_player_files(record, dir, previous)) return 0;
    char from[JOIN_BUF], to[JOIN_BUF], rel[PATH_BUF];
    fmt(from, sizeof from, "%s\\GAME.CFG", cd);
    fmt(to, sizeof to, "%s\\GAME.CFG", hd);
    int noted = record_note(record, "game\\hd\\VELTRIS", 1) && record_note(record, "game\\hd\\SOUND", 1) &&
                record_note(record, "game\\hd\\SAVEGAME", 1);
    int keep_cfg = path_exists(to);
    if (noted && !keep_cfg) noted = record_note(record, "game\\hd\\GAME.CFG", 0);
    for (const char *bank : hd_sound) {
        fmt(rel, sizeof rel, "game\\hd\\SOUND\\%s.ASL", bank);
        if (noted) noted = record_note(record, rel, 0);
    }
    char src[PATH_BUF];
    fmt(src, sizeof src, "%s\\VELTRIS", cd);
    PfList *l = pf_list_open(src);
    PfEntry e;
    while (noted && l && pf_list_next(l, &e)) {
        if (e.directory) continue;
        if (fmt(rel, sizeof rel, "game\\hd\\VELTRIS\\%s", e.name) >= static_cast<int>(sizeof rel)) continue;
        noted = record_note(record, rel, 0);
    }
    pf_list_close(l);
    if (!noted || !record_flush(record, 0)) return fail("cannot write the install record");

    if (!keep_cfg && !copy_file(from, to, nullptr)) return fail("GAME.CFG missing on the CD");

    if (!copy_veltris(cd, hd)) return fail("VELTRIS folder missing on the CD");

    char sound[PATH_BUF];
    fmt(sound, sizeof sound, "%s\\SOUND", hd);
    make_dirs(sound);
    for (const char *bank : hd_sound) {
        fmt(from, sizeof from, "%s\\SOUND\\%s.ASL", cd, bank);
        fmt(to, sizeof to, "%s\\%s.ASL", sound, bank);
        copy_file(from, to, nullptr);  // a missing bank leaves its "cannot read" line only
    }

    char saves[PATH_BUF];
    fmt(saves, sizeof saves, "%s\\SAVEGAME", hd);
    make_dirs(saves);  // an existing folder keeps its saved games
    return 1;
}

// Gives the game the CD copy's emblem; the game runs without it too. An unsigned executable gets it as its
// icon. A signed one stays as it is: any resource update breaks the signature, and Smart App Control
// then refuses to start the game. Its emblem goes into an icon file beside it instead, which is in the
// record before it is written. icon (PATH_BUF) receives what the shortcuts show: that icon file once it
// is written, the executable otherwise. 0 only when the record cannot be written.
static int give_emblem(RecordRun *record, const char *dir, const char *exe, int signed_exe, char *icon) {
    fmt(icon, PATH_BUF, "%s", exe);
    char picture[PATH_BUF];
    fmt(picture, sizeof picture, "%s\\game\\cd\\INTRO\\DATA\\A.LBM", dir);
    uint64_t picture_size = 0;
    uint8_t *lbm = read_file(picture, &picture_size);
    if (!lbm) return 1;
    int ok = 1;
    char path[PATH_BUF];
    if (!signed_exe) {
        setup_log("Writing the emblem into zarnith.exe");
        inject_icon_lbm(exe, lbm, picture_size);
    } else {
        setup_log("zarnith.exe is signed: its emblem goes into zarnith.ico");
        ok = join_path(path, dir, EMBLEM_ICON_NAME) && record_note(record, EMBLEM_ICON_NAME, 0) &&
             record_flush(record, 0);
        if (!ok)
            fail("cannot write the install record");
        else if (write_emblem_icon(path, lbm, picture_size))
            fmt(icon, PATH_BUF, "%s", path);
    }
    free(lbm);
    return ok;
}

// Everything after the copy; the CD source is closed by then.
static int finish_install(Run *run, const Options *o, Progress *p) {
    setup_log("Setting up the game files ...");
    if (!set_up_game_tree(run->record, o->dir, run->moving ? run->previous : nullptr) || !go_on()) return 0;
    progress_add(p, 6 * MIB);

    char exe[PATH_BUF], icon[PATH_BUF];
    fmt(exe, sizeof exe, "%s\\zarnith.exe", o->dir);
    int signed_exe = 0;
    if (!write_payload(exe, &signed_exe)) return 0;
    if (!give_emblem(run->record, o->dir, exe, signed_exe, icon) || !go_on()) return 0;
    // The list of installed apps shows the game as its shortcuts do.
    if (strcmp(icon, exe) != 0) set_uninstall_icon(icon);

    char startmenu_link[PATH_BUF], desktop_link[PATH_BUF];
    shortcut_paths(startmenu_link, desktop_link);
    CoInitialize(nullptr);
    if (o->startmenu) make_link(startmenu_link, exe, o->dir, icon);
    if (o->desktop) make_link(desktop_link, exe, o->dir, icon);
    CoUninitialize();
    return 1;
}

int install_moves(const char *dir, char *previous) {
    return registered_install(previous) && !same_folder(previous, dir);
}

int do_install(const Options *o, InstallUi *ui) {
    setup_log("Install to %s", o->dir);
    HRSRC payload = find_payload();
    if (!payload) return fail("this setup does not contain the game executable");
    // An empty folder would put the game at the root of the current drive ("\game", "\zarnith.exe").
    if (!o->dir[0]) return fail("cannot create the install folder");
    if (!check_folder_form(o->dir)) return 0;

    CdSrc *src = open_game_cd(o->cd);
    if (!src) return 0;
    Run run = {o->dir, record_load(o->dir), nullptr, nullptr, 0, 0, ""};
    run.moving = install_moves(o->dir, run.previous);
    Progress p = {0, 0, ui ? ui->progress : nullptr, ui ? ui->user : nullptr};
    uint64_t cd_bytes = 0;
    // A move removes the previous install at its end: not from under the running game.
    int ok = !run.moving || check_not_running(run.previous);
    if (ok) ok = copy_cd(&run, src, own_files_bytes(payload), &p, &cd_bytes, ui);
    cd_close(src);
    if (ok) ok = finish_install(&run, o, &p);
    // The last moment a stop takes everything back: a question open now holds the install here.
    if (ok) ok = go_on();
    // Every entry reached the disk before what it names was made: the end has nothing left to write.
    if (ok)
        record_finish(run.record);
    else
        record_roll_back(run.record);
    // A failed run leaves the uninstall entry as it found it: the earlier install's, or none.
    if (!ok && run.record) uninstall_key_restore(run.key);
    uninstall_key_free(run.key);
    record_free(run.earlier);
    if (!ok) return 0;
    // The one install there is now is this one: the previous goes as a removal takes it (its entry and
    // shortcuts are this install's now, and stay).
    if (run.moving) {
        if (do_uninstall(run.previous) == UNINSTALL_DONE)
            setup_log("Removed the previous install in %s", run.previous);
        else
            setup_log("The previous install in %s could not be removed completely", run.previous);
    }
    progress_add(&p, 2 * MIB);
    if (ui && ui->skipped)
        setup_log("Installed without %u unreadable CD files (named above): run the setup again to add them", ui->skipped);
    setup_log("Done.");
    return 1;
}

#endif
