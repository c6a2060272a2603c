// Test helper that runs inside the Wine prefix beside the program under test.
//
//   wintool run "COMMAND LINE"
//       Starts the command line exactly as given, the way the list of installed apps starts an
//       UninstallString (CreateProcess without an application name), waits for it and exits with its
//       exit code (255 when it cannot start).
//   wintool answer "CAPTION" yes|no|ok [SECONDS]
//       Waits (default 60 s) for a dialog window with that caption, prints its message text on one line,
//       then presses the button and waits for the window to close. Exit 0 answered, 2 no such window in
//       time, 3 the window lacks that button, 4 the window did not close.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "run") == 0) return run(argv[2]);
    if ((argc == 4 || argc == 5) && strcmp(argv[1], "answer") == 0)
        return answer(argv[2], argv[3], argc == 5 ? atoi(argv[4]) : 60);
    fprintf(stderr, "usage: wintool run \"COMMAND LINE\" | answer \"CAPTION\" yes|no|ok [SECONDS]\n");
    return 1;
}
