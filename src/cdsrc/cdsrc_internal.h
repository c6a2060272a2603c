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
// The size of another file a sheet names (an audio track's), found as open_data finds the data file.
int named_file_size(const char *desc_path, const char *name, size_t n, uint64_t *size);
// Adds to *disc the sectors of a file a sheet names: `sectors` up to its byte `from`, then the rest of
// the file in sectors of `per` bytes. 0 when its size cannot be found (or it ends before `from`).
int add_file_sectors(const char *desc_path, const char *name, size_t n, uint64_t from, uint64_t sectors,
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
