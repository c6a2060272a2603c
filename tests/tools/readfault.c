/* readfault: an LD_PRELOAD library that makes the reads of chosen files behave as a worn disc in a slow
 * drive does, for the end-to-end tests under Wine (whose file reads are the host's read and pread calls;
 * Wine reports EIO to the program as error 21, "The device is not ready.").
 *
 *   READFAULT_PATH   the reads of every file whose host path contains this text are affected (nothing is
 *                    affected without it)
 *   READFAULT_FAILS  how many of those reads fail with EIO: the first N that touch the range below; -1 for
 *                    every one (the default when READFAULT_UNTIL is given, else 0)
 *   READFAULT_AT     "START-END" (bytes, END excluded): only reads that touch this range fail; the whole
 *                    file by default
 *   READFAULT_UNTIL  a host path: reads fail only while no file is there (the disc cleaned and put back)
 *   READFAULT_MBPS   the drive's speed in MB/s (10^6 bytes): every read of the files waits its turn and
 *                    takes the time of the bytes it delivers, as one drive serves one read at a time
 *   READFAULT_LOG    a host file that gets one line per read of the files: "read OFFSET LENGTH MS" or
 *                    "fail OFFSET LENGTH MS" (MS: milliseconds of the host's monotonic clock when it ended)
 *
 * Built by the tests that use it: cc -shared -fPIC -O2 -o readfault.so readfault.c -ldl -lpthread
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

static ssize_t (*real_read)(int, void *, size_t);
static ssize_t (*real_pread)(int, void *, size_t, off_t);
static ssize_t (*real_readv)(int, const struct iovec *, int);
static ssize_t (*real_preadv)(int, const struct iovec *, int, off_t);

static const char *match;      /* READFAULT_PATH */
static long long fails_left;   /* reads still to fail; -1: all */
static long long at_start, at_end = -1;
static const char *until;      /* READFAULT_UNTIL */
static double bytes_per_ns;    /* 0: full speed */
static const char *log_path;   /* READFAULT_LOG */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int64_t drive_free_at;  /* when the drive has served every read before */

__attribute__((constructor)) static void start(void) {
    real_read = dlsym(RTLD_NEXT, "read");
    real_pread = dlsym(RTLD_NEXT, "pread64");
    real_readv = dlsym(RTLD_NEXT, "readv");
    real_preadv = dlsym(RTLD_NEXT, "preadv64");
    match = getenv("READFAULT_PATH");
    if (match && !*match) match = NULL;
    until = getenv("READFAULT_UNTIL");
    const char *v = getenv("READFAULT_FAILS");
    fails_left = v ? atoll(v) : until ? -1 : 0;
    if ((v = getenv("READFAULT_AT")) != NULL && sscanf(v, "%lld-%lld", &at_start, &at_end) != 2) at_end = -1;
    if ((v = getenv("READFAULT_MBPS")) != NULL && atof(v) > 0) bytes_per_ns = atof(v) * 1e6 / 1e9;
    log_path = getenv("READFAULT_LOG");
}

static int64_t now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

/* 1 when the file open as fd is one of the chosen files. */
static int chosen(int fd) {
    if (!match) return 0;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = '\0';
    return strstr(path, match) != NULL;
}

static void note(const char *what, long long offset, size_t length) {
    if (!log_path) return;
    int saved = errno;
    char line[128];
    int n = snprintf(line, sizeof line, "%s %lld %zu %lld\n", what, offset, length, (long long)(now_ns() / 1000000));
    int f = open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (f >= 0) {
        ssize_t put = write(f, line, (size_t)n);
        (void)put;
        close(f);
    }
    errno = saved;
}

/* Before a read of length bytes at offset of a chosen file: 1 when it is to fail. */
static int fails(long long offset, size_t length) {
    int fail = 0;
    pthread_mutex_lock(&lock);
    int touches = at_end < 0 || (offset < at_end && offset + (long long)length > at_start);
    struct stat st;
    if (touches && fails_left != 0 && !(until && stat(until, &st) == 0)) {
        fail = 1;
        if (fails_left > 0) --fails_left;
    }
    pthread_mutex_unlock(&lock);
    if (fail) note("fail", offset, length);
    return fail;
}

/* After a read of a chosen file, asked for at `asked`, delivered got bytes: the drive's time for them from
 * the request on (or from the end of the reads before it), the host's own copying within it. */
static ssize_t delivered(int64_t asked, long long offset, ssize_t got) {
    int saved = errno;
    if (bytes_per_ns > 0 && got > 0) {
        pthread_mutex_lock(&lock);
        if (drive_free_at < asked) drive_free_at = asked;
        drive_free_at += (int64_t)((double)got / bytes_per_ns);
        int64_t until_ns = drive_free_at;
        pthread_mutex_unlock(&lock);
        struct timespec t = {(time_t)(until_ns / 1000000000), (long)(until_ns % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) {
        }
    }
    note("read", offset, got > 0 ? (size_t)got : 0);
    errno = saved;
    return got;
}

static size_t iov_bytes(const struct iovec *iov, int n) {
    size_t sum = 0;
    for (int i = 0; i < n; ++i) sum += iov[i].iov_len;
    return sum;
}

ssize_t read(int fd, void *buf, size_t count) {
    if (!chosen(fd)) return real_read(fd, buf, count);
    long long at = (long long)lseek(fd, 0, SEEK_CUR);
    int64_t asked = now_ns();
    if (fails(at, count)) {
        errno = EIO;
        return -1;
    }
    return delivered(asked, at, real_read(fd, buf, count));
}

ssize_t pread64(int fd, void *buf, size_t count, off_t offset) {
    if (!chosen(fd)) return real_pread(fd, buf, count, offset);
    int64_t asked = now_ns();
    if (fails((long long)offset, count)) {
        errno = EIO;
        return -1;
    }
    return delivered(asked, (long long)offset, real_pread(fd, buf, count, offset));
}

ssize_t pread(int fd, void *buf, size_t count, off_t offset) { return pread64(fd, buf, count, offset); }

ssize_t readv(int fd, const struct iovec *iov, int n) {
    if (!chosen(fd)) return real_readv(fd, iov, n);
    long long at = (long long)lseek(fd, 0, SEEK_CUR);
    int64_t asked = now_ns();
    if (fails(at, iov_bytes(iov, n))) {
        errno = EIO;
        return -1;
    }
    return delivered(asked, at, real_readv(fd, iov, n));
}

ssize_t preadv64(int fd, const struct iovec *iov, int n, off_t offset) {
    if (!chosen(fd)) return real_preadv(fd, iov, n, offset);
    int64_t asked = now_ns();
    if (fails((long long)offset, iov_bytes(iov, n))) {
        errno = EIO;
        return -1;
    }
    return delivered(asked, (long long)offset, real_preadv(fd, iov, n, offset));
}

ssize_t preadv(int fd, const struct iovec *iov, int n, off_t offset) { return preadv64(fd, iov, n, offset); }
