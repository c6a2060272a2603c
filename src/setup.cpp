#include "setup.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "cdsrc.h"
#include "platform.h"
#include "util.h"

#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#endif

Options opts;
int quiet;
int silent;
static FILE *logf;  // the open setup log, or none
// Copy workers log their failures from their own threads: one line is written and posted whole
// before the next begins.
static PfLock log_lock;

int setup_log_open(const char *path) {
    setup_log_close();
    logf = fopen(path, "w");
    return logf ? 1 : 0;
}

void setup_log_close() {
    if (logf) fclose(logf);
    logf = nullptr;
}

void setup_log(const char *format, ...) {
    char line[LOG_BUF];
    va_list ap;
    va_start(ap, format);
    vfmt(line, sizeof line, format, ap);
    va_end(ap);
    pf_lock(&log_lock);
    if (logf) {
        fputs(line, logf);
        fputc('\n', logf);  // the text-mode file makes it CR LF on Windows
        fflush(logf);
    }
#ifdef _WIN32
    window_log(line);
#endif
    pf_unlock(&log_lock);
}

#ifdef _WIN32

static int same_switch(const char *arg, const char *sw) { return _stricmp(arg, sw) == 0; }

const char *const NAME_REFUSED =
    "A name you gave holds characters that this version of Windows cannot pass to the setup, so it would "
    "install into a different folder. Please choose a name without them, or use Windows 10 version 1903 or "
    "later.";

int wide_to_code_page(unsigned cp, const wchar_t *wide, char *out, size_t cap) {
    if (!out || cap == 0) return 0;
    out[0] = '\0';
    if (!wide || cap > 0x7FFFFFFF) return 0;
    // UTF-8 converts every character; only a lone surrogate cannot, and the flag makes that an error.
    // Any other code page would silently put a look-alike or '?' in place of a missing character.
    int utf8 = cp == CP_UTF8 || (cp == CP_ACP && GetACP() == CP_UTF8);
    BOOL defaulted = FALSE;
    int n = WideCharToMultiByte(cp, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, wide, -1, out,
                                static_cast<int>(cap), nullptr, utf8 ? nullptr : &defaulted);
    if (n > 0 && !defaulted) return 1;
    out[0] = '\0';
    return 0;
}

// The command line as ANSI strings, converted once; argv[argc] is none. Lives until the process ends.
// *refused receives the index of the first argument that the code page cannot hold exactly (0: none);
// that argument is left empty rather than turned into some other name.
static char **ansi_arguments(int *argc, int *refused) {
    *argc = 0;
    *refused = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), argc);
    if (!wide) return static_cast<char **>(calloc(1, sizeof(char *)));
    char **argv = static_cast<char **>(calloc(static_cast<size_t>(*argc) + 1, sizeof(char *)));
    for (int i = 0; argv && i < *argc; ++i) {
        // A UTF-8 character takes at most three bytes per UTF-16 unit.
        size_t need = wcslen(wide[i]) * 3 + 1;
        char *a = static_cast<char *>(malloc(need));
        if (!a) continue;
        if (!wide_to_code_page(CP_ACP, wide[i], a, need) && i > 0 && !*refused) *refused = i;
        argv[i] = a;
    }
    LocalFree(wide);
    if (!argv) *argc = 0;
    return argv;
}

// Opens "zarnith_setup.log" in the temporary folder; without a usable temporary folder the run goes on
// without a log file, as when the file cannot be opened.
static void open_log() {
    char tmp[SHORT_PATH];
    DWORD n = GetTempPathA(sizeof tmp, tmp);
    if (n == 0 || n >= sizeof tmp) return;
    size_t len = strlen(tmp);
    if (len >= 259) return;
    char path[SHORT_PATH];
    fmt(path, sizeof path, "%s%.*s", tmp, static_cast<int>(259 - len), "zarnith_setup.log");
    setup_log_open(path);
}

// Takes the source at `path` into opts.cd when it is the game CD.
static void try_cd(const char *path) {
    CdSrc *s = cd_open(path);
    if (!s) return;
    if (is_zarnith_cd(s)) fmt(opts.cd, sizeof opts.cd, "%s", path);
    cd_close(s);
}

static void detect_drives() {
    DWORD mask = GetLogicalDrives();
    for (int d = 2; d <= 25 && !opts.cd[0]; ++d) {
        if (!(mask & (1u << d))) continue;
        char root[4] = {static_cast<char>('A' + d), ':', '\\', '\0'};
        if (GetDriveTypeA(root) != DRIVE_CDROM) continue;
        try_cd(root);
    }
}

// The extensions that detection opens: images and the descriptors that lead to one. Data files
// (.bin, .img, .mdf) are found through their descriptor.
static int is_image_name(const char *dot) {
    static const char *const exts[] = {".iso", ".cue", ".ccd", ".mds", ".nrg"};
    for (const char *e : exts)
        if (_stricmp(dot, e) == 0) return 1;
    return 0;
}

// Looks for images and descriptors beside the setup executable; the first accepted one wins.
static void detect_images() {
    char folder[PATH_BUF];
    DWORD n = GetModuleFileNameA(nullptr, folder, sizeof folder);
    if (n == 0 || n >= sizeof folder) return;
    char *cut = strrchr(folder, '\\');
    if (cut) *cut = '\0';
    char pattern[PATH_BUF];
    fmt(pattern, sizeof pattern, "%s\\*", folder);
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        char full[JOIN_BUF];
        fmt(full, sizeof full, "%s\\%s", folder, fd.cFileName);
        if (opts.cd[0]) continue;
        const char *dot = strrchr(fd.cFileName, '.');
        if (!dot || !is_image_name(dot)) continue;
        try_cd(full);
    } while (FindNextFileA(h, &fd));
    FindClose(h);
}

static void apply_options(int argc, char **argv) {
    // The shell starts a program with a dropped file or folder as its only argument: a bare existing
    // path is the CD, unless "/cd" names one.
    const char *dropped = nullptr;
    int cd_given = 0;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i] ? argv[i] : "";
        const char *value = (i + 1 < argc && argv[i + 1]) ? argv[i + 1] : "";
        if (same_switch(a, "/silent")) {
            silent = 1;
        } else if (same_switch(a, "/nodesktop")) {
            opts.desktop = 0;
        } else if (same_switch(a, "/nostartmenu")) {
            opts.startmenu = 0;
        } else if (same_switch(a, "/cd")) {
            fmt(opts.cd, sizeof opts.cd, "%s", value);
            cd_given = 1;
            ++i;
        } else if (same_switch(a, "/dir")) {
            fmt(opts.dir, sizeof opts.dir, "%s", value);
            ++i;
        } else if (a[0] && a[0] != '/' && !dropped && path_exists(a)) {
            dropped = a;
        }
    }
    if (dropped && !cd_given) fmt(opts.cd, sizeof opts.cd, "%s", dropped);
}

static int has_switch(int argc, char **argv, const char *sw) {
    for (int i = 1; i < argc; ++i)
        if (argv[i] && same_switch(argv[i], sw)) return 1;
    return 0;
}

// A name that the code page cannot hold exactly is refused before anything is done with it: a
// look-alike would install into, or remove, some other folder.
static int refuse_arguments(int argc, char **argv, int refused) {
    int removing = has_switch(argc, argv, "/uninstall") || has_switch(argc, argv, "/uninstall2");
    if (!removing) {
        open_log();
        setup_log("setup started");
    }
    setup_log("ERROR: argument %d holds characters that code page %u cannot hold; nothing was done", refused,
              GetACP());
    if (!has_switch(argc, argv, "/silent") && !(removing && quiet))
        MessageBoxA(nullptr, NAME_REFUSED, "Tovek Zarnith setup", MB_ICONERROR);
    setup_log_close();
    return 1;
}

// A setup.exe is usually started from a downloads folder, where a planted DLL with the name of one that
// Windows or a shell extension loads later would otherwise be found first. From here on DLLs come from
// System32 only (SetDefaultDllDirectories exists from Windows 8, and on 7 with KB2533623, so it is looked
// up rather than imported: without it the program must still start), and the current folder is out of
// the search path in any case.
static void restrict_dll_search() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFn set_default = nullptr;
    if (kernel) {
        FARPROC f = GetProcAddress(kernel, "SetDefaultDllDirectories");
        static_assert(sizeof f == sizeof set_default, "function pointers of one size");
        memcpy(&set_default, &f, sizeof f);
    }
    if (set_default) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryA("");
}

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR, int show) {
    restrict_dll_search();
    int argc = 0, refused = 0;
    char **argv = ansi_arguments(&argc, &refused);

    for (int i = 1; i < argc; ++i)
        if (argv[i] && same_switch(argv[i], "/quiet")) quiet = 1;
    if (refused) return refuse_arguments(argc, argv, refused);
    for (int i = 1; i < argc; ++i) {
        if (!argv[i]) continue;
        if (same_switch(argv[i], "/uninstall")) {
            uninstall_stage1();
            return 0;
        }
        if (same_switch(argv[i], "/uninstall2")) {
            if (i + 1 >= argc) break;  // no folder: start the setup normally
            uninstall_stage2(argv[i + 1] ? argv[i + 1] : "");
            return 0;
        }
    }

    open_log();
    setup_log("setup started");
    // An empty CD drive or card reader must fail the probe quietly, not stop the setup behind a
    // "no disk in the drive" box; the install reads the CD under the same rule.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    detect_drives();
    detect_images();
    if (!opts.dir[0]) fmt(opts.dir, sizeof opts.dir, "%s", "C:\\Games\\Tovek Zarnith PC");
    opts.desktop = 1;
    opts.startmenu = 1;
    setup_log("defaults: cd '%s' dir '%s'", opts.cd, opts.dir);
    apply_options(argc, argv);

    int code = 0;
    if (silent) {
        code = do_install(&opts, nullptr, nullptr) ? 0 : 1;
    } else {
        INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&icc);
        CoInitialize(nullptr);
        code = run_window(inst, show) ? 0 : 1;
    }
    setup_log_close();
    return code;
}

#endif
