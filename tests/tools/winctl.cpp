// winctl: drives a window of another Windows program from a test, as a user would.
//   winctl wait  TITLE [MS]          wait until a top-level window with that exact title exists (exit 0/1)
//   winctl gone  TITLE [MS]          wait until no such window exists
//   winctl texts TITLE               print "class|id|enabled|text" of each child control, one per line
//   winctl click TITLE TEXT          click the child button whose text is TEXT (posted, never waits)
//   winctl set   TITLE INDEX TEXT    set the text of the INDEX-th "Edit" child (0-based)
//   winctl check TITLE TEXT 0|1      set a check box
//   winctl close TITLE               ask the window to close (WM_CLOSE)
//   winctl run "COMMAND LINE"        start a command line as the list of installed apps starts an
//                                    UninstallString (no application name), wait, exit with its code
//   winctl answer CAPTION yes|no|ok|retry|skip|cancel [SECONDS]
//                                    wait for a message box, print its text, press the button (skip: the
//                                    one of id IDIGNORE) and wait
//                                    until it closes (exit 0; 2 no box, 3 no such button, 4 not closed)
//   winctl hold FILE UNTIL           open FILE shared for reading only (as a running program holds its
//                                    executable: no deleting), print "held", keep it open until the
//                                    file UNTIL exists (at most 10 minutes), exit 0; 1 when it cannot
//   winctl layout TITLE              print "client|W|H|X|Y", "window|X|Y|W|H" (on the screen) and, per control,
//                                    "class|id|style|x|y|w|h|needw|needh|text": its rect in client pixels and
//                                    the room its text needs in the message font at this process's DPI
//   winctl layout TITLE INDEX TEXT...  the same, then "as|INDEX|needw|needh|TEXT" for each TEXT measured as
//                                    the INDEX-th control (0-based) would show it
//   winctl keys TITLE KEY...         bring the window to the front and type keys (tab, shift+tab, enter,
//                                    escape) through SendInput, as a keyboard would
//   winctl focus TITLE               print "class|id|text" of the control that has the keyboard focus
//   winctl watch TITLE BUTTON MS     click the button, then print each new position of the progress bar
//                                    until one lies strictly between 0 and 1000 (exit 0), the bar reaches
//                                    1000 or the window goes (exit 1), or MS pass (exit 2)
//   winctl stop TITLE yes|no         ask the window to close and answer its question (as answer)
//   Texts come and go in UTF-8 (titles, captions and button texts in the arguments, what is printed), so
//   that a window in any language can be driven whatever the code page.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static std::wstring wide(const std::string &s) {
    std::wstring w(s.size() + 1, L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return w;
}

static std::string utf8(const wchar_t *w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    s.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return s;
}

static HWND find_top(const char *title) {
    struct Ctx {
        const char *title;
        HWND found;
    } ctx = {title, nullptr};
    EnumWindows(
        [](HWND w, LPARAM lp) -> BOOL {
            Ctx *c = reinterpret_cast<Ctx *>(lp);
            wchar_t t[512];
            if (GetWindowTextW(w, t, 512) && utf8(t) == c->title && IsWindowVisible(w)) {
                c->found = w;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&ctx));
    return ctx.found;
}

static HWND wait_top(const char *title, int ms) {
    for (int waited = 0;; waited += 50) {
        HWND w = find_top(title);
        if (w || waited >= ms) return w;
        Sleep(50);
    }
}

static std::vector<HWND> children(HWND parent) {
    std::vector<HWND> out;
    EnumChildWindows(
        parent,
        [](HWND w, LPARAM lp) -> BOOL {
            reinterpret_cast<std::vector<HWND> *>(lp)->push_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&out));
    return out;
}

static std::string text_of(HWND w) {
    wchar_t t[4096];
    // WM_GETTEXT works across processes for the standard controls.
    LRESULT n = SendMessageW(w, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(t));
    t[n > 0 && n < 4096 ? n : 0] = L'\0';
    return utf8(t);
}

static HWND child_by_text(HWND top, const char *text) {
    for (HWND c : children(top))
        if (text_of(c) == text) return c;
    return nullptr;
}

static int run(const char *command) {
    std::wstring cmd = wide(command);
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        fprintf(stderr, "cannot start %s (error %lu)\n", command, GetLastError());
        return 255;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 255;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

static BOOL CALLBACK collect_text(HWND child, LPARAM out) {
    char cls[32];
    wchar_t text[1024];
    GetClassNameA(child, cls, sizeof cls);
    if (_stricmp(cls, "Static") == 0 && GetWindowTextW(child, text, 1024) > 0) {
        std::string *s = reinterpret_cast<std::string *>(out);
        if (!s->empty()) *s += " ";
        *s += utf8(text);
    }
    return TRUE;
}

static int answer(const char *caption, const char *button, int seconds) {
    static const struct {
        const char *name;
        int id;
    } buttons[] = {{"yes", IDYES}, {"no", IDNO}, {"retry", IDRETRY}, {"skip", IDIGNORE}, {"cancel", IDCANCEL}};
    int id = IDOK;
    for (const auto &b : buttons)
        if (_stricmp(button, b.name) == 0) id = b.id;
    HWND box = nullptr;
    for (int waited = 0; !box && waited < seconds * 10; ++waited) {
        box = FindWindowW(L"#32770", wide(caption).c_str());
        if (!box) Sleep(100);
    }
    if (!box) {
        fprintf(stderr, "no window '%s'\n", caption);
        return 2;
    }
    // Let the box finish building its controls before reading them.
    Sleep(300);
    std::string text;
    EnumChildWindows(box, collect_text, reinterpret_cast<LPARAM>(&text));
    printf("%s\n", text.c_str());
    fflush(stdout);
    HWND b = GetDlgItem(box, id);
    if (!b) {
        fprintf(stderr, "no button %s\n", button);
        return 3;
    }
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(b));
    // Return only once the box has closed, so that the next answer cannot find this box again.
    for (int waited = 0; IsWindow(box) && waited < 100; ++waited) Sleep(100);
    return IsWindow(box) ? 4 : 0;
}

static int hold(const char *file, const char *until) {
    HANDLE h = CreateFileW(wide(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open %s (error %lu)\n", file, GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    for (int waited = 0; GetFileAttributesW(wide(until).c_str()) == INVALID_FILE_ATTRIBUTES && waited < 6000; ++waited)
        Sleep(100);
    CloseHandle(h);
    return 0;
}

// The font the setup gives its controls: the message font of the non-client metrics. Both processes run in
// one prefix with one DPI, so this is the very font the setup measured with (Wine does not answer
// WM_GETFONT across processes).
static HFONT message_font() {
    NONCLIENTMETRICSA ncm;
    memset(&ncm, 0, sizeof ncm);
    ncm.cbSize = sizeof ncm;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0);
    return CreateFontIndirectA(&ncm.lfMessageFont);
}

// Room the control's text needs: the text itself (wrapped at the control's width for a static) plus the
// frame of a button or the box of a check box, after the common controls' own drawing.
static SIZE text_room(HDC dc, HWND c, const char *cls, const std::string &text, int w, int dpi) {
    SIZE need = {0, 0};
    if (text.empty() || (_stricmp(cls, "Button") && _stricmp(cls, "Static"))) return need;
    RECT r = {0, 0, w, 0};
    int wrap = _stricmp(cls, "Static") == 0 ? DT_WORDBREAK : DT_SINGLELINE;
    DrawTextW(dc, wide(text).c_str(), -1, &r, DT_CALCRECT | DT_NOPREFIX | wrap);
    need.cx = r.right - r.left;
    need.cy = r.bottom - r.top;
    if (!_stricmp(cls, "Button")) {
        LONG type = GetWindowLongA(c, GWL_STYLE) & 0xF;
        if (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX)
            need.cx += MulDiv(13 + 4, dpi, 96);  // the box and its gap
        else
            need.cx += MulDiv(2 * 4, dpi, 96), need.cy += MulDiv(2 * 2, dpi, 96);  // frame and focus rect
    }
    return need;
}

static int layout(HWND top, int extra, char **as) {
    RECT cr;
    GetClientRect(top, &cr);
    POINT origin = {0, 0};
    ClientToScreen(top, &origin);
    printf("client|%ld|%ld|%ld|%ld\n", cr.right, cr.bottom, origin.x, origin.y);
    RECT wr;
    GetWindowRect(top, &wr);
    printf("window|%ld|%ld|%ld|%ld\n", wr.left, wr.top, wr.right - wr.left, wr.bottom - wr.top);
    HDC dc = GetDC(top);
    int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    HFONT font = message_font();
    HGDIOBJ old = SelectObject(dc, font);
    for (HWND c : children(top)) {
        char cls[128];
        GetClassNameA(c, cls, sizeof cls);
        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, top, reinterpret_cast<POINT *>(&r), 2);
        std::string t = text_of(c);
        SIZE need = text_room(dc, c, cls, t, r.right - r.left, dpi);
        for (char &ch : t)
            if (ch == '\n' || ch == '|') ch = ' ';
        printf("%s|%d|%08lx|%ld|%ld|%ld|%ld|%ld|%ld|%s\n", cls, GetDlgCtrlID(c),
               static_cast<unsigned long>(GetWindowLongA(c, GWL_STYLE)), r.left, r.top, r.right - r.left,
               r.bottom - r.top, need.cx, need.cy, t.c_str());
    }
    // Texts the controls show at other times ("Play", each status line), measured in their controls.
    std::vector<HWND> all = children(top);
    for (int i = 0; i + 1 < extra; i += 2) {
        size_t index = static_cast<size_t>(atoi(as[i]));
        if (index >= all.size()) continue;
        char cls[128];
        GetClassNameA(all[index], cls, sizeof cls);
        RECT r;
        GetWindowRect(all[index], &r);
        SIZE need = text_room(dc, all[index], cls, as[i + 1], r.right - r.left, dpi);
        printf("as|%zu|%ld|%ld|%s\n", index, need.cx, need.cy, as[i + 1]);
    }
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(top, dc);
    return 0;
}

static HWND focus_of(HWND top) {
    GUITHREADINFO gi;
    memset(&gi, 0, sizeof gi);
    gi.cbSize = sizeof gi;
    return GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &gi) ? gi.hwndFocus : nullptr;
}

static void press(WORD vk, int shift) {
    INPUT in[4];
    memset(in, 0, sizeof in);
    int n = 0;
    if (shift) in[n].type = INPUT_KEYBOARD, in[n++].ki.wVk = VK_SHIFT;
    in[n].type = INPUT_KEYBOARD, in[n++].ki.wVk = vk;
    in[n].type = INPUT_KEYBOARD, in[n].ki.wVk = vk, in[n++].ki.dwFlags = KEYEVENTF_KEYUP;
    if (shift) in[n].type = INPUT_KEYBOARD, in[n].ki.wVk = VK_SHIFT, in[n++].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(static_cast<UINT>(n), in, sizeof(INPUT));
}

static int keys(HWND top, int count, char **names) {
    SetForegroundWindow(top);
    Sleep(200);
    for (int i = 0; i < count; ++i) {
        const char *k = names[i];
        if (!_stricmp(k, "tab")) press(VK_TAB, 0);
        else if (!_stricmp(k, "shift+tab")) press(VK_TAB, 1);
        else if (!_stricmp(k, "enter")) press(VK_RETURN, 0);
        else if (!_stricmp(k, "escape")) press(VK_ESCAPE, 0);
        else {
            fprintf(stderr, "unknown key %s\n", k);
            return 2;
        }
        Sleep(150);  // let the window handle one key before the next
    }
    return 0;
}

static HWND child_of_class(HWND top, const char *cls) {
    for (HWND c : children(top)) {
        char name[128];
        GetClassNameA(c, name, sizeof name);
        if (!_stricmp(name, cls)) return c;
    }
    return nullptr;
}

static int watch(HWND top, const char *button, int ms) {
    HWND bar = child_of_class(top, "msctls_progress32"), b = child_by_text(top, button);
    if (!bar || !b) return 3;
    PostMessageA(b, BM_CLICK, 0, 0);
    LRESULT last = -1;
    for (int waited = 0; waited < ms; waited += 5) {
        if (!IsWindow(bar)) return 1;
        LRESULT pos = SendMessageA(bar, PBM_GETPOS, 0, 0);
        if (pos != last) {
            printf("%ld\n", static_cast<long>(pos));
            fflush(stdout);
            last = pos;
            if (pos > 0 && pos < 1000) return 0;
            if (pos >= 1000) return 1;
        }
        Sleep(5);
    }
    return 2;
}

int main() {
    // Measure in real pixels, as the setup (which declares itself DPI-aware) lays itself out.
    SetProcessDPIAware();
    int argc = 0;
    LPWSTR *wargv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(utf8(wargv[i]));
    std::vector<char *> argp;
    for (std::string &a : args) argp.push_back(&a[0]);
    argp.push_back(nullptr);
    char **argv = argp.data();
    if (argc < 3) {
        fprintf(stderr, "usage: winctl wait|gone|texts|click|set|check|close TITLE ...\n");
        return 2;
    }
    const char *cmd = argv[1], *title = argv[2];
    if (!strcmp(cmd, "run")) return run(argv[2]);
    if (!strcmp(cmd, "hold") && argc > 3) return hold(argv[2], argv[3]);
    if (!strcmp(cmd, "answer") && argc > 3) return answer(argv[2], argv[3], argc > 4 ? atoi(argv[4]) : 60);
    int ms = 20000;
    if (!strcmp(cmd, "wait")) {
        if (argc > 3) ms = atoi(argv[3]);
        return wait_top(title, ms) ? 0 : 1;
    }
    if (!strcmp(cmd, "gone")) {
        if (argc > 3) ms = atoi(argv[3]);
        for (int waited = 0; waited < ms; waited += 50) {
            if (!find_top(title)) return 0;
            Sleep(50);
        }
        return 1;
    }
    HWND top = wait_top(title, ms);
    if (!top) {
        fprintf(stderr, "no window titled '%s'\n", title);
        return 1;
    }
    if (!strcmp(cmd, "texts")) {
        for (HWND c : children(top)) {
            char cls[128];
            GetClassNameA(c, cls, sizeof cls);
            std::string t = text_of(c);
            if (!strcmp(cls, "ListBox")) {
                LRESULT n = SendMessageA(c, LB_GETCOUNT, 0, 0);
                for (LRESULT i = 0; i < n; ++i) {
                    // Wide form: the ANSI one comes back cut after one character across processes.
                    wchar_t item[2048] = {};
                    if (SendMessageW(c, LB_GETTEXTLEN, i, 0) < 2048)
                        SendMessageW(c, LB_GETTEXT, i, reinterpret_cast<LPARAM>(item));
                    printf("ListBox-item|%ld|1|%s\n", static_cast<long>(i), utf8(item).c_str());
                }
            }
            if (!strcmp(cls, "msctls_progress32"))
                t = std::to_string(SendMessageA(c, PBM_GETPOS, 0, 0));
            if (!strcmp(cls, "Button") && (GetWindowLongA(c, GWL_STYLE) & 0xF) == BS_AUTOCHECKBOX)
                t += SendMessageA(c, BM_GETCHECK, 0, 0) == BST_CHECKED ? " [x]" : " [ ]";
            printf("%s|%d|%d|%s\n", cls, GetDlgCtrlID(c), IsWindowEnabled(c) ? 1 : 0, t.c_str());
        }
        return 0;
    }
    if (!strcmp(cmd, "click") && argc > 3) {
        HWND b = child_by_text(top, argv[3]);
        if (!b) {
            fprintf(stderr, "no control with text '%s'\n", argv[3]);
            return 1;
        }
        return PostMessageA(b, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (!strcmp(cmd, "set") && argc > 4) {
        int want = atoi(argv[3]), seen = 0;
        for (HWND c : children(top)) {
            char cls[128];
            GetClassNameA(c, cls, sizeof cls);
            if (_stricmp(cls, "Edit") == 0 && seen++ == want)
                return SendMessageW(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide(argv[4]).c_str())) ? 0 : 1;
        }
        return 1;
    }
    if (!strcmp(cmd, "check") && argc > 4) {
        HWND b = child_by_text(top, argv[3]);
        if (!b) return 1;
        SendMessageA(b, BM_SETCHECK, atoi(argv[4]) ? BST_CHECKED : BST_UNCHECKED, 0);
        return 0;
    }
    if (!strcmp(cmd, "close")) return PostMessageA(top, WM_CLOSE, 0, 0) ? 0 : 1;
    if (!strcmp(cmd, "layout")) return layout(top, argc - 3, argv + 3);
    if (!strcmp(cmd, "keys")) return keys(top, argc - 3, argv + 3);
    if (!strcmp(cmd, "focus")) {
        HWND f = focus_of(top);
        char cls[128] = "";
        if (f) GetClassNameA(f, cls, sizeof cls);
        printf("%s|%d|%s\n", cls, f ? GetDlgCtrlID(f) : -1, f ? text_of(f).c_str() : "");
        return f ? 0 : 1;
    }
    if (!strcmp(cmd, "watch") && argc > 4) return watch(top, argv[3], atoi(argv[4]));
    if (!strcmp(cmd, "stop") && argc > 3) {
        if (!PostMessageA(top, WM_CLOSE, 0, 0)) return 1;
        return answer("Tovek Zarnith setup", argv[3], 60);
    }
    fprintf(stderr, "unknown command %s\n", cmd);
    return 2;
}
