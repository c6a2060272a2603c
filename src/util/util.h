// util: file helpers, the progress record, CRC-32, the log and the player's language for every module
// above it (cdsrc, install, setup); it uses the platform alone.
// Paths are 8-bit strings in the process's code page (UTF-8 for the setup), composed in fixed buffers
// with a truncating formatter: a long path is cut, never overflowed. Results are 1/0 (or a heap buffer
// / none); the only log lines are those named below.
// copy_file shares one static 1 MiB buffer and runs on one thread at a time; copies that run side by side
// (copyjobs.cpp) bring a buffer of their own per worker.
// Files: util.cpp (file helpers, progress, text checks), crc32.cpp (CRC-32 at the speed of memory), paths.cpp
// (the forms of paths and names), copyjobs.cpp (copies on several workers), copyfile.cpp (the CD copy:
// retries, questions, reading ahead), reread.cpp (reading a worn disc again), timeleft.cpp (the time a copy
// still needs), fmt.h / fmt.cpp (buffer sizes, the bounded formatter, ASCII text helpers), bytes.h (bounded
// readers for untrusted bytes), lang.h / lang.cpp / lang/*.inc (the player's language: the catalogues and the
// line translator), setup_log.h / setup_log.cpp (the log).
#pragma once
#include <cstddef>
#include <cstdint>

#include "util/fmt.h"

constexpr uint64_t MIB = 1024 * 1024;

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

// The folder of the running program (its path up to the last separator) into out, cap bytes. 1/0.
int self_folder(char *out, size_t cap);

// 1 when a file or folder exists at the path.
int path_exists(const char *path);
// 1 when a folder exists at the path.
int is_dir(const char *path);
// Creates the folder with all missing parents ('\' and '/' both separate; the first three characters,
// a drive prefix, are never split). 1 when the path is a folder afterwards, also when it already was.
int make_dirs(const char *path);
// How many of the path's folders, from the path itself upwards, do not exist yet: the folders that
// make_dirs would make.
int missing_levels(const char *path);
// The cause of a failed make_dirs: the Win32 code of the first level that cannot be made
// (PF_ERR_ALREADY_EXISTS where a file stands in its place), that level into `level` (PATH_BUF).
unsigned long make_dirs_error(const char *path, char *level);
// Writes size bytes to the path, creating its parent folders and replacing any file there.
// 1/0; logs "cannot write %s (error %lu: <system message>)" or "write failed: %s (error ...)".
// A partial file stays.
int write_file(const char *path, const void *data, uint64_t size);
// Reads a whole file into a new heap buffer with one spare byte after the data (for a NUL);
// *size receives the length. None on any failure, *size untouched; a file that opens but does not
// read whole logs "read failed: %s (error ...)", a missing one nothing. Caller frees.
uint8_t *read_file(const char *path, uint64_t *size);
// Copies source to dest in 1 MiB chunks, creating dest's parent folders first; each chunk is added to
// p when given. 1/0; logs "cannot read %s" (source) or "cannot write %s" (dest) when they cannot be
// opened, and "read failed: %s (error ...)" or "write failed: %s (error ...)" when a chunk fails
// after that. An earlier file at dest is written over in place and cut to the new length once the copy
// is whole: a failed copy keeps what it wrote and, beyond it, the earlier bytes.
int copy_file(const char *source, const char *dest, Progress *p);
// What a copy learnt of one file's bytes: their CRC-32, when `whole` says that every one was read (and
// written).
struct FileSum {
    uint32_t crc;
    uint32_t whole;
};
// copy_file through the caller's buffer (cap bytes a chunk), into a folder that must exist already:
// the form for workers that copy side by side. Same results and log lines as copy_file. With sum, the
// bytes are summed as they go (sum->whole 1 once the copy is whole); with dest none, the source is only
// read and summed, and nothing is written.
int copy_file_with(const char *source, const char *dest, Progress *p, uint8_t *buffer, uint32_t cap,
                   FileSum *sum = nullptr);
// Reads the whole file at path and sums it (through copy_file's buffer, so on one thread at a time):
// *sum as copy_file_with leaves it. 1/0, with copy_file's lines when it cannot be opened or read.
int sum_file(const char *path, FileSum *sum);
// Standard CRC-32 (IEEE 802.3, reflected 0xEDB88320). 0 for an empty buffer. Safe on any thread.
uint32_t crc32_buf(const void *data, uint64_t len);
// The CRC-32 of the bytes summed before (crc: what crc32_buf or crc32_add gave for them, 0 for none)
// followed by these: crc32_add(crc32_buf(a), b) is the CRC-32 of a then b, so a file is summed chunk by
// chunk as it is copied.
uint32_t crc32_add(uint32_t crc, const void *data, uint64_t len);
// How the sums are made: by carry-less multiplication where the processor has it, on 256-bit registers
// (VPCLMULQDQ with AVX2) or 128-bit ones (PCLMULQDQ with SSE4.1), else by tables, eight bytes a step.
// crc32_kind says which; crc32_use chooses one (-1: the processor's best) for a benchmark or a test,
// before any thread sums: 0 when the processor cannot.
enum { CRC32_TABLE = 0, CRC32_CLMUL = 1, CRC32_WIDE = 2 };
int crc32_kind();
int crc32_use(int kind);
// Removes a folder tree, clearing read-only attributes; links inside it are removed as links and
// their targets never entered. 1 when the folder itself is gone, 0 otherwise. Logs nothing.
int delete_tree(const char *path);

// "error N: <the system's message for N>" into out (cut to cap): the cause that a failure line gives in
// parentheses. "error N" alone when the system has no text for the code.
void describe_error(unsigned long code, char *out, size_t cap);
// The code to report for a failed or short write: the system's code when the call failed; a write
// that the system calls successful yet stops short means the disk is full.
unsigned long write_error(int call_ok);
// Logs one failure line: `format` ("write failed: %s (%s)") with the path and the cause of the code
// ("write failed: C:\TZ\A.DAT (error 112: There is not enough space on the disk.)"). One format per
// failure, so that the window can show the line in the player's language.
void log_failure(const char *format, const char *path, unsigned long code);

// "<folder>\<name>" into a path buffer (PATH_BUF). 0 when it would not fit: a cut path names some
// other file, or the folder itself, so the caller must not use it.
int join_path(char *out, const char *folder, const char *name);

// 1 when the n bytes are well-formed UTF-8: no stray or missing continuation bytes, no overlong form,
// no UTF-16 surrogate and nothing above U+10FFFF. Such bytes would each turn into U+FFFD on their way
// to a file name, so two different byte strings could name one file.
int utf8_valid(const char *s, size_t n);
// What an install folder path is, from its text alone.
enum {
    FOLDER_OK = 0,
    FOLDER_NOT_FULL = 1,
    FOLDER_ROOT = 2,
    FOLDER_DOTS = 3,
    FOLDER_TOO_LONG = 4,
    FOLDER_TRAILING = 5,  // a part ends in a space or a dot
    FOLDER_BAD_NAME = 6,  // a part holds a character Windows refuses, or is a device name
};
// FOLDER_OK for a full path (drive letter and root, or \\server\share) below a drive or share root
// with no "." or ".." part; out (PATH_BUF) then holds it without trailing separators. Otherwise why
// not: relative or drive-relative, a root itself ("C:" counts as C:\), dot parts, too long to hold, a
// part that Windows would shorten (a trailing space or dot) or cannot make (a device name, < > : " | ? *
// or a control character).
int folder_form(const char *dir, char *out);
// 1 when `inner` is the folder `outer` or lies below it, comparing part by part ('\' and '/' alike,
// repeated separators as one, ASCII letter case ignored). Links and other spellings are not resolved.
int path_inside(const char *inner, const char *outer);
// 1 when the n bytes of a file name name a device (CON, NUL, COM1, "nul .txt", ...): CreateFile would open
// the device.
int name_is_device(const char *name, size_t n);
// 1 when the n bytes are a plain name that can only ever mean a file inside its folder: not empty, no
// separator, ':', wildcard or control character, not only dots and spaces ("." and ".." and what Windows
// makes of "..."), well-formed UTF-8, and no device name.
int plain_name(const char *s, size_t n);
// Characters of the UTF-8 string as Windows counts them against MAX_PATH: UTF-16 units, so a
// character beyond U+FFFF counts two.
size_t utf16_units(const char *s);

// ---------------------------------------------------------------------------------------------------
// Copies on several workers (copyjobs.cpp): a list of files gathered first, then copied side by side.

// One file to copy: a source (a path, or a name on the CD), a destination path, two numbers that the
// copier gives meaning to (an image file's first sector and its size), and where the copier sums the
// file's bytes (none: they are not summed). Each job's sum is written by the one worker that copies it.
struct CopyJob {
    const char *from;
    const char *to;
    uint64_t at;
    uint64_t size;
    size_t index;  // its place in the list
    FileSum *sum;
};
struct CopyJobs;
// A new empty list; none without memory.
CopyJobs *jobs_new();
// Appends a job (the texts are copied). 1, or 0 without memory (the list stays as it was).
int jobs_add(CopyJobs *j, const char *from, const char *to, uint64_t at, uint64_t size, FileSum *sum = nullptr);
size_t jobs_count(const CopyJobs *j);
// Orders the jobs by their `at` (an image file's first sector), those with the same `at` as they were.
void jobs_sort_by_at(CopyJobs *j);
// The i-th job (i below jobs_count); its texts live as long as the list.
CopyJob jobs_at(const CopyJobs *j, size_t i);
// Frees the list; none is accepted.
void jobs_free(CopyJobs *j);

// Asks every copy under way to stop at its next chunk, from any thread (the window's Cancel), or takes
// the request back (on = 0). A stopped copy fails without a line of its own; its caller says why.
void copy_stop(int on);
// 1 while a stop is asked for.
int copy_stopping();

// Copies one job through the worker's own buffer, adding each chunk to p. 1/0; logs its own failure.
typedef int (*CopyJobFn)(void *ctx, const CopyJob *job, Progress *p, uint8_t *buffer);
// Runs every job, in list order, on `workers` workers (1 to 4; with 1, or one job, on the calling
// thread without starting any), each with a heap buffer of buf_size bytes. The first failure stops
// the run: no job starts after it; the jobs in flight finish or fail. Only the calling thread tells
// p (so its callback never runs on a worker), and p reaches the same sum as a run on one worker.
// 1 when every job succeeded; 0 otherwise, or without memory for the buffers (logged).
int jobs_run(const CopyJobs *j, int workers, size_t buf_size, CopyJobFn fn, void *ctx, Progress *p);

// ---------------------------------------------------------------------------------------------------
// Reading a worn disc again (reread.cpp). A read of the CD that fails with an error a disc gives is tried
// again: whole, then in pieces of 64 KiB, then sector by sector, each piece a few times, all within
// REREAD_BUDGET_MS for one failing spot however large the file (a drive may spend seconds on each read of
// a bad sector). What a try reads is kept. The read and the clock come from the caller: tests script the
// failures and the time without waiting.

// How a read came out: every byte read; failed in a way another try may mend; failed for good.
enum { READ_OK = 0, READ_AGAIN = 1, READ_FINAL = 2 };
// Reads n bytes at byte `at` of a file into dst: READ_OK with all n bytes; otherwise *code is the system's
// error (PF_ERR_HANDLE_EOF for a read that came back short).
typedef int (*ReadAtFn)(void *ctx, uint64_t at, uint8_t *dst, uint32_t n, unsigned long *code);

// The time of the retries: milliseconds since a fixed moment, and a pause. real_clock() is the system's;
// tests give one whose pause only moves its time on.
struct Clock {
    uint64_t (*now_ms)(void *ctx);
    void (*pause_ms)(void *ctx, unsigned ms);
    void *ctx;
};
// The system's clock; its pause ends early at a stop (copy_stop) and lasts while the copy is held.
const Clock *real_clock();

constexpr uint32_t REREAD_UNIT = 2048;        // one sector of the disc: the smallest read
constexpr uint32_t REREAD_PIECE = 64 * 1024;  // the pieces between a whole read and a sector
constexpr unsigned REREAD_BUDGET_MS = 20000;  // no try of one spot starts after this

// What the retries of one spot came to.
struct Reread {
    int ok;              // every byte read
    unsigned tries;      // reads of the spot, the first (failed) one included
    uint32_t piece;      // the size of the reads that got the bytes at last: n when a whole read did
    uint64_t bad;        // when not ok: the first byte that did not read
    unsigned long code;  // the error the spot first gave
};

// 1 for the errors a read of a disc gives, which another try may mend: a data error (CRC), a sector not
// found, a seek or read fault, a device that is not ready, not working or not connected, a semaphore
// time-out, no disc, a changed or wrong disc, a file made invalid by a disc change, and a short read.
int disc_read_error(unsigned long code);
// 1 for the errors that say the drive holds no disc, or not the one it was reading.
int disc_missing_error(unsigned long code);
// After a read of n bytes at `at` into dst failed with `code`, reads them again: the whole read twice
// (after pauses, for a drive that spins up again), then each 64 KiB piece once, a failing piece sector by
// sector, each sector four times. An error that is no disc error, a READ_FINAL try, a stop (copy_stop) or
// the end of the budget ends the tries.
Reread reread(ReadAtFn read, void *ctx, const Clock *clock, uint64_t at, uint8_t *dst, uint32_t n,
              unsigned long code);

// ---------------------------------------------------------------------------------------------------
// The CD copy (copyfile.cpp): every file read through the source's reader, a failed read tried again
// (reread), the caller asked when the tries do not mend it, and on one worker the reading of the next
// files going on while the calling thread creates and writes the last ones.

// How a copy goes on after a file would not read, or once a file is whole.
enum { COPY_DONE = 0, COPY_RETRY = 1, COPY_SKIP = 2, COPY_CANCEL = 3 };

// One file of a copy, as the hooks see it.
struct CopyItem {
    const CopyJob *job;  // job->index: its place in the list
    const char *rel;     // its path below the copy's destination ("MOVIES\M01.DAT")
};
// A file that would not read, even after the retries.
struct CopyTrouble {
    const CopyItem *file;
    uint64_t at;         // the first byte that did not read (0 for a file that would not open)
    unsigned long code;  // the system's error
};
// What the caller of a copy hears and decides. The calls about one file come from one thread, in order;
// `trouble` is asked one question at a time, with every file of the copy held until it returns.
struct CopyHooks {
    // A file would not read: COPY_RETRY (opened again, and read on from where it failed), COPY_SKIP (the
    // copy goes on without it; what was written of it is removed) or COPY_CANCEL. None: the copy fails.
    int (*trouble)(void *ctx, const CopyTrouble *t);
    // n bytes of a file were written at byte `at` (at 0 again when the file is copied again). None: nothing.
    void (*wrote)(void *ctx, const CopyItem *f, uint64_t at, const uint8_t *data, uint32_t n);
    // A file is written whole: COPY_DONE to go on, COPY_RETRY to copy it again from its start, COPY_SKIP
    // or COPY_CANCEL as above. None: COPY_DONE.
    int (*whole)(void *ctx, const CopyItem *f);
    void *ctx;
};

// Where the files of a copy come from: a folder source opens each file, an image source reads sectors of
// the image it holds open.
struct CopyReader {
    // Opens the job's source: a handle for read and close, or none after setting *code.
    void *(*open)(void *ctx, const CopyJob *job, unsigned long *code);
    // Reads n bytes at byte `at` of the opened file into dst (room for n rounded up to 2048), using the
    // worker's `scratch` (scratch_size bytes): a ReadAtFn.
    int (*read)(void *ctx, void *file, const CopyJob *job, uint64_t at, uint8_t *dst, uint32_t n, uint8_t *scratch,
                unsigned long *code);
    void (*close)(void *ctx, void *file);  // none is accepted
    // Logs the line of a file that does not open (opening 1) or does not read at byte `at`.
    void (*log_failure)(void *ctx, const CopyJob *job, int opening, uint64_t at, unsigned long code);
    void *ctx;
    uint32_t chunk;        // bytes one read moves: a whole number of 2048-byte sectors
    size_t scratch_size;
    int clear_attributes;  // a file written over an earlier one loses read-only, hidden and system
    const Clock *clock;    // the retries' time; none: real_clock()
    int check;             // the files are only read (and summed): nothing is written, made or removed
};

// A job with a sum (CopyJob::sum) is summed as its bytes are written, in the order of the file, and the
// sum is whole once the file is (a file copied again from its start is summed again).
// Copies every job (to: the destination, size: its bytes) through the reader, adding what is written to p,
// a skipped file's bytes too, so that a copy adds up to its total; the destination's paths below it begin
// after root_len characters of `to` (and a separator). With one worker a thread of its own reads the
// files ahead while the calling thread creates and writes them; with more, each worker reads and writes
// its own files (jobs_run). 1 when every file was copied or skipped; 0 at the first failure (logged), a
// cancel or a stop.
int copy_files(const CopyJobs *j, const CopyReader *r, const CopyHooks *h, int workers, size_t root_len,
               Progress *p);

// Holds every copy at its next chunk while a question is open (on = 1), and lets it go on (on = 0).
// Holds add up; any thread. A stop ends a hold at once.
void copy_hold(int on);
// Waits while the copy is held. 1 to go on, 0 when a stop is asked for.
int copy_wait();

// ---------------------------------------------------------------------------------------------------
// The time a copy still needs (timeleft.cpp), for a status line read once a second. The speed is sampled
// once a second and smoothed; the count shown runs down with the clock and moves towards each new
// estimate by at most a few seconds, so a steady drive gives a steady count. A gap between two calls (the
// copy held while a question was open) counts neither as time nor as speed. The caller gives the time.
struct TimeLeft {
    uint64_t sample_ms, sample_done;  // where the sample under way began
    double speed;                     // bytes per millisecond, smoothed
    unsigned samples;
    double shown;                     // the seconds left at shown_ms; below 0 before the first estimate
    uint64_t shown_ms;
    int started;
};
// A count with no samples yet.
void time_left_start(TimeLeft *t);
// The seconds a copy of `total` bytes with `done` of them done at now_ms still needs; -1 until the estimate
// means something (three samples).
long time_left(TimeLeft *t, uint64_t now_ms, uint64_t done, uint64_t total);
