// install: turns a CD source into an installed game (the CD copy, the game's writable tree, the game
// executable from the payload resource, its emblem icon, the uninstaller entry, the shortcuts), and
// removes it again. Every step and failure is one setup_log line; failures read "ERROR: %s".
// The picture pipeline of the emblem icon is portable; everything else here is Windows-only.
#pragma once
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
// Removes the shortcuts, the uninstall key, <dir>\game, the setup's files and <dir> if empty; 1.
// Touches nothing and gives 0 unless dir is an absolute folder below a drive or share root that holds
// zarnith.exe or uninstall.exe.
int do_uninstall(const char *dir);
// The two stages of a removal, entered from the command line; both end the run with exit code 0.
void uninstall_stage1();
void uninstall_stage2(const char *dir);
#endif
