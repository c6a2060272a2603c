// setup_log (module util): the setup log, one plain line per event, flushed at once. Every module
// below the front end reports through these few functions and needs nothing else of the front end;
// the main window sees the lines through a mirror that it sets while it exists.
// Lines may come from several threads (the copy workers): each is written and mirrored whole before
// the next one begins.
#pragma once
#include "util/fmt.h"

// Writes one line (printf-style, cut at 1023 characters) to the log file and flushes it, then hands it
// to the mirror when one is set.
void setup_log(const char *format, ...) PRINTF_LIKE(1, 2);
// Logs "ERROR: <message>" and gives 0, so that a failing step can end with `return fail("...")`.
int fail(const char *message);
// Opens the log file afresh (text mode, an earlier log is replaced). 1/0; on 0 lines reach no file.
// From here the lines are also kept (the first 16 KiB of them) until setup_log_replay or the close.
int setup_log_open(const char *path);
// The path of the file called name in the log file's folder into out (PATH_BUF): where files for the
// player to find beside the log go. 0 while no log file is open, or when the path would not fit.
int setup_log_beside(const char *name, char *out);
// Closes the log file and drops the kept lines; safe when none is open.
void setup_log_close();
// Hands each line kept since setup_log_open to `each`, oldest first, and keeps no more: the window, built
// after the start-up has logged, shows those lines too. `each` runs under the log's lock and must not log.
typedef void (*LogMirror)(const char *line);
void setup_log_replay(LogMirror each);
// Sets the function that sees every line after the file has it, or none to stop. The line lives only
// for the call; the mirror runs under the log's lock on the logging thread, so it must not log.
void setup_log_mirror(LogMirror mirror);
