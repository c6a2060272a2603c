// setup: the front end. WinMain (setup.cpp) converts the command line, hands a removal to the
// uninstaller, opens the log, looks for the CD (drives, then images beside the program), fills the
// install request and takes the silent road (do_install on the main thread) or the window's.
// Files: setup.cpp (start, one setup at a time, CD detection, DLL search hardening), cmdline.cpp /
// cmdline.h (the command line and the front-end state), window.cpp / window.h (the main window and its
// worker thread), licenses.cpp ("/licenses": the notices of the libraries it carries). The log it opens and mirrors is util's (util/setup_log.h), which every module writes to.
#pragma once
#include "setup/cmdline.h"
#include "util/setup_log.h"
#include "setup/window.h"

#ifdef _WIN32
// "/licenses": shows the notices of the libraries setup.exe carries in a window of their own, until it is
// closed. 0, or 1 when the window cannot be made.
int show_licenses();
#endif
