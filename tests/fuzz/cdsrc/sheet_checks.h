// What every sheet a fuzzer parses must give: a data file that fits its buffer and, when its name is
// relative, lies in the sheet's folder (a name with a drive or a root is taken as it is).
#pragma once
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"

inline void check_data_file(const char *sheet, const DiscTrack &t) {
    if (strnlen(t.file, sizeof t.file) >= sizeof t.file) abort();
    const char *a = strrchr(sheet, '\\'), *b = strrchr(sheet, '/');
    const char *sep = a > b ? a : b;
    size_t folder = sep ? static_cast<size_t>(sep - sheet) + 1 : 0;
    int absolute = strchr(t.file, ':') || t.file[0] == '\\' || t.file[0] == '/';
    if (!absolute && strncmp(t.file, sheet, folder) != 0) {
        fprintf(stderr, "a relative name left the sheet's folder\n");
        abort();
    }
}
