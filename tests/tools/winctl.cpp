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
//   winctl answer CAPTION yes|no|ok [SECONDS]
//                                    wait for a message box, print its text, press the button and wait
//                                    until it closes (exit 0; 2 no box, 3 no such button, 4 not closed)
//   winctl hold FILE UNTIL           open FILE shared for reading only (as a running program holds its
//                                    executable: no deleting), print "held", keep it open until the
//                                    file UNTIL exists (at most 10 minutes), exit 0; 1 when it cannot
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static HWND find_top(const char *title) {
    struct Ctx {
        const char *title;
        HWND found;
    } ctx = {title, nullptr};
    EnumWindows(
        [](HWND w, LPARAM lp) -> BOOL {
            Ctx *c = reinterpret_cast<Ctx *>(lp);
            char t[512];
            if (GetWindowTextA(w, t, sizeof t) && strcmp(t, c->title) == 0 && IsWindowVisible(w)) {
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
    char t[4096];
    // WM_GETTEXT works across processes for the standard controls.
    LRESULT n = SendMessageA(w, WM_GETTEXT, sizeof t, reinterpret_cast<LPARAM>(t));
    return std::string(t, n > 0 ? static_cast<size_t>(n) : 0);
}

static HWND child_by_text(HWND top, const char *text) {
    for (HWND c : children(top))
        if (text_of(c) == text) return c;
    return nullptr;
}

static int run(const char *command) {
    std::string cmd(command);
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
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
    char cls[32], text[1024];
    GetClassNameA(child, cls, sizeof cls);
    if (_stricmp(cls, "Static") == 0 && GetWindowTextA(child, text, sizeof text) > 0) {
        std::string *s = reinterpret_cast<std::string *>(out);
        if (!s->empty()) *s += " ";
        *s += text;
    }
    return TRUE;
}

static int answer(const char *caption, const char *button, int seconds) {
    int id = _stricmp(button, "yes") == 0 ? IDYES : _stricmp(button, "no") == 0 ? IDNO : IDOK;
    HWND box = nullptr;
    for (int waited = 0; !box && waited < seconds * 10; ++waited) {
        box = FindWindowA("#32770", caption);
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
    HANDLE h = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open %s (error %lu)\n", file, GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    for (int waited = 0; GetFileAttributesA(until) == INVALID_FILE_ATTRIBUTES && waited < 6000; ++waited) Sleep(100);
    CloseHandle(h);
    return 0;
}

int main(int argc, char **argv) {
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
                    wchar_t wide[2048] = {};
                    char item[4096] = {};
                    if (SendMessageW(c, LB_GETTEXTLEN, i, 0) < 2048)
                        SendMessageW(c, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide));
                    WideCharToMultiByte(CP_ACP, 0, wide, -1, item, sizeof item, nullptr, nullptr);
                    printf("ListBox-item|%ld|1|%s\n", static_cast<long>(i), item);
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
                return SendMessageA(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[4])) ? 0 : 1;
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
    fprintf(stderr, "unknown command %s\n", cmd);
    return 2;
}
