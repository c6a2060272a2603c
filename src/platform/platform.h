// platform: the dozen file-system calls the portable core needs, with Win32 results everywhere.
// Paths are NUL-terminated 8-bit strings with '\' (or '/') separators; the POSIX build maps '\' to '/'.
// Every failing call leaves a Win32 error code (2 not found, 5 access denied, 112 disk full, ...)
// for pf_last_error, so messages read the same on Windows, under Wine and in native tests.
// No call logs anything; no call keeps state beyond the handles it returns. The ground floor: it uses no
// other module.
// Files: platform_win32.cpp (Windows), platform_posix.cpp (native tests and fuzzing), pf_text.h/.cpp (the
// few text steps both need).
#pragma once
#include <cstddef>
#include <cstdint>

// An open file. PF_INVALID is "none" (INVALID_HANDLE_VALUE on Windows).
typedef intptr_t pf_file;
constexpr pf_file PF_INVALID = -1;

constexpr uint32_t PF_ATTR_INVALID = 0xFFFFFFFFu;  // nothing at the path
constexpr uint32_t PF_ATTR_READONLY = 0x1;
constexpr uint32_t PF_ATTR_HIDDEN = 0x2;
constexpr uint32_t PF_ATTR_SYSTEM = 0x4;
constexpr uint32_t PF_ATTR_DIRECTORY = 0x10;
constexpr uint32_t PF_ATTR_NORMAL = 0x80;
constexpr uint32_t PF_ATTR_REPARSE = 0x400;        // junction or symbolic link

// The Win32 error codes that the core itself gives or tests for.
constexpr unsigned long PF_ERR_FILE_NOT_FOUND = 2;
constexpr unsigned long PF_ERR_PATH_NOT_FOUND = 3;
constexpr unsigned long PF_ERR_ACCESS_DENIED = 5;
constexpr unsigned long PF_ERR_SHARING_VIOLATION = 32;  // open elsewhere in a way that excludes this use
constexpr unsigned long PF_ERR_HANDLE_EOF = 38;          // reached the end of the file
constexpr unsigned long PF_ERR_INVALID_PARAMETER = 87;
constexpr unsigned long PF_ERR_DISK_FULL = 112;
constexpr unsigned long PF_ERR_ALREADY_EXISTS = 183;

// Attributes of whatever stands at the path (a link reports its own attributes plus PF_ATTR_REPARSE,
// and PF_ATTR_DIRECTORY when it leads to a folder); PF_ATTR_INVALID when nothing is there.
uint32_t pf_attributes(const char *path);
// Clears read-only, hidden and system: the file is left with the normal attribute alone. 1/0.
int pf_set_normal(const char *path);
// Creates one folder (the parent must exist). 1/0; an existing folder is a failure.
int pf_mkdir(const char *path);
// Removes an empty folder, or a folder link itself without touching its target. 1/0.
int pf_rmdir(const char *path);
// Deletes a file. 1/0.
int pf_delete(const char *path);
// 1 when the path is a junction or symbolic link, also one the system lists as a plain file or
// folder (Wine shows a host link to a file as an ordinary file).
int pf_is_link(const char *path);
// Removes a link itself, never what it leads to. 0 when it cannot, or cannot do so safely: Wine
// deletes the target of a host link instead of the link, so there the link stays.
int pf_remove_link(const char *path);

// Opens an existing file for reading, shared with other readers; `sequential` hints a front-to-back scan.
pf_file pf_open_read(const char *path, int sequential);
// Creates a file for writing, unshared, emptying an existing one (create-or-truncate).
pf_file pf_create(const char *path);
// pf_create for a file that others may read while it is written (a list that grows during an install).
pf_file pf_create_readable(const char *path);
// Opens a file for writing from its start, unshared, creating it when missing but not emptying it;
// *existed says whether it was there. A copy over an earlier file that fails half-way thus leaves the
// earlier bytes behind what it wrote; a copy that succeeds ends the file with pf_set_end.
pf_file pf_overwrite(const char *path, int *existed);
// Ends the file at the current position, cutting off what lay beyond. 1/0.
int pf_set_end(pf_file f);
// Reads up to n bytes at the current position; *got receives the count (0 at the end). 1/0.
int pf_read(pf_file f, void *dst, uint32_t n, uint32_t *got);
// Reads up to n bytes at byte position pos from the start of the file. 1/0. Several threads may call it
// on one file at once; on Windows they take turns on one lock for the seek and the read (a positioned
// read through OVERLAPPED is several times slower under Wine), natively each reads on its own.
int pf_read_at(pf_file f, uint64_t pos, void *dst, uint32_t n, uint32_t *got);
// Moves the position of the file to byte pos from its start (where pf_read and pf_write go on). 1/0.
int pf_seek(pf_file f, uint64_t pos);
// Writes n bytes at the current position; *put receives the count written. 1/0.
int pf_write(pf_file f, const void *src, uint32_t n, uint32_t *put);
// Makes what was written to the file reach the disk (it would otherwise wait in the system's cache, and
// a power loss would lose it). 1/0.
int pf_flush(pf_file f);
// The file's size in bytes. 1/0.
int pf_size(pf_file f, uint64_t *size);
// Closes the file; PF_INVALID is accepted and ignored.
void pf_close(pf_file f);

// The identity of the file or folder at the path (its volume and its number there), the same for every
// name it is reached by: two drive letters, a short name, a link. 1/0.
struct PfFileId {
    uint64_t volume, index;
};
int pf_file_id(const char *path, PfFileId *id);
// 1 when both paths exist and are one file or folder.
inline int pf_same_file(const char *a, const char *b) {
    PfFileId ia, ib;
    return pf_file_id(a, &ia) && pf_file_id(b, &ib) && ia.volume == ib.volume && ia.index == ib.index;
}
// 1 when the file is open in a way that keeps it from being written: a running program's executable
// (Windows refuses to open it for writing, with a sharing violation). 0 when it can be, or is missing;
// the POSIX build knows no such lock and answers 0.
int pf_in_use(const char *path);

// The kind of drive that holds the path (GetDriveTypeA's DRIVE_* values). The POSIX build knows no
// drives and answers PF_DRIVE_FIXED.
constexpr uint32_t PF_DRIVE_UNKNOWN = 0;
constexpr uint32_t PF_DRIVE_REMOVABLE = 2;
constexpr uint32_t PF_DRIVE_FIXED = 3;
constexpr uint32_t PF_DRIVE_REMOTE = 4;  // a network share
constexpr uint32_t PF_DRIVE_CDROM = 5;
uint32_t pf_drive_type(const char *path);
// The volume that holds the path (the disc in its drive, or the share): its serial number and its label
// into label (cap bytes with the NUL). 1/0; the POSIX build knows no volumes and answers 0.
int pf_volume(const char *path, uint32_t *serial, char *label, size_t cap);
// The number of processors the process may run on; 0 when unknown.
unsigned pf_processor_count();

// Threads for the copy workers, with the least machinery (the C++ thread library would triple the
// size of setup.exe). pf_thread_start runs fn(arg) on a new thread: the thread, or none when it
// cannot be started. pf_thread_join waits for its end and releases it.
struct PfThread;
PfThread *pf_thread_start(void (*fn)(void *), void *arg);
void pf_thread_join(PfThread *t);
// A lock that needs no setup: a zero-filled PfLock (a static one) is unlocked. Not reentrant.
struct PfLock {
    void *state;
};
void pf_lock(PfLock *l);
void pf_unlock(PfLock *l);
// A condition to wait for under a PfLock; a zero-filled PfCond (a static one) is ready. pf_cond_wait gives
// the lock up while it waits and holds it again when it returns, also without a wake (test the condition in
// a loop); pf_cond_wake wakes every waiter.
struct PfCond {
    void *state;
};
void pf_cond_wait(PfCond *c, PfLock *l);
void pf_cond_wake(PfCond *c);
// Lets the thread sleep for about ms milliseconds.
void pf_sleep_ms(unsigned ms);
// Milliseconds since some moment that stays fixed while the process runs: for measuring spans of time.
uint64_t pf_now_ms();

// The running program's full path into out (cap bytes with the NUL). 1/0; 0 also when it does not fit.
int pf_self_path(char *out, size_t cap);

// Text in the ANSI code page of the user's locale (the legacy one that programs without UTF-8 write,
// such as 1250 for Polish: this process's own code page is UTF-8) as UTF-8, malloc'd with a NUL after
// its *out_n bytes. None without memory. POSIX reads it as Latin-1.
char *pf_ansi_to_utf8(const char *text, size_t n, size_t *out_n);
// The Windows display language, as a LANGID (0x0407 German, 0x0804 Simplified Chinese...). The POSIX
// build answers 0x0409 (English, United States), or the hexadecimal value of ZARNITH_UI_LANGUAGE when set.
uint16_t pf_ui_language();
// The text in the process's code page (a path, a line composed from paths) as UTF-8 into out, cut at cap
// bytes with the NUL: itself where the code page is UTF-8, as it always is in the POSIX build.
void pf_to_utf8(const char *text, char *out, size_t cap);

// The Win32 error code of the last failed call on this thread.
unsigned long pf_last_error();
// The system's message for a Win32 error code as one line ("There is not enough space on the disk."),
// without the trailing line break, cut to cap; an empty string when the system has no text for it.
void pf_error_message(unsigned long code, char *out, size_t cap);
// Bytes free for this user on the volume that holds the existing folder. 1/0.
int pf_free_space(const char *folder, uint64_t *bytes);

// Folder listing. The entries "." and ".." are never returned.
struct PfEntry {
    char name[260];
    int directory;  // the entry is a folder (or a link to one)
    int reparse;    // the entry is a junction or symbolic link
    uint64_t size;  // file size in bytes; 0 for folders
};
struct PfList;
// Starts listing the folder's entries; none when the folder cannot be listed.
PfList *pf_list_open(const char *folder);
// Fills e with the next entry; 0 at the end.
int pf_list_next(PfList *l, PfEntry *e);
// Ends the listing; none is accepted.
void pf_list_close(PfList *l);
#ifndef _WIN32
// How many listings pf_list_open has started in this process: what a walk costs, for the native tests.
unsigned long pf_listings();
#endif
