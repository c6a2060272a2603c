// cdsrc: one read-only view of the game CD, whatever form it comes in: a folder (a drive root or a
// copied disc) or a disc image (ISO; raw 2352/2448-byte or 2336-byte sectors; BIN through its CUE
// or cdrdao TOC sheet, CloneCD .ccd + .img, Alcohol .mds + .mdf, Nero .nrg; a CHD, decoded as it is read;
// any of these inside a ZIP or 7z archive, or a BIN kept as ECM), read through a plain ISO 9660 reader (the
// Joliet tree when the image has one: the names Windows shows for the disc in a drive). An archive's image
// is read from the archive itself, decoded as it is read: nothing of it is written to disk first.
// Files: cdsrc.cpp (this interface, the folder source, the dispatch to the image reader), cdplan.h/.cpp
// (the plan of one walk, which both sources make), iso9660.cpp (the ISO 9660 reader: sectors, records,
// walks, the image copy, probing), rockridge.cpp (what a record's system use area says), discimage.cpp
// (the disc descriptors), tocsheet.cpp (cdrdao's TOC sheets), sheetfile.cpp (what the descriptor readers
// share: their reasons, a sheet's words, the data file they name), chd.cpp (CHD images: their track list
// and their hunks, decoded by libchdr), bytesource.cpp (an image's bytes from a span of a file or a
// decoder's stream), container.cpp (the image inside an archive or an ECM file, and the containers refused
// by their signatures), ziparc.cpp (ZIP, with minizip), sevenzip.cpp (7z, with the LZMA SDK), ecm.cpp
// (ECM), cdsrc_internal.h (what the files share).
// Lookups and probes log nothing; cd_open_why words why a source cannot be opened; the copy logs its
// failures.
// A CdSrc belongs to one thread at a time; only cd_copy_all shares it with its own copy workers, which
// read the image at explicit positions through their own buffers.
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

#include "platform/platform.h"
#include "util/util.h"

// Folder levels below the CD's root that the total, the copy and the check enter: a file in a folder
// deeper than this is not on the CD as far as the setup goes.
constexpr int CD_MAX_FOLDERS = 16;

// One file of the CD as its walk found it, with what the last copy or check that summed it learnt.
struct CdFile {
    const char *rel;  // below the CD's root, '\' between names
    uint64_t size;
    uint32_t crc;     // CRC-32 of its bytes as read, when summed
    int summed;       // 1 when every byte was read
};

struct CdSrc {
    int is_image;          // 0: folder source; 1: image source
    char path[520];        // normalised folder, or the image file actually opened
    pf_file handle;        // the image file, open for shared reading; PF_INVALID for a folder
    uint32_t sector_size;  // 2048, 2352, 2448 (2352 + 96 subchannel bytes) or 2336 (Mode 2 without header);
                           // a TOC sheet may add 96 subchannel bytes to 2048 and 2336 too
    uint32_t data_offset;  // 0, 16 (Mode 1), 24 (Mode 2 Form 1) or 8 (2336-byte Mode 2)
    uint32_t root_extent;  // first sector of the root directory
    uint32_t root_size;    // root directory length in bytes
    int joliet;            // the root is the Joliet tree's: names are UCS-2, shown as UTF-8
    uint32_t primary_extent, primary_size;  // the primary tree's root, which alone carries Rock Ridge
    char desc[552];        // "folder %s" or "image %s"
    const uint8_t *mem;    // an in-memory image (tests and fuzzing) instead of `handle`, or none
    uint64_t mem_size;
    uint64_t image_size;   // bytes in the image when it was opened: bounds every directory read
    uint64_t base;         // byte of the data track's first sector in the file (after audio or a pregap)
    uint32_t disc_lba;     // the disc address of that sector when the volume's addresses count from the
                           // disc's start (mastered where the track lies on the disc); 0 when they
                           // count from the track's start
    // The plan of the whole CD, every folder and file with its size, made by its one walk at the first
    // question that needs it: the total, the longest path, the bytes of a part and the copy all read it
    // (walking a folder source costs about as much as creating its folders). None until then.
    struct CdPlan *plan;
    // An image read through a byte source instead of `handle` or `mem`, which then hold its container: a
    // CHD or an ECM file decoded as it is read, an archive's entry; none otherwise.
    struct ByteSource *bytes;
    uint32_t images;  // the images an archive holds that may be the CD (cd_open_nth's n is below it)
    int sum_files;  // a copy sums the bytes of each file as it writes them (cd_files); the caller sets it
};

// Opens a drive root, folder, image file or disc descriptor (.cue, .toc, .ccd, .mds, .nrg). None when the
// path is neither a folder nor a file that carries an ISO 9660 primary volume descriptor in one of the
// known sector layouts (2048; 2352 at 16 and 24; 2448 at 16 and 24; 2336 at 8, probed in this order).
CdSrc *cd_open(const char *path);
// cd_open that also words why it failed: one line naming the path and the cause, into why (cut to cap).
CdSrc *cd_open_why(const char *path, char *why, size_t cap);
// cd_open_why of the n-th image of an archive that holds several (n below the `images` of a source opened
// from it; any other path opens as cd_open_why for n 0, and none for any other n). cd_open takes the first
// image that opens; which one is the game's only the caller knows.
CdSrc *cd_open_nth(const char *path, uint32_t n, char *why, size_t cap);

// Disc descriptors. Each parser takes the descriptor's bytes (and its path, to resolve the data file
// against its folder) and finds the data track; 1 and *t filled, or 0 with *why set to a static text
// ("the sheet has no data track", "the descriptor is damaged", ...). Nothing is read beyond `size`.
struct DiscTrack {
    char file[PATH_BUF];   // the data file
    uint64_t base;         // byte in that file where the data track's first sector begins
    uint32_t sector_size;  // bytes per sector; 0 when the descriptor does not say (probe every layout)
    uint32_t data_offset;  // bytes before the 2048 user bytes in each sector
    uint32_t disc_lba;     // that sector's address on the disc: the sectors of the tracks before it,
                           // pregaps included (0 when the data track comes first or nothing says)
};
// CUE sheet, read line by line: keywords in any letter case, a FILE name quoted or not (up to its type
// word), BOM, any line ends. The data track is the first TRACK in MODE1/2352, MODE2/2352, MODE1/2048 or
// MODE2/2336, found at its INDEX 01 time inside its FILE. A sheet with a FILE but no TRACK at all names
// its data from byte 0 in an unknown layout. A name with a drive or a root is taken as it is. The data
// track's disc address comes from the lengths of the FILEs before its own (their sizes, found as its data
// file is) and its INDEX 01 time, with every PREGAP and POSTGAP before it.
int cue_parse(const char *sheet_path, const uint8_t *text, size_t size, DiscTrack *t, const char **why);
// cdrdao TOC sheet: an optional session type (CD_ROM, CD_ROM_XA, CD_DA), then TRACK <mode> [RW|RW_RAW]
// statements; "//" comments and CD_TEXT { } blocks are passed over. The data track is the first that
// is not AUDIO or MODE2_FORM2; its data file is its first FILE/AUDIOFILE/DATAFILE ("name" [#byte]
// [start] [length]), found as a CUE sheet's, its first sector where START ends its pregap. Sectors are
// the mode's block (MODE1 2048, *_RAW 2352, MODE2 and MODE2_FORM_MIX 2336) plus 96 with sub-channel
// data. Its disc address is the length of the tracks before it (lengths a FILE or DATAFILE leaves open
// are the rest of the file).
int toc_parse(const char *toc_path, const uint8_t *text, size_t size, DiscTrack *t, const char **why);
// CloneCD: the first [TRACK n] with MODE=1 or 2 and INDEX 1= (its first sector in the .img, 2352-byte
// sectors, which is also its disc address); the data file is the descriptor's name with ".img".
int ccd_parse(const char *ccd_path, const uint8_t *text, size_t size, DiscTrack *t, const char **why);
// Alcohol .mds: the first data track block of the first session (its start sector is its disc
// address); its file from the footer ("*.mdf" is the descriptor's own name with that extension).
int mds_parse(const char *mds_path, const uint8_t *data, size_t size, DiscTrack *t, const char **why);
// Nero footer in the last n bytes (n >= 12) of a file of file_size bytes: 0 when there is none; 1 and
// the chunk area in *at, *len (*len 0 when the footer points outside the file or the area is too large).
int nrg_footer(const uint8_t *tail, size_t n, uint64_t file_size, uint64_t *at, uint64_t *len);
// Nero chunks: the first data track of DAOI/DAOX (disc at once: its disc address from the tracks before
// it) or ETNF/ETN2 (track at once: the entry's start sector); the data file is the image itself.
int nrg_parse(const char *path, const uint8_t *chunks, size_t size, DiscTrack *t, const char **why);
// CHD track lists (chd.cpp). One track of a CD in a CHD, from one entry of its track list (CHT2, or the older CHTR).
struct ChdTrack {
    uint32_t frames;     // frames stored for the track, a pregap stored in it included
    uint32_t pregap;     // frames before its first sector (INDEX 01)
    uint32_t postgap;    // frames after it that are on the disc but not stored
    int pregap_stored;   // the pregap is in the track's frames (its type begins with 'V')
    int data_offset;     // where a data track's 2048 user bytes lie in each frame; -1 for audio
};
constexpr int MAX_TRACKS = 99;
// Parses one track list entry ("TRACK:2 TYPE:MODE1_RAW SUBTYPE:NONE FRAMES:3392 PREGAP:0 PGTYPE:MODE1
// PGSUB:NONE POSTGAP:0"). 0 when it is no track.
int chd_track_parse(const uint8_t *text, size_t n, ChdTrack *t);
// The first data track of the list in the CHD's data (data_bytes long: frames of 2448 bytes, each track
// from a multiple of 4 frames): 1 and t's base, layout and disc address set, or 0 with *why.
int chd_first_data(const ChdTrack *tracks, int count, uint64_t data_bytes, DiscTrack *t, const char **why);
// Reads the descriptor at path, chosen by its extension; any other path is its own data file with an
// unknown layout. 0 with *why when the descriptor is empty, damaged or has no data track.
int disc_locate(const char *path, DiscTrack *t, const char **why);
// Opens an image held in memory (bytes stay owned by the caller and must outlive the source).
CdSrc *cd_open_mem(const uint8_t *data, uint64_t size);
// Closes the image file and frees the record; none is accepted.
void cd_close(CdSrc *s);
// Why the image cannot be read, once a read of it has failed for a reason of its own (a CHD's hunk whose
// checksum fails): "<image>: <reason>" in out (cut to cap), for the log. 0 when no such read failed.
int cd_damage(CdSrc *s, char *out, size_t cap);
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
// This and the sum come from one walk, made at the first call of either; the source is taken not to
// change while it is open.
size_t cd_longest_path(CdSrc *s);
// Bytes of the file at `rel`, or of every file in the folder there and below it; 0 when missing.
uint64_t cd_bytes_of(CdSrc *s, const char *rel);
// Copies the whole CD into dest (created as needed), adding each chunk to p when given.
// 1/0; stops at the first failure, keeping what was written, with a log line naming the file and the
// cause (for an image also the image, and whether it ends before the file does). A read that fails as a
// worn disc's do is tried again first (reread, util.h); one that still fails fails the copy.
// The total counts every file entry whatever its name: a disc with an unsafe name fails its copy, so
// only a successful copy has to (and does) add up to the total.
// The folder tree is created first, on the calling thread (which also alone tells p); then the files
// are copied by the number of workers that copy_workers picks for the source's drive.
int cd_copy_all(CdSrc *s, const char *dest, Progress *p);
// Hears each folder (folder 1) and file of a copy by its path below the destination ("" for the
// destination itself), before anything is made, then once with none: the moment to write down what it
// heard. 0 stops the copy before anything is made.
typedef int (*CopyNote)(void *ctx, const char *rel, int folder);
// cd_copy_all that tells note (or none) of everything it will make before it makes any of it, and asks
// the hooks (or none, util.h) about a file that will not read and hands them each file's bytes.
int cd_copy_noted(CdSrc *s, const char *dest, Progress *p, CopyNote note, void *ctx, const CopyHooks *hooks);
// cd_copy_all with the given number of workers (1 to 4) and hooks. The result, the files and the sum added
// to p do not depend on the workers; with one, a thread reads ahead while the calling thread writes.
int cd_copy_all_with(CdSrc *s, const char *dest, Progress *p, int workers, const CopyHooks *hooks = nullptr);
// cd_copy_noted that copies only the files whose byte in want (one per file of cd_files, in that order;
// none: every file) is nonzero. Everything is noted and every folder made as by cd_copy_noted, and the
// bytes of a file left out go to p at once.
int cd_copy_some(CdSrc *s, const char *dest, Progress *p, CopyNote note, void *ctx, const CopyHooks *hooks,
                 const uint8_t *want);
// Reads and sums every file the copy would make, writing nothing (the sums: cd_files), with the copy's
// retries of a read that fails. A file that does not read even then is logged and passed over; 1 unless a
// stop was asked for (copy_stop), there is no memory or the walk met a fault (logged as the copy logs it).
int cd_check(CdSrc *s, Progress *p);
// The files a copy makes (not the folders, nor a file that a later one of the same name replaces), in
// the copy's order, with what the last copy or check that summed them learnt; *count receives how many.
// A new heap array (the caller frees it) whose paths live until cd_close; none without memory.
CdFile *cd_files(CdSrc *s, size_t *count);
// How many files a CD copy moves at once: one from a CD drive (PF_DRIVE_CDROM), whose head would
// seek back and forth between files read side by side; else one per processor, 1 to 4.
int copy_workers(uint32_t drive_type, unsigned processors);
