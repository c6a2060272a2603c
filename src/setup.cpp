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
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#endif

Options opts;
int quiet;
int silent;
static FILE *logf;  // the open setup log, or none

#ifdef _WIN32
// Messages posted to the main window by the log, the progress callback and the worker.
constexpr UINT WM_SETUP_LOG = WM_APP + 1;       // lParam: heap copy of one log line, freed by the window
constexpr UINT WM_SETUP_PROGRESS = WM_APP + 2;  // wParam: permille 0..1000
constexpr UINT WM_SETUP_DONE = WM_APP + 3;      // wParam: 1 installed, 0 failed
static HWND hwnd;  // the main window, or none
#endif

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
    if (hwnd && !silent) {
        // The window frees the copy; without memory the line reaches the file only.
        char *copy = strdup(line);
        if (copy && !PostMessageA(hwnd, WM_SETUP_LOG, 0, reinterpret_cast<LPARAM>(copy))) free(copy);
    }
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

// Looks for ".iso" and ".cue" files beside the setup executable; the first accepted one wins.
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
        if (!dot || (_stricmp(dot, ".iso") != 0 && _stricmp(dot, ".cue") != 0)) continue;
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


// ---------------------------------------------------------------------------------------------------
// Main window. Only this thread touches controls; the worker reaches the window by posted messages.

constexpr int IDC_IMAGE = 101, IDC_FOLDER = 102, IDC_BROWSE = 103, IDC_INSTALL = 104, IDC_CLOSE = 105;
constexpr DWORD MAIN_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // fixed size, no maximise
static const char *const CAPTION = "Tovek Zarnith setup";

static HFONT font;
static HWND e_cd, e_dir, c_start, c_desk, prog, st, lst, b_install, b_close;
static int busy;     // a worker runs
static int done_ok;  // the install succeeded: Install means Play

static HWND mk(const char *cls, const char *text, DWORD style, int x, int y, int w, int h, int id) {
    HWND c = CreateWindowExA(strcmp(cls, "EDIT") == 0 ? WS_EX_CLIENTEDGE : 0, cls, text,
                             style | WS_CHILD | WS_VISIBLE, x, y, w, h, hwnd,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
                             nullptr);
    SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return c;
}

// Progress callback of a windowed install: posts the permille whenever it changes.
static void on_progress(uint64_t done, uint64_t total, void *) {
    static int last = -1;
    int permille = 0;
    if (total) {
        uint64_t p = done * 1000 / total;
        permille = p > 1000 ? 1000 : static_cast<int>(p);
    }
    if (permille == last) return;
    if (!hwnd || silent) return;
    last = permille;
    PostMessageA(hwnd, WM_SETUP_PROGRESS, static_cast<WPARAM>(permille), 0);
}

static DWORD WINAPI worker(LPVOID) {
    int ok = do_install(&opts, on_progress, nullptr);
    PostMessageA(hwnd, WM_SETUP_DONE, static_cast<WPARAM>(ok), 0);
    return 0;
}

static void browse_folder(HWND field, const char *title) {
    char display[MAX_PATH];
    BROWSEINFOA bi = {};
    bi.hwndOwner = hwnd;
    bi.pszDisplayName = display;
    bi.lpszTitle = title;
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE item = SHBrowseForFolderA(&bi);
    if (!item) return;
    char path[MAX_PATH];
    if (SHGetPathFromIDListA(item, path)) SetWindowTextA(field, path);
    CoTaskMemFree(item);
}

static void on_image() {
    char file[PATH_BUF] = {};
    GetWindowTextA(e_cd, file, sizeof file);
    if (is_dir(file)) file[0] = '\0';  // a drive or folder is no file name to start from
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd;
    ofn.lpstrFilter = "CD images (*.iso;*.cue;*.bin)\0*.iso;*.cue;*.bin\0All files\0*.*\0";
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrTitle = "Tovek Zarnith CD";
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    if (GetOpenFileNameA(&ofn)) SetWindowTextA(e_cd, file);
}

static void show_failed() {
    SetWindowTextA(st, "The installation did not finish - see the messages above.");
    EnableWindow(b_install, TRUE);
    SetWindowTextA(b_close, "Close");
}

static void on_install() {
    if (done_ok) {
        char exe[JOIN_BUF];
        fmt(exe, sizeof exe, "%s\\zarnith.exe", opts.dir);
        ShellExecuteA(nullptr, "open", exe, nullptr, opts.dir, SW_SHOWNORMAL);
        DestroyWindow(hwnd);
        return;
    }
    GetWindowTextA(e_cd, opts.cd, sizeof opts.cd);
    GetWindowTextA(e_dir, opts.dir, sizeof opts.dir);
    opts.startmenu = SendMessageA(c_start, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    opts.desktop = SendMessageA(c_desk, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    if (!opts.cd[0] || !opts.dir[0]) {
        MessageBoxA(hwnd, "Please choose the CD and the install folder.", CAPTION, MB_ICONWARNING);
        return;
    }
    busy = 1;
    EnableWindow(b_install, FALSE);
    SetWindowTextA(b_close, "Cancel");
    SetWindowTextA(st, "Installing...");
    HANDLE t = CreateThread(nullptr, 0, worker, nullptr, 0, nullptr);
    if (!t) {
        // Without a worker the window would wait for good; report it and let the user try again.
        busy = 0;
        setup_log("ERROR: %s", "the installation could not be started");
        show_failed();
        return;
    }
    CloseHandle(t);
}

static void on_close_request() {
    if (busy) {
        if (MessageBoxA(hwnd, "Stop the installation?", CAPTION, MB_ICONQUESTION | MB_YESNO) != IDYES) return;
        // The question's own message loop may have delivered the end of the install meanwhile.
        if (busy) ExitProcess(1);
    }
    DestroyWindow(hwnd);
}

static void on_log(char *line) {
    LRESULT index = SendMessageA(lst, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
    SendMessageA(lst, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SetWindowTextA(st, line);
    free(line);
}

static void on_done(int ok) {
    busy = 0;
    if (ok) {
        done_ok = 1;
        SendMessageA(prog, PBM_SETPOS, 1000, 0);
        SetWindowTextA(st, "Tovek Zarnith is installed.");
        SetWindowTextA(b_install, "Play");
        EnableWindow(b_install, TRUE);
        SetWindowTextA(b_close, "Close");
    } else {
        show_failed();
    }
}

static void on_command(int id) {
    switch (id) {
    case IDC_IMAGE: on_image(); break;
    case IDC_FOLDER: browse_folder(e_cd, "Tovek Zarnith CD (drive or folder)"); break;
    case IDC_BROWSE: browse_folder(e_dir, "Install folder"); break;
    case IDC_INSTALL: on_install(); break;
    case IDC_CLOSE: on_close_request(); break;
    default: break;
    }
}

static LRESULT CALLBACK wndproc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    switch (m) {
    case WM_SETUP_LOG: on_log(reinterpret_cast<char *>(lp)); return 0;
    case WM_SETUP_PROGRESS: SendMessageA(prog, PBM_SETPOS, wp, 0); return 0;
    case WM_SETUP_DONE: on_done(wp != 0); return 0;
    case WM_CLOSE: on_close_request(); return 0;
    case WM_COMMAND: on_command(LOWORD(wp)); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(w, m, wp, lp);
    }
}

// Builds the main window and runs its message loop. 1 when the loop ran, 0 when no window came up.
static int run_window(HINSTANCE inst, int show) {
    static_assert(sizeof(NONCLIENTMETRICSA) == 344, "the message-box font needs the full structure");
    NONCLIENTMETRICSA ncm = {};
    ncm.cbSize = sizeof ncm;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
    font = CreateFontIndirectA(&ncm.lfMessageFont);

    WNDCLASSA wc = {};
    wc.lpfnWndProc = wndproc;
    wc.hInstance = inst;
    wc.hIcon = LoadIconA(inst, MAKEINTRESOURCEA(1));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = "ZarnithSetup";
    RegisterClassA(&wc);
    RECT r = {0, 0, 630, 420};
    AdjustWindowRect(&r, MAIN_STYLE, FALSE);
    hwnd = CreateWindowExA(0, "ZarnithSetup", "Tovek Zarnith - PC Native Setup", MAIN_STYLE, CW_USEDEFAULT,
                           CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr, nullptr, inst, nullptr);
    if (!hwnd) {
        setup_log("ERROR: %s", "cannot open the setup window");
        return 0;
    }

    mk("STATIC",
       "Install Tovek Zarnith as a native Windows game.\nYou need your Tovek Zarnith CD (the disc, an ISO / "
       "BIN+CUE image, or a copied folder).",
       SS_LEFT, 16, 14, 600, 36, 0);
    mk("STATIC", "CD:", 0, 16, 66, 90, 20, 0);
    e_cd = mk("EDIT", opts.cd, ES_AUTOHSCROLL, 110, 62, 360, 24, 0);
    mk("BUTTON", "Image...", BS_PUSHBUTTON, 478, 62, 66, 24, IDC_IMAGE);
    mk("BUTTON", "Folder...", 0, 548, 62, 66, 24, IDC_FOLDER);
    mk("STATIC", "Install to:", 0, 16, 98, 90, 20, 0);
    e_dir = mk("EDIT", opts.dir, ES_AUTOHSCROLL, 110, 94, 360, 24, 0);
    mk("BUTTON", "Browse...", 0, 478, 94, 136, 24, IDC_BROWSE);
    c_start = mk("BUTTON", "Start menu shortcut", BS_AUTOCHECKBOX, 16, 134, 200, 22, 0);
    c_desk = mk("BUTTON", "Desktop shortcut", BS_AUTOCHECKBOX, 230, 134, 200, 22, 0);
    prog = mk("msctls_progress32", "", 0, 16, 168, 598, 18, 0);
    st = mk("STATIC", "Ready. About 500 MB of free space is needed.", 0, 16, 192, 598, 20, 0);
    lst = mk("LISTBOX", "", WS_BORDER | WS_VSCROLL | LBS_NOINTEGRALHEIGHT, 16, 216, 598, 110, 0);
    b_install = mk("BUTTON", "Install", BS_DEFPUSHBUTTON, 418, 336, 96, 30, IDC_INSTALL);
    b_close = mk("BUTTON", "Cancel", 0, 518, 336, 96, 30, IDC_CLOSE);

    SendMessageA(c_start, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(c_desk, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(prog, PBM_SETRANGE32, 0, 1000);
    ShowWindow(hwnd, show);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(hwnd, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 1;
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
