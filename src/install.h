// install: turns a CD source into an installed game (the CD copy, the game's writable tree, the game
// executable from the payload resource, its emblem icon, the uninstaller entry, the shortcuts), and
// removes it again. Every step and failure is one setup_log line; failures read "ERROR: %s".
// The picture pipeline of the emblem icon, the identity check and the checks before an install are
// portable; everything else here is Windows-only.
// Files: install.cpp (the install sequence), checks.cpp (the CD's identity, the install folder's form
// and the checks before anything is written), emblem.cpp (the emblem icon), shortcuts.cpp (the two
// shortcuts), uninstall.cpp (the uninstaller's registration and both stages of a removal).
#pragma once
#include <cstddef>
#include <cstdint>

#include "util.h"

struct CdSrc;

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

// ---- Install folder and the checks before an install (portable) ----

// What an install folder path is, from its text alone.
enum { FOLDER_OK = 0, FOLDER_NOT_FULL = 1, FOLDER_ROOT = 2, FOLDER_DOTS = 3, FOLDER_TOO_LONG = 4 };
// FOLDER_OK for a full path (drive letter and root, or \\server\share) below a drive or share root
// with no "." or ".." part; out (PATH_BUF) then holds it without trailing separators. Otherwise why
// not: relative or drive-relative, a root itself ("C:" counts as C:\), dot parts, or too long to hold.
int folder_form(const char *dir, char *out);
// 1 when `inner` is the folder `outer` or lies below it, comparing part by part ('\' and '/' alike,
// repeated separators as one, ASCII letter case ignored). Links and other spellings are not resolved.
int path_inside(const char *inner, const char *outer);
// Windows' path limit (MAX_PATH, 260, less the terminating NUL): longer paths cannot be written.
constexpr size_t MAX_PATH_CHARS = 259;
// Characters of the longest path an install into dir writes, given the CD's cd_longest_path.
size_t deepest_install_path(const char *dir, size_t cd_longest);
// 1 when dir has the form of an install folder (folder_form); otherwise 0 after one "ERROR: %s" line
// that says what to give instead.
int check_folder_form(const char *dir);
// The checks before anything is written, for an install of the open CD source into dir (of the form
// above): not inside a folder source, the source not inside dir's game\cd, the deepest path within
// MAX_PATH_CHARS, and enough free space on dir's drive for the CD, the programs (exe_bytes: the game
// executable and uninstall.exe) and the game's writable files, less an earlier install's CD copy
// there. 1, or 0 after one "ERROR: %s" line.
int check_install(const char *dir, CdSrc *src, uint64_t cd_bytes, uint64_t exe_bytes);

#ifdef _WIN32
// 1 when the running setup carries the game executable (RCDATA "GAMEEXE").
int prebuilt_available();
// Installs the game as `o` asks; progress (or none) hears every copied chunk. 1 installed, 0 not;
// stops at the first failure that matters, keeping what was written.
int do_install(const Options *o, ProgressFn progress, void *user);
// Makes the CD's emblem picture the executable's icon (seven sizes, 32-bit with alpha). 1 when the
// resources were committed; 0 after one "ERROR: %s" line, the file untouched.
int inject_icon_lbm(const char *exe, const uint8_t *lbm, uint64_t size);
// Paths of the two game shortcuts ("%s\Tovek Zarnith.lnk" in Programs and on the desktop); a path
// whose folder cannot be found comes back empty.
void shortcut_paths(char *startmenu_link, char *desktop_link);
// Writes a shortcut to target with the given working folder. COM must be initialised. Silent.
void make_link(const char *link, const char *target, const char *workdir);
// Copies the running setup to <dir>\uninstall.exe (unless it runs from there) and writes the
// uninstall key. Silent; failures leave the install alone.
void register_uninstaller(const char *dir, uint64_t cd_bytes);
// Results of do_uninstall.
enum { UNINSTALL_REFUSED = 0, UNINSTALL_DONE = 1, UNINSTALL_PARTLY = 2 };
// Removes the shortcuts, the uninstall key, <dir>\game, the setup's files and <dir> if empty.
// UNINSTALL_DONE when all of them are gone (<dir> may stay for other files in it), UNINSTALL_PARTLY
// when one of them is still there (a file in use). Touches nothing and gives UNINSTALL_REFUSED
// unless dir has the form of an install folder (folder_form) and holds zarnith.exe or uninstall.exe.
int do_uninstall(const char *dir);
// The two stages of a removal, entered from the command line; both end the run with exit code 0.
// quiet ("/quiet"): they ask and report nothing.
void uninstall_stage1(int quiet);
void uninstall_stage2(const char *dir, int quiet);
#endif
