#include "install.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdsrc.h"
#include "setup.h"
#include "util.h"

#ifdef _WIN32
#include <windows.h>
#endif

// ---------------------------------------------------------------------------------------------------
// CD identity

// Marker files of the game CD, in the order they are tested.
static const char *const markers[] = {"3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE", "VELTRIS\\INTRO.DAT"};

int is_zarnith_cd(CdSrc *s) {
    if (!s) return 0;
    for (const char *m : markers)
        if (!cd_exists(s, m)) return 0;
    return 1;
}

#ifdef _WIN32

// ---------------------------------------------------------------------------------------------------
// Install sequence

int prebuilt_available() { return 0; }

int do_install(const Options *, ProgressFn, void *) { return 0; }

// ---------------------------------------------------------------------------------------------------
// Game emblem icon

int inject_icon_lbm(const char *, const uint8_t *, uint64_t) { return 0; }

// ---------------------------------------------------------------------------------------------------
// Shortcuts

void shortcut_paths(char *startmenu_link, char *desktop_link) {
    startmenu_link[0] = '\0';
    desktop_link[0] = '\0';
}

void make_link(const char *, const char *, const char *) {}

// ---------------------------------------------------------------------------------------------------
// Uninstaller

void register_uninstaller(const char *, uint64_t) {}

int do_uninstall(const char *) { return 1; }

void uninstall_stage1() {}

void uninstall_stage2(const char *) {}

#endif
