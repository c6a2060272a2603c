// The checks an install makes before it writes anything: that the source is the game CD, the form of an
// install folder (which the install and the uninstaller both insist on), and that the install fits.
// Portable: the file system is reached through platform.h.
#include <cstdio>
#include <cstring>

#include "cdsrc/cdsrc.h"
#include "install/install.h"
#include "platform/platform.h"
#include "util/setup_log.h"
#include "util/util.h"

namespace {

// Paths the install writes beside the CD copy, below the install folder; the longest of them bounds
// the folder even for a CD of short names.
const char *const own_paths[] = {"\\game\\hd\\SOUND\\INTERFAC.ASL", "\\game\\hd\\SAVEGAME", "\\uninstall.exe"};
const char cd_below[] = "\\game\\cd\\";

uint64_t mb_up(uint64_t bytes) { return (bytes + MIB - 1) / MIB; }

// The folder itself or, when it does not exist yet, its nearest parent that does, never above the
// drive or share root; 0 when not even the root is there. folder has the form of an install folder.
int nearest_existing(const char *folder, char *out) {
    fmt(out, PATH_BUF, "%s", folder);
    for (;;) {
        if (is_dir(out)) return 1;
        char *cut = last_separator(out);
        if (!cut) return 0;
        // Keep the root's own separator: "C:\" is a folder, "C:" is the current folder on C.
        if (cut == out + 2 && out[1] == ':') {
            cut[1] = '\0';
            return is_dir(out);
        }
        *cut = '\0';
        // Never above \\server\share: "\\server" is no folder, and "\" would be the current drive.
        char whole[PATH_BUF];
        if (folder_form(out, whole) == FOLDER_NOT_FULL) return 0;
    }
}

// The bytes of an earlier install of this game in <folder>\game\cd: a reinstall writes over them, so
// they count as free. At most the new CD's bytes.
uint64_t earlier_copy(const char *folder, uint64_t cd_bytes) {
    char old[PATH_BUF];
    if (fmt(old, sizeof old, "%s\\game\\cd", folder) >= static_cast<int>(sizeof old) || !is_dir(old)) return 0;
    CdSrc *s = cd_open(old);
    uint64_t bytes = s && is_zarnith_cd(s) ? cd_total_bytes(s) : 0;
    cd_close(s);
    return bytes < cd_bytes ? bytes : cd_bytes;
}

// 1 when the path, or the nearest of its parents that exists, is the folder `outer` or lies below it,
// by the folders' identity: the same folder reached by another name (another drive letter, a short
// name, a link) is found too. Never above a drive or share root.
int inside_by_id(const char *inner, const char *outer) {
    PfFileId o, x;
    if (!pf_file_id(outer, &o)) return 0;
    char p[PATH_BUF];
    fmt(p, sizeof p, "%s", inner);
    for (;;) {
        if (pf_file_id(p, &x) && x.volume == o.volume && x.index == o.index) return 1;
        char *cut = last_separator(p);
        if (!cut) return 0;
        if (cut == p + 2 && p[1] == ':') {
            if (cut[1] == '\0') return 0;
            cut[1] = '\0';  // "C:\Games" goes on to "C:\"
        } else {
            *cut = '\0';
        }
        char whole[PATH_BUF];
        if (!p[0] || (is_separator(p[0]) && folder_form(p, whole) == FOLDER_NOT_FULL)) return 0;
    }
}

// What an install writes that is found in the way, or 0: one "ERROR: %s" line naming the path.
int in_the_way(const char *path, int want_folder, int ours) {
    char message[LOG_BUF - 16];
    if (!path_exists(path)) return 0;
    // Written through, a link would put the install's bytes wherever it leads.
    if (pf_is_link(path))
        fmt(message, sizeof message, N_("%s is a link to somewhere else: choose another folder"), path);
    else if (want_folder && !is_dir(path))
        fmt(message, sizeof message, N_("%s is a file where the install must make a folder: choose another folder"), path);
    else if (!want_folder && is_dir(path))
        fmt(message, sizeof message, N_("%s is a folder where the install must write a file: choose another folder"), path);
    else if (!ours)
        fmt(message, sizeof message, N_("%s belongs to another program: choose another folder"), path);
    else
        return 0;
    fail(message);
    return 1;
}

}  // namespace

// Marker files of the game CD, in the order they are tested.
static const char *const markers[] = {"3DGAME.EXE", "MCP.EXE", "VILLAGE1.EXE", "VELTRIS\\INTRO.DAT"};

int is_zarnith_cd(CdSrc *s) {
    if (!s) return 0;
    for (const char *m : markers)
        if (!cd_exists(s, m)) return 0;
    return 1;
}

void cd_identity(CdSrc *s, CdIdentity *id) {
    *id = CdIdentity{};
    id->known = pf_volume(s->path, &id->serial, id->label, sizeof id->label);
}

int same_game_cd(CdSrc *s, const CdIdentity *was) {
    CdIdentity now;
    cd_identity(s, &now);
    if (was->known && (!now.known || now.serial != was->serial || strcmp(now.label, was->label) != 0)) return 0;
    return is_zarnith_cd(s);
}

void cd_drive(CdSrc *s, char *out) {
    const char *p = s->path;
    if (p[0] && p[1] == ':')
        fmt(out, PATH_BUF, "%c:", p[0]);
    else
        fmt(out, PATH_BUF, "%s", p);
}


size_t deepest_install_path(const char *dir, size_t cd_longest) {
    size_t len = utf16_units(dir), deepest = len + strlen(cd_below) + cd_longest;
    for (const char *p : own_paths)
        if (len + strlen(p) > deepest) deepest = len + strlen(p);
    return deepest;
}

int find_game_image(const char *folder, char *found) {
    // Images and the descriptors that lead to one; data files (.bin, .img, .mdf) are found through
    // their descriptor.
    static const char *const exts[] = {".iso", ".cue", ".toc", ".ccd", ".mds", ".nrg", ".chd", ".zip", ".7z", ".ecm"};
    PfList *l = pf_list_open(folder);
    PfEntry e;
    int hit = 0;
    while (!hit && l && pf_list_next(l, &e)) {
        const char *dot = strrchr(e.name, '.');
        int image = 0;
        for (const char *x : exts) image |= dot && ascii_equal(dot, x);
        char full[PATH_BUF];
        if (!image || !join_path(full, folder, e.name)) continue;
        CdSrc *s = game_image_in(full, cd_open(full));
        if (s && is_zarnith_cd(s)) hit = fmt(found, PATH_BUF, "%s", full) > 0;
        cd_close(s);
    }
    pf_list_close(l);
    return hit;
}

CdSrc *game_image_in(const char *path, CdSrc *first) {
    if (!first || first->images < 2 || is_zarnith_cd(first)) return first;
    for (uint32_t n = 1; n < first->images; ++n) {
        CdSrc *s = cd_open_nth(path, n, nullptr, 0);
        if (s && is_zarnith_cd(s)) {
            cd_close(first);
            return s;
        }
        cd_close(s);
    }
    return first;
}

void log_missing_markers(CdSrc *s) {
    char missing[LOG_BUF / 2] = "";
    size_t n = 0;
    for (const char *m : markers)
        if (!cd_exists(s, m)) n += fmt(missing + n, sizeof missing - n, "%s%s", n ? ", " : "", m);
    setup_log("%s holds no %s", cd_describe(s), missing);
}

int legacy_install(const char *dir) {
    char path[PATH_BUF];
    int program = 0;
    static const char *const programs[] = {"zarnith.exe", "uninstall.exe"};
    for (const char *name : programs)
        if (join_path(path, dir, name) && path_exists(path) && !is_dir(path)) program = 1;
    if (!program) return 0;
    for (const char *m : markers) {
        char rel[PATH_BUF];
        fmt(rel, sizeof rel, "game\\cd\\%s", m);
        if (!join_path(path, dir, rel) || !path_exists(path) || is_dir(path)) return 0;
    }
    return 1;
}

int holds_install(const char *dir) {
    char exe[PATH_BUF];
    Record *r = record_load(dir);
    int listed = record_count(r) > 0;
    record_free(r);
    return listed || (join_path(exe, dir, "zarnith.exe") && path_exists(exe) && !is_dir(exe));
}

int same_folder(const char *a, const char *b) {
    char fa[PATH_BUF], fb[PATH_BUF];
    if (folder_form(a, fa) != FOLDER_OK || folder_form(b, fb) != FOLDER_OK) return 0;
    if (ascii_equal(fa, fb)) return 1;
    return pf_same_file(fa, fb);
}

void browse_target(const char *picked, char *out) {
    static const char name[] = "Tovek Zarnith PC";
    fmt(out, PATH_BUF, "%s", picked);
    size_t len = strlen(out);
    while (len > 0 && is_separator(out[len - 1])) out[--len] = '\0';
    const char *sep = last_separator(out);
    const char *last = sep ? sep + 1 : out;
    // A root ("D:") keeps its separator; anything else has its game folder appended, unless it is one.
    if (len == 2 && out[1] == ':') {
        fmt(out + len, PATH_BUF - len, "\\%s", name);
        return;
    }
    if (ascii_equal(last, name) || holds_install(out)) {
        fmt(out, PATH_BUF, "%s", picked);
        return;
    }
    fmt(out + len, PATH_BUF - len, "\\%s", name);
}

int game_running(const char *dir) {
    char exe[PATH_BUF];
    return join_path(exe, dir, "zarnith.exe") && pf_in_use(exe);
}

int check_not_running(const char *dir) {
    char message[LOG_BUF - 16];
    if (!game_running(dir)) return 1;
    fmt(message, sizeof message, N_("Tovek Zarnith is running from %s: close the game first, then try again"), dir);
    return fail(message);
}

int check_targets(const char *dir, const Record *earlier) {
    int legacy = record_count(earlier) == 0 && legacy_install(dir);
    static const struct {
        const char *rel;
        int folder;
    } targets[] = {{"zarnith.exe", 0}, {"uninstall.exe", 0}, {EMBLEM_ICON_NAME, 0}, {"game\\cd", 1}, {"game\\hd", 1}};
    char path[PATH_BUF];
    // A "game" folder of the user's may hold the game's two folders beside its own files; a file there
    // cannot.
    if (join_path(path, dir, "game") && in_the_way(path, 1, 1)) return 0;
    for (const auto &t : targets)
        if (!join_path(path, dir, t.rel) || in_the_way(path, t.folder, legacy || record_lists(earlier, t.rel, t.folder)))
            return 0;
    if (join_path(path, dir, "game\\hd\\GAME.CFG") && in_the_way(path, 0, 1)) return 0;
    if (join_path(path, dir, RECORD_NAME) && in_the_way(path, 0, 1)) return 0;
    return 1;
}

int check_install(const char *dir, CdSrc *src, uint64_t cd_bytes, uint64_t exe_bytes) {
    char message[LOG_BUF - 16], folder[PATH_BUF];
    if (folder_form(dir, folder) != FOLDER_OK) return 0;  // check_folder_form has said why
    if (!check_not_running(folder)) return 0;

    // A folder source must not receive its own copy, nor be the copy it would be replaced by: the
    // copy would recurse into itself, or empty each file before reading it.
    char copy[PATH_BUF];
    fmt(copy, sizeof copy, "%s\\game\\cd", folder);
    if (!src->is_image && (path_inside(folder, src->path) || inside_by_id(folder, src->path))) {
        fmt(message, sizeof message, N_("the install folder %s lies inside the CD folder %s: choose a folder outside it"),
            dir, src->path);
        return fail(message);
    }
    if (path_inside(src->path, copy) || inside_by_id(src->path, copy)) {
        fmt(message, sizeof message,
            N_("the CD source %s lies inside %s, the copy that this install would replace: copy the CD elsewhere "
            "first, or install into another folder"),
            src->path, copy);
        return fail(message);
    }

    size_t deepest = deepest_install_path(dir, cd_longest_path(src));
    if (deepest > MAX_PATH_CHARS) {
        size_t len = utf16_units(dir), room = len - (deepest - MAX_PATH_CHARS);
        fmt(message, sizeof message,
            N_("the install folder is too long for this CD: its deepest file would need %u characters, more than "
            "the Windows path limit of %u (MAX_PATH); choose a folder of at most %u characters"),
            static_cast<unsigned>(deepest), static_cast<unsigned>(MAX_PATH_CHARS),
            static_cast<unsigned>(deepest > len + MAX_PATH_CHARS ? 0 : room));
        return fail(message);
    }

    // The CD, the game executable and the game's writable files (its configuration, the VELTRIS files
    // and the sound banks, copied again into game\hd); an earlier copy in game\cd is written over.
    uint64_t writable = cd_bytes_of(src, "GAME.CFG") + cd_bytes_of(src, "VELTRIS") + cd_bytes_of(src, "SOUND");
    uint64_t need = cd_bytes + exe_bytes + writable - earlier_copy(folder, cd_bytes);
    char existing[PATH_BUF];
    uint64_t free_bytes = 0;
    // Without an existing parent the folder cannot be made, which make_dirs reports.
    if (nearest_existing(folder, existing) && pf_free_space(existing, &free_bytes) && free_bytes < need) {
        fmt(message, sizeof message,
            N_("not enough free space for %s: the install needs %llu MB, the drive has %llu MB free; free some "
            "space or choose another drive"),
            dir, static_cast<unsigned long long>(mb_up(need)), static_cast<unsigned long long>(free_bytes / MIB));
        return fail(message);
    }
    return 1;
}

int check_folder_form(const char *dir) {
    char folder[PATH_BUF], message[LOG_BUF - 16];
    switch (folder_form(dir, folder)) {
    case FOLDER_OK: return 1;
    case FOLDER_NOT_FULL:
        fmt(message, sizeof message,
            N_("the install folder \"%s\" is not a full path: give its drive and every folder, such as "
            "C:\\Games\\Tovek Zarnith PC"),
            dir);
        break;
    case FOLDER_ROOT:
        fmt(message, sizeof message,
            N_("the install folder \"%s\" is the root of a drive or share: choose a folder on it, such as "
            "C:\\Games\\Tovek Zarnith PC"),
            dir);
        break;
    case FOLDER_DOTS:
        fmt(message, sizeof message,
            N_("the install folder \"%s\" has a \".\" or \"..\" in it: give the folder's own path"), dir);
        break;
    case FOLDER_TRAILING:
        fmt(message, sizeof message,
            N_("the install folder \"%s\" has a name that ends in a space or a dot, which Windows leaves out: "
            "choose a name without it"),
            dir);
        break;
    case FOLDER_BAD_NAME:
        fmt(message, sizeof message,
            N_("the install folder \"%s\" has a name that Windows cannot use (a device name such as CON or NUL, "
            "or one of < > : \" | ? *): choose another name"),
            dir);
        break;
    default: fmt(message, sizeof message, N_("the install folder is too long")); break;
    }
    return fail(message);
}
