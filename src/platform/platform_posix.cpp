// POSIX side of the file-system layer, for native tests and fuzzing: the same results as the Win32 side,
// with errno turned into the Win32 code a Windows user would see.
#include "platform/platform.h"
#include "pf_text.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static thread_local unsigned long last_error;

static void set_error_from_errno() {
    switch (errno) {
    case ENOENT: last_error = 2; break;   // ERROR_FILE_NOT_FOUND
    case ENOTDIR: last_error = 3; break;  // ERROR_PATH_NOT_FOUND
    case EMFILE:
    case ENFILE: last_error = 4; break;   // ERROR_TOO_MANY_OPEN_FILES
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY: last_error = 5; break;  // ERROR_ACCESS_DENIED
    case EBADF: last_error = 6; break;    // ERROR_INVALID_HANDLE
    case ENOMEM: last_error = 8; break;   // ERROR_NOT_ENOUGH_MEMORY
    case EEXIST: last_error = 183; break; // ERROR_ALREADY_EXISTS
    case ENOTEMPTY: last_error = 145; break;  // ERROR_DIR_NOT_EMPTY
    case ENOSPC:
    case EDQUOT: last_error = 112; break; // ERROR_DISK_FULL
    case ENAMETOOLONG: last_error = 206; break;
    case EINVAL: last_error = 87; break;  // ERROR_INVALID_PARAMETER
    default: last_error = 31; break;      // ERROR_GEN_FAILURE
    }
}

// Windows paths use '\'; here every separator becomes '/'.
struct NativePath {
    char p[1024];
    explicit NativePath(const char *path) {
        pf_cat(p, sizeof p, path);
        for (char *c = p; *c; ++c)
            if (*c == '\\') *c = '/';
    }
};

uint32_t pf_attributes(const char *path) {
    NativePath np(path);
    struct stat st;
    if (lstat(np.p, &st) != 0) {
        set_error_from_errno();
        return PF_ATTR_INVALID;
    }
    uint32_t a = 0;
    if (S_ISLNK(st.st_mode)) {
        a |= PF_ATTR_REPARSE;
        struct stat target;
        if (stat(np.p, &target) == 0 && S_ISDIR(target.st_mode)) a |= PF_ATTR_DIRECTORY;
    } else if (S_ISDIR(st.st_mode)) {
        a |= PF_ATTR_DIRECTORY;
    }
    if (!(st.st_mode & S_IWUSR)) a |= PF_ATTR_READONLY;
    return a ? a : PF_ATTR_NORMAL;
}

int pf_set_normal(const char *path) {
    NativePath np(path);
    struct stat st;
    if (lstat(np.p, &st) != 0) {
        set_error_from_errno();
        return 0;
    }
    if (S_ISLNK(st.st_mode)) return 1;
    if (chmod(np.p, (st.st_mode & 07777) | S_IWUSR | S_IRUSR) != 0) {
        set_error_from_errno();
        return 0;
    }
    return 1;
}

int pf_mkdir(const char *path) {
    NativePath np(path);
    if (mkdir(np.p, 0777) != 0) {
        set_error_from_errno();
        return 0;
    }
    return 1;
}

int pf_rmdir(const char *path) {
    NativePath np(path);
    struct stat st;
    // A link to a folder is removed as a link, as RemoveDirectoryA does with a junction.
    if (lstat(np.p, &st) == 0 && S_ISLNK(st.st_mode)) {
        if (unlink(np.p) != 0) {
            set_error_from_errno();
            return 0;
        }
        return 1;
    }
    if (rmdir(np.p) != 0) {
        set_error_from_errno();
        return 0;
    }
    return 1;
}

int pf_delete(const char *path) {
    NativePath np(path);
    struct stat st;
    if (lstat(np.p, &st) == 0 && S_ISDIR(st.st_mode)) {
        last_error = 5;  // DeleteFileA refuses folders with access denied
        return 0;
    }
    if (unlink(np.p) != 0) {
        set_error_from_errno();
        return 0;
    }
    return 1;
}

int pf_is_link(const char *path) {
    NativePath np(path);
    struct stat st;
    return lstat(np.p, &st) == 0 && S_ISLNK(st.st_mode);
}

int pf_remove_link(const char *path) {
    NativePath np(path);
    if (unlink(np.p) != 0) {
        set_error_from_errno();
        return 0;
    }
    return 1;
}

pf_file pf_open_read(const char *path, int sequential) {
    NativePath np(path);
    int fd = open(np.p, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        set_error_from_errno();
        return PF_INVALID;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        // CreateFileA without backup semantics cannot open a folder.
        close(fd);
        last_error = 5;
        return PF_INVALID;
    }
#ifdef POSIX_FADV_SEQUENTIAL
    if (sequential) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
#else
    (void)sequential;
#endif
    return fd;
}

pf_file pf_create(const char *path) {
    NativePath np(path);
    int fd = open(np.p, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        set_error_from_errno();
        return PF_INVALID;
    }
    return fd;
}

pf_file pf_create_readable(const char *path) { return pf_create(path); }

pf_file pf_overwrite(const char *path, int *existed) {
    NativePath np(path);
    *existed = 0;
    int fd = open(np.p, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        *existed = 1;
        fd = open(np.p, O_WRONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        set_error_from_errno();
        return PF_INVALID;
    }
    return fd;
}

int pf_set_end(pf_file f) {
    off_t at = lseek(static_cast<int>(f), 0, SEEK_CUR);
    if (at >= 0 && ftruncate(static_cast<int>(f), at) == 0) return 1;
    set_error_from_errno();
    return 0;
}

int pf_read(pf_file f, void *dst, uint32_t n, uint32_t *got) {
    uint32_t total = 0;
    while (total < n) {
        ssize_t r = read(static_cast<int>(f), static_cast<char *>(dst) + total, n - total);
        if (r < 0) {
            if (errno == EINTR) continue;
            set_error_from_errno();
            *got = total;
            return 0;
        }
        if (r == 0) break;
        total += static_cast<uint32_t>(r);
    }
    *got = total;
    return 1;
}

int pf_read_at(pf_file f, uint64_t pos, void *dst, uint32_t n, uint32_t *got) {
    *got = 0;
    if (pos > static_cast<uint64_t>(INT64_MAX)) {
        last_error = 87;
        return 0;
    }
    uint32_t total = 0;
    while (total < n) {
        ssize_t r = pread(static_cast<int>(f), static_cast<char *>(dst) + total, n - total,
                          static_cast<off_t>(pos + total));
        if (r < 0) {
            if (errno == EINTR) continue;
            set_error_from_errno();
            *got = total;
            return 0;
        }
        if (r == 0) break;
        total += static_cast<uint32_t>(r);
    }
    *got = total;
    return 1;
}

int pf_seek(pf_file f, uint64_t pos) {
    if (pos > static_cast<uint64_t>(INT64_MAX) || lseek(static_cast<int>(f), static_cast<off_t>(pos), SEEK_SET) < 0) {
        if (pos > static_cast<uint64_t>(INT64_MAX)) errno = EINVAL;
        set_error_from_errno();
        return 0;
    }
    return 1;
}

int pf_write(pf_file f, const void *src, uint32_t n, uint32_t *put) {
    uint32_t total = 0;
    while (total < n) {
        ssize_t w = write(static_cast<int>(f), static_cast<const char *>(src) + total, n - total);
        if (w < 0) {
            if (errno == EINTR) continue;
            set_error_from_errno();
            *put = total;
            return 0;
        }
        total += static_cast<uint32_t>(w);
    }
    *put = total;
    return 1;
}

int pf_size(pf_file f, uint64_t *size) {
    struct stat st;
    if (fstat(static_cast<int>(f), &st) != 0) {
        set_error_from_errno();
        return 0;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return 1;
}

int pf_flush(pf_file f) {
    if (fsync(static_cast<int>(f)) == 0) return 1;
    set_error_from_errno();
    return 0;
}

int pf_file_id(const char *path, PfFileId *id) {
    NativePath np(path);
    struct stat st;
    if (stat(np.p, &st) != 0) {
        set_error_from_errno();
        return 0;
    }
    id->volume = static_cast<uint64_t>(st.st_dev);
    id->index = static_cast<uint64_t>(st.st_ino);
    return 1;
}

int pf_in_use(const char *) { return 0; }

void pf_close(pf_file f) {
    if (f != PF_INVALID) close(static_cast<int>(f));
}

uint32_t pf_drive_type(const char *) { return PF_DRIVE_FIXED; }

int pf_volume(const char *, uint32_t *, char *, size_t) {
    last_error = 1;  // ERROR_INVALID_FUNCTION
    return 0;
}

unsigned pf_processor_count() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 0;
}

struct PfThread {
    pthread_t id;
    void (*fn)(void *);
    void *arg;
};

static void *thread_main(void *p) {
    PfThread *t = static_cast<PfThread *>(p);
    t->fn(t->arg);
    return nullptr;
}

PfThread *pf_thread_start(void (*fn)(void *), void *arg) {
    PfThread *t = static_cast<PfThread *>(calloc(1, sizeof(PfThread)));
    if (!t) return nullptr;
    t->fn = fn;
    t->arg = arg;
    if (pthread_create(&t->id, nullptr, thread_main, t) != 0) {
        free(t);
        return nullptr;
    }
    return t;
}

void pf_thread_join(PfThread *t) {
    if (!t) return;
    pthread_join(t->id, nullptr);
    free(t);
}

// One word that is 0 when free: taken with an atomic exchange, waited for by yielding.
void pf_lock(PfLock *l) {
    while (__atomic_exchange_n(&l->state, reinterpret_cast<void *>(1), __ATOMIC_ACQUIRE)) sched_yield();
}
void pf_unlock(PfLock *l) { __atomic_store_n(&l->state, nullptr, __ATOMIC_RELEASE); }

// The lock is a spinning word: a wait gives it up and yields once (the native tests alone wait so).
void pf_cond_wait(PfCond *, PfLock *l) {
    pf_unlock(l);
    sched_yield();
    pf_lock(l);
}
void pf_cond_wake(PfCond *) {}

void pf_sleep_ms(unsigned ms) {
    struct timespec t = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

uint64_t pf_now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

int pf_self_path(char *out, size_t cap) {
    if (cap == 0) return 0;
    ssize_t n = readlink("/proc/self/exe", out, cap);
    if (n <= 0 || static_cast<size_t>(n) >= cap) {
        out[0] = '\0';
        return 0;
    }
    out[n] = '\0';
    return 1;
}

char *pf_ansi_to_utf8(const char *text, size_t n, size_t *out_n) {
    char *out = static_cast<char *>(malloc(n * 2 + 1));
    if (!out) return nullptr;
    size_t o = 0;
    for (size_t i = 0; i < n; ++i) {  // Latin-1: one byte is one code point below 256
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out[o++] = static_cast<char>(c);
        } else {
            out[o++] = static_cast<char>(0xC0 | (c >> 6));
            out[o++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out[o] = '\0';
    *out_n = o;
    return out;
}

unsigned long pf_last_error() { return last_error; }

uint16_t pf_ui_language() {
    const char *v = getenv("ZARNITH_UI_LANGUAGE");
    return v && *v ? static_cast<uint16_t>(strtoul(v, nullptr, 16)) : 0x0409;
}

void pf_to_utf8(const char *text, char *out, size_t cap) { pf_cat(out, cap, text); }

// The Windows texts of the codes set_error_from_errno gives, so that lines read as on Windows.
void pf_error_message(unsigned long code, char *out, size_t cap) {
    static const struct {
        unsigned long code;
        const char *text;
    } texts[] = {
        {2, "The system cannot find the file specified."},
        {3, "The system cannot find the path specified."},
        {4, "The system cannot open the file."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory resources are available to process this command."},
        {31, "A device attached to the system is not functioning."},
        {38, "Reached the end of the file."},
        {87, "The parameter is incorrect."},
        {112, "There is not enough space on the disk."},
        {145, "The directory is not empty."},
        {183, "Cannot create a file when that file already exists."},
        {206, "The filename or extension is too long."},
    };
    if (!cap) return;
    out[0] = '\0';
    for (const auto &t : texts)
        if (t.code == code) pf_cat(out, cap, t.text);
}

int pf_free_space(const char *folder, uint64_t *bytes) {
    NativePath np(folder);
    struct statvfs v;
    if (statvfs(np.p, &v) != 0) {
        set_error_from_errno();
        return 0;
    }
    *bytes = static_cast<uint64_t>(v.f_bavail) * v.f_frsize;
    return 1;
}

struct PfList {
    DIR *dir;
    char folder[1024];
};

static std::atomic<unsigned long> listings{0};

unsigned long pf_listings() { return listings.load(); }

PfList *pf_list_open(const char *folder) {
    listings.fetch_add(1);
    NativePath np(folder);
    DIR *d = opendir(np.p);
    if (!d) {
        set_error_from_errno();
        return nullptr;
    }
    PfList *l = static_cast<PfList *>(calloc(1, sizeof(PfList)));
    if (!l) {
        closedir(d);
        last_error = 8;
        return nullptr;
    }
    l->dir = d;
    pf_cat(l->folder, sizeof l->folder, np.p);
    return l;
}

int pf_list_next(PfList *l, PfEntry *e) {
    for (;;) {
        struct dirent *de = readdir(l->dir);
        if (!de) return 0;
        if (strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0) continue;
        char full[1400];
        pf_cat(full, sizeof full, l->folder, "/", de->d_name);
        struct stat st;
        if (lstat(full, &st) != 0) continue;  // vanished since readdir
        pf_cat(e->name, sizeof e->name, de->d_name);
        e->reparse = S_ISLNK(st.st_mode) ? 1 : 0;
        e->directory = S_ISDIR(st.st_mode) ? 1 : 0;
        if (e->reparse) {
            struct stat target;
            e->directory = (stat(full, &target) == 0 && S_ISDIR(target.st_mode)) ? 1 : 0;
        }
        e->size = e->directory ? 0 : static_cast<uint64_t>(st.st_size);
        return 1;
    }
}

void pf_list_close(PfList *l) {
    if (!l) return;
    closedir(l->dir);
    free(l);
}
