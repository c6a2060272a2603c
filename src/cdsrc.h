// cdsrc: one read-only view of the game CD, whatever form it comes in: a folder (a drive root or a
// copied disc) or a disc image (ISO, or raw 2352-byte BIN named directly or through its CUE sheet),
// read through a plain ISO 9660 reader. Lookups and probes log nothing; the copy logs its failures.
// A CdSrc belongs to one thread at a time, and one image copy runs at a time (static buffers).
//
// Images are untrusted input. Every directory record is read inside its sector; a name that is not a
// plain file name (empty, "." or "..", a separator, ':', a control character, a device name such as
// NUL or COM1, bytes that are not UTF-8) is never used as a path: the copy stops with a log line. A
// folder whose extent is one of its own ancestors (some discs point a directory at itself) is passed
// over by the total and the copy alike, and each walk reads at most about as many directory sectors
// as the image holds, so a disc whose folders share or loop their extents ends quickly instead of
// walking forever.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform.h"
#include "util.h"

struct CdSrc {
    int is_image;          // 0: folder source; 1: image source
    char path[520];        // normalised folder, or the image file actually opened
    pf_file handle;        // the image file, open for shared reading; PF_INVALID for a folder
    uint32_t sector_size;  // 2048 or 2352
    uint32_t data_offset;  // 0, 16 (Mode 1) or 24 (Mode 2 Form 1)
    uint32_t root_extent;  // first sector of the root directory
    uint32_t root_size;    // root directory length in bytes
    char desc[552];        // "folder %s" or "image %s"
    const uint8_t *mem;    // an in-memory image (tests and fuzzing) instead of `handle`, or none
    uint64_t mem_size;
    uint64_t image_size;   // bytes in the image when it was opened: bounds every directory read
};

// Opens a drive root, folder, image file or CUE sheet. None when the path is neither a folder nor a
// file that carries an ISO 9660 primary volume descriptor in one of the three sector layouts.
CdSrc *cd_open(const char *path);
// Resolves a CUE sheet: the file named in double quotes after the first "FILE" (case-sensitive) of
// `text` (NUL-terminated), taken as is when it holds a colon, else relative to the folder of
// `sheet_path` (up to its last '\'). 1 and the path in out (cut to cap), or 0 when there is no such name.
int cue_resolve(const char *sheet_path, const char *text, char *out, size_t cap);
// Opens an image held in memory (bytes stay owned by the caller and must outlive the source).
CdSrc *cd_open_mem(const uint8_t *data, uint64_t size);
// Closes the image file and frees the record; none is accepted.
void cd_close(CdSrc *s);
// "folder %s" or "image %s"; lives as long as the record.
const char *cd_describe(CdSrc *s);
// 1 when the relative path ('\' separated, e.g. "VELTRIS\INTRO.DAT") exists on the CD.
int cd_exists(CdSrc *s, const char *rel);
// Reads a whole file from the CD into a new heap buffer with at least one spare byte after the data;
// *size receives its length. None when missing, a folder, or unreadable. Caller frees.
uint8_t *cd_read(CdSrc *s, const char *rel, uint64_t *size);
// Sum of the sizes of all files on the CD (within the depth limit of 16 folder levels).
uint64_t cd_total_bytes(CdSrc *s);
// Characters of the longest relative path ("D01\D02\F.DAT") that the copy writes below its destination.
size_t cd_longest_path(CdSrc *s);
// Bytes of the file at `rel`, or of every file in the folder there and below it; 0 when missing.
uint64_t cd_bytes_of(CdSrc *s, const char *rel);
// Copies the whole CD into dest (created as needed), adding each chunk to p when given.
// 1/0; stops at the first failure, keeping what was written, with a log line naming the file and the
// cause (for an image also the image, and whether it ends before the file does).
// The total counts every file entry whatever its name: a disc with an unsafe name fails its copy, so
// only a successful copy has to (and does) add up to the total.
int cd_copy_all(CdSrc *s, const char *dest, Progress *p);
