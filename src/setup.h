// setup: the front end (command line, run modes, main window, background install) and the setup log.
// The log is one plain line per event, flushed at once, mirrored to the window while one exists.
// Front-end state lives here: the install request `opts`, the switches `quiet` and `silent`.
#pragma once
#include "install.h"

extern Options opts;  // the install request
extern int quiet;     // "/quiet": the uninstall stages ask and report nothing
extern int silent;    // "/silent": no window; nothing is posted anywhere

// Writes one line (printf-style, cut at 1023 characters) to the log file and flushes it; while the
// main window exists and the run is not silent, also posts a heap copy of the line to the window.
void setup_log(const char *format, ...) PRINTF_LIKE(1, 2);
// Opens the log file afresh (text mode, an earlier log is replaced). 1/0; on 0 lines reach no file.
int setup_log_open(const char *path);
// Closes the log file; safe when none is open.
void setup_log_close();

#ifdef _WIN32
// The main window (window.cpp). Builds it from opts and runs its message loop until it is destroyed;
// 1 when a window ran, 0 when none came up. The install runs on a worker thread meanwhile.
int run_window(void *instance, int show);
// Posts a heap copy of one log line to the main window while it exists and the run is not silent.
void window_log(const char *line);
// Converts a UTF-16 string to code page `cp` (CP_ACP, 1252, CP_UTF8...) into out, cap bytes with the NUL.
// 1 only when every character converts exactly; 0 when one would become a look-alike ("Łódź" as
// "Lodz") or the default character, or when the result does not fit. On 0, out is the empty string.
int wide_to_code_page(unsigned cp, const wchar_t *wide, char *out, size_t cap);
// The message shown when a name the user gave cannot be used on this system (see wide_to_code_page).
extern const char *const NAME_REFUSED;
#endif
