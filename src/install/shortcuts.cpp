// The game's two shortcuts: in the Start menu's Programs folder and on the desktop.
#include "install/install.h"

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

static const char game_name[] = "Tovek Zarnith";

// "<shell folder>\Tovek Zarnith.lnk", or an empty path when the shell cannot name the folder: a
// failed query must not leave a bare "\Tovek Zarnith.lnk", which would land at the drive's root.
static void link_in(int csidl, char *link) {
    char folder[SHORT_PATH];
    folder[0] = '\0';
    link[0] = '\0';
    if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder)) || !folder[0]) return;
    fmt(link, PATH_BUF, "%s\\%s.lnk", folder, game_name);
}

void shortcut_paths(char *startmenu_link, char *desktop_link) {
    link_in(CSIDL_PROGRAMS, startmenu_link);
    link_in(CSIDL_DESKTOPDIRECTORY, desktop_link);
}

void make_link(const char *link, const char *target, const char *workdir, const char *icon) {
    if (!link || !link[0]) return;
    IShellLinkA *sl = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void **>(&sl))))
        return;
    sl->SetPath(target);
    sl->SetWorkingDirectory(workdir);
    sl->SetDescription(game_name);
    sl->SetIconLocation(icon, 0);
    IPersistFile *pf = nullptr;
    if (SUCCEEDED(sl->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&pf)))) {
        WCHAR wide[PATH_BUF];
        if (MultiByteToWideChar(CP_ACP, 0, link, -1, wide, PATH_BUF) > 0) pf->Save(wide, TRUE);
        pf->Release();
    }
    sl->Release();
}

#endif
