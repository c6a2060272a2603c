// cdsrc (internal): what the files of the module share. cdsrc.cpp keeps the source interface and the
// folder source and hands image sources to the ISO 9660 reader of iso9660.cpp through the entry points
// below; both sources walk the CD by the same rules.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cdplan.h"
#include "cdsrc/cdsrc.h"
#include "platform/platform.h"
#include "util/util.h"

struct CdSrc;
struct DiscTrack;

// Folders below this level are neither totalled nor copied.
constexpr int MAX_DEPTH = CD_MAX_FOLDERS;

// Creates the folder; only when that alone does not do (it exists, or parents are missing) the whole
// chain. The result is not looked at: a folder that cannot be made fails at its first file.
inline void make_folder(const char *path) {
    if (!pf_mkdir(path)) make_dirs(path);
}

// ---- What the descriptor readers share (sheetfile.cpp, for discimage.cpp and tocsheet.cpp) ----

// The reasons a descriptor is refused with.
extern const char *const NO_DATA_TRACK, *const DAMAGED, *const BAD_NAME;
int is_blank(char c);
// The next blank-separated word of a line from *p (below end); its length, 0 at the end of the line.
size_t next_word(const char **p, const char *end, const char **word);
// mm:ss:ff as a frame count (75 frames a second); -1 when the time is malformed.
long cue_time(const char *w, size_t n);
// Sets the track's layout; its disc address becomes 0.
void set_layout(DiscTrack *t, uint64_t base, uint32_t size, uint32_t offset);
// Puts the data file named in a descriptor (n bytes of name) into t->file: a name with a drive (a
// colon) or a root as it is, any other relative to the descriptor's folder. 0 with *why for a name that
// is no plain file name (a device, a wildcard, too long).
int name_data_file(const char *desc_path, const char *name, size_t n, DiscTrack *t, const char **why);
// The descriptor's path with its extension replaced by ext (CloneCD and Alcohol name their data file so)
// into t->file; 0 with *why when that is no plain file name.
int sibling(const char *desc_path, const char *ext, DiscTrack *t, const char **why);
// Opens the data file a descriptor names. A sheet moved with its data file keeps naming the old place
// ("D:\\Images\\game.bin"): when that cannot be opened, the data file of that name beside the sheet is
// taken instead (t->file then names it).
pf_file open_data(const char *desc, DiscTrack *t);
// The size of another file a sheet names (an audio track's), found as open_data finds the data file (or
// in fs when it is given).
struct FileSpace;
int named_file_size(const FileSpace *fs, const char *desc_path, const char *name, size_t n, uint64_t *size);
// Adds to *disc the sectors of a file a sheet names: `sectors` up to its byte `from`, then the rest of
// the file in sectors of `per` bytes. 0 when its size cannot be found (or it ends before `from`).
int add_file_sectors(const FileSpace *fs, const char *desc_path, const char *name, size_t n, uint64_t from, uint64_t sectors,
                     uint32_t per, uint64_t *disc);
// The track's disc address, when it is known and fits; else 0 (the volume is read from the track).
void set_disc_lba(DiscTrack *t, int known, uint64_t lba);

// ---- The system use area of a directory record (rockridge.cpp) ----

// Rock Ridge entries that change what a plain reader would see. A folder that lay too deep was moved
// aside into RR_MOVED: its stand-in, a file record where it belongs, carries CL (child link) with the
// folder's sector, and the moved folder's own record in RR_MOVED carries RE. A file stored compressed
// carries ZF (zisofs).
enum { SUSP_COMPRESSED = 2, SUSP_MOVED_AWAY = 4, SUSP_CHILD_LINK = 8 };
// The SUSP_* entries of the n bytes of a record's system use area; *child receives a CL's sector.
int susp_flags(const uint8_t *area, size_t n, uint32_t *child);
// 1 when the area (of a root's "." record) begins with SUSP's indicator, SP: the tree carries Rock Ridge.
int susp_indicator(const uint8_t *area, size_t n);

// ---- CHD images, decoded as they are read (chd.cpp) ----

// 1 when the CHD's first bytes (n of them) are its signature.
int chd_signature(const uint8_t *head, size_t n);
// Opens the CHD that s holds (its `handle` or `mem`, image_size bytes): its data becomes s's byte source
// (several copy workers may read it at once; a failed read's reason names the hunk) and image, and t (named t->file) the first data track in it. 0 with the line why ("<file>: <reason>").
int chd_attach(CdSrc *s, DiscTrack *t, char *why, size_t cap);

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

// The walk of an image source into an empty plan (iso9660.cpp).
void iso_plan(CdSrc *s, CdPlan *plan);
// Copies the image files of the list (from: the name on the CD, to: the destination, at: the first
// sector, size, sum) on `workers` workers with the hooks; dest is where the destination's CD paths begin.
// 1/0 as copy_files. check: the files are only read and summed (to: their paths on the CD), and nothing
// is written.
int iso_copy_files(CdSrc *s, const CopyJobs *files, const char *dest, int workers, const CopyHooks *hooks,
                   Progress *p, int check);

// ---- Byte sources (bytesource.cpp): an image's bytes when they are no plain file ----

// The bytes of an image by their position, as a file gives them: a span of a file read in place (a stored
// archive entry), or a decoder's stream (a compressed entry, an ECM file). The ISO 9660 reader reads an
// image through one when the CdSrc has it.
struct ByteSource;
struct ByteSourceOps {
    // Up to n bytes at pos into dst, *got the count (fewer only at the image's end). 0 when they cannot be
    // had: b->why then says why (a damaged stream, which every later read fails with too), or, without
    // it, pf_last_error.
    int (*read_at)(ByteSource *b, uint64_t pos, void *dst, uint32_t n, uint32_t *got);
    // What only the whole image tells, its CRC-32 or its EDC: the rest is read for it. 1 when it holds.
    int (*finish)(ByteSource *b);
    // The fault that made a read fail (or the check fail), worded for the log; none while there is none.
    const char *(*failure)(ByteSource *b);
    void (*close)(ByteSource *b);
};
struct ByteSource {
    const ByteSourceOps *ops;
    uint64_t size;       // bytes of the image, as its container declares them
    int sequential;      // a decoder: one reader, forwards (a read behind it starts it again)
    const char *why;     // the fault once found (a static text), or none: what failure reports
};
// b's failure; none for none.
inline const char *bytes_failure(ByteSource *b) { return b ? b->ops->failure(b) : nullptr; }
// A decoder for bytes_stream: restart goes back to the first byte; next gives the next bytes (at most cap,
// *got 0 only at the end, where *why is set when the stream's own check, its CRC or EDC, failed). Both 0
// with *why on damage. close frees ctx.
struct StreamDecoder {
    void *ctx;
    int (*restart)(void *ctx, const char **why);
    int (*next)(void *ctx, uint8_t *dst, size_t cap, size_t *got, const char **why);
    void (*close)(void *ctx);
};
// size bytes of the file f from byte `at`, read in place; the file stays open after the source (owns 0) or
// is closed with it (owns 1). None without memory.
ByteSource *bytes_span(pf_file f, uint64_t at, uint64_t size, int owns);
// Makes finish compare the span's CRC-32 with crc.
void bytes_span_check(ByteSource *b, uint32_t crc);
// The stream of a decoder of size bytes, behind a window of its latest bytes. Takes the decoder over
// (closed here when there is no memory). None without memory.
ByteSource *bytes_stream(const StreamDecoder *d, uint64_t size);
// Lets a stream decode ahead on a thread of its own while its reader does other work (on 1), or stops it
// (0): for a reader that reads forwards, as the copy does. Anything but a stream takes no notice.
void bytes_ahead(ByteSource *b, int on);
// Closes the source; none is accepted.
void bytes_close(ByteSource *b);

// ---- Containers (container.cpp, ziparc.cpp, sevenzip.cpp, ecm.cpp) ----

// The faults of containers, worded once.
extern const char *const ARCHIVE_DAMAGED, *const ARCHIVE_CUT, *const ARCHIVE_CRC, *const ARCHIVE_ENCRYPTED,
    *const ARCHIVE_METHOD, *const ARCHIVE_SIZES, *const NOT_CD_IMAGE, *const NO_MEMORY;

// An archive's entries (folders included, as it lists them) and how to open one.
struct ArchiveEntry {
    char name[PATH_BUF];  // UTF-8 (a ZIP name as it is stored), '/' or '\' between folders
    uint64_t size;
    int folder;
    int encrypted;
};
struct Archive;
struct ArchiveOps {
    // The entry's bytes: in place when it is stored, else decoded. None with *why.
    ByteSource *(*open)(Archive *a, size_t i, const char **why);
    void (*close)(Archive *a);
};
struct Archive {
    const ArchiveOps *ops;
    ArchiveEntry *entries;
    size_t count;
};
// The archive in the open file f of `size` bytes (f stays the caller's, and must outlive the archive and
// every source opened from it). None with *why.
Archive *zip_open(pf_file f, uint64_t size, const char **why);
Archive *sevenzip_open(pf_file f, uint64_t size, const char **why);
// 1 when the n bytes begin as an ECM file does.
int ecm_is(const uint8_t *head, size_t n);
// The BIN an ECM file stands for, its records walked once to find its size. Takes src over. None with *why.
ByteSource *ecm_open(ByteSource *src, const char **why);
// The ECM file of a data file that is not there ("game.bin.ecm" for "game.bin"): the source, its file in *f
// (the caller's to close, also on failure). None when there is none, or with *why when it is damaged.
ByteSource *ecm_beside(const char *data_file, pf_file *f, const char **why);
// Opens the image at path into s when the file is a container: an archive (its n-th candidate image, or
// with n < 0 the first that opens) or an ECM file; or refuses a container this setup does not read. -1 when
// the file is no container; 1 with s->bytes, s->handle, s->path and the layout set; 0 with why worded
// ("<path>: <what is wrong>").
int container_open(CdSrc *s, const char *path, int n, char *why, size_t cap);

// Where a descriptor's other files are looked up when they are no files of their own (the entries of an
// archive): the size of the file at path as name_data_file composed it. None means the file system.
struct FileSpace {
    int (*size_of)(const FileSpace *fs, const char *path, uint64_t *size);
};
// cue_parse and toc_parse with the sheet's other files looked up in fs (none: the file system).
int cue_parse_in(const FileSpace *fs, const char *sheet_path, const uint8_t *text, size_t size, DiscTrack *t,
                 const char **why);
int toc_parse_in(const FileSpace *fs, const char *toc_path, const uint8_t *text, size_t size, DiscTrack *t,
                 const char **why);
// disc_locate of a descriptor whose bytes b holds (its path names it and its folder), its files looked up
// in fs.
int disc_locate_in(const char *path, ByteSource *b, const FileSpace *fs, DiscTrack *t, const char **why);
