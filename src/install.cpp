#include "install.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdsrc.h"
#include "platform.h"
#include "setup.h"
#include "util.h"

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#endif

// ---------------------------------------------------------------------------------------------------
// CD identity

// Marker files of the game CD, in the order they are tested.
static const char *const markers[] = {"3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE", "VELTRIS\\INTRO.DAT"};

int is_zarnith_cd(CdSrc *s) {
    if (!s) return 0;
    for (const char *m : markers)
        if (!cd_exists(s, m)) return 0;
    return 1;
}

#ifdef _WIN32

// ---------------------------------------------------------------------------------------------------
// Install sequence

// The game's sound banks, copied from <cd>\SOUND into the writable drive in this order.
static const char *const hd_sound[] = {"AMBIENT", "BATTLE", "CREATURE", "DOORS",  "FOOTSTEP", "INTERFAC",
                                       "MAGIC",   "MUSICA", "MUSICB",   "VOICES", "WEATHER"};

constexpr uint64_t MIB = 1024 * 1024;

static HRSRC find_payload() { return FindResourceA(nullptr, "GAMEEXE", MAKEINTRESOURCEA(10) /* RT_RCDATA */); }

int prebuilt_available() { return find_payload() ? 1 : 0; }

static int fail(const char *message) {
    setup_log("ERROR: %s", message);
    return 0;
}

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
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    pf_file f = n > 0 && n < sizeof self ? pf_open_read(self, 0) : PF_INVALID;
    if (f != PF_INVALID && pf_size(f, &self_size)) bytes += self_size;
    pf_close(f);
    return bytes;
}

int do_install(const Options *o, ProgressFn progress, void *user) {
    setup_log("Install to %s", o->dir);
    HRSRC payload = find_payload();
    if (!payload) return fail("this setup does not contain the game executable");
    // An empty folder would put the game at the root of the current drive ("\game", "\zarnith.exe").
    if (!o->dir[0]) return fail("cannot create the install folder");
    if (!check_folder_form(o->dir)) return 0;

    char why[LOG_BUF] = "";
    CdSrc *src = cd_open_why(o->cd, why, sizeof why);
    if (!src) {
        setup_log("%s", why);
        return fail("the CD is not a readable disc, image or folder");
    }
    if (!is_zarnith_cd(src)) {
        cd_close(src);
        return fail("this is not the Tovek Zarnith CD");
    }

    Progress p = {0, 0, progress, user};
    uint64_t cd_bytes = cd_total_bytes(src);
    p.total = cd_bytes + 8 * MIB;
    if (!check_install(o->dir, src, cd_bytes, own_files_bytes(payload))) {
        cd_close(src);
        return 0;
    }

    char game[PATH_BUF], hd[PATH_BUF], cd[PATH_BUF];
    fmt(game, sizeof game, "%s\\game", o->dir);
    fmt(hd, sizeof hd, "%s\\hd", game);
    fmt(cd, sizeof cd, "%s\\cd", game);
    if (!make_dirs(hd)) {
        cd_close(src);
        return fail("cannot create the install folder");
    }

    setup_log("Copying %s ...", cd_describe(src));
    if (!cd_copy_all(src, cd, &p)) {
        cd_close(src);
        return fail("copying the CD failed");
    }
    cd_close(src);

    setup_log("Setting up the game files ...");
    char from[JOIN_BUF], to[JOIN_BUF];
    fmt(from, sizeof from, "%s\\GAME.CFG", cd);
    fmt(to, sizeof to, "%s\\GAME.CFG", hd);
    // A reinstall keeps the player's configuration.
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
    progress_add(&p, 6 * MIB);

    char exe[PATH_BUF];
    fmt(exe, sizeof exe, "%s\\zarnith.exe", o->dir);
    if (!write_payload(exe)) return 0;

    char picture[PATH_BUF];
    fmt(picture, sizeof picture, "%s\\INTRO\\DATA\\A.LBM", cd);
    uint64_t picture_size = 0;
    uint8_t *lbm = read_file(picture, &picture_size);
    if (lbm) {
        inject_icon_lbm(exe, lbm, picture_size);  // the game runs without its emblem too
        free(lbm);
    }

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

// ---------------------------------------------------------------------------------------------------
// Shortcuts

static const char game_name[] = "Tovek Zarnith";

// "<shell folder>\Tovek Zarnith.lnk", or an empty path when the shell cannot name the folder: a
// failed query must not leave a bare "\Tovek Zarnith.lnk", which would land at the drive's root.
static void link_in(int csidl, char *link) {
    char folder[SHORT_PATH];
    folder[0] = '\0';
    link[0] = '\0';
    if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder)) || !folder[0]) return;
    fmt(link, PATH_BUF, "%s\\%s.lnk", folder, game_name);
}

void shortcut_paths(char *startmenu_link, char *desktop_link) {
    link_in(CSIDL_PROGRAMS, startmenu_link);
    link_in(CSIDL_DESKTOPDIRECTORY, desktop_link);
}

void make_link(const char *link, const char *target, const char *workdir) {
    if (!link || !link[0]) return;
    IShellLinkA *sl = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void **>(&sl))))
        return;
    sl->SetPath(target);
    sl->SetWorkingDirectory(workdir);
    sl->SetDescription(game_name);
    sl->SetIconLocation(target, 0);
    IPersistFile *pf = nullptr;
    if (SUCCEEDED(sl->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&pf)))) {
        WCHAR wide[PATH_BUF];
        if (MultiByteToWideChar(CP_ACP, 0, link, -1, wide, PATH_BUF) > 0) pf->Save(wide, TRUE);
        pf->Release();
    }
    sl->Release();
}

#endif
