// The ground floor of every module: the sizes of the fixed text buffers, the bounded formatter (fmt.cpp)
// that composes paths and log lines in them, and the plain ASCII text helpers that paths, switches and
// disc names are compared with. Pure text: no file system, no state, no log.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

constexpr size_t PATH_BUF = 520;    // every path and composed string
constexpr size_t JOIN_BUF = 780;    // a folder joined with a file name
constexpr size_t LOG_BUF = 1024;    // one log line
constexpr size_t CMD_BUF = 1300;    // the uninstaller's command line
constexpr size_t SHORT_PATH = 260;  // MAX_PATH: temporary folder and shell folders

// Format checking for fmt and the log against C99 printf: MinGW's GCC takes plain "printf" to mean the
// Microsoft runtime's dialect, and clang knows only "printf" (which is C99's there).
#if defined(__GNUC__) && !defined(__clang__)
#define PRINTF_LIKE(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#endif

// Marks an English text that the player reads where it is composed rather than where it is shown (a
// message composed for a log line or a box), so that the catalogue test (lang.h) finds it too.
#define N_(text) text

// The bounded formatter: snprintf that always NUL-terminates (when cap > 0) and cuts what does not fit;
// returns the length the whole result needs, as snprintf does. It knows the flags '-' and '0', a width
// and a precision (digits or '*'), the sizes hh h l ll z and the conversions d i u x X c s and %%;
// anything else is copied as written.
int vfmt(char *dst, size_t cap, const char *format, va_list ap);
int fmt(char *dst, size_t cap, const char *format, ...) PRINTF_LIKE(3, 4);

// ASCII letter case: switches, file names and disc names ignore the case of ASCII letters only (the
// C library's functions would follow the locale, and Windows' own rules differ between versions).
inline char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
// 1 when the two strings are equal but for the case of ASCII letters.
int ascii_equal(const char *a, const char *b);
// 1 when the n bytes at s equal the string w but for the case of ASCII letters.
int ascii_equal_n(const char *s, size_t n, const char *w);
// strcmp's order with ASCII letters taken as upper case: negative, 0 or positive.
int ascii_compare(const char *a, const char *b);

// Writes the code point (below 0x110000) as UTF-8 at out; the count of bytes, 1 to 4.
int utf8_put(unsigned long cp, char *out);
// The well-formed UTF-8 character at the start of the n bytes at s: its code point into *cp and its
// length, 1 to 4; 0 for a stray or missing continuation byte, an overlong form, a UTF-16 surrogate or
// anything above U+10FFFF.
size_t utf8_next(const char *s, size_t n, unsigned long *cp);
// The UTF-8 string as UTF-16 units for the wide functions of Windows, into out (cap units with the NUL;
// a character that does not fit whole is left out with all after it). A byte that starts no
// well-formed character becomes U+FFFD. The count of units without the NUL.
size_t utf8_to_utf16(const char *s, uint16_t *out, size_t cap);

// Path separators: '\' and '/' both separate, as they do for Windows.
inline int is_separator(char c) { return c == '\\' || c == '/'; }
// The last separator of a path, or none.
const char *last_separator(const char *path);
char *last_separator(char *path);
