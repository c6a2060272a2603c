// setup (window.cpp): the main window of a window run and its background install.
#pragma once

#ifdef _WIN32
// Builds the window from opts and runs its message loop until it is destroyed; the process's exit code:
// 0 when the window ran and closed, 1 when none came up or a running install was stopped. The install
// runs on a worker thread meanwhile, and the log's lines show in the window's list while it exists.
int run_window(void *instance, int show);
#endif
