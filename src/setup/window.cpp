// The main window of a window run and its background install: the worker thread runs the install
// sequence and reaches the window only through posted messages; only the window thread touches controls.
#include "setup/window.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "install/install.h"
#include "platform/platform.h"
#include "setup/cmdline.h"
#include "util/lang.h"
#include "util/setup_log.h"
#include "util/util.h"

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
constexpr UINT WM_SETUP_DONE = WM_APP + 3;      // wParam: 1 installed, 0 failed; lParam: files skipped
constexpr UINT WM_SETUP_ASK = WM_APP + 4;       // lParam: a Question of the worker's, answered through it
constexpr UINT WM_SETUP_STATUS = WM_APP + 5;    // wParam: MiB copied << 32 | MiB in all; lParam: seconds left or -1
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
static const char *const CAPTION = N_("Tovek Zarnith setup");

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

// Controls and boxes show their texts through the wide functions, in the player's language and in any
// script, whatever the code page.
static HWND mk(const wchar_t *cls, const wchar_t *text, DWORD style, int x, int y, int w, int h, int id) {
    HWND c = CreateWindowExW(wcscmp(cls, L"EDIT") == 0 ? WS_EX_CLIENTEDGE : 0, cls, text,
                             style | WS_CHILD | WS_VISIBLE, px(x), px(y), px(w), px(h), hwnd,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr),
                             nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    return c;
}

static void set_text(HWND c, const char *english) { SetWindowTextW(c, ui(english).s); }

static int box(const char *text, UINT style) { return MessageBoxW(hwnd, ui(text).s, ui(CAPTION).s, style); }

// The status line while the CD is copied, once a second: what is copied of how much, and the time left.
static void post_status(uint64_t done, uint64_t total) {
    static TimeLeft left;
    static uint64_t last_ms, last_done;
    uint64_t cd = total > INSTALL_REST_BYTES ? total - INSTALL_REST_BYTES : 0;
    if (done >= cd) return;  // the copy is over: the log's lines show again
    uint64_t now = pf_now_ms();
    if (done < last_done || !last_ms) {
        time_left_start(&left);  // a new install
        last_ms = now;
    }
    last_done = done;
    long seconds = time_left(&left, now, done, cd);
    if (now - last_ms < 1000) return;
    last_ms = now;
    WPARAM mib = static_cast<WPARAM>(done / MIB) << 32 | static_cast<WPARAM>(cd / MIB);
    PostMessageA(hwnd, WM_SETUP_STATUS, mib, static_cast<LPARAM>(seconds));
}

// Progress callback of a windowed install: posts the permille whenever it changes, and the status line.
static void on_progress(uint64_t done, uint64_t total, void *) {
    static int last = -1;
    if (!hwnd || silent) return;
    post_status(done, total);
    int permille = 0;
    if (total) {
        uint64_t p = done * 1000 / total;
        permille = p > 1000 ? 1000 : static_cast<int>(p);
    }
    if (permille == last) return;
    last = permille;
    PostMessageA(hwnd, WM_SETUP_PROGRESS, static_cast<WPARAM>(permille), 0);
}

// A question of the install, asked from a copy worker and answered on the window thread.
struct Question {
    int kind;
    const char *text;
    volatile LONG answer;  // -1 until the window has it
};

static int ask_window(void *, int kind, const char *text) {
    Question q = {kind, text, -1};
    if (!hwnd || !PostMessageA(hwnd, WM_SETUP_ASK, 0, reinterpret_cast<LPARAM>(&q))) return COPY_CANCEL;
    while (InterlockedCompareExchange(&q.answer, -1, -1) < 0) Sleep(50);
    return static_cast<int>(q.answer);
}

static DWORD WINAPI worker(LPVOID) {
    InstallUi ui = {on_progress, ask_window, nullptr, 0};
    int ok = do_install(&opts, &ui);
    PostMessageA(hwnd, WM_SETUP_DONE, static_cast<WPARAM>(ok), static_cast<LPARAM>(ui.skipped));
    return 0;
}

// The box for a file of the CD that does not read, a CD that is not in its drive, or a CD whose files are
// damaged: Retry (the default, Enter), skip the file or keep the damaged ones (not for a missing CD) and
// Cancel (Escape), in the player's language. A task dialog carries buttons of the setup's own words;
// without one (older comctl32), Retry and Cancel (Try Again, Continue and Cancel for damaged files).
static int trouble_box(int kind, const char *text) {
    typedef HRESULT(WINAPI * TaskDialogFn)(const TASKDIALOGCONFIG *, int *, int *, BOOL *);
    UiText body = ui(text), caption = ui(CAPTION), retry = ui("Retry"), cancel = ui("Cancel");
    UiText skip = ui(kind == ASK_DAMAGED ? "Keep them" : "Skip this file");
    TASKDIALOG_BUTTON buttons[] = {{IDRETRY, retry.s}, {IDIGNORE, skip.s}, {IDCANCEL, cancel.s}};
    if (kind == ASK_NO_CD) buttons[1] = buttons[2];
    TASKDIALOGCONFIG tc = {};
    tc.cbSize = sizeof tc;
    tc.hwndParent = hwnd;
    tc.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
    tc.pszWindowTitle = caption.s;
    tc.pszMainIcon = TD_WARNING_ICON;
    tc.pszContent = body.s;
    tc.cButtons = kind == ASK_NO_CD ? 2 : 3;
    tc.pButtons = buttons;
    tc.nDefaultButton = IDRETRY;
    HMODULE comctl = GetModuleHandleW(L"comctl32.dll");
    TaskDialogFn dialog = comctl ? reinterpret_cast<TaskDialogFn>(
                                       reinterpret_cast<void (*)()>(GetProcAddress(comctl, "TaskDialogIndirect")))
                                 : nullptr;
    int pressed = IDCANCEL;
    if (!dialog || FAILED(dialog(&tc, &pressed, nullptr, nullptr))) {
        if (kind != ASK_DAMAGED) {
            pressed = MessageBoxW(hwnd, body.s, caption.s, MB_ICONWARNING | MB_RETRYCANCEL);
        } else {
            pressed = MessageBoxW(hwnd, body.s, caption.s, MB_ICONWARNING | MB_CANCELTRYCONTINUE | MB_DEFBUTTON2);
            pressed = pressed == IDTRYAGAIN ? IDRETRY : pressed == IDCONTINUE ? IDIGNORE : IDCANCEL;
        }
    }
    return pressed == IDRETRY ? COPY_RETRY : pressed == IDIGNORE ? COPY_SKIP : COPY_CANCEL;
}

static void on_ask(Question *q) {
    int answer = stopping ? COPY_CANCEL : trouble_box(q->kind, q->text);
    InterlockedExchange(&q->answer, answer);
}

// The status line of the copy: MiB copied and in all, and the seconds left (below 0: not known yet).
static void on_status(WPARAM mib, long seconds) {
    if (stopping) return;
    unsigned long long done = mib >> 32, total = mib & 0xFFFFFFFFu, n = 0;
    char line[LOG_BUF];
    if (seconds < 0) {
        fmt(line, sizeof line, N_("Copying the CD: %llu of %llu MB"), done, total);
    } else if (seconds >= 90) {
        n = (static_cast<unsigned long long>(seconds) + 30) / 60;
        fmt(line, sizeof line, N_("Copying the CD: %llu of %llu MB, about %llu minutes left"), done, total, n);
    } else if (seconds >= 60) {
        fmt(line, sizeof line, N_("Copying the CD: %llu of %llu MB, about 1 minute left"), done, total);
    } else {
        n = (static_cast<unsigned long long>(seconds) + 4) / 5 * 5;
        fmt(line, sizeof line, N_("Copying the CD: %llu of %llu MB, about %llu seconds left"), done, total, n ? n : 5);
    }
    set_text(st, line);
}

// The wide forms: where the code page is not UTF-8, the ANSI ones would hand back a look-alike of a name
// outside it ("Lodz" for "Łódź"), and the install would go there; the field keeps the real name.
static void browse_folder(HWND field, const char *title) {
    UiText shown = ui(title);
    wchar_t display[MAX_PATH];
    BROWSEINFOW bi = {};
    bi.hwndOwner = hwnd;
    bi.pszDisplayName = display;
    bi.lpszTitle = shown.s;
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

// Appends the text and its NUL to the picker's filter list at *at, cut where the list must end (end
// leaves room for the list's closing NUL). The filter's names are translated, its patterns are not.
static void filter_add(wchar_t **at, wchar_t *end, const wchar_t *text) {
    size_t n = wcslen(text);
    if (n > static_cast<size_t>(end - *at)) n = static_cast<size_t>(end - *at);
    wmemcpy(*at, text, n);
    *at += n;
    *(*at)++ = L'\0';
}

static void on_image() {
    wchar_t file[PATH_BUF] = {};
    char cd[PATH_BUF];
    GetWindowTextW(e_cd, file, PATH_BUF);
    // A drive or folder is no file name to start from.
    if (wide_to_code_page(CP_ACP, file, cd, sizeof cd) && is_dir(cd)) file[0] = L'\0';
    wchar_t filter[512];
    wchar_t *at = filter, *end = filter + 512 - 2;
    filter_add(&at, end, ui("CD images (*.iso;*.cue;*.toc;*.bin;*.ccd;*.img;*.mds;*.mdf;*.nrg;*.chd;*.zip;*.7z;*.ecm)").s);
    filter_add(&at, end, L"*.iso;*.cue;*.toc;*.bin;*.ccd;*.img;*.mds;*.mdf;*.nrg;*.chd;*.zip;*.7z;*.ecm");
    filter_add(&at, end, ui("All files").s);
    filter_add(&at, end, L"*.*");
    *at = L'\0';
    UiText title = ui("Tovek Zarnith CD");
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd;
    ofn.lpstrFilter = filter;
    ofn.lpstrFile = file;
    ofn.nMaxFile = PATH_BUF;
    ofn.lpstrTitle = title.s;
    ofn.Flags = OFN_FILEMUSTEXIST | OFN_HIDEREADONLY;
    if (GetOpenFileNameW(&ofn)) SetWindowTextW(e_cd, file);
}

static void show_failed() {
    set_text(st, "The installation did not finish - see the messages above.");
    EnableWindow(b_install, TRUE);
    set_text(b_close, "Close");
}

// Reads a field as the user sees it; 0 (after saying so) when the code page cannot hold its text exactly.
static int field_text(HWND field, char *out, size_t cap) {
    wchar_t wide[PATH_BUF];
    GetWindowTextW(field, wide, PATH_BUF);
    if (wide_to_code_page(CP_ACP, wide, out, cap)) return 1;
    setup_log("ERROR: %s", "a field holds characters that this system cannot pass on");
    box(NAME_REFUSED, MB_ICONWARNING);
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
        box("Please choose the CD and the install folder.", MB_ICONWARNING);
        return;
    }
    // The game's files cannot be written while it runs; the player closes it and tries again here.
    while (game_running(opts.dir)) {
        char text[JOIN_BUF];
        fmt(text, sizeof text, N_("Tovek Zarnith is running from %s. Close the game, then press Retry."), opts.dir);
        if (box(text, MB_ICONWARNING | MB_RETRYCANCEL) != IDRETRY) return;
    }
    char previous[PATH_BUF];
    if (install_moves(opts.dir, previous)) {
        char text[JOIN_BUF + PATH_BUF];
        fmt(text, sizeof text, N_("Tovek Zarnith is installed in %s. Move it to %s? Your saved games come along."), previous,
            opts.dir);
        if (box(text, MB_ICONQUESTION | MB_YESNO) != IDYES) return;
    }
    busy = 1;
    // A disabled control loses the focus, and with it Escape; the focus moves on to Cancel.
    if (GetFocus() == b_install) SetFocus(b_close);
    EnableWindow(b_install, FALSE);
    set_text(b_close, "Cancel");
    set_text(st, "Installing...");
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
        // The copy waits while the question is open: the answer, not the copy, decides how it ends.
        copy_hold(1);
        int answer = box("Stop the installation?", MB_ICONQUESTION | MB_YESNO);
        // The question's own message loop may have delivered the end of the install meanwhile.
        if (answer == IDYES && busy) {
            stopping = 1;
            copy_stop(1);
            copy_hold(0);
            set_text(st, "Stopping the installation...");
            EnableWindow(b_close, FALSE);
            return;
        }
        copy_hold(0);
        if (answer != IDYES) return;
    }
    DestroyWindow(hwnd);
}

// The log file keeps the English line; the list and the status line show it translated.
static void on_log(char *line) {
    UiText shown = ui(line);
    free(line);
    LRESULT index = SendMessageW(lst, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown.s));
    SendMessageW(lst, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    if (!stopping) SetWindowTextW(st, shown.s);
}

static void on_done(int ok, unsigned skipped) {
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
        if (skipped) {
            char line[LOG_BUF];
            fmt(line, sizeof line, N_("Installed without %u unreadable CD files: run the setup again to add them."),
                skipped);
            set_text(st, line);
        } else {
            set_text(st, "Tovek Zarnith is installed.");
        }
        set_text(b_install, "Play");
        EnableWindow(b_install, TRUE);
        set_text(b_close, "Close");
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
    case IDC_FOLDER: browse_folder(e_cd, N_("Tovek Zarnith CD (drive or folder)")); break;
    case IDC_BROWSE: browse_folder(e_dir, N_("Install folder")); break;
    case IDC_INSTALL: on_install(); break;
    case IDC_CLOSE: on_close_request(); break;
    default: break;
    }
}

static LRESULT CALLBACK wndproc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    switch (m) {
    case WM_SETUP_LOG: on_log(reinterpret_cast<char *>(lp)); return 0;
    case WM_SETUP_PROGRESS: SendMessageA(prog, PBM_SETPOS, wp, 0); return 0;
    case WM_SETUP_DONE: on_done(wp != 0, static_cast<unsigned>(lp)); return 0;
    case WM_SETUP_ASK: on_ask(reinterpret_cast<Question *>(lp)); return 0;
    case WM_SETUP_STATUS: on_status(wp, static_cast<long>(lp)); return 0;
    case WM_CLOSE: on_close_request(); return 0;
    case WM_COMMAND: on_command(LOWORD(wp)); return 0;
    case DM_GETDEFID: return MAKELRESULT(IDC_INSTALL, DC_HASDEFID);  // Enter means Install (or Play)
    case WM_ACTIVATE: on_activate(LOWORD(wp) != WA_INACTIVE); return 0;
    case WM_DROPFILES: on_drop(reinterpret_cast<HDROP>(wp)); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(w, m, wp, lp);
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

    WNDCLASSW wc = {};
    wc.lpfnWndProc = wndproc;
    wc.hInstance = inst;
    wc.hIcon = LoadIconA(inst, MAKEINTRESOURCEA(1));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = L"ZarnithSetup";
    RegisterClassW(&wc);
    RECT r = {0, 0, px(630), px(420)};
    AdjustWindowRect(&r, MAIN_STYLE, FALSE);
    hwnd = CreateWindowExW(0, L"ZarnithSetup", ui("Tovek Zarnith - PC Native Setup").s, MAIN_STYLE, CW_USEDEFAULT,
                           CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr, nullptr, inst, nullptr);
    if (!hwnd) {
        setup_log("ERROR: %s", "cannot open the setup window");
        return 1;
    }

    // Created in visual order, which is the Tab order; the first control of each row starts a group.
    const DWORD TAB = WS_TABSTOP, ROW = WS_GROUP;
    mk(L"STATIC",
       ui("Install Tovek Zarnith as a native Windows game.\nYou need your Tovek Zarnith CD (the disc, an ISO / "
          "BIN+CUE image, or a copied folder).").s,
       SS_LEFT | ROW, 16, 14, 600, 36, 0);
    mk(L"STATIC", ui("CD:").s, ROW, 16, 66, 90, 20, 0);
    e_cd = mk(L"EDIT", L"", ES_AUTOHSCROLL | TAB, 110, 62, 360, 24, 0);
    mk(L"BUTTON", ui("Image...").s, BS_PUSHBUTTON | TAB, 478, 62, 66, 24, IDC_IMAGE);
    mk(L"BUTTON", ui("Folder...").s, TAB, 548, 62, 66, 24, IDC_FOLDER);
    mk(L"STATIC", ui("Install to:").s, ROW, 16, 98, 90, 20, 0);
    e_dir = mk(L"EDIT", L"", ES_AUTOHSCROLL | TAB, 110, 94, 360, 24, 0);
    mk(L"BUTTON", ui("Browse...").s, TAB, 478, 94, 136, 24, IDC_BROWSE);
    c_start = mk(L"BUTTON", ui("Start menu shortcut").s, BS_AUTOCHECKBOX | TAB | ROW, 16, 134, 200, 22, 0);
    c_desk = mk(L"BUTTON", ui("Desktop shortcut").s, BS_AUTOCHECKBOX | TAB, 230, 134, 200, 22, 0);
    prog = mk(L"msctls_progress32", L"", ROW, 16, 168, 598, 18, 0);
    st = mk(L"STATIC", ui("Ready. About 500 MB of free space is needed.").s, ROW, 16, 192, 598, 20, 0);
    lst = mk(L"LISTBOX", L"", WS_BORDER | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | TAB | ROW, 16, 216, 598, 110, 0);
    b_install = mk(L"BUTTON", ui("Install").s, BS_DEFPUSHBUTTON | TAB | ROW, 418, 336, 96, 30, IDC_INSTALL);
    b_close = mk(L"BUTTON", ui("Cancel").s, TAB, 518, 336, 96, 30, IDC_CLOSE);
    // The fields hold paths in the code page, as opts does.
    SetWindowTextA(e_cd, opts.cd);
    SetWindowTextA(e_dir, opts.dir);

    SendMessageA(c_start, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(c_desk, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageA(prog, PBM_SETRANGE32, 0, 1000);
    DragAcceptFiles(hwnd, TRUE);
    // The start-up logged before the window existed ("setup started", the defaults, an argument it did
    // not understand): the list begins with those lines; the status line stays at its greeting.
    setup_log_replay([](const char *line) {
        SendMessageW(lst, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(ui(line).s));
    });
    setup_log_mirror(window_log);
    focus = opts.cd[0] ? b_install : e_cd;
    ShowWindow(hwnd, show);
    SetFocus(focus);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageW(hwnd, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    setup_log_mirror(nullptr);
    return exit_code;
}

#endif
