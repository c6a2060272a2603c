// The install sequence: the checks, the CD copy, the game's writable tree, the game executable with its
// emblem, the uninstaller entry and the shortcuts.
#include "install.h"

#include <cstdlib>

#include "cdsrc.h"
#include "platform.h"
#include "setup_log.h"
#include "util.h"

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

// Writes the game executable carried as resource GAMEEXE; write_file logs its own failure.
static int write_payload(const char *exe) {
    HRSRC r = find_payload();
    if (!r) return fail("this setup does not contain the game executable");
    HGLOBAL g = LoadResource(nullptr, r);
    const void *bytes = g ? LockResource(g) : nullptr;
    DWORD size = SizeofResource(nullptr, r);
    if (!bytes) return fail("this setup does not contain the game executable");
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
    if (!is_zarnith_cd(src)) {
        cd_close(src);
        fail("this is not the Tovek Zarnith CD");
        return nullptr;
    }
    return src;
}

// The checks before anything is written, then the whole CD into <dir>\game\cd with the writable
// <dir>\game\hd beside it; p's total becomes the CD's bytes and the rest of the install.
static int copy_cd(CdSrc *src, const char *dir, uint64_t exe_bytes, Progress *p, uint64_t *cd_bytes) {
    *cd_bytes = cd_total_bytes(src);
    p->total = *cd_bytes + 8 * MIB;
    if (!check_install(dir, src, *cd_bytes, exe_bytes)) return 0;
    char hd[PATH_BUF], cd[PATH_BUF];
    fmt(hd, sizeof hd, "%s\\game\\hd", dir);
    fmt(cd, sizeof cd, "%s\\game\\cd", dir);
    if (!make_dirs(hd)) return fail("cannot create the install folder");
    setup_log("Copying %s ...", cd_describe(src));
    if (!cd_copy_all(src, cd, p)) return fail("copying the CD failed");
    return 1;
}

// The game's writable tree <dir>\game\hd, from the CD copy beside it: the configuration (a
// reinstall keeps the player's), the VELTRIS files, the sound banks and the saved-games folder.
static int set_up_game_tree(const char *dir) {
    char cd[PATH_BUF], hd[PATH_BUF];
    fmt(cd, sizeof cd, "%s\\game\\cd", dir);
    fmt(hd, sizeof hd, "%s\\game\\hd", dir);
    char from[JOIN_BUF], to[JOIN_BUF];
    fmt(from, sizeof from, "%s\\GAME.CFG", cd);
    fmt(to, sizeof to, "%s\\GAME.CFG", hd);
    if (!path_exists(to) && !copy_file(from, to, nullptr)) return fail("GAME.CFG missing on the CD");

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

// Gives the game executable the CD copy's emblem; the game runs without it too.
static void give_emblem(const char *dir, const char *exe) {
    char picture[PATH_BUF];
    fmt(picture, sizeof picture, "%s\\game\\cd\\INTRO\\DATA\\A.LBM", dir);
    uint64_t picture_size = 0;
    uint8_t *lbm = read_file(picture, &picture_size);
    if (!lbm) return;
    inject_icon_lbm(exe, lbm, picture_size);
    free(lbm);
}

int do_install(const Options *o, ProgressFn progress, void *user) {
    setup_log("Install to %s", o->dir);
    HRSRC payload = find_payload();
    if (!payload) return fail("this setup does not contain the game executable");
    // An empty folder would put the game at the root of the current drive ("\game", "\zarnith.exe").
    if (!o->dir[0]) return fail("cannot create the install folder");
    if (!check_folder_form(o->dir)) return 0;

    CdSrc *src = open_game_cd(o->cd);
    if (!src) return 0;
    Progress p = {0, 0, progress, user};
    uint64_t cd_bytes = 0;
    int copied = copy_cd(src, o->dir, own_files_bytes(payload), &p, &cd_bytes);
    cd_close(src);
    if (!copied) return 0;

    setup_log("Setting up the game files ...");
    if (!set_up_game_tree(o->dir)) return 0;
    progress_add(&p, 6 * MIB);

    char exe[PATH_BUF];
    fmt(exe, sizeof exe, "%s\\zarnith.exe", o->dir);
    if (!write_payload(exe)) return 0;
    give_emblem(o->dir, exe);

    register_uninstaller(o->dir, cd_bytes);

    char startmenu_link[PATH_BUF], desktop_link[PATH_BUF];
    shortcut_paths(startmenu_link, desktop_link);
    CoInitialize(nullptr);
    if (o->startmenu) make_link(startmenu_link, exe, o->dir);
    if (o->desktop) make_link(desktop_link, exe, o->dir);
    CoUninitialize();

    progress_add(&p, 2 * MIB);
    setup_log("Done.");
    return 1;
}

#endif
