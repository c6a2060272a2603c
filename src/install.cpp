#include "install.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdsrc.h"
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

int do_install(const Options *o, ProgressFn progress, void *user) {
    setup_log("Install to %s", o->dir);
    if (!find_payload()) return fail("this setup does not contain the game executable");

    CdSrc *src = cd_open(o->cd);
    if (!src) return fail("the CD is not a readable disc, image or folder");
    if (!is_zarnith_cd(src)) {
        cd_close(src);
        return fail("this is not the Tovek Zarnith CD");
    }

    Progress p = {0, 0, progress, user};
    uint64_t cd_bytes = cd_total_bytes(src);
    p.total = cd_bytes + 8 * MIB;

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
// Game emblem icon

int inject_icon_lbm(const char *, const uint8_t *, uint64_t) { return 0; }

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

// ---------------------------------------------------------------------------------------------------
// Uninstaller

static const char uninstall_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TovekZarnith_PCNative";
static const char uninstall_caption[] = "Tovek Zarnith uninstall";
static const char temp_copy_name[] = "zarnith_uninstall.exe";

// The setup's own files in the install folder, deleted by a removal.
static const char *const files[] = {"zarnith.exe", "uninstall.exe", "zarnith_pc.ini", "zarnith.log", "setup.log"};

// "<folder>\<name>" into a path buffer; 0 when it would be cut (a cut path names some other file).
static int join(char *out, const char *folder, const char *name) {
    int n = fmt(out, PATH_BUF, "%s\\%s", folder, name);
    return n >= 0 && static_cast<size_t>(n) < PATH_BUF;
}

// 1 when both paths name one file: the same text, or the same file reached another way
// ("C:\Games\TZ\\uninstall.exe", a short name, other letter case, forward slashes).
static int same_file(const char *a, const char *b) {
    if (_stricmp(a, b) == 0) return 1;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE ha = CreateFileA(a, 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (ha == INVALID_HANDLE_VALUE) return 0;
    HANDLE hb = CreateFileA(b, 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
    int same = 0;
    if (hb != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION ia, ib;
        if (GetFileInformationByHandle(ha, &ia) && GetFileInformationByHandle(hb, &ib))
            same = ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
                   ia.nFileIndexLow == ib.nFileIndexLow;
        CloseHandle(hb);
    }
    CloseHandle(ha);
    return same;
}

static int is_file(const char *path) {
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

static void set_string(HKEY key, const char *name, const char *value) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                   static_cast<DWORD>(strlen(value) + 1));
}

static void set_dword(HKEY key, const char *name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

void register_uninstaller(const char *dir, uint64_t cd_bytes) {
    if (!dir || !dir[0]) return;
    char self[PATH_BUF];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    char copy[PATH_BUF];
    // Running as the installed uninstall.exe, a copy would be the file onto itself: it would empty the
    // program it reads from.
    if (n > 0 && n < sizeof self && join(copy, dir, "uninstall.exe") && !same_file(self, copy))
        CopyFileA(self, copy, FALSE);

    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, uninstall_key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    char text[JOIN_BUF];
    set_string(key, "DisplayName", "Tovek Zarnith (PC Native)");
    fmt(text, sizeof text, "\"%s\\uninstall.exe\" /uninstall", dir);
    set_string(key, "UninstallString", text);
    fmt(text, sizeof text, "%s\\zarnith.exe,0", dir);
    set_string(key, "DisplayIcon", text);
    set_string(key, "InstallLocation", dir);
    set_string(key, "Publisher", "PC Native port (fan project)");
    set_dword(key, "EstimatedSize", static_cast<DWORD>((cd_bytes + 0x1400000u) / 1024));
    set_dword(key, "NoModify", 1);
    set_dword(key, "NoRepair", 1);
    RegCloseKey(key);
}

static int is_sep(char c) { return c == '\\' || c == '/'; }

// The folder a removal may work on, without trailing separators, into out; 0 when it must not: an
// empty, relative or drive-relative path, a drive or share root (whose "game" folder and files belong
// to nobody in particular), a path whose "." or ".." parts could lead elsewhere, or one too long for
// it to be held whole (a cut folder name is another folder).
static int removable_folder(const char *dir, char *out) {
    if (!dir || fmt(out, PATH_BUF, "%s", dir) >= static_cast<int>(PATH_BUF)) return 0;
    size_t len = strlen(out);
    while (len > 0 && is_sep(out[len - 1])) out[--len] = '\0';
    size_t root;
    if (len >= 2 && ((out[0] | 0x20) >= 'a' && (out[0] | 0x20) <= 'z') && out[1] == ':') {
        if (len < 3 || !is_sep(out[2])) return 0;
        root = 3;
    } else if (len >= 2 && is_sep(out[0]) && is_sep(out[1])) {
        // \\server\share\ is the root of a network path.
        root = 2;
        for (int part = 0; part < 2; ++part) {
            size_t start = root;
            while (root < len && !is_sep(out[root])) ++root;
            if (root == start || root >= len) return 0;
            ++root;
        }
    } else {
        return 0;
    }
    int parts = 0;
    for (size_t i = root; i < len;) {
        while (i < len && is_sep(out[i])) ++i;
        size_t start = i;
        int only_dots = 1;
        while (i < len && !is_sep(out[i])) {
            // Windows drops trailing dots and spaces, so "..." and ". ." act like "." or "..".
            if (out[i] != '.' && out[i] != ' ') only_dots = 0;
            ++i;
        }
        if (i == start) continue;
        if (only_dots) return 0;
        ++parts;
    }
    return parts > 0;
}

int do_uninstall(const char *dir) {
    char folder[PATH_BUF];
    if (!removable_folder(dir, folder)) return 0;
    char exe[PATH_BUF], uninstaller[PATH_BUF];
    // Only a folder that holds the game or its uninstaller is taken for an install: the first stage
    // takes the folder of whatever copy of the setup runs it, which may be a downloads folder with
    // another "game" in it.
    if (!join(exe, folder, "zarnith.exe") || !join(uninstaller, folder, "uninstall.exe") ||
        (!is_file(exe) && !is_file(uninstaller)))
        return 0;

    char startmenu_link[PATH_BUF], desktop_link[PATH_BUF];
    shortcut_paths(startmenu_link, desktop_link);
    if (startmenu_link[0]) DeleteFileA(startmenu_link);
    if (desktop_link[0]) DeleteFileA(desktop_link);
    RegDeleteKeyA(HKEY_CURRENT_USER, uninstall_key);

    char path[PATH_BUF];
    if (join(path, folder, "game")) {
        DWORD a = GetFileAttributesA(path);
        // A "game" that is a link to a folder elsewhere loses the link, never what it points to.
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT)) {
            if (!RemoveDirectoryA(path)) DeleteFileA(path);
        } else if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
            delete_tree(path);
        }
    }
    for (const char *name : files)
        if (join(path, folder, name)) DeleteFileA(path);
    RemoveDirectoryA(folder);
    return 1;
}

// The temporary copy's path ("%szarnith_uninstall.exe" over the temporary folder) and the temporary
// folder itself; 0 when there is no usable temporary folder.
static int temp_copy_path(char *tmp, char *copy) {
    DWORD n = GetTempPathA(SHORT_PATH, tmp);
    if (n == 0 || n >= SHORT_PATH) return 0;
    fmt(copy, PATH_BUF, "%s%s", tmp, temp_copy_name);
    return 1;
}

void uninstall_stage1() {
    char self[PATH_BUF], dir[PATH_BUF];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return;
    fmt(dir, sizeof dir, "%s", self);
    char *cut = strrchr(dir, '\\');
    if (cut) *cut = '\0';

    if (!quiet && MessageBoxA(nullptr, "Remove Tovek Zarnith (PC Native) and its saved games?", uninstall_caption,
                              MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;

    char tmp[SHORT_PATH], copy[PATH_BUF];
    if (!temp_copy_path(tmp, copy)) return;
    // Without a fresh copy an older zarnith_uninstall.exe left in the temporary folder would run.
    if (!same_file(self, copy) && !CopyFileA(self, copy, FALSE)) return;

    char cmd[CMD_BUF];
    fmt(cmd, sizeof cmd, "\"%s\" /uninstall2 \"%s\"%s", copy, dir, quiet ? " /quiet" : "");
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    // The second stage works from the temporary folder: a process whose current folder is the install
    // folder keeps that folder in use, and Windows would then refuse to remove it.
    if (CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, tmp, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

void uninstall_stage2(const char *dir) {
    Sleep(800);
    int removed = do_uninstall(dir);
    if (!quiet) {
        if (removed) {
            MessageBoxA(nullptr, "Tovek Zarnith has been removed.", uninstall_caption, MB_OK | MB_ICONINFORMATION);
        } else {
            char text[JOIN_BUF];
            fmt(text, sizeof text, "Nothing was removed: '%s' is not a Tovek Zarnith install folder.", dir ? dir : "");
            MessageBoxA(nullptr, text, uninstall_caption, MB_OK | MB_ICONWARNING);
        }
    }
    // Only the temporary copy goes at the next restart; a setup started by hand with /uninstall2 stays.
    char self[PATH_BUF], tmp[SHORT_PATH], copy[PATH_BUF];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n > 0 && n < sizeof self && temp_copy_path(tmp, copy) && same_file(self, copy))
        MoveFileExA(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

#endif
