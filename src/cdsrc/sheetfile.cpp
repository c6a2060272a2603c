// What the descriptor readers share (discimage.cpp, tocsheet.cpp): the reasons a descriptor is refused
// with, the words and times of a sheet's lines, and the data file a descriptor names, found and opened
// with the same care whichever reader names it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdsrc/cdsrc.h"

#include "cdsrc_internal.h"

extern const char *const NO_DATA_TRACK = N_("the sheet has no data track");
extern const char *const DAMAGED = N_("the descriptor is damaged");
extern const char *const BAD_NAME = N_("the sheet names a data file that is no plain file name");

namespace {

// A file name from a descriptor: never a path into the device namespace ("\\.\", "\\?\") and no
// component that is a device name such as NUL or COM1, which CreateFile would open as a device.
int is_safe_data_name(const char *name, size_t n) {
    if (n == 0) return 0;
    if (n >= 4 && (name[0] == '\\' || name[0] == '/') && (name[1] == '\\' || name[1] == '/') &&
        (name[2] == '.' || name[2] == '?'))
        return 0;
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(name[i]) < 0x20 || strchr("*?\"<>|", name[i])) return 0;
    // Every component is looked at, the one before a colon too: "NUL:" and "CON\\x" name devices.
    for (size_t start = 0, i = 0; i <= n; ++i)
        if (i == n || name[i] == '\\' || name[i] == '/' || name[i] == ':') {
            if (name_is_device(name + start, i - start)) return 0;
            start = i + 1;
        }
    return 1;
}

}  // namespace

int is_blank(char c) { return c == ' ' || c == '\t'; }

// Puts the data file named in a descriptor into t->file: a name with a drive (a colon) or a root is
// taken as it is, any other relative to the descriptor's own folder, whichever separator its path uses.
int name_data_file(const char *desc_path, const char *name, size_t n, DiscTrack *t, const char **why) {
    if (!is_safe_data_name(name, n)) {
        *why = BAD_NAME;
        return 0;
    }
    size_t folder = 0;
    if (!memchr(name, ':', n) && name[0] != '\\' && name[0] != '/') {
        const char *sep = last_separator(desc_path);
        if (sep) folder = static_cast<size_t>(sep - desc_path) + 1;
    }
    if (folder + n >= sizeof t->file) {
        *why = BAD_NAME;
        return 0;
    }
    memcpy(t->file, desc_path, folder);
    memcpy(t->file + folder, name, n);
    t->file[folder + n] = '\0';
    return 1;
}

// The descriptor's path with its extension replaced (CloneCD and Alcohol name their data file so).
int sibling(const char *desc_path, const char *ext, DiscTrack *t, const char **why) {
    const char *dot = strrchr(desc_path, '.');
    const char *sep = last_separator(desc_path);
    size_t stem = (dot && dot > sep) ? static_cast<size_t>(dot - desc_path) : strlen(desc_path);
    // The extension comes from the descriptor in Alcohol's "*.ext": it must stay an extension.
    if (stem + strlen(ext) >= sizeof t->file || strpbrk(ext, "\\/:")) {
        *why = BAD_NAME;
        return 0;
    }
    fmt(t->file, sizeof t->file, "%.*s%s", static_cast<int>(stem), desc_path, ext);
    if (!is_safe_data_name(t->file, strlen(t->file))) {
        *why = BAD_NAME;
        return 0;
    }
    return 1;
}

void set_layout(DiscTrack *t, uint64_t base, uint32_t size, uint32_t offset) {
    t->base = base;
    t->sector_size = size;
    t->data_offset = offset;
    t->disc_lba = 0;
}

pf_file open_data(const char *desc, DiscTrack *t) {
    pf_file f = pf_open_read(t->file, 0);
    const char *name = last_separator(t->file), *folder_end = last_separator(desc);
    char there[PATH_BUF];
    if (f != PF_INVALID || !name || ascii_equal(t->file, desc) ||
        fmt(there, sizeof there, "%.*s%s", folder_end ? static_cast<int>(folder_end - desc + 1) : 0, desc, name + 1) >=
            static_cast<int>(sizeof there) ||
        is_dir(there) || (f = pf_open_read(there, 0)) == PF_INVALID)
        return f;
    fmt(t->file, sizeof t->file, "%s", there);
    return f;
}

int named_file_size(const FileSpace *fs, const char *desc_path, const char *name, size_t n, uint64_t *size) {
    DiscTrack t;
    const char *why = nullptr;
    if (!name_data_file(desc_path, name, n, &t, &why)) return 0;
    if (fs) return fs->size_of(fs, t.file, size);
    pf_file f = open_data(desc_path, &t);
    int ok = f != PF_INVALID && pf_size(f, size);
    pf_close(f);
    return ok;
}

int add_file_sectors(const FileSpace *fs, const char *desc_path, const char *name, size_t n, uint64_t from,
                     uint64_t sectors, uint32_t per, uint64_t *disc) {
    uint64_t size = 0;
    if (!named_file_size(fs, desc_path, name, n, &size) || size < from) return 0;
    *disc += sectors + (size - from) / per;
    return 1;
}

void set_disc_lba(DiscTrack *t, int known, uint64_t lba) {
    t->disc_lba = known && lba <= UINT32_MAX ? static_cast<uint32_t>(lba) : 0;
}

size_t next_word(const char **p, const char *end, const char **word) {
    while (*p < end && is_blank(**p)) ++*p;
    *word = *p;
    while (*p < end && !is_blank(**p)) ++*p;
    return static_cast<size_t>(*p - *word);
}

long cue_time(const char *w, size_t n) {
    long part[3] = {0, 0, 0};
    int k = 0, digits = 0;
    for (size_t i = 0; i < n; ++i) {
        if (w[i] == ':' && k < 2 && digits) {
            ++k;
            digits = 0;
        } else if (w[i] >= '0' && w[i] <= '9' && digits < 3) {
            part[k] = part[k] * 10 + (w[i] - '0');
            ++digits;
        } else {
            return -1;
        }
    }
    if (k != 2 || !digits || part[1] >= 60 || part[2] >= 75) return -1;
    return (part[0] * 60 + part[1]) * 75 + part[2];
}

