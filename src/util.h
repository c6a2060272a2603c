// util: file helpers, the progress record and CRC-32 for every other module.
// Paths are 8-bit strings in the process's code page (UTF-8 for the setup), composed in fixed buffers
// with a truncating formatter: a long path is cut, never overflowed. Results are 1/0 (or a heap buffer
// / none); the only log lines are those named below.
// copy_file shares one static 1 MiB buffer, so file work runs on one thread at a time.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

constexpr size_t PATH_BUF = 520;  // every path and composed string
constexpr size_t JOIN_BUF = 780;  // a folder joined with a file name
constexpr size_t LOG_BUF = 1024;  // one log line
constexpr size_t CMD_BUF = 1300;  // the uninstaller's command line
constexpr size_t SHORT_PATH = 260;  // MAX_PATH: temporary folder and shell folders

// Progress accounting: `done` grows towards `total`; `callback` (or none) hears every addition.
typedef void (*ProgressFn)(uint64_t done, uint64_t total, void *user);
struct Progress {
    uint64_t done;
    uint64_t total;
    ProgressFn callback;
    void *user;
};

// Adds n to p->done and tells the callback (also for n = 0).
void progress_add(Progress *p, uint64_t n);

// 1 when a file or folder exists at the path.
int path_exists(const char *path);
// 1 when a folder exists at the path.
int is_dir(const char *path);
// Creates the folder with all missing parents ('\' and '/' both separate; the first three characters,
// a drive prefix, are never split). 1 when the path is a folder afterwards, also when it already was.
int make_dirs(const char *path);
// Writes size bytes to the path, creating its parent folders and replacing any file there.
// 1/0; logs "cannot write %s (error %lu)" or "write failed: %s". A partial file stays.
int write_file(const char *path, const void *data, uint64_t size);
// Reads a whole file into a new heap buffer with one spare byte after the data (for a NUL);
// *size receives the length. None on any failure, *size untouched, nothing logged. Caller frees.
uint8_t *read_file(const char *path, uint64_t *size);
// Copies source to dest in 1 MiB chunks, creating dest's parent folders first; each chunk is added to
// p when given. 1/0; logs "cannot read %s" (source) or "cannot write %s" (dest) when they cannot be
// opened. dest ends with the normal attribute and keeps what was written before a failure.
int copy_file(const char *source, const char *dest, Progress *p);
// Standard CRC-32 (IEEE 802.3, reflected 0xEDB88320). 0 for an empty buffer.
uint32_t crc32_buf(const void *data, uint64_t len);
// Removes a folder tree, clearing read-only attributes; links inside it are removed as links and
// their targets never entered. 1 when the folder itself is gone, 0 otherwise. Logs nothing.
int delete_tree(const char *path);

// "<folder>\<name>" into a path buffer (PATH_BUF). 0 when it would not fit: a cut path names some
// other file, or the folder itself, so the caller must not use it.
int join_path(char *out, const char *folder, const char *name);

// 1 when the n bytes are well-formed UTF-8: no stray or missing continuation bytes, no overlong form,
// no UTF-16 surrogate and nothing above U+10FFFF. Such bytes would each turn into U+FFFD on their way
// to a file name, so two different byte strings could name one file.
int utf8_valid(const char *s, size_t n);

// Format checking for fmt and the log against C99 printf: MinGW's GCC takes plain "printf" to mean the
// Microsoft runtime's dialect, and clang knows only "printf" (which is C99's there).
#if defined(__GNUC__) && !defined(__clang__)
#define PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#endif

// The bounded formatter: snprintf that always NUL-terminates (when cap > 0) and cuts what does not fit;
// returns the length the whole result needs, as snprintf does. It knows the flags '-' and '0', a width
// and a precision (digits or '*'), the sizes hh h l ll z and the conversions d i u x X c s and %%;
// anything else is copied as written.
int vfmt(char *dst, size_t cap, const char *format, va_list ap);
int fmt(char *dst, size_t cap, const char *format, ...) PRINTF_LIKE(3, 4);
