// Win32 side of the file-system layer: the ANSI file API, exactly the calls and flags the setup relies on;
// a path past MAX_PATH that is only read (an image, a sheet) goes to the wide calls in its long form.
#include "platform/platform.h"
#include "pf_text.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static HANDLE to_handle(pf_file f) { return reinterpret_cast<HANDLE>(f); }
static pf_file from_handle(HANDLE h) { return reinterpret_cast<pf_file>(h); }

// A path of MAX_PATH characters or more, as the wide functions take it past that limit: made full (no
// "." or "..", '\' only) and written "\\?\C:\..." or "\\?\UNC\server\...", malloc'd. None for a shorter
// path, which the ANSI calls take as it is, and for one that does not convert.
static wchar_t *long_form(const char *path) {
    constexpr size_t LIMIT = MAX_PATH - 12;  // where CreateDirectory already stops
    constexpr DWORD CAP = 0x8000;            // the longest path Windows has
    size_t n = strlen(path);
    if (n < LIMIT || n >= CAP) return nullptr;
    wchar_t *wide = static_cast<wchar_t *>(malloc(2 * CAP * sizeof(wchar_t)));
    if (!wide) return nullptr;
    wchar_t *full = wide + CAP;
    full[0] = L'\0';
    const wchar_t *prefix = L"\\\\?\\", *rest = full;
    DWORD len = 0;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, CAP) > 0)
        len = GetFullPathNameW(wide, CAP, full, nullptr);
    if (full[0] == L'\\' && full[1] == L'\\') {
        if (full[2] == L'?' || full[2] == L'.') len = 0;  // a device path already
        prefix = L"\\\\?\\UNC\\";
        rest = full + 2;
    }
    size_t p = wcslen(prefix);
    if (len < LIMIT || len >= CAP || p + wcslen(rest) >= CAP) {
        free(wide);
        return nullptr;
    }
    memmove(wide + p, rest, (wcslen(rest) + 1) * sizeof(wchar_t));
    memcpy(wide, prefix, p * sizeof(wchar_t));
    return wide;
}

uint32_t pf_attributes(const char *path) {
    wchar_t *wide = long_form(path);
    DWORD a = wide ? GetFileAttributesW(wide) : GetFileAttributesA(path);
    free(wide);
    return a;
}

int pf_set_normal(const char *path) { return SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL) ? 1 : 0; }

int pf_mkdir(const char *path) { return CreateDirectoryA(path, nullptr) ? 1 : 0; }

int pf_rmdir(const char *path) { return RemoveDirectoryA(path) ? 1 : 0; }

int pf_delete(const char *path) { return DeleteFileA(path) ? 1 : 0; }

// The path a handle really leads to, after every link on the way ("\\?\C:\..." form).
static int final_path(const char *path, char *out, DWORD cap) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    DWORD n = GetFinalPathNameByHandleA(h, out, cap, FILE_NAME_NORMALIZED);
    CloseHandle(h);
    return n > 0 && n < cap;
}

int pf_is_link(const char *path) {
    DWORD a = GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES) return 0;
    if (a & FILE_ATTRIBUTE_REPARSE_POINT) return 1;
    // No link attribute: it is still a link when it leads somewhere other than its own name in its
    // own folder.
    char parent[MAX_PATH * 2], self[MAX_PATH * 2], whole[MAX_PATH * 2];
    pf_cat(whole, sizeof whole, path);
    char *cut = strrchr(whole, '\\');
    if (!cut || !cut[1]) return 0;
    *cut = '\0';
    const char *name = cut + 1;
    if (!final_path(whole[0] ? whole : "\\", parent, sizeof parent) || !final_path(path, self, sizeof self))
        return 0;  // a dangling link cannot be opened; nothing behind it can be harmed either
    size_t plen = strlen(parent);
    if (plen && parent[plen - 1] == '\\') parent[--plen] = '\0';
    const char *rest = self + plen + 1;
    return !(pf_equal_n(self, plen, parent) && self[plen] == '\\' && pf_equal_n(rest, strlen(rest), name));
}

static int under_wine() {
    static int wine = -1;
    if (wine < 0) wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

int pf_remove_link(const char *path) {
    if (under_wine()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    DWORD a = GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES) return 0;
    return ((a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryA(path) : DeleteFileA(path)) ? 1 : 0;
}

pf_file pf_open_read(const char *path, int sequential) {
    DWORD flags = sequential ? FILE_FLAG_SEQUENTIAL_SCAN : 0;
    wchar_t *wide = long_form(path);
    HANDLE h = wide ? CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr)
                    : CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
    free(wide);
    return from_handle(h);
}

pf_file pf_create(const char *path) {
    return from_handle(
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

pf_file pf_create_readable(const char *path) {
    return from_handle(
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

pf_file pf_overwrite(const char *path, int *existed) {
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    *existed = h != INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS;
    return from_handle(h);
}

int pf_set_end(pf_file f) { return SetEndOfFile(to_handle(f)) ? 1 : 0; }

int pf_read(pf_file f, void *dst, uint32_t n, uint32_t *got) {
    DWORD r = 0;
    BOOL ok = ReadFile(to_handle(f), dst, n, &r, nullptr);
    *got = r;
    return ok ? 1 : 0;
}

int pf_read_at(pf_file f, uint64_t pos, void *dst, uint32_t n, uint32_t *got) {
    // Copy workers share one image handle: the seek and the read are one step for each of them. An
    // offset in OVERLAPPED would need no lock, but under Wine it reads two to four times slower; on
    // Windows, I/O on a handle opened for synchronous use takes turns anyway.
    static SRWLOCK turn = SRWLOCK_INIT;
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(pos);
    *got = 0;
    AcquireSRWLockExclusive(&turn);
    int ok = SetFilePointerEx(to_handle(f), to, nullptr, FILE_BEGIN) && pf_read(f, dst, n, got);
    ReleaseSRWLockExclusive(&turn);
    return ok;
}

int pf_seek(pf_file f, uint64_t pos) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(pos);
    return SetFilePointerEx(to_handle(f), to, nullptr, FILE_BEGIN) ? 1 : 0;
}

int pf_write(pf_file f, const void *src, uint32_t n, uint32_t *put) {
    DWORD w = 0;
    BOOL ok = WriteFile(to_handle(f), src, n, &w, nullptr);
    *put = w;
    return ok ? 1 : 0;
}

int pf_size(pf_file f, uint64_t *size) {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(to_handle(f), &s)) return 0;
    *size = static_cast<uint64_t>(s.QuadPart);
    return 1;
}

int pf_flush(pf_file f) { return FlushFileBuffers(to_handle(f)) ? 1 : 0; }

int pf_file_id(const char *path, PfFileId *id) {
    // Backup semantics open folders too; no access is asked, so files in use open as well.
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int ok = GetFileInformationByHandle(h, &info) ? 1 : 0;
    CloseHandle(h);
    if (!ok) return 0;
    id->volume = info.dwVolumeSerialNumber;
    id->index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return 1;
}

int pf_in_use(const char *path) {
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return 0;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION ? 1 : 0;
}

void pf_close(pf_file f) {
    if (f != PF_INVALID) CloseHandle(to_handle(f));
}

// The root that GetDriveTypeA and GetVolumeInformationA want for a path, into root (MAX_PATH): "X:\" for a
// drive path, "\\server\share\" for a share; none for any other (relative) path, which lies on the
// current drive.
static const char *root_of(const char *path, char *root) {
    if (path[0] && path[1] == ':') {
        const char drive[] = {path[0], '\0'};
        pf_cat(root, MAX_PATH, drive, ":\\");
        return root;
    }
    if ((path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) {
        // Up to the separator after the share's name.
        int seps = 0;
        size_t i = 2;
        for (; path[i] && i + 1 < MAX_PATH; ++i) {
            if ((path[i] == '\\' || path[i] == '/') && ++seps == 2) break;
        }
        memcpy(root, path, i);
        pf_cat(root + i, MAX_PATH - i, "\\");
        return root;
    }
    return nullptr;
}

uint32_t pf_drive_type(const char *path) {
    char root[MAX_PATH];
    return GetDriveTypeA(root_of(path, root));
}

int pf_volume(const char *path, uint32_t *serial, char *label, size_t cap) {
    char root[MAX_PATH];
    DWORD number = 0;
    if (cap > MAX_PATH + 1) cap = MAX_PATH + 1;
    if (!GetVolumeInformationA(root_of(path, root), label, static_cast<DWORD>(cap), &number, nullptr, nullptr, nullptr,
                               0))
        return 0;
    *serial = number;
    return 1;
}

// Asked of the system: std::thread::hardware_concurrency answers 0 in MinGW's C++ library.
unsigned pf_processor_count() {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwNumberOfProcessors;
}

struct PfThread {
    HANDLE h;
    void (*fn)(void *);
    void *arg;
};

static DWORD WINAPI thread_main(LPVOID p) {
    PfThread *t = static_cast<PfThread *>(p);
    t->fn(t->arg);
    return 0;
}

PfThread *pf_thread_start(void (*fn)(void *), void *arg) {
    PfThread *t = static_cast<PfThread *>(calloc(1, sizeof(PfThread)));
    if (!t) return nullptr;
    t->fn = fn;
    t->arg = arg;
    t->h = CreateThread(nullptr, 0, thread_main, t, 0, nullptr);
    if (!t->h) {
        free(t);
        return nullptr;
    }
    return t;
}

void pf_thread_join(PfThread *t) {
    if (!t) return;
    WaitForSingleObject(t->h, INFINITE);
    CloseHandle(t->h);
    free(t);
}

// An SRWLOCK is one pointer, zero when unlocked: a zero-filled PfLock is one.
static_assert(sizeof(PfLock) == sizeof(SRWLOCK), "PfLock holds an SRWLOCK");
void pf_lock(PfLock *l) { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK *>(l)); }
void pf_unlock(PfLock *l) { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK *>(l)); }

// A CONDITION_VARIABLE is one pointer, zero when ready, and waits on the SRWLOCK of a PfLock.
static_assert(sizeof(PfCond) == sizeof(CONDITION_VARIABLE), "PfCond holds a CONDITION_VARIABLE");
void pf_cond_wait(PfCond *c, PfLock *l) {
    SleepConditionVariableSRW(reinterpret_cast<CONDITION_VARIABLE *>(c), reinterpret_cast<SRWLOCK *>(l), INFINITE, 0);
}
void pf_cond_wake(PfCond *c) { WakeAllConditionVariable(reinterpret_cast<CONDITION_VARIABLE *>(c)); }

void pf_sleep_ms(unsigned ms) { Sleep(ms); }

uint64_t pf_now_ms() { return GetTickCount64(); }

int pf_self_path(char *out, size_t cap) {
    if (cap == 0 || cap > 0x7FFFFFFF) return 0;
    DWORD n = GetModuleFileNameA(nullptr, out, static_cast<DWORD>(cap));
    return n > 0 && n < cap;
}

// n bytes of text in code page cp as UTF-8, malloc'd with a NUL after its *out_n bytes; none without memory.
static char *code_page_to_utf8(UINT cp, const char *text, size_t n, size_t *out_n) {
    if (n > 0x3FFFFFFF) return nullptr;
    int len = static_cast<int>(n);
    int wide_n = len ? MultiByteToWideChar(cp, 0, text, len, nullptr, 0) : 0;
    wchar_t *wide = static_cast<wchar_t *>(malloc((static_cast<size_t>(wide_n) + 1) * sizeof(wchar_t)));
    if (!wide) return nullptr;
    if (wide_n) MultiByteToWideChar(cp, 0, text, len, wide, wide_n);
    int u = wide_n ? WideCharToMultiByte(CP_UTF8, 0, wide, wide_n, nullptr, 0, nullptr, nullptr) : 0;
    char *out = static_cast<char *>(malloc(static_cast<size_t>(u) + 1));
    if (out && u) WideCharToMultiByte(CP_UTF8, 0, wide, wide_n, out, u, nullptr, nullptr);
    free(wide);
    if (!out) return nullptr;
    out[u] = '\0';
    *out_n = static_cast<size_t>(u);
    return out;
}

char *pf_ansi_to_utf8(const char *text, size_t n, size_t *out_n) {
    DWORD cp = 0;
    if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                        reinterpret_cast<LPWSTR>(&cp), sizeof cp / sizeof(wchar_t)) ||
        cp == 0 || cp == CP_UTF8)
        cp = 1252;
    return code_page_to_utf8(cp, text, n, out_n);
}

unsigned long pf_last_error() { return GetLastError(); }

uint16_t pf_ui_language() { return GetUserDefaultUILanguage(); }

void pf_to_utf8(const char *text, char *out, size_t cap) {
    if (!cap) return;
    size_t n = 0;
    char *utf8 = GetACP() == CP_UTF8 ? nullptr : code_page_to_utf8(CP_ACP, text, strlen(text), &n);
    pf_cat(out, cap, GetACP() == CP_UTF8 ? text : utf8 ? utf8 : "");
    free(utf8);
}

void pf_error_message(unsigned long code, char *out, size_t cap) {
    if (!cap) return;
    out[0] = '\0';
    // MAX_WIDTH_MASK turns the message's own line breaks into spaces; what trails is trimmed below.
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                             nullptr, code, 0, out, static_cast<DWORD>(cap), nullptr);
    if (n == 0 || n >= cap) n = 0;
    while (n > 0 && (out[n - 1] == '\r' || out[n - 1] == '\n' || out[n - 1] == ' ')) --n;
    out[n] = '\0';
}

int pf_free_space(const char *folder, uint64_t *bytes) {
    ULARGE_INTEGER avail;
    if (!GetDiskFreeSpaceExA(folder, &avail, nullptr, nullptr)) return 0;
    *bytes = avail.QuadPart;
    return 1;
}

struct PfList {
    HANDLE find;
    WIN32_FIND_DATAA data;
    int have;  // data holds an entry not yet returned
};

PfList *pf_list_open(const char *folder) {
    char pattern[520];
    pf_cat(pattern, sizeof pattern, folder, "\\*");
    PfList *l = static_cast<PfList *>(calloc(1, sizeof(PfList)));
    if (!l) return nullptr;
    l->find = FindFirstFileA(pattern, &l->data);
    if (l->find == INVALID_HANDLE_VALUE) {
        free(l);
        return nullptr;
    }
    l->have = 1;
    return l;
}

int pf_list_next(PfList *l, PfEntry *e) {
    for (;;) {
        if (!l->have && !FindNextFileA(l->find, &l->data)) return 0;
        l->have = 0;
        const char *n = l->data.cFileName;
        if (strcmp(n, ".") == 0 || strcmp(n, "..") == 0) continue;
        pf_cat(e->name, sizeof e->name, n);
        e->directory = (l->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
        e->reparse = (l->data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
        e->size = e->directory ? 0
                               : (static_cast<uint64_t>(l->data.nFileSizeHigh) << 32) | l->data.nFileSizeLow;
        return 1;
    }
}

void pf_list_close(PfList *l) {
    if (!l) return;
    FindClose(l->find);
    free(l);
}
