// Stand-in for the game executable that setup.exe installs when no real build is given: it checks the
// installed layout beside itself, writes "zarnith.log" and "zarnith_pc.ini" there as the game does, and
// shows a window with its own icon. "/check" does the check without a window: exit 0 when complete.
#include <windows.h>

#include <cstdio>
#include <cstring>

static const char *const required[] = {
    "game\\cd\\3DGAME.EXE", "game\\cd\\MCP.EXE",   "game\\cd\\VILLAGE1.EXE",
    "game\\cd\\VELTRIS\\INTRO.DAT", "game\\hd\\GAME.CFG", "game\\hd\\SAVEGAME",
};

static char report[4096];

// Checks every required path below `base`; appends one line per path to `report`. 1 when all exist.
static int check_layout(const char *base, FILE *log) {
    int complete = 1;
    size_t used = 0;
    for (const char *rel : required) {
        char path[780];
        snprintf(path, sizeof path, "%s\\%s", base, rel);
        int found = GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
        complete &= found;
        if (log) fprintf(log, "%s %s\n", found ? "found" : "missing", rel);
        int n = snprintf(report + used, sizeof report - used, "%s %s\r\n", found ? "found" : "missing", rel);
        if (n > 0 && used + n < sizeof report) used += n;
    }
    if (log) fprintf(log, "layout %s\n", complete ? "complete" : "incomplete");
    return complete;
}

static LRESULT CALLBACK wndproc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(w, m, wp, lp);
}

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR cmd, int show) {
    char base[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, base, sizeof base);
    if (n == 0 || n >= sizeof base) return 1;
    char *cut = strrchr(base, '\\');
    if (cut) *cut = '\0';

    char path[780];
    snprintf(path, sizeof path, "%s\\zarnith.log", base);
    FILE *log = fopen(path, "w");
    int complete = check_layout(base, log);
    if (log) fclose(log);
    snprintf(path, sizeof path, "%s\\zarnith_pc.ini", base);
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        FILE *ini = fopen(path, "w");
        if (ini) {
            fputs("[video]\nfullscreen=0\n", ini);
            fclose(ini);
        }
    }

    if (cmd && _strnicmp(cmd, "/check", 6) == 0) return complete ? 0 : 1;

    WNDCLASSA wc = {};
    wc.lpfnWndProc = wndproc;
    wc.hInstance = inst;
    wc.hIcon = LoadIconA(inst, MAKEINTRESOURCEA(1));  // the emblem the setup wrote, if any
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = "ZarnithGame";
    RegisterClassA(&wc);
    HWND w = CreateWindowExA(0, "ZarnithGame", "Tovek Zarnith", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, 480, 260, nullptr, nullptr, inst, nullptr);
    if (!w) return complete ? 0 : 1;
    CreateWindowExA(0, "STATIC", report, WS_CHILD | WS_VISIBLE, 12, 12, 440, 200, w, nullptr, inst,
                    nullptr);
    ShowWindow(w, show);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return complete ? 0 : 1;
}
