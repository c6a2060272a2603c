// The start of every run: WinMain, one setup at a time, the CD detection and the DLL search hardening.
#include "setup/setup.h"

#include <cstring>

#include "cdsrc/cdsrc.h"
#include "util/lang.h"
#include "platform/platform.h"
#include "util/util.h"

#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#endif

#ifdef _WIN32

// Opens "zarnith_setup.log" in the temporary folder; without a usable temporary folder the run goes on
// without a log file, as when the file cannot be opened.
static void open_log() {
    char tmp[SHORT_PATH];
    DWORD n = GetTempPathA(sizeof tmp, tmp);
    if (n == 0 || n >= sizeof tmp) return;
    size_t len = strlen(tmp);
    if (len >= 259) return;
    char path[SHORT_PATH];
    fmt(path, sizeof path, "%s%.*s", tmp, static_cast<int>(259 - len), "zarnith_setup.log");
    setup_log_open(path);
}

// Takes the source at `path` into opts.cd when it is the game CD.
static void try_cd(const char *path) {
    CdSrc *s = cd_open(path);
    if (!s) return;
    if (is_zarnith_cd(s)) fmt(opts.cd, sizeof opts.cd, "%s", path);
    cd_close(s);
}

static void detect_drives() {
    DWORD mask = GetLogicalDrives();
    for (int d = 2; d <= 25 && !opts.cd[0]; ++d) {
        if (!(mask & (1u << d))) continue;
        char root[4] = {static_cast<char>('A' + d), ':', '\\', '\0'};
        if (GetDriveTypeA(root) != DRIVE_CDROM) continue;
        try_cd(root);
    }
}

// Looks for images and descriptors beside the setup executable; the first accepted one wins.
static void detect_images() {
    char folder[PATH_BUF];
    if (!opts.cd[0] && self_folder(folder, sizeof folder)) find_game_image(folder, opts.cd);
}

// A name that the code page cannot hold exactly is refused before anything is done with it: a
// look-alike would install into, or remove, some other folder.
static int refuse_arguments(int argc, char **argv, int refused) {
    int removing = has_switch(argc, argv, "/uninstall") || has_switch(argc, argv, "/uninstall2");
    if (!removing) {
        open_log();
        setup_log("setup started");
    }
    setup_log("ERROR: argument %d holds characters that code page %u cannot hold; nothing was done", refused,
              GetACP());
    if (!has_switch(argc, argv, "/silent") && !(removing && quiet))
        MessageBoxW(nullptr, ui(NAME_REFUSED).s, ui("Tovek Zarnith setup").s, MB_ICONERROR);
    setup_log_close();
    return 1;
}

// A setup.exe is usually started from a downloads folder, where a planted DLL with the name of one that
// Windows or a shell extension loads later would otherwise be found first. From here on DLLs come from
// System32 only (SetDefaultDllDirectories exists from Windows 8, and on 7 with KB2533623, so it is looked
// up rather than imported: without it the program must still start), and the current folder is out of
// the search path in any case.
static void restrict_dll_search() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFn set_default = nullptr;
    if (kernel) {
        FARPROC f = GetProcAddress(kernel, "SetDefaultDllDirectories");
        static_assert(sizeof f == sizeof set_default, "function pointers of one size");
        memcpy(&set_default, &f, sizeof f);
    }
    if (set_default) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
    SetDllDirectoryA("");
}

// One setup or uninstaller at a time in a user session: a second one would write over the first's log,
// and two of them would work on the same files and entry. 1 when this process has the turn, which it keeps
// until it ends. A second stage is started by its first stage, which holds the turn until it has ended:
// that stage is waited for, then the turn a few seconds at most.
static int take_turn(int second_stage) {
    HANDLE turn = CreateMutexA(nullptr, FALSE, "Local\\TovekZarnithSetup");
    // Without the object (no rights, or the name taken by an object of another kind) the setup runs
    // as it would alone rather than not at all.
    if (!turn) return 1;
    // No other setup had the object open: there is no first stage to wait for, and a second stage started
    // by hand from a shell that stays does not wait for that shell.
    if (second_stage && GetLastError() == ERROR_ALREADY_EXISTS) uninstall_wait_first_stage();
    DWORD got = WaitForSingleObject(turn, second_stage ? 5000 : 0);
    // Abandoned: its holder ended without giving it back (a first stage's plain end, a killed setup).
    return got == WAIT_OBJECT_0 || got == WAIT_ABANDONED;
}

int WINAPI WinMain(HINSTANCE inst, HINSTANCE, LPSTR, int show) {
    restrict_dll_search();
    int argc = 0, refused = 0;
    char **argv = ansi_arguments(&argc, &refused);
    // Before anything can be shown: every box, the window and both stages of a removal speak it.
    choose_language(argc, argv);

    // The notices need no turn, no log and no CD.
    if (has_switch(argc, argv, "/licenses")) return show_licenses();
    if (has_switch(argc, argv, "/quiet")) quiet = 1;
    // The first uninstall switch decides: 1 the first stage, 2 the second (on the folder after it; without
    // a folder the setup starts normally).
    int stage = 0;
    const char *folder = "";
    int first = switch_index(argc, argv, "/uninstall"), second = switch_index(argc, argv, "/uninstall2");
    if (first && (!second || first < second)) {
        stage = 1;
    } else if (second && second + 1 < argc) {
        stage = 2;
        folder = argv[second + 1] ? argv[second + 1] : "";
    }
    if (!take_turn(stage == 2)) {
        // A second stage that removes nothing must still not leave its temporary copy behind for good.
        if (stage == 2) uninstall_forget_copy();
        if (stage ? !quiet : !has_switch(argc, argv, "/silent"))
            MessageBoxW(nullptr, ui("Tovek Zarnith setup is already running.").s,
                        ui(stage ? "Tovek Zarnith uninstall" : "Tovek Zarnith setup").s, MB_ICONWARNING);
        return stage ? 0 : 1;
    }
    if (refused) return refuse_arguments(argc, argv, refused);
    if (stage == 1) uninstall_stage1(quiet);
    if (stage == 2) uninstall_stage2(folder, quiet);
    if (stage) return 0;

    open_log();
    setup_log("setup started");
    // An empty CD drive or card reader must fail the probe quietly, not stop the setup behind a
    // "no disk in the drive" box; the install reads the CD under the same rule.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    detect_drives();
    detect_images();
    // A setup run again (to repair, or from a new image) goes where the game is installed already.
    char previous[PATH_BUF];
    if (!opts.dir[0])
        fmt(opts.dir, sizeof opts.dir, "%s", registered_install(previous) ? previous : "C:\\Games\\Tovek Zarnith PC");
    opts.desktop = 1;
    opts.startmenu = 1;
    setup_log("defaults: cd '%s' dir '%s'", opts.cd, opts.dir);
    // A silent run installs nothing that the command line did not say in full: a word it does not
    // understand may be the rest of a folder name, or a switch that meant something else.
    if (!apply_options(argc, argv) && (silent || verify)) {
        setup_log_close();
        return 1;
    }

    int code = 0;
    if (verify) {
        // The CD alone: no window, no install folder, no entry; a box says what the log says.
        char summary[LOG_BUF];
        code = do_verify(opts.cd, summary, sizeof summary);
        if (!silent)
            MessageBoxW(nullptr, ui(summary).s, ui("Tovek Zarnith setup").s,
                        code == 0 ? MB_ICONINFORMATION : code == 1 ? MB_ICONERROR : MB_ICONWARNING);
    } else if (silent) {
        code = do_install(&opts, nullptr) ? 0 : 1;
    } else {
        INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&icc);
        CoInitialize(nullptr);
        code = run_window(inst, show);
    }
    setup_log_close();
    return code;
}

#endif
