// The setup log: its file, its lock and the mirror to the window.
#include "setup_log.h"

#include <cstdio>

#include "platform.h"

static FILE *logf;          // the open setup log, or none
static LogMirror mirror;    // the main window's, while it exists
// Copy workers log their failures from their own threads: one line is written and mirrored whole
// before the next begins.
static PfLock log_lock;

int setup_log_open(const char *path) {
    setup_log_close();
    logf = fopen(path, "w");
    return logf ? 1 : 0;
}

void setup_log_close() {
    if (logf) fclose(logf);
    logf = nullptr;
}

void setup_log_mirror(LogMirror m) {
    pf_lock(&log_lock);
    mirror = m;
    pf_unlock(&log_lock);
}

void setup_log(const char *format, ...) {
    char line[LOG_BUF];
    va_list ap;
    va_start(ap, format);
    vfmt(line, sizeof line, format, ap);
    va_end(ap);
    pf_lock(&log_lock);
    if (logf) {
        fputs(line, logf);
        fputc('\n', logf);  // the text-mode file makes it CR LF on Windows
        fflush(logf);
    }
    if (mirror) mirror(line);
    pf_unlock(&log_lock);
}

int fail(const char *message) {
    setup_log("ERROR: %s", message);
    return 0;
}
