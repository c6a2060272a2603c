// cdsrc (internal): what the files of the module share. cdsrc.cpp keeps the source interface and the
// folder source and hands image sources to the ISO 9660 reader of iso9660.cpp through the entry points
// below; both sources walk the CD by the same rules.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cdsrc.h"
#include "platform.h"
#include "util.h"

// Folders below this level are neither totalled nor copied.
constexpr int MAX_DEPTH = 16;

// The longest relative path the copy writes: a name at `prefix` characters below the root, counted
// as Windows counts them against its path limit.
inline void note_path(size_t *longest, size_t prefix, const char *name) {
    size_t len = prefix + utf16_units(name);
    if (len > *longest) *longest = len;
}

// Creates the folder; only when that alone does not do (it exists, or parents are missing) the whole
// chain. The result is not looked at: a folder that cannot be made fails at its first file.
inline void make_folder(const char *path) {
    if (!pf_mkdir(path)) make_dirs(path);
}

// ---- The ISO 9660 reader (iso9660.cpp), over an image source ----

// Finds the primary volume descriptor in every known layout, in the order cdsrc.h gives. 1 and the
// source's layout and root set, or 0.
int iso_probe_layouts(CdSrc *s);
// Finds the volume where a descriptor says it is (guessable: a CUE sheet, whose BIN may still be
// probed in every layout when its data starts at byte 0). 1/0 as above.
int iso_probe_track(CdSrc *s, const DiscTrack *t, int guessable);
// 1 when the relative path ('\' or '/' separated, any letter case) exists on the image.
int iso_exists(CdSrc *s, const char *rel);
// cd_read for an image.
uint8_t *iso_read(CdSrc *s, const char *rel, uint64_t *size);
// Total bytes of the file or folder tree at rel (empty: the root), walking as the copy does; *longest
// receives the longest path below it. 0 when there is nothing at rel.
uint64_t iso_total_of(CdSrc *s, const char *rel, size_t *longest);
// The folders and files of a copy, listed before anything is made.
struct CopyPlan {
    CopyJobs *folders;  // every folder to make, the destination first, each before its content
    CopyJobs *files;    // every file, with what its copier needs
    CopyNote note;      // hears every folder and file before anything is made, or none
    void *ctx;
};
// The second half of a copy: tells the plan's note of every folder and file (planned: the plan is
// whole; else it holds what was listed before the fault), makes the folders and copies the files with
// fn on `workers` workers. 1 when planned and everything was copied.
int copy_planned(const CopyPlan *plan, const char *dest, int planned, int workers, size_t buf_size, CopyJobFn fn,
                 void *fn_ctx, Progress *p);

// cd_copy_all_with for an image, through the caller's empty plan.
int iso_copy_all(CdSrc *s, const char *dest, Progress *p, int workers, CopyPlan *plan);
