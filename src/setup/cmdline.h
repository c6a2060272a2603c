// setup (cmdline.cpp): the command line, converted once to the code page, and the front-end state it
// sets: the install request `opts` and the switches `quiet` and `silent`.
#pragma once
#include <cstddef>

#include "install/install.h"

extern Options opts;  // the install request
extern int quiet;     // "/quiet": the uninstall stages ask and report nothing
extern int silent;    // "/silent": no window; nothing is posted anywhere
extern int verify;    // "/verify": the CD is checked against the known releases, and nothing installed

#ifdef _WIN32
// Converts a UTF-16 string to code page `cp` (CP_ACP, 1252, CP_UTF8...) into out, cap bytes with the NUL.
// 1 only when every character converts exactly; 0 when one would become a look-alike ("Łódź" as
// "Lodz") or the default character, or when the result does not fit. On 0, out is the empty string.
int wide_to_code_page(unsigned cp, const wchar_t *wide, char *out, size_t cap);
// The message shown when a name the user gave cannot be used on this system (see wide_to_code_page).
extern const char *const NAME_REFUSED;
// The command line as code-page strings; argv[argc] is none, and it lives until the process ends.
// *refused receives the index of the first argument that the code page cannot hold exactly (0: none);
// that argument is left empty rather than turned into some other name.
char **ansi_arguments(int *argc, int *refused);
// Chooses the language of everything the setup shows: the display language's, or that of "/lang <code>"
// when given (the last one wins; a missing or unknown code means English).
void choose_language(int argc, char **argv);
// The index of the first argument after the program's name that is the switch sw (ASCII letter case
// ignored), or 0. The value of "/cd", "/dir", "/lang" or "/uninstall2" is a value, never a switch.
int switch_index(int argc, char **argv, const char *sw);
// 1 when switch_index finds sw.
int has_switch(int argc, char **argv, const char *sw);
// Applies "/silent", "/verify", "/nodesktop", "/nostartmenu", "/cd" and "/dir" to opts and silent, and passes over
// "/lang" with its code; a bare existing path (what the shell passes for a file dropped on the program)
// is the CD unless "/cd" names one.
// 1 when every argument was understood; 0 when one was not, each such one named in an "ERROR:" line.
int apply_options(int argc, char **argv);
#endif
