// The setup log: its file, its lock and the mirror to the window.
#include "util/setup_log.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "util/util.h"

static FILE *logf;          // the open setup log, or none
static char log_path[PATH_BUF];  // its path while it is open
static LogMirror mirror;    // the main window's, while it exists
// Copy workers log their failures from their own threads: one line is written and mirrored whole
// before the next begins.
static PfLock log_lock;
// The start-up's lines, each with its NUL, for the window that comes after them. A silent run never
// takes them: its later lines find the buffer full and reach the file only.
static char kept[16384];
static size_t kept_len;
static int keeping;

// Under the lock: a worker's line must never meet a file being closed.
static void close_locked() {
    if (logf) fclose(logf);
    logf = nullptr;
    log_path[0] = '\0';
    keeping = 0;
    kept_len = 0;
}

int setup_log_open(const char *path) {
    pf_lock(&log_lock);
    close_locked();
    keeping = 1;
    logf = fopen(path, "w");
    int opened = logf ? 1 : 0;
    if (opened) fmt(log_path, sizeof log_path, "%s", path);
    pf_unlock(&log_lock);
    return opened;
}

int setup_log_beside(const char *name, char *out) {
    pf_lock(&log_lock);
    char folder[PATH_BUF];
    fmt(folder, sizeof folder, "%s", log_path);
    pf_unlock(&log_lock);
    char *cut = last_separator(folder);
    if (!cut) return 0;
    *cut = '\0';
    return join_path(out, folder, name);
}

void setup_log_close() {
    pf_lock(&log_lock);
    close_locked();
    pf_unlock(&log_lock);
}

void setup_log_replay(LogMirror each) {
    pf_lock(&log_lock);
    for (size_t at = 0; at < kept_len; at += strlen(kept + at) + 1) each(kept + at);
    keeping = 0;
    kept_len = 0;
    pf_unlock(&log_lock);
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
    size_t n = strlen(line) + 1;
    // The first line that does not fit ends the keeping: the window shows no line after a gap.
    if (keeping && n > sizeof kept - kept_len) keeping = 0;
    if (keeping) {
        memcpy(kept + kept_len, line, n);
        kept_len += n;
    }
    if (mirror) mirror(line);
    pf_unlock(&log_lock);
}

int fail(const char *message) {
    setup_log("ERROR: %s", message);
    return 0;
}
