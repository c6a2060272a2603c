// The command line: its conversion to the code page, and the install request and switches it sets.
#include "setup/cmdline.h"

#include <cstdlib>
#include <cwchar>

#include "util/lang.h"
#include "platform/platform.h"
#include "util/setup_log.h"
#include "util/util.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

Options opts;
int quiet;
int silent;
int verify;
#ifdef _WIN32

const char *const NAME_REFUSED =
    N_("A name you gave holds characters that this version of Windows cannot pass to the setup, so it would "
       "install into a different folder. Please choose a name without them, or use Windows 10 version 1903 or "
       "later.");

int wide_to_code_page(unsigned cp, const wchar_t *wide, char *out, size_t cap) {
    if (!out || cap == 0) return 0;
    out[0] = '\0';
    if (!wide || cap > 0x7FFFFFFF) return 0;
    // UTF-8 converts every character; only a lone surrogate cannot, and the flag makes that an error.
    // Any other code page would silently put a look-alike or '?' in place of a missing character.
    int utf8 = cp == CP_UTF8 || (cp == CP_ACP && GetACP() == CP_UTF8);
    BOOL defaulted = FALSE;
    int n = WideCharToMultiByte(cp, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, wide, -1, out,
                                static_cast<int>(cap), nullptr, utf8 ? nullptr : &defaulted);
    if (n > 0 && !defaulted) return 1;
    out[0] = '\0';
    return 0;
}

// The command line as ANSI strings, converted once; argv[argc] is none. Lives until the process ends.
// *refused receives the index of the first argument that the code page cannot hold exactly (0: none);
// that argument is left empty rather than turned into some other name.
char **ansi_arguments(int *argc, int *refused) {
    *argc = 0;
    *refused = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), argc);
    if (!wide) return static_cast<char **>(calloc(1, sizeof(char *)));
    char **argv = static_cast<char **>(calloc(static_cast<size_t>(*argc) + 1, sizeof(char *)));
    for (int i = 0; argv && i < *argc; ++i) {
        // A UTF-8 character takes at most three bytes per UTF-16 unit.
        size_t need = wcslen(wide[i]) * 3 + 1;
        char *a = static_cast<char *>(malloc(need));
        if (!a) continue;
        if (!wide_to_code_page(CP_ACP, wide[i], a, need) && i > 0 && !*refused) *refused = i;
        argv[i] = a;
    }
    LocalFree(wide);
    if (!argv) *argc = 0;
    return argv;
}


int apply_options(int argc, char **argv) {
    // The shell starts a program with a dropped file or folder as its only argument: a bare existing
    // path is the CD, unless "/cd" names one.
    const char *dropped = nullptr;
    int cd_given = 0, understood = 1;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i] ? argv[i] : "";
        const char *value = (i + 1 < argc && argv[i + 1]) ? argv[i + 1] : "";
        if (ascii_equal(a, "/silent")) {
            silent = 1;
        } else if (ascii_equal(a, "/verify")) {
            verify = 1;
        } else if (ascii_equal(a, "/nodesktop")) {
            opts.desktop = 0;
        } else if (ascii_equal(a, "/nostartmenu")) {
            opts.startmenu = 0;
        } else if (ascii_equal(a, "/cd")) {
            fmt(opts.cd, sizeof opts.cd, "%s", value);
            cd_given = 1;
            ++i;
        } else if (ascii_equal(a, "/dir")) {
            fmt(opts.dir, sizeof opts.dir, "%s", value);
            ++i;
        } else if (ascii_equal(a, "/lang")) {
            ++i;  // chosen at the start, before anything was shown
        } else if (ascii_equal(a, "/quiet") || ascii_equal(a, "/uninstall") || ascii_equal(a, "/uninstall2")) {
            // the uninstall stages' switches, read at the start; "/uninstall2" without its folder starts the setup
        } else if (a[0] && a[0] != '/' && path_exists(a)) {
            if (!dropped) dropped = a;
        } else {
            // Most often the rest of a path with a space that was not quoted, or a mistyped switch.
            setup_log("ERROR: '%s' is neither a switch nor an existing path: a path with spaces needs double "
                      "quotes around it, and the switches are /silent, /cd, /dir, /nodesktop and /nostartmenu",
                      a);
            understood = 0;
        }
    }
    if (dropped && !cd_given) fmt(opts.cd, sizeof opts.cd, "%s", dropped);
    return understood;
}

// The switches whose next argument is their value, whatever it looks like ("/dir /silent" installs into
// a folder named "/silent").
static int takes_value(const char *a) {
    return ascii_equal(a, "/cd") || ascii_equal(a, "/dir") || ascii_equal(a, "/lang") || ascii_equal(a, "/uninstall2");
}

void choose_language(int argc, char **argv) {
    lang_choose_ui(pf_ui_language());
    for (int i = 1; i < argc; ++i) {
        if (!argv[i] || !takes_value(argv[i])) continue;
        if (ascii_equal(argv[i], "/lang")) lang_choose_code(i + 1 < argc && argv[i + 1] ? argv[i + 1] : "");
        ++i;
    }
}

int switch_index(int argc, char **argv, const char *sw) {
    for (int i = 1; i < argc; ++i) {
        if (!argv[i]) continue;
        if (ascii_equal(argv[i], sw)) return i;
        if (takes_value(argv[i])) ++i;
    }
    return 0;
}

int has_switch(int argc, char **argv, const char *sw) { return switch_index(argc, argv, sw) != 0; }

#endif
