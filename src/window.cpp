// The main window of a window run and its background install: the worker thread runs the install
// sequence and reaches the window only through posted messages; only the window thread touches controls.
#include "window.h"

#include <cstdlib>
#include <cstring>

#include "cmdline.h"
#include "setup_log.h"
#include "util.h"

#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

// Messages posted to the main window by the log, the progress callback and the worker.
constexpr UINT WM_SETUP_LOG = WM_APP + 1;       // lParam: heap copy of one log line, freed by the window
constexpr UINT WM_SETUP_PROGRESS = WM_APP + 2;  // wParam: permille 0..1000
constexpr UINT WM_SETUP_DONE = WM_APP + 3;      // wParam: 1 installed, 0 failed
static HWND hwnd;  // the main window, or none

// The log's mirror while the window exists: a heap copy of each line goes to the window's list.
static void window_log(const char *line) {
    if (!hwnd || silent) return;
    // The window frees the copy; without memory the line reaches the file only.
    char *copy = strdup(line);
    if (copy && !PostMessageA(hwnd, WM_SETUP_LOG, 0, reinterpret_cast<LPARAM>(copy))) free(copy);
}


constexpr int IDC_IMAGE = 101, IDC_FOLDER = 102, IDC_BROWSE = 103, IDC_INSTALL = 104, IDC_CLOSE = 105;
constexpr DWORD MAIN_STYLE = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;  // fixed size, no maximise
static const char *const CAPTION = "Tovek Zarnith setup";

static HFONT font;
static HWND e_cd, e_dir, c_start, c_desk, prog, st, lst, b_install, b_close;
static HWND focus;   // the control that has the keyboard focus while the window is active
static int busy;     // a worker runs
static int done_ok;  // the install succeeded: Install means Play
static int stopping;  // Yes to the stop question: the worker takes back what it wrote, then the window closes
static int exit_code;  // the process's, when the window is gone
static int dpi = 96;  // the screen's pixels per inch; the layout below is given for 96

// Every coordinate and size of the window passes through here, so the 96-DPI figures hold exactly at 96
// DPI and grow with the system font elsewhere (the font already follows the DPI; fixed pixel boxes would
// cut its text).
static int px(int v) { return MulDiv(v, dpi, 96); }

static HWND mk(const char *cls, const char *text, DWORD style, int x, int y, int w, int h, int id) {
    HWND c = CreateWindowExA(strcmp(cls, "EDIT") == 0 ? WS_EX_CLIENTEDGE : 0, cls, text,
                             style | WS_CHILD | WS_VISIBLE, px(x), px(y), px(w), px(h), hwnd,
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

// The wide forms: where the code page is not UTF-8, the ANSI ones would hand back a look-alike of a name
// outside it ("Lodz" for "Łódź"), and the install would go there; the field keeps the real name.
static void browse_folder(HWND field, const wchar_t *title) {
    wchar_t display[MAX_PATH];
    BROWSEINFOW bi = {};
    bi.hwndOwner = hwnd;
    bi.pszDisplayName = display;
    bi.lpszTitle = title;
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&bi);
    if (!item) return;
    wchar_t path[MAX_PATH];
    if (SHGetPathFromIDListW(item, path)) {
        // A folder picked for the install gets the game's own folder in it (see browse_target).
        char picked[PATH_BUF], target[PATH_BUF];
        wchar_t wide[PATH_BUF];
        if (field == e_dir && wide_to_code_page(CP_ACP, path, picked, sizeof picked)) {
            browse_target(picked, target);
            if (MultiByteToWideChar(CP_ACP, 0, target, -1, wide, PATH_BUF) > 0) SetWindowTextW(field, wide);
        } else {
            SetWindowTextW(field, path);
        }
    }
    CoTaskMemFree(item);
}

static void on_image() {
    char file[PATH_BUF] = {};
    GetWindowTextA(e_cd, file, sizeof file);
    if (is_dir(file)) file[0] = '\0';  // a drive or folder is no file name to start from
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd;
    ofn.lpstrFilter = "CD images (*.iso;*.cue;*.bin;*.ccd;*.img;*.mds;*.mdf;*.nrg)\0"
                      "*.iso;*.cue;*.bin;*.ccd;*.img;*.mds;*.mdf;*.nrg\0All files\0*.*\0";
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

// Reads a field as the user sees it; 0 (after saying so) when the code page cannot hold its text exactly.
static int field_text(HWND field, char *out, size_t cap) {
    wchar_t wide[PATH_BUF];
    GetWindowTextW(field, wide, PATH_BUF);
    if (wide_to_code_page(CP_ACP, wide, out, cap)) return 1;
    setup_log("ERROR: %s", "a field holds characters that this system cannot pass on");
    MessageBoxA(hwnd, NAME_REFUSED, CAPTION, MB_ICONWARNING);
    return 0;
}

static void on_install() {
    if (busy) return;  // Enter reaches here too, also while the button is disabled
    if (done_ok) {
        char exe[JOIN_BUF];
        fmt(exe, sizeof exe, "%s\\zarnith.exe", opts.dir);
        ShellExecuteA(nullptr, "open", exe, nullptr, opts.dir, SW_SHOWNORMAL);
        DestroyWindow(hwnd);
        return;
    }
    if (!field_text(e_cd, opts.cd, sizeof opts.cd) || !field_text(e_dir, opts.dir, sizeof opts.dir)) return;
    opts.startmenu = SendMessageA(c_start, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    opts.desktop = SendMessageA(c_desk, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
    if (!opts.cd[0] || !opts.dir[0]) {
        MessageBoxA(hwnd, "Please choose the CD and the install folder.", CAPTION, MB_ICONWARNING);
        return;
    }
    // The game's files cannot be written while it runs; the player closes it and tries again here.
    while (game_running(opts.dir)) {
        char text[JOIN_BUF];
        fmt(text, sizeof text, "Tovek Zarnith is running from %s. Close the game, then press Retry.", opts.dir);
        if (MessageBoxA(hwnd, text, CAPTION, MB_ICONWARNING | MB_RETRYCANCEL) != IDRETRY) return;
    }
    char previous[PATH_BUF];
    if (install_moves(opts.dir, previous)) {
        char text[JOIN_BUF + PATH_BUF];
        fmt(text, sizeof text, "Tovek Zarnith is installed in %s. Move it to %s? Your saved games come along.", previous,
            opts.dir);
        if (MessageBoxA(hwnd, text, CAPTION, MB_ICONQUESTION | MB_YESNO) != IDYES) return;
    }
    busy = 1;
    // A disabled control loses the focus, and with it Escape; the focus moves on to Cancel.
    if (GetFocus() == b_install) SetFocus(b_close);
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
    if (stopping) return;  // the worker is taking back what it wrote; the window closes when it is done
    if (busy) {
        if (MessageBoxA(hwnd, "Stop the installation?", CAPTION, MB_ICONQUESTION | MB_YESNO) != IDYES) return;
        // The question's own message loop may have delivered the end of the install meanwhile.
        if (busy) {
            stopping = 1;
            copy_stop(1);
            SetWindowTextA(st, "Stopping the installation...");
            EnableWindow(b_close, FALSE);
            return;
        }
    }
    DestroyWindow(hwnd);
}

static void on_log(char *line) {
    LRESULT index = SendMessageA(lst, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
    SendMessageA(lst, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    if (!stopping) SetWindowTextA(st, line);
    free(line);
}

static void on_done(int ok) {
    busy = 0;
    if (stopping) {
        // Stopped: what the install wrote has been taken back. An install that reached its end before
        // the stop took hold is whole, and the window closes as after any other.
        exit_code = ok ? 0 : 1;
        DestroyWindow(hwnd);
        return;
    }
    if (ok) {
        done_ok = 1;
        SendMessageA(prog, PBM_SETPOS, 1000, 0);
        SetWindowTextA(st, "Tovek Zarnith is installed.");
        SetWindowTextA(b_install, "Play");
        EnableWindow(b_install, TRUE);
        SetWindowTextA(b_close, "Close");
        SetFocus(b_install);
    } else {
        show_failed();
    }
}

// A file or folder dropped on the window becomes the CD.
static void on_drop(HDROP drop) {
    wchar_t path[PATH_BUF];
    UINT n = DragQueryFileW(drop, 0, path, PATH_BUF);
    if (n > 0 && n < PATH_BUF) SetWindowTextW(e_cd, path);
    DragFinish(drop);
}

// Keeps the focused control across a switch to another window and back, as a dialog box does.
static void on_activate(int active) {
    if (!active) {
        HWND f = GetFocus();
        if (f && IsChild(hwnd, f)) focus = f;
    } else if (focus) {
        SetFocus(focus);
    }
}

static void on_command(int id) {
    switch (id) {
    case IDCANCEL: on_close_request(); break;  // Escape, through IsDialogMessage
    case IDC_IMAGE: on_image(); break;
    case IDC_FOLDER: browse_folder(e_cd, L"Tovek Zarnith CD (drive or folder)"); break;
    case IDC_BROWSE: browse_folder(e_dir, L"Install folder"); break;
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
    case DM_GETDEFID: return MAKELRESULT(IDC_INSTALL, DC_HASDEFID);  // Enter means Install (or Play)
    case WM_ACTIVATE: on_activate(LOWORD(wp) != WA_INACTIVE); return 0;
    case WM_DROPFILES: on_drop(reinterpret_cast<HDROP>(wp)); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(w, m, wp, lp);
    }
}

int run_window(void *instance, int show) {
    HINSTANCE inst = static_cast<HINSTANCE>(instance);
    static_assert(sizeof(NONCLIENTMETRICSA) == 344, "the message-box font needs the full structure");
    NONCLIENTMETRICSA ncm = {};
    ncm.cbSize = sizeof ncm;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
    font = CreateFontIndirectA(&ncm.lfMessageFont);
    HDC screen = GetDC(nullptr);
    if (screen) {
        int d = GetDeviceCaps(screen, LOGPIXELSY);
        if (d > 0) dpi = d;
        ReleaseDC(nullptr, screen);
    }

    WNDCLASSA wc = {};
    wc.lpfnWndProc = wndproc;
    wc.hInstance = inst;
    wc.hIcon = LoadIconA(inst, MAKEINTRESOURCEA(1));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = "ZarnithSetup";
    RegisterClassA(&wc);
    RECT r = {0, 0, px(630), px(420)};
    AdjustWindowRect(&r, MAIN_STYLE, FALSE);
    hwnd = CreateWindowExA(0, "ZarnithSetup", "Tovek Zarnith - PC Native Setup", MAIN_STYLE, CW_USEDEFAULT,
                           CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr, nullptr, inst, nullptr);
    if (!hwnd) {
        setup_log("ERROR: %s", "cannot open the setup window");
        return 1;
    }

    // Created in visual order, which is the Tab order; the first control of each row starts a group.
    const DWORD TAB = WS_TABSTOP, ROW = WS_GROUP;
    mk("STATIC",
       "Install Tovek Zarnith as a native Windows game.\nYou need your Tovek Zarnith CD (the disc, an ISO / "
       "BIN+CUE image, or a copied folder).",
       SS_LEFT | ROW, 16, 14, 600, 36, 0);
    mk("STATIC", "CD:", ROW, 16, 66, 90, 20, 0);
    e_cd = mk("EDIT", opts.cd, ES_AUTOHSCROLL | TAB, 110, 62, 360, 24, 0);
    mk("BUTTON", "Image...", BS_PUSHBUTTON | TAB, 478, 62, 66, 24, IDC_IMAGE);
    mk("BUTTON", "Folder...", TAB, 548, 62, 66, 24, IDC_FOLDER);
    mk("STATIC", "Install to:", ROW, 16, 98, 90, 20, 0);
    e_dir = mk("EDIT", opts.dir, ES_AUTOHSCROLL | TAB, 110, 94, 360, 24, 0);
    mk("BUTTON", "Browse...", TAB, 478, 94, 136, 24, IDC_BROWSE);
    c_start = mk("BUTTON", "Start menu shortcut", BS_AUTOCHECKBOX | TAB | ROW, 16, 134, 200, 22, 0);
    c_desk = mk("BUTTON", "Desktop shortcut", BS_AUTOCHECKBOX | TAB, 230, 134, 200, 22, 0);
    prog = mk("msctls_progress32", "", ROW, 16, 168, 598, 18, 0);
    st = mk("STATIC", "Ready. About 500 MB of free space is needed.", ROW, 16, 192, 598, 20, 0);
    lst = mk("LISTBOX", "", WS_BORDER | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | TAB | ROW, 16, 216, 598, 110, 0);
    b_install = mk("BUTTON", "Install", BS_DEFPUSHBUTTON | TAB | ROW, 418, 336, 96, 30, IDC_INSTALL);
    b_close = mk("BUTTON", "Cancel", TAB, 518, 336, 96, 30, IDC_CLOSE);

    SendMessageA(c_start, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(c_desk, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(prog, PBM_SETRANGE32, 0, 1000);
    DragAcceptFiles(hwnd, TRUE);
    // The start-up logged before the window existed ("setup started", the defaults, an argument it did
    // not understand): the list begins with those lines; the status line stays at its greeting.
    setup_log_replay([](const char *line) {
        SendMessageA(lst, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line));
    });
    setup_log_mirror(window_log);
    focus = opts.cd[0] ? b_install : e_cd;
    ShowWindow(hwnd, show);
    SetFocus(focus);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(hwnd, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    setup_log_mirror(nullptr);
    return exit_code;
}

#endif
