// The uninstaller: its registration at install time and the two stages of a removal.
#include "install/install.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/lang.h"
#include "platform/platform.h"
#include "util/setup_log.h"
#include "util/util.h"

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

// ---------------------------------------------------------------------------------------------------
// Uninstaller

static const char uninstall_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TovekZarnith_PCNative";
static const char uninstall_caption[] = N_("Tovek Zarnith uninstall");
static const char temp_copy_name[] = "zarnith_uninstall.exe";

// The setup's own files in the install folder, deleted by a removal.
static const char *const files[] = {"zarnith.exe", "uninstall.exe", "zarnith_pc.ini", "zarnith.log", "setup.log"};

// 1 when both paths name one file: the same text, or the same file reached another way
// ("C:\Games\TZ\\uninstall.exe", a short name, other letter case, forward slashes).
static int same_file(const char *a, const char *b) {
    return ascii_equal(a, b) || pf_same_file(a, b);
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
    char copy[PATH_BUF];
    // Running as the installed uninstall.exe, a copy would be the file onto itself: it would empty the
    // program it reads from.
    if (pf_self_path(self, sizeof self) && join_path(copy, dir, "uninstall.exe") && !same_file(self, copy))
        CopyFileA(self, copy, FALSE);

    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, uninstall_key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    char text[JOIN_BUF];
    set_string(key, "DisplayName", "Tovek Zarnith (PC Native)");
    set_string(key, "DisplayVersion", ZARNITH_VERSION);  // the version resource's, from the build
    fmt(text, sizeof text, "\"%s\\uninstall.exe\" /uninstall", dir);
    set_string(key, "UninstallString", text);
    size_t n = strlen(text);
    fmt(text + n, sizeof text - n, " /quiet");
    set_string(key, "QuietUninstallString", text);
    fmt(text, sizeof text, "%s\\zarnith.exe,0", dir);
    set_string(key, "DisplayIcon", text);
    set_string(key, "InstallLocation", dir);
    SYSTEMTIME now;
    GetLocalTime(&now);
    fmt(text, sizeof text, "%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
    set_string(key, "InstallDate", text);
    set_string(key, "Publisher", "PC Native port (fan project)");
    set_dword(key, "EstimatedSize", static_cast<DWORD>((cd_bytes + 0x1400000u) / 1024));
    set_dword(key, "NoModify", 1);
    set_dword(key, "NoRepair", 1);
    RegCloseKey(key);
}

void set_uninstall_icon(const char *icon_file) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, uninstall_key, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    set_string(key, "DisplayIcon", icon_file);
    RegCloseKey(key);
}

// ---------------------------------------------------------------------------------------------------
// The entry as it was, for an install that fails to put back

struct KeyValue {
    char name[256];
    DWORD type;
    BYTE *data;
    DWORD size;
};

struct KeySnapshot {
    int existed;
    KeyValue *values;
    DWORD count;
};

KeySnapshot *uninstall_key_save() {
    KeySnapshot *k = static_cast<KeySnapshot *>(calloc(1, sizeof(KeySnapshot)));
    HKEY key;
    if (!k || RegOpenKeyExA(HKEY_CURRENT_USER, uninstall_key, 0, KEY_READ, &key) != ERROR_SUCCESS) return k;
    k->existed = 1;
    DWORD count = 0, longest = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, &longest,
                         nullptr, nullptr) == ERROR_SUCCESS &&
        count > 0)
        k->values = static_cast<KeyValue *>(calloc(count, sizeof(KeyValue)));
    for (DWORD i = 0; k->values && i < count; ++i) {
        KeyValue *v = &k->values[k->count];
        DWORD name_len = sizeof v->name;
        v->size = longest;
        v->data = static_cast<BYTE *>(malloc(longest ? longest : 1));
        if (v->data &&
            RegEnumValueA(key, i, v->name, &name_len, nullptr, &v->type, v->data, &v->size) == ERROR_SUCCESS)
            ++k->count;
        else
            free(v->data);
    }
    RegCloseKey(key);
    return k;
}

void uninstall_key_restore(const KeySnapshot *k) {
    if (!k) return;
    RegDeleteKeyA(HKEY_CURRENT_USER, uninstall_key);
    HKEY key;
    if (!k->existed || RegCreateKeyExA(HKEY_CURRENT_USER, uninstall_key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0; i < k->count; ++i)
        RegSetValueExA(key, k->values[i].name, 0, k->values[i].type, k->values[i].data, k->values[i].size);
    RegCloseKey(key);
}

void uninstall_key_free(KeySnapshot *k) {
    if (!k) return;
    for (DWORD i = 0; i < k->count; ++i) free(k->values[i].data);
    free(k->values);
    free(k);
}

// ---------------------------------------------------------------------------------------------------
// Removal

// 1 when the uninstall key names dir (of the form of an install folder) as its install location.
// The entry's InstallLocation into location (PATH_BUF), as written there. 1/0.
static int registered_location(char *location) {
    DWORD size = PATH_BUF;
    return RegGetValueA(HKEY_CURRENT_USER, uninstall_key, "InstallLocation", RRF_RT_REG_SZ, nullptr, location, &size) ==
           ERROR_SUCCESS;
}

static int key_names(const char *dir) {
    char location[PATH_BUF];
    return registered_location(location) && same_folder(location, dir);
}

int registered_install(char *folder) {
    char location[PATH_BUF], form[PATH_BUF];
    folder[0] = '\0';
    if (!registered_location(location) || folder_form(location, form) != FOLDER_OK || !holds_install(location)) return 0;
    fmt(folder, PATH_BUF, "%s", location);
    return 1;
}

// Deletes the shortcut when it leads into dir; one to another install (or anything else) stays. 1 when
// it led into dir and could not be deleted.
static int remove_link_into(const char *link, const char *dir) {
    if (!link[0] || !path_exists(link)) return 0;
    IShellLinkA *sl = nullptr;
    IPersistFile *pf = nullptr;
    char target[PATH_BUF] = "";
    WCHAR wide[PATH_BUF];
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void **>(&sl)))) {
        if (SUCCEEDED(sl->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&pf)))) {
            if (MultiByteToWideChar(CP_ACP, 0, link, -1, wide, PATH_BUF) > 0 && SUCCEEDED(pf->Load(wide, STGM_READ)))
                sl->GetPath(target, sizeof target, nullptr, SLGP_RAWPATH);
            pf->Release();
        }
        sl->Release();
    }
    if (!target[0] || !path_inside(target, dir)) return 0;
    DeleteFileA(link);
    return path_exists(link);
}

// The removal of an install from before installs kept a record: the game tree and the setup's files
// by name. 1 when all of them are gone.
static int remove_by_layout(const char *folder) {
    char path[PATH_BUF];
    int left = 0;  // something the removal meant to delete is still there
    // A "game" folder or one of the files that is a link to something elsewhere loses the link at
    // most, never what it points to.
    if (join_path(path, folder, "game")) {
        if (pf_is_link(path))
            pf_remove_link(path);
        else if (is_dir(path))
            delete_tree(path);
        left |= path_exists(path);
    }
    for (const char *name : files) {
        if (!join_path(path, folder, name)) continue;
        if (pf_is_link(path))
            pf_remove_link(path);
        else
            DeleteFileA(path);
        left |= path_exists(path);
    }
    // The folder itself may stay for the user's own files in it; that is no failure.
    RemoveDirectoryA(folder);
    return !left;
}

int do_uninstall(const char *dir) {
    char folder[PATH_BUF];
    // Only a full path below a drive or share root: a root's "game" folder and files belong to nobody in
    // particular, "." or ".." parts could lead elsewhere, and a cut folder name is another folder.
    if (folder_form(dir, folder) != FOLDER_OK) return UNINSTALL_REFUSED;
    char exe[PATH_BUF], uninstaller[PATH_BUF];
    if (!join_path(exe, folder, "zarnith.exe") || !join_path(uninstaller, folder, "uninstall.exe"))
        return UNINSTALL_REFUSED;
    Record *record = record_load(folder);
    int listed = record_count(record) > 0;
    int registered = key_names(folder);
    // Without a record, only a folder that holds the game or its uninstaller and looks like an install
    // of this game is taken for one: the first stage takes the folder of whatever copy of the setup
    // runs it, which may be a downloads folder with another "game" in it.
    int program = (path_exists(exe) && !is_dir(exe)) || (path_exists(uninstaller) && !is_dir(uninstaller));
    if (!listed && !(program && (registered || legacy_install(folder)))) {
        record_free(record);
        return UNINSTALL_REFUSED;
    }
    // Nothing goes from under the running game, nor its entry: the removal can be made again later.
    if (game_running(folder)) {
        record_free(record);
        return UNINSTALL_IN_USE;
    }

    // The shortcuts and the entry go only when they are this folder's: after an install elsewhere they
    // belong to that one.
    char startmenu_link[PATH_BUF], desktop_link[PATH_BUF];
    shortcut_paths(startmenu_link, desktop_link);
    CoInitialize(nullptr);
    int links_left = remove_link_into(startmenu_link, folder) | remove_link_into(desktop_link, folder);
    CoUninitialize();
    if (registered) RegDeleteKeyA(HKEY_CURRENT_USER, uninstall_key);

    int gone = listed ? record_remove(folder, record) : remove_by_layout(folder);
    record_free(record);
    HKEY key;
    if (registered && RegOpenKeyExA(HKEY_CURRENT_USER, uninstall_key, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        gone = 0;
    }
    return gone && !links_left ? UNINSTALL_DONE : UNINSTALL_PARTLY;
}

// The temporary copy's path ("%szarnith_uninstall.exe" over the temporary folder) and the temporary
// folder itself; 0 when there is no usable temporary folder.
static int temp_copy_path(char *tmp, char *copy) {
    DWORD n = GetTempPathA(SHORT_PATH, tmp);
    if (n == 0 || n >= SHORT_PATH) return 0;
    fmt(copy, PATH_BUF, "%s%s", tmp, temp_copy_name);
    return 1;
}

void uninstall_stage1(int quiet) {
    char self[PATH_BUF], dir[PATH_BUF];
    if (!pf_self_path(self, sizeof self) || !self_folder(dir, sizeof dir)) return;

    if (!quiet && MessageBoxW(nullptr, ui("Remove Tovek Zarnith (PC Native) and its saved games?").s,
                              ui(uninstall_caption).s, MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;

    char tmp[SHORT_PATH], copy[PATH_BUF];
    if (!temp_copy_path(tmp, copy)) return;
    // Without a fresh copy an older zarnith_uninstall.exe left in the temporary folder would run.
    if (!same_file(self, copy) && !CopyFileA(self, copy, FALSE)) return;

    char cmd[CMD_BUF];
    // The second stage goes on in the first one's language, also one that "/lang" chose.
    fmt(cmd, sizeof cmd, "\"%s\" /uninstall2 \"%s\"%s /lang %s", copy, dir, quiet ? " /quiet" : "", lang_code());
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

void uninstall_wait_first_stage() {
    DWORD self = GetCurrentProcessId(), parent = 0;
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32 e;
    e.dwSize = sizeof e;
    for (BOOL more = Process32First(snap, &e); more && !parent; more = Process32Next(snap, &e))
        if (e.th32ProcessID == self) parent = e.th32ParentProcessID;
    CloseHandle(snap);
    HANDLE p = parent ? OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent) : nullptr;
    if (!p) return;
    // A parent id outlives its process and may already name a newer one, which is no first stage. The
    // clock ticks coarsely: a first stage and the stage it starts may share one creation time.
    FILETIME theirs, ours, unused[3];
    if (GetProcessTimes(p, &theirs, &unused[0], &unused[1], &unused[2]) &&
        GetProcessTimes(GetCurrentProcess(), &ours, &unused[0], &unused[1], &unused[2]) &&
        CompareFileTime(&theirs, &ours) <= 0)
        WaitForSingleObject(p, 10000);
    CloseHandle(p);
}

void uninstall_stage2(const char *dir, int quiet) {
    int removed = do_uninstall(dir);
    if (!quiet) {
        if (removed == UNINSTALL_DONE) {
            MessageBoxW(nullptr, ui("Tovek Zarnith has been removed.").s, ui(uninstall_caption).s,
                        MB_OK | MB_ICONINFORMATION);
        } else if (removed == UNINSTALL_PARTLY) {
            // Said plainly, so that the user closes what holds the files (the game itself, most often)
            // and removes the rest.
            char text[JOIN_BUF];
            fmt(text, sizeof text, N_("Tovek Zarnith has been removed, but some files could not be deleted: %s"), dir);
            MessageBoxW(nullptr, ui(text).s, ui(uninstall_caption).s, MB_OK | MB_ICONWARNING);
        } else if (removed == UNINSTALL_IN_USE) {
            MessageBoxW(nullptr, ui(GAME_RUNNING_REMOVAL).s, ui(uninstall_caption).s, MB_OK | MB_ICONWARNING);
        } else {
            char text[JOIN_BUF];
            fmt(text, sizeof text, N_("Nothing was removed: '%s' is not a Tovek Zarnith install folder."), dir ? dir : "");
            MessageBoxW(nullptr, ui(text).s, ui(uninstall_caption).s, MB_OK | MB_ICONWARNING);
        }
    }
    uninstall_forget_copy();
}

void uninstall_forget_copy() {
    // Only the temporary copy goes at the next restart; a setup started by hand with /uninstall2 stays.
    char self[PATH_BUF], tmp[SHORT_PATH], copy[PATH_BUF];
    if (pf_self_path(self, sizeof self) && temp_copy_path(tmp, copy) && same_file(self, copy))
        MoveFileExA(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

#endif
