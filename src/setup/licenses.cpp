// setup (licenses.cpp): "/licenses", the notices of the libraries setup.exe carries (its resource
// LICENSES, made from res/licenses.txt), in a window of their own whose text scrolls and can be copied.
#include "setup/setup.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>

#include "util/lang.h"

namespace {

constexpr int TEXT_ID = 1;

LRESULT CALLBACK licenses_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_SIZE: MoveWindow(GetDlgItem(w, TEXT_ID), 0, 0, LOWORD(lp), HIWORD(lp), TRUE); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(w, msg, wp, lp);
    }
}

// The notices as the edit control wants them: UTF-16 with CR LF line ends. None without memory.
wchar_t *notices() {
    HRSRC r = FindResourceA(nullptr, "LICENSES", MAKEINTRESOURCEA(10));  // RT_RCDATA
    HGLOBAL g = r ? LoadResource(nullptr, r) : nullptr;
    const char *text = g ? static_cast<const char *>(LockResource(g)) : nullptr;
    DWORD n = text ? SizeofResource(nullptr, r) : 0;
    wchar_t *out = static_cast<wchar_t *>(malloc((2 * static_cast<size_t>(n) + 1) * sizeof(wchar_t)));
    if (!out) return nullptr;
    size_t k = 0;
    for (DWORD i = 0; i < n; ++i) {  // the notices are ASCII
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out[k++] = L'\r';
        out[k++] = static_cast<unsigned char>(text[i]);
    }
    out[k] = L'\0';
    return out;
}

}  // namespace

int show_licenses() {
    wchar_t *text = notices();
    WNDCLASSW wc = {};
    wc.lpfnWndProc = licenses_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(1));
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    wc.lpszClassName = L"ZarnithLicenses";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(0, wc.lpszClassName, ui("Tovek Zarnith setup: licenses").s, WS_OVERLAPPEDWINDOW,
                             CW_USEDEFAULT, CW_USEDEFAULT, 860, 600, nullptr, nullptr, wc.hInstance, nullptr);
    HWND edit = w ? CreateWindowExW(0, L"EDIT", text ? text : L"", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL |
                                                                    ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                                    0, 0, 0, 0, w, reinterpret_cast<HMENU>(TEXT_ID), wc.hInstance, nullptr)
                  : nullptr;
    free(text);
    if (!edit) return 1;
    SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), FALSE);
    RECT client;
    GetClientRect(w, &client);
    MoveWindow(edit, 0, 0, client.right, client.bottom, FALSE);
    ShowWindow(w, SW_SHOWNORMAL);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

#endif
