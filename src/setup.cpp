#include "setup.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdsrc.h"
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
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n < 0) line[0] = '\0';
    if (logf) {
        fprintf(logf, "%s\n", line);
        fflush(logf);
    }
#ifdef _WIN32
    window_log(line);
#endif
}

#ifdef _WIN32

static int same_switch(const char *arg, const char *sw) { return _stricmp(arg, sw) == 0; }

// The command line as ANSI strings, converted once; argv[argc] is none. Lives until the process ends.
static char **ansi_arguments(int *argc) {
    *argc = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), argc);
    if (!wide) return static_cast<char **>(calloc(1, sizeof(char *)));
    char **argv = static_cast<char **>(calloc(static_cast<size_t>(*argc) + 1, sizeof(char *)));
    for (int i = 0; argv && i < *argc; ++i) {
        int need = WideCharToMultiByte(CP_ACP, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        char *a = static_cast<char *>(malloc(need > 0 ? need : 1));
        if (!a) continue;
        a[0] = '\0';
        if (need > 0) WideCharToMultiByte(CP_ACP, 0, wide[i], -1, a, need, nullptr, nullptr);
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
            ++i;
        } else if (same_switch(a, "/dir")) {
            fmt(opts.dir, sizeof opts.dir, "%s", value);
            ++i;
        }
    }
}

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR, int show) {
    int argc = 0;
    char **argv = ansi_arguments(&argc);

    for (int i = 1; i < argc; ++i)
        if (argv[i] && same_switch(argv[i], "/quiet")) quiet = 1;
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
