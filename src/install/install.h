// install: turns a CD source into an installed game (the CD copy, the game's writable tree, the game
// executable from the payload resource, its emblem icon, the uninstaller entry, the shortcuts), and
// removes it again. Every step and failure is one setup_log line; failures read "ERROR: %s".
// The picture pipeline of the emblem icon, the identity check and the checks before an install are
// portable; everything else here is Windows-only.
// Files: install.cpp (the install sequence), record.cpp (the install record), checks.cpp (the CD's identity, the install folder's form
// and the checks before anything is written), emblem.cpp (the emblem icon), signature.cpp (whether the
// game executable is signed), shortcuts.cpp (the two shortcuts), uninstall.cpp (the uninstaller's
// registration and both stages of a removal), releases.cpp (the CD's known releases: the built-in list's
// reader, what a CD is, the CD's own DAT), verify.cpp (the checks of a copy against them, /verify and the
// repair).
#pragma once
#include <cstddef>
#include <cstdint>

#include "util/util.h"

struct CdSrc;
struct CdFile;
struct Record;

// The install request.
struct Options {
    char cd[520];   // drive root, image file, CUE sheet or folder
    char dir[520];  // install folder
    int desktop;    // nonzero: make the desktop shortcut
    int startmenu;  // nonzero: make the Start-menu shortcut
};

// 1 when all four marker files of the game CD exist on the source (tested in order, stopping at the
// first missing one); 0 for none.
int is_zarnith_cd(CdSrc *s);
// The CD as a copy of it begins: the volume it lies on (the disc in its drive), where the system tells it.
struct CdIdentity {
    int known;  // the system told the volume
    uint32_t serial;
    char label[64];
};
void cd_identity(CdSrc *s, CdIdentity *id);
// 1 when the source is the game CD (its marker files) on the volume noted in `was`, when that was known:
// what a disc put back into the drive must be before the copy reads on.
int same_game_cd(CdSrc *s, const CdIdentity *was);
// How the player names where the CD is, into out (PATH_BUF): its drive ("D:"), or its path elsewhere.
void cd_drive(CdSrc *s, char *out);

// ---- Game emblem picture pipeline (portable) ----
// The CD's emblem is an IFF "FORM" of type "PBM ": one palette index per pixel. Dark colours
// (red + green + blue below 60) are transparent; the picture is cropped to its visible part, centred
// on a square canvas with a margin of 1/16, and box-filtered to the seven icon sizes. Every read stays
// inside the bytes handed in: a field, palette entry or pixel data past their end reads as 0.

// The icon sizes in the order they are made; the k-th (from 1) is icon id k.
constexpr uint32_t EMBLEM_SIZES[7] = {16, 24, 32, 48, 64, 128, 256};

// Results of emblem_canvas.
enum { EMBLEM_OK = 0, EMBLEM_NOT_UNDERSTOOD = 1, EMBLEM_EMPTY = 2 };

// Largest picture (width x height) and canvas (side x side) accepted, in pixels: the canvas costs
// 4 bytes a pixel, so at most 256 MiB. Larger ones are refused as not understood.
constexpr uint64_t EMBLEM_MAX_PIXELS = uint64_t(1) << 26;

// What the chunk walk found. Offsets are positions in the file; lengths are as declared.
struct EmblemPicture {
    const uint8_t *data;
    uint64_t size;         // bytes in the file
    uint32_t w, h;         // from BMHD
    uint32_t compression;  // 1: ByteRun1, anything else: plain rows
    uint64_t cmap;         // where CMAP's data starts
    uint64_t body;         // where BODY's data starts
    uint64_t body_len;     // BODY's declared length
};

// Checks the form header and walks the chunks. 1 when the picture has width, height, CMAP and BODY
// and its size is within EMBLEM_MAX_PIXELS; 0 when it is not understood.
int emblem_parse(const uint8_t *lbm, uint64_t size, EmblemPicture *pic);
// Decodes BODY into a new zero-filled index picture of stride x h bytes (stride: w rounded up to
// even). None when it cannot be allocated. Caller frees.
uint8_t *emblem_indexes(const EmblemPicture *pic, uint32_t *stride);
// The pixel value of each of the 256 palette indexes: 0 for a dark colour, otherwise alpha 255 with
// its red, green and blue (0xAARRGGBB).
void emblem_palette(const EmblemPicture *pic, uint32_t colours[256]);
// The whole front of the pipeline: on EMBLEM_OK, *canvas is a new S x S picture of pixel values
// (top row first) holding the visible part of the picture, centred. Caller frees.
int emblem_canvas(const uint8_t *lbm, uint64_t size, uint32_t **canvas, uint32_t *S);
// Byte count of the icon image of size N: header, N x N colour pixels, the AND mask.
uint32_t emblem_icon_bytes(uint32_t N);
// The icon image of size N (a 40-byte BITMAPINFOHEADER, bottom-up 32-bit rows, a zero AND mask)
// box-filtered from the canvas (S at most 2^20, N from 1 to 256); *bytes receives its length. None
// when it cannot be allocated or the sizes are out of range. Caller frees.
uint8_t *emblem_icon_image(const uint32_t *canvas, uint32_t S, uint32_t N, uint32_t *bytes);
// The icon group that lists the seven images as icon ids 1 to 7.
void emblem_icon_group(uint8_t out[104]);
// The seven icon images as one icon file (.ico: its directory, then the images in size order); *bytes
// receives its length. None when it cannot be allocated. Caller frees.
uint8_t *emblem_icon_file(const uint32_t *canvas, uint32_t S, uint32_t *bytes);
// The name of the icon file beside a signed game executable, in the install folder.
constexpr char EMBLEM_ICON_NAME[] = "zarnith.ico";
// Writes the CD's emblem picture as an icon file (seven sizes, 32-bit with alpha) at path, replacing a
// file there. 1, or 0 after one line: "ERROR: %s" for a picture that gives no icon, write_file's line
// when the file cannot be written.
int write_emblem_icon(const char *path, const uint8_t *lbm, uint64_t size);

// ---- Signed executables (signature.cpp, portable) ----
// A signed executable must stay as it is: any change of its bytes, a resource update too, breaks the
// signature, and Windows then refuses or warns about the program.

// 1 when the executable's bytes carry an Authenticode signature: a PE file whose certificate table (data
// directory 4) is not empty. 0 for an unsigned executable and for bytes that are no PE file.
int exe_signed(const uint8_t *exe, uint64_t size);

// ---- Install folder and the checks before an install (portable) ----

// Windows' path limit (MAX_PATH, 260, less the terminating NUL): longer paths cannot be written.
constexpr size_t MAX_PATH_CHARS = 259;
// Characters of the longest path an install into dir writes, given the CD's cd_longest_path.
size_t deepest_install_path(const char *dir, size_t cd_longest);
// 1 when dir has the form of an install folder (folder_form); otherwise 0 after one "ERROR: %s" line
// that says what to give instead.
int check_folder_form(const char *dir);
// The first image or descriptor in folder (in listing order) that opens as the game CD: its path into
// found (PATH_BUF). 1/0. What the setup looks for beside itself, and in a folder given as the CD.
int find_game_image(const char *folder, char *found);
// An archive that holds several images (first: the one it opened as, from path) may hold the game CD as
// another: the first of them that is the game's, first closed; else first as it was.
CdSrc *game_image_in(const char *path, CdSrc *first);
// Logs which of the game CD's marker files the source lacks ("<description> holds no A, B").
void log_missing_markers(CdSrc *s);
// 1 when dir holds an install made before installs kept a record: the game or its uninstaller, and the
// CD's marker files in game\cd.
int legacy_install(const char *dir);
// 1 when dir holds an install of this game: a record with entries, or the game's executable.
int holds_install(const char *dir);
// 1 when a and b (of the form of an install folder) name one folder: the same text but for letter case
// and trailing separators, or, where both exist, the same folder reached two ways.
int same_folder(const char *a, const char *b);
// The install folder for a folder the user picked with "Browse..." (out: PATH_BUF): the picked folder
// with "\Tovek Zarnith PC" appended, unless it already ends in that name or holds an install of this
// game, so that the game's files never land among the other things in, say, D:\Games.
void browse_target(const char *picked, char *out);
// 1 when the game runs from dir: its executable there is held open against writing.
int game_running(const char *dir);
// 1 unless the game runs from dir; then 0 after one "ERROR: %s" line that says to close it first.
int check_not_running(const char *dir);
// The places an install into dir writes, checked before anything is written (earlier: dir's record, or
// none): zarnith.exe, uninstall.exe and zarnith.ico (the emblem of a signed game) must be files of this
// game's or absent, game a folder or absent,
// game\cd and game\hd folders of this game's (named by the record, or a legacy install) or absent,
// game\hd\GAME.CFG and the record no folder, and none of them a link. 1, or 0 after one "ERROR: %s"
// line that names the path.
int check_targets(const char *dir, const Record *earlier);
// The checks before anything is written, for an install of the open CD source into dir (of the form
// above): the game not running from dir, not inside a folder source, the source not inside dir's
// game\cd (the folders compared by their text and, where they exist, by their identity), the deepest
// path within MAX_PATH_CHARS, and enough free space on dir's drive for the CD, the programs (exe_bytes:
// the game executable and uninstall.exe) and the game's writable files, less an earlier install's CD
// copy there. 1, or 0 after one "ERROR: %s" line.
int check_install(const char *dir, CdSrc *src, uint64_t cd_bytes, uint64_t exe_bytes);

// ---- The install record (record.cpp, portable) ----
// A plain UTF-8 list in the install folder of what the install created or replaced there, one path a
// line relative to the install folder, each line written and flushed before the thing it names is made,
// so that the list is whole after any interruption. A removal takes only what it lists; a failed or
// stopped install takes back what it made. The record is untrusted input: its reader takes only plain
// relative paths inside the install folder, and nothing is removed through a link.

constexpr char RECORD_NAME[] = "installed_files.txt";
constexpr uint64_t RECORD_MAX = 16u << 20;  // a larger file is no record of ours

struct Record;
// 1 when the n bytes of a line (without its line end) are an entry: a relative path of plain names (no
// drive, root, share, "." or "..", ':' or device name). out (PATH_BUF) receives it with '' separators
// and without the '' that marks a folder; *folder says whether it had one.
int record_entry(const char *line, size_t n, char *out, int *folder);
// The record in the bytes: its entries in file order (lines that are no entry, and a last line without
// its line end, are passed over; a text without the record's header has none). None without memory.
Record *record_parse(const uint8_t *text, size_t size);
// The record of the install folder; none when there is none. A record that is a link, a folder, too
// large or unreadable has no entries.
Record *record_load(const char *dir);
size_t record_count(const Record *r);
// The i-th entry's path; *folder says whether it is a folder.
const char *record_path(const Record *r, size_t i, int *folder);
// How many folders above the install folder the install made (a removal takes them when empty).
unsigned record_parents(const Record *r);
// 1 when the record lists rel (ASCII letter case ignored) as a folder or as a file.
int record_lists(const Record *r, const char *rel, int folder);
void record_free(Record *r);

// One install's writing of the record.
struct RecordRun;
// Starts the record in the existing folder dir: its header, the parents made above dir, itself, and the
// entries of the earlier record (or none) that are still there. None after a log line when it cannot be
// written (what the start made is taken back).
RecordRun *record_begin(const char *dir, const Record *earlier, int dir_made, unsigned parents_made);
// Notes rel before it is made (not yet written: record_flush writes what was noted); what did not
// exist yet is taken back by a roll-back. 1/0 after a log line.
int record_note(RecordRun *r, const char *rel, int folder);
// Notes that the install goes without rel, a file the CD did not give (its entry stays: what the CD
// gives on a later run goes there). 1/0 after a log line.
int record_missing(RecordRun *r, const char *rel);
// Writes what was noted; to_disk also makes it reach the disk, which is cheap only while little else
// waits to be written (before the CD copy: after it, the system would first write out the whole copy).
// 1/0 after a log line.
int record_flush(RecordRun *r, int to_disk);
// Ends a successful install's record. 1, or 0 when its last lines could not be written.
int record_finish(RecordRun *r);
// Takes back what this run made (newest first; a folder only when empty), puts the earlier record back,
// removes the install folder and the parents the run made when empty, logs what it removed, and ends
// the run. None is accepted.
void record_roll_back(RecordRun *r);
// Removes what the record lists from dir: its files, <dir>\game\hd with all it holds when listed, its
// folders when empty, the record when no listed file is left, dir when empty and the parents the install
// made above it when empty. Never through a link. 1 when every listed file is gone, and game\hd when
// listed; the record stays while a listed file does, so that a second removal finds the rest.
int record_remove(const char *dir, const Record *r);

// ---- The CD's known releases (releases.cpp, portable) ----
// The list the build makes from a Logiqx DAT (res/make_dat.py) and carries as resource CDLIST: every known
// release of the CD, each with the path, size and CRC-32 of every file. The list is input like any
// other: its reader bounds every count, offset and name and refuses the whole list at the first fault.
// A name of the list is never a path: the setup compares it with the CD's names and shows it.

struct ReleaseList {
    const uint8_t *data;  // the list's bytes, which outlive the view
    uint32_t releases, files, text;
};
// One file of a release.
struct ReleaseFile {
    const char *path;  // below the CD's root, '\' between names
    uint64_t size;
    uint32_t crc;
};
// 1 and *l set when the n bytes are a list: magic and version, 1 to 4096 releases, 1 to 2^20 files (at
// most 65,535 a release), the releases' files in turn, and every name NUL-terminated inside the names,
// well-formed UTF-8 without control characters and shorter than PATH_BUF (a path: plain names
// between '\'); 0 at the first fault.
int releases_read(const uint8_t *data, size_t n, ReleaseList *l);
// The name of release r (below l->releases) and how many files it has.
const char *release_name(const ReleaseList *l, uint32_t r);
uint32_t release_file_count(const ReleaseList *l, uint32_t r);
// The i-th file of release r (i below release_file_count).
ReleaseFile release_file(const ReleaseList *l, uint32_t r, uint32_t i);

// What the CD is, from its files (cd_files of cdsrc):
enum {
    CD_NO_LIST = 0,  // the setup carries no list: nothing to tell
    CD_EXACT = 1,    // every file of one release is on the CD, whole
    CD_DAMAGED = 2,  // a copy of one release whose files differ or are missing
    CD_UNKNOWN = 3,  // like no release of the list
};
// What each file of the CD is to the release decided on.
enum { FILE_MATCHES = 0, FILE_DIFFERS = 1, FILE_NOT_LISTED = 2 };
struct Verdict {
    int kind;
    uint32_t release;        // CD_EXACT, CD_DAMAGED: the release
    size_t matched;          // its files on the CD with its size and CRC (or size alone: sizes_only)
    size_t differ;           // its files on the CD with another size or CRC, or that could not be read
    size_t missing;          // its files not on the CD
    size_t not_listed;       // files of the CD that it does not list
    uint8_t *state;          // per file of the CD, FILE_*: what it is to the release (heap)
    uint32_t *file_of;       // per file of the CD that the release lists: the index of the release's file
    uint32_t *missing_files; // the indexes of the release's files that are not on the CD (heap)
};
// Decides what the n files of the CD are (the rule is in README: "Known releases"). A release's file
// with more than max_parts names in its path lies deeper than the copy goes and is passed over.
// sizes_only compares the files by size alone (a CD whose bytes were not read yet: what a repair expects).
// 1, or 0 without memory (v then holds nothing to free). Free with verdict_free.
int cd_decide(const ReleaseList *l, const CdFile *files, size_t n, size_t max_parts, int sizes_only, Verdict *v);
void verdict_free(Verdict *v);
// The CD as a Logiqx DAT of one game named `name`: one rom (path, size, CRC) per file that was read whole,
// with XML's special characters in the names escaped. A new heap text (its length into *len) or none
// without memory. Caller frees.
char *cd_dat_text(const CdFile *files, size_t n, const char *name, size_t *len);

// ---- The checks against the known releases while the CD is installed or verified (verify.cpp) ----

// The list the setup carries (resource CDLIST), read at the first call: none when it carries none (built
// with ZARNITH_CD_DAT=none; natively always) or when the list is damaged (logged once).
const ReleaseList *builtin_releases();
// One CD's check: the CD's files with their sums, what the repair keeps, and what the CD is.
struct CdCheck {
    const ReleaseList *list;  // none: nothing is checked
    CdFile *files;            // the CD's files (cd_files) with their sums, once they are copied
    size_t count;
    uint8_t *want;            // per file, or none: the copy makes it (cd_copy_some)
    FileSum *kept;            // per file, or none: the sum of the install's own copy, where it is kept
    Verdict v;
};
// Begins the check of src against list (or none: no check): a copy of src then sums every file it writes.
void check_begin(CdCheck *c, CdSrc *src, const ReleaseList *list);
// Frees what the check holds; a check that was not begun is accepted once it is zero-filled.
void check_end(CdCheck *c);
// The repair of an earlier install whose copy of the CD is the folder `installed`: when the CD's names and
// sizes say which release it is, each file of the install that the release lists is read and summed, and
// those whose bytes are the release's are left out of the copy (c->want). Logs the release, each file that
// is copied again and the count; leaves want none (copy everything) without a list or for a CD that is
// no release.
void check_installed(CdCheck *c, CdSrc *src, const char *installed);
// The questions an install asks the player: a file of the CD that does not read, even after the retries
// (Retry, skip the file, Cancel), the CD that is not in its drive (Retry, Cancel), and a CD that is a
// damaged copy of a known release (Retry reads its damaged files again, skip keeps them as they are,
// Cancel). The answer is COPY_RETRY, COPY_SKIP or COPY_CANCEL (util.h).
enum { ASK_UNREADABLE = 0, ASK_NO_CD = 1, ASK_DAMAGED = 2 };
typedef int (*AskFn)(void *user, int kind, const char *text);
// What the front end gives an install, and hears back from it.
struct InstallUi {
    ProgressFn progress;  // hears every copied chunk; none: nothing does
    AskFn ask;            // asks and waits for the answer, from any thread; none (a silent run): no question
    void *user;           // handed to both
    unsigned skipped;     // out: how many of the CD's files the install went without
};
// After the copy of src into dest: what the CD is, logged ("The CD is %s."). A damaged copy names each file
// and asks ui (ASK_DAMAGED, or none): read them again (the copy of those that differ is made again and the
// CD decided anew), keep the install as it is, or cancel; without a question the install fails. A CD like
// no release goes on, its DAT written beside the log. 1 when the install goes on, 0 after an "ERROR:" line.
int check_copy(CdCheck *c, CdSrc *src, const char *dest, InstallUi *ui);
// "/verify": opens the CD at path, reads and sums every file without installing anything, decides what it
// is (logged) and writes its DAT beside the log. 0 when every file was read and the CD is a known release;
// 1 when the CD cannot be opened, is not the game's, or a file could not be read or differs from the
// release the CD otherwise is; 2 when every file was read but the CD is no known release. summary (cap
// bytes) receives what a box says about it.
int do_verify(const char *path, char *summary, size_t cap);

#ifdef _WIN32
// 1 when the running setup carries the game executable (RCDATA "GAMEEXE").
int prebuilt_available();
// The progress total is the CD's bytes and this much for the steps after the copy.
constexpr uint64_t INSTALL_REST_BYTES = 8 * MIB;
// Installs the game as `o` asks, telling ui (or none). 1 installed (maybe without files the player chose
// to skip), 0 not; stops at the first failure that matters and takes back what it wrote.
int do_install(const Options *o, InstallUi *ui);
// Makes the CD's emblem picture the executable's icon (seven sizes, 32-bit with alpha). 1 when the
// resources were committed; 0 after one "ERROR: %s" line, the file untouched.
int inject_icon_lbm(const char *exe, const uint8_t *lbm, uint64_t size);
// Paths of the two game shortcuts ("%s\Tovek Zarnith.lnk" in Programs and on the desktop); a path
// whose folder cannot be found comes back empty.
void shortcut_paths(char *startmenu_link, char *desktop_link);
// Writes a shortcut to target with the given working folder and the first icon of icon (an executable
// or an icon file). COM must be initialised. Silent.
void make_link(const char *link, const char *target, const char *workdir, const char *icon);
// Copies the running setup to <dir>\uninstall.exe (unless it runs from there) and writes the
// uninstall key. Silent; failures leave the install alone.
void register_uninstaller(const char *dir, uint64_t cd_bytes);
// Points the entry's icon at the icon file the shortcuts show (a signed game's emblem beside it). Silent.
void set_uninstall_icon(const char *icon_file);
// The uninstall entry as it is now, to be put back should an install fail (none without memory), and
// putting it back: the values as they were, or no entry when there was none. Restoring none does
// nothing; freeing none is accepted.
struct KeySnapshot;
KeySnapshot *uninstall_key_save();
void uninstall_key_restore(const KeySnapshot *k);
void uninstall_key_free(KeySnapshot *k);
// The folder of the registered install (the uninstall entry's InstallLocation, as written there) into
// folder (PATH_BUF) when it still holds an install of this game (holds_install); 0 and "" otherwise.
int registered_install(char *folder);
// 1 when an install into dir would move the registered install elsewhere: there is one, in another
// folder; previous (PATH_BUF) receives its folder.
int install_moves(const char *dir, char *previous);
// Results of do_uninstall.
enum { UNINSTALL_REFUSED = 0, UNINSTALL_DONE = 1, UNINSTALL_PARTLY = 2, UNINSTALL_IN_USE = 3 };
// What the second stage says when the game runs from the folder.
constexpr char GAME_RUNNING_REMOVAL[] = N_("Tovek Zarnith is running. Close the game, then remove it again.");
// Removes the install in dir: the shortcuts that lead into dir, the uninstall key when it names dir,
// then what dir's install record lists (record_remove); an install from before the record (no record,
// but zarnith.exe or uninstall.exe, and game\cd with the CD's marker files or the key naming dir) loses
// <dir>\game, the setup's five files and <dir> if empty. UNINSTALL_DONE when all of it is gone (<dir>
// may stay for other files in it), UNINSTALL_PARTLY when some of it is still there (a file in use).
// Touches nothing and gives UNINSTALL_IN_USE while the game runs from dir, and UNINSTALL_REFUSED
// unless dir has the form of an install folder (folder_form) and holds an install as above.
int do_uninstall(const char *dir);
// The two stages of a removal, entered from the command line; both end the run with exit code 0.
// quiet ("/quiet"): they ask and report nothing.
void uninstall_stage1(int quiet);
void uninstall_stage2(const char *dir, int quiet);
// The second stage's start, before it takes the setup's turn: waits (10 s at most) for the process that
// started it, the first stage, to end, so that its uninstall.exe is no longer in use. Returns at once
// when that process has gone, cannot be opened, or started after this one (its id was reused).
void uninstall_wait_first_stage();
// Asks Windows to delete this program at the next restart when it is the temporary copy of the second
// stage (which cannot delete itself while it runs); does nothing for any other copy of the setup.
void uninstall_forget_copy();
#endif
