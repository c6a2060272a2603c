#include "install.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cdsrc.h"
#include "platform.h"
#include "setup.h"
#include "util.h"

#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
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

// ---------------------------------------------------------------------------------------------------
// Game emblem picture pipeline

// The icon sizes in the order they are made; the k-th (from 1) is icon id k.
static const uint32_t sizes[7] = {16, 24, 32, 48, 64, 128, 256};

// Bounded view of the picture file: anything asked for past its end reads as 0. A truncated picture
// (a copy cut short, a BMHD or CMAP that runs off the end) therefore decodes as far as it goes, the
// missing part dark, and nothing outside the caller's bytes is ever touched.
struct Bytes {
    const uint8_t *p;
    uint64_t n;
    uint8_t at(uint64_t off) const { return off < n ? p[off] : 0; }
    uint32_t be16(uint64_t off) const { return uint32_t(at(off)) << 8 | at(off + 1); }
    uint32_t be32(uint64_t off) const { return be16(off) << 16 | be16(off + 2); }
    bool is(uint64_t off, const char id[4]) const {
        return off <= n && n - off >= 4 && memcmp(p + off, id, 4) == 0;
    }
};

int emblem_parse(const uint8_t *lbm, uint64_t size, EmblemPicture *pic) {
    Bytes f = {lbm, size};
    if (!lbm || size <= 11 || !f.is(0, "FORM") || !f.is(8, "PBM ")) return 0;
    uint64_t end = uint64_t(f.be32(4)) + 8;
    if (end > size) end = size;
    if (end < 20) return 0;

    uint32_t w = 0, h = 0, compression = 0;
    bool have_cmap = false, have_body = false;
    uint64_t cmap = 0, body = 0, body_len = 0;
    // p stays below the byte count plus 2^33: a chunk length cannot make it wrap.
    for (uint64_t p = 12; p + 8 <= end;) {
        uint64_t len = f.be32(p + 4), data = p + 8;
        if (f.is(p, "BMHD")) {
            w = f.be16(data);
            h = f.be16(data + 2);
            compression = f.at(data + 10);
        } else if (f.is(p, "CMAP")) {
            have_cmap = true;
            cmap = data;
        } else if (f.is(p, "BODY")) {
            have_body = true;
            body = data;
            body_len = len;
        }
        p = data + len + (len & 1);
    }
    if (!w || !h || !have_cmap || !have_body) return 0;
    if (uint64_t(w) * h > EMBLEM_MAX_PIXELS) return 0;
    *pic = {lbm, size, w, h, compression, cmap, body, body_len};
    return 1;
}

uint8_t *emblem_indexes(const EmblemPicture *pic, uint32_t *stride) {
    uint32_t st = (pic->w + 1) & ~1u;
    uint64_t cap = uint64_t(st) * pic->h;
    uint8_t *out = (uint8_t *)calloc(cap, 1);
    if (!out) return nullptr;
    *stride = st;

    // BODY as far as the file holds it: bytes past the end would only write index 0 over positions
    // that are 0 already, so decoding stops there with the same result.
    uint64_t avail = pic->body < pic->size ? pic->size - pic->body : 0;
    uint64_t len = pic->body_len < avail ? pic->body_len : avail;
    if (!len) return out;
    const uint8_t *in = pic->data + pic->body;

    if (pic->compression != 1) {
        memcpy(out, in, len < cap ? len : cap);
        return out;
    }
    // ByteRun1, one stream across all rows (the pad byte of odd-width rows included).
    uint64_t i = 0, o = 0;
    while (o < cap && i < len) {
        uint32_t n = in[i];
        if (n < 128) {
            uint64_t run = uint64_t(n) + 1;
            uint64_t take = run;
            if (take > cap - o) take = cap - o;
            if (take > len - (i + 1)) take = len - (i + 1);
            memcpy(out + o, in + i + 1, take);
            o += take;
            if (take < run) break;
            i += run + 1;
        } else if (n == 128) {
            i += 1;
        } else {
            // The value byte may lie just past BODY's declared end (a run header as its last byte);
            // it is read from the file then, never from beyond it.
            if (i + 1 >= avail) break;
            uint64_t run = 257 - n;
            if (run > cap - o) run = cap - o;
            memset(out + o, in[i + 1], run);
            o += run;
            i += 2;
        }
    }
    return out;
}

void emblem_palette(const EmblemPicture *pic, uint32_t colours[256]) {
    Bytes f = {pic->data, pic->size};
    for (uint32_t i = 0; i < 256; i++) {
        uint64_t at = pic->cmap + 3 * uint64_t(i);
        uint32_t r = f.at(at), g = f.at(at + 1), b = f.at(at + 2);
        colours[i] = r + g + b < 60 ? 0 : 0xFF000000u | r << 16 | g << 8 | b;
    }
}

int emblem_canvas(const uint8_t *lbm, uint64_t size, uint32_t **canvas, uint32_t *S) {
    EmblemPicture pic;
    if (!emblem_parse(lbm, size, &pic)) return EMBLEM_NOT_UNDERSTOOD;
    uint32_t stride;
    uint8_t *idx = emblem_indexes(&pic, &stride);
    if (!idx) return EMBLEM_NOT_UNDERSTOOD;
    uint32_t colour[256];
    emblem_palette(&pic, colour);

    // The colour picture is never built as a whole: the crop box and the canvas come straight from
    // the index picture through the palette, which gives the same pixels in a quarter of the memory.
    uint32_t left = pic.w, right = 0, top = pic.h, bottom = 0;
    for (uint32_t y = 0; y < pic.h; y++) {
        const uint8_t *row = idx + uint64_t(y) * stride;
        uint32_t x = 0;
        while (x < pic.w && !colour[row[x]]) x++;
        if (x == pic.w) continue;
        uint32_t last = pic.w - 1;
        while (!colour[row[last]]) last--;
        if (x < left) left = x;
        if (last > right) right = last;
        if (y < top) top = y;
        bottom = y;
    }
    if (left > right) {
        free(idx);
        return EMBLEM_EMPTY;
    }

    uint32_t bw = right - left + 1, bh = bottom - top + 1;
    uint32_t L = bw > bh ? bw : bh;
    uint32_t side = L + L / 16;
    // A thin strip is a small picture with a huge square: refuse it before allocating.
    if (uint64_t(side) * side > EMBLEM_MAX_PIXELS) {
        free(idx);
        return EMBLEM_NOT_UNDERSTOOD;
    }
    uint32_t *c = (uint32_t *)calloc(uint64_t(side) * side, sizeof(uint32_t));
    if (!c) {
        free(idx);
        return EMBLEM_NOT_UNDERSTOOD;
    }
    uint32_t ox = (side - bw) / 2, oy = (side - bh) / 2;
    for (uint32_t y = 0; y < bh; y++) {
        const uint8_t *src = idx + uint64_t(top + y) * stride + left;
        uint32_t *dst = c + uint64_t(oy + y) * side + ox;
        for (uint32_t x = 0; x < bw; x++) dst[x] = colour[src[x]];
    }
    free(idx);
    *canvas = c;
    *S = side;
    return EMBLEM_OK;
}

uint32_t emblem_icon_bytes(uint32_t N) { return 40 + 4 * N * N + (N + 31) / 32 * 4 * N; }

static void put16(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

static void put32(uint8_t *p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

uint8_t *emblem_icon_image(const uint32_t *canvas, uint32_t S, uint32_t N, uint32_t *bytes) {
    if (!canvas || !S || S > (1u << 20) || !N || N > 256) return nullptr;
    uint32_t total = emblem_icon_bytes(N);
    uint8_t *img = (uint8_t *)calloc(total, 1);
    if (!img) return nullptr;
    put32(img, 40);
    put32(img + 4, N);
    put32(img + 8, 2 * N);
    put16(img + 12, 1);
    put16(img + 14, 32);

    // Source range of output position i: [i*S/N, (i+1)*S/N), never empty.
    uint32_t from[256], to[256];
    for (uint32_t i = 0; i < N; i++) {
        from[i] = uint32_t(uint64_t(i) * S / N);
        to[i] = uint32_t(uint64_t(i + 1) * S / N);
        if (to[i] <= from[i]) to[i] = from[i] + 1;
    }
    // Sums per output column of one output row, gathered source row by source row so that the
    // canvas is read front to back. A whole range of a large canvas holds far more than 2^32 / 255^2
    // pixels, so the range sums are 64-bit; the part of one source row (at most 2^16 pixels while
    // S is at most 2^20) fits 32 bits, which lets the compiler vectorise the inner loop.
    uint64_t sum[256][4];
    for (uint32_t y = 0; y < N; y++) {
        memset(sum, 0, sizeof sum[0] * N);
        for (uint32_t sy = from[y]; sy < to[y]; sy++) {
            const uint32_t *px = canvas + uint64_t(sy) * S;
            for (uint32_t x = 0; x < N; x++) {
                uint32_t as = 0, rs = 0, gs = 0, bs = 0;
                for (uint32_t sx = from[x]; sx < to[x]; sx++) {
                    uint32_t v = px[sx], a = v >> 24;
                    as += a;
                    rs += (v >> 16 & 0xFF) * a;
                    gs += (v >> 8 & 0xFF) * a;
                    bs += (v & 0xFF) * a;
                }
                sum[x][0] += as;
                sum[x][1] += rs;
                sum[x][2] += gs;
                sum[x][3] += bs;
            }
        }
        uint8_t *out = img + 40 + uint64_t(N - 1 - y) * N * 4;
        for (uint32_t x = 0; x < N; x++, out += 4) {
            uint64_t as = sum[x][0];
            if (!as) continue;
            uint64_t count = uint64_t(to[x] - from[x]) * (to[y] - from[y]);
            out[0] = uint8_t(sum[x][3] / as);
            out[1] = uint8_t(sum[x][2] / as);
            out[2] = uint8_t(sum[x][1] / as);
            out[3] = uint8_t(as / count);
        }
    }
    *bytes = total;
    return img;
}

void emblem_icon_group(uint8_t out[104]) {
    memset(out, 0, 104);
    put16(out + 2, 1);
    put16(out + 4, 7);
    for (uint32_t k = 0; k < 7; k++) {
        uint8_t *e = out + 6 + 14 * k;
        e[0] = e[1] = uint8_t(sizes[k] & 0xFF);  // 256 is written as 0
        put16(e + 4, 1);
        put16(e + 6, 32);
        put32(e + 8, emblem_icon_bytes(sizes[k]));
        put16(e + 12, k + 1);
    }
}

#ifdef _WIN32

// ---------------------------------------------------------------------------------------------------
// Install sequence

// The game's sound banks, copied from <cd>\SOUND into the writable drive in this order.
static const char *const hd_sound[] = {"AMBIENT", "BATTLE", "CREATURE", "DOORS",  "FOOTSTEP", "INTERFAC",
                                       "MAGIC",   "MUSICA", "MUSICB",   "VOICES", "WEATHER"};

constexpr uint64_t MIB = 1024 * 1024;

static HRSRC find_payload() { return FindResourceA(nullptr, "GAMEEXE", MAKEINTRESOURCEA(10) /* RT_RCDATA */); }

int prebuilt_available() { return find_payload() ? 1 : 0; }

static int fail(const char *message) {
    setup_log("ERROR: %s", message);
    return 0;
}

// Copies the files that lie directly in the CD's VELTRIS folder (no subfolders); 1 when at least one
// was copied.
static int copy_veltris(const char *cd, const char *hd) {
    char src[PATH_BUF], dst[PATH_BUF];
    fmt(src, sizeof src, "%s\\VELTRIS", cd);
    fmt(dst, sizeof dst, "%s\\VELTRIS", hd);
    make_dirs(dst);
    PfList *l = pf_list_open(src);
    if (!l) return 0;
    int copied = 0;
    PfEntry e;
    while (pf_list_next(l, &e)) {
        if (e.directory) continue;
        char from[JOIN_BUF], to[JOIN_BUF];
        fmt(from, sizeof from, "%s\\%s", src, e.name);
        fmt(to, sizeof to, "%s\\%s", dst, e.name);
        if (copy_file(from, to, nullptr)) ++copied;
    }
    pf_list_close(l);
    return copied > 0;
}

// Writes the game executable carried as resource GAMEEXE; write_file logs its own failure.
static int write_payload(const char *exe) {
    HRSRC r = find_payload();
    if (!r) return fail("this setup does not contain the game executable");
    HGLOBAL g = LoadResource(nullptr, r);
    const void *bytes = g ? LockResource(g) : nullptr;
    DWORD size = SizeofResource(nullptr, r);
    if (!bytes) return fail("this setup does not contain the game executable");
    return write_file(exe, bytes, size);
}

int do_install(const Options *o, ProgressFn progress, void *user) {
    setup_log("Install to %s", o->dir);
    if (!find_payload()) return fail("this setup does not contain the game executable");

    CdSrc *src = cd_open(o->cd);
    if (!src) return fail("the CD is not a readable disc, image or folder");
    if (!is_zarnith_cd(src)) {
        cd_close(src);
        return fail("this is not the Tovek Zarnith CD");
    }

    Progress p = {0, 0, progress, user};
    uint64_t cd_bytes = cd_total_bytes(src);
    p.total = cd_bytes + 8 * MIB;

    char game[PATH_BUF], hd[PATH_BUF], cd[PATH_BUF];
    fmt(game, sizeof game, "%s\\game", o->dir);
    fmt(hd, sizeof hd, "%s\\hd", game);
    fmt(cd, sizeof cd, "%s\\cd", game);
    // An empty folder would put the game at the root of the current drive ("\game", "\zarnith.exe").
    if (!o->dir[0] || !make_dirs(hd)) {
        cd_close(src);
        return fail("cannot create the install folder");
    }

    setup_log("Copying %s ...", cd_describe(src));
    if (!cd_copy_all(src, cd, &p)) {
        cd_close(src);
        return fail("copying the CD failed");
    }
    cd_close(src);

    setup_log("Setting up the game files ...");
    char from[JOIN_BUF], to[JOIN_BUF];
    fmt(from, sizeof from, "%s\\GAME.CFG", cd);
    fmt(to, sizeof to, "%s\\GAME.CFG", hd);
    // A reinstall keeps the player's configuration.
    if (!path_exists(to) && !copy_file(from, to, nullptr)) return fail("GAME.CFG missing on the CD");

    if (!copy_veltris(cd, hd)) return fail("VELTRIS folder missing on the CD");

    char sound[PATH_BUF];
    fmt(sound, sizeof sound, "%s\\SOUND", hd);
    make_dirs(sound);
    for (const char *bank : hd_sound) {
        fmt(from, sizeof from, "%s\\SOUND\\%s.ASL", cd, bank);
        fmt(to, sizeof to, "%s\\%s.ASL", sound, bank);
        copy_file(from, to, nullptr);  // a missing bank leaves its "cannot read" line only
    }

    char saves[PATH_BUF];
    fmt(saves, sizeof saves, "%s\\SAVEGAME", hd);
    make_dirs(saves);  // an existing folder keeps its saved games
    progress_add(&p, 6 * MIB);

    char exe[PATH_BUF];
    fmt(exe, sizeof exe, "%s\\zarnith.exe", o->dir);
    if (!write_payload(exe)) return 0;

    char picture[PATH_BUF];
    fmt(picture, sizeof picture, "%s\\INTRO\\DATA\\A.LBM", cd);
    uint64_t picture_size = 0;
    uint8_t *lbm = read_file(picture, &picture_size);
    if (lbm) {
        inject_icon_lbm(exe, lbm, picture_size);  // the game runs without its emblem too
        free(lbm);
    }

    register_uninstaller(o->dir, cd_bytes);

    char startmenu_link[PATH_BUF], desktop_link[PATH_BUF];
    shortcut_paths(startmenu_link, desktop_link);
    CoInitialize(nullptr);
    if (o->startmenu) make_link(startmenu_link, exe, o->dir);
    if (o->desktop) make_link(desktop_link, exe, o->dir);
    CoUninitialize();

    progress_add(&p, 2 * MIB);
    setup_log("Done.");
    return 1;
}

// ---------------------------------------------------------------------------------------------------
// Game emblem icon

int inject_icon_lbm(const char *exe, const uint8_t *lbm, uint64_t size) {
    uint32_t *canvas = nullptr, S = 0;
    int status = emblem_canvas(lbm, size, &canvas, &S);
    if (status == EMBLEM_EMPTY) {
        setup_log("ERROR: %s", "game emblem picture is empty");
        return 0;
    }
    if (status != EMBLEM_OK) {
        setup_log("ERROR: %s", "game emblem picture not understood");
        return 0;
    }
    // Nothing reaches the file before EndUpdateResourceA commits, so every failure up to here and
    // a discarded update leave the executable as it was.
    HANDLE h = BeginUpdateResourceA(exe, FALSE);
    if (!h) {
        free(canvas);
        setup_log("ERROR: %s", "cannot update the game executable's icon");
        return 0;
    }
    for (uint32_t k = 0; k < 7; k++) {
        uint32_t bytes = 0;
        uint8_t *img = emblem_icon_image(canvas, S, sizes[k], &bytes);
        if (!img) {
            free(canvas);
            EndUpdateResourceA(h, TRUE);
            setup_log("ERROR: %s", "not enough memory for the game executable's icon");
            return 0;
        }
        UpdateResourceA(h, MAKEINTRESOURCEA(3), MAKEINTRESOURCEA(k + 1), 0, img, bytes);
        free(img);
    }
    uint8_t group[104];
    emblem_icon_group(group);
    UpdateResourceA(h, MAKEINTRESOURCEA(14), MAKEINTRESOURCEA(1), 0, group, sizeof group);
    free(canvas);
    if (!EndUpdateResourceA(h, FALSE)) {
        setup_log("ERROR: %s", "cannot write the game executable's icon");
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------------------------------
// Shortcuts

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

void make_link(const char *link, const char *target, const char *workdir) {
    if (!link || !link[0]) return;
    IShellLinkA *sl = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void **>(&sl))))
        return;
    sl->SetPath(target);
    sl->SetWorkingDirectory(workdir);
    sl->SetDescription(game_name);
    sl->SetIconLocation(target, 0);
    IPersistFile *pf = nullptr;
    if (SUCCEEDED(sl->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&pf)))) {
        WCHAR wide[PATH_BUF];
        if (MultiByteToWideChar(CP_ACP, 0, link, -1, wide, PATH_BUF) > 0) pf->Save(wide, TRUE);
        pf->Release();
    }
    sl->Release();
}

// ---------------------------------------------------------------------------------------------------
// Uninstaller

static const char uninstall_key[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TovekZarnith_PCNative";
static const char uninstall_caption[] = "Tovek Zarnith uninstall";
static const char temp_copy_name[] = "zarnith_uninstall.exe";

// The setup's own files in the install folder, deleted by a removal.
static const char *const files[] = {"zarnith.exe", "uninstall.exe", "zarnith_pc.ini", "zarnith.log", "setup.log"};

// 1 when both paths name one file: the same text, or the same file reached another way
// ("C:\Games\TZ\\uninstall.exe", a short name, other letter case, forward slashes).
static int same_file(const char *a, const char *b) {
    if (_stricmp(a, b) == 0) return 1;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE ha = CreateFileA(a, 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (ha == INVALID_HANDLE_VALUE) return 0;
    HANDLE hb = CreateFileA(b, 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
    int same = 0;
    if (hb != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION ia, ib;
        if (GetFileInformationByHandle(ha, &ia) && GetFileInformationByHandle(hb, &ib))
            same = ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
                   ia.nFileIndexLow == ib.nFileIndexLow;
        CloseHandle(hb);
    }
    CloseHandle(ha);
    return same;
}

static void set_string(HKEY key, const char *name, const char *value) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                   static_cast<DWORD>(strlen(value) + 1));
}

static void set_dword(HKEY key, const char *name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
}

void register_uninstaller(const char *dir, uint64_t cd_bytes) {
    if (!dir || !dir[0]) return;
    char self[PATH_BUF];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    char copy[PATH_BUF];
    // Running as the installed uninstall.exe, a copy would be the file onto itself: it would empty the
    // program it reads from.
    if (n > 0 && n < sizeof self && join_path(copy, dir, "uninstall.exe") && !same_file(self, copy))
        CopyFileA(self, copy, FALSE);

    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, uninstall_key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    char text[JOIN_BUF];
    set_string(key, "DisplayName", "Tovek Zarnith (PC Native)");
    fmt(text, sizeof text, "\"%s\\uninstall.exe\" /uninstall", dir);
    set_string(key, "UninstallString", text);
    fmt(text, sizeof text, "%s\\zarnith.exe,0", dir);
    set_string(key, "DisplayIcon", text);
    set_string(key, "InstallLocation", dir);
    set_string(key, "Publisher", "PC Native port (fan project)");
    set_dword(key, "EstimatedSize", static_cast<DWORD>((cd_bytes + 0x1400000u) / 1024));
    set_dword(key, "NoModify", 1);
    set_dword(key, "NoRepair", 1);
    RegCloseKey(key);
}

static int is_sep(char c) { return c == '\\' || c == '/'; }

// The folder a removal may work on, without trailing separators, into out; 0 when it must not: an
// empty, relative or drive-relative path, a drive or share root (whose "game" folder and files belong
// to nobody in particular), a path whose "." or ".." parts could lead elsewhere, or one too long for
// it to be held whole (a cut folder name is another folder).
static int removable_folder(const char *dir, char *out) {
    if (!dir || fmt(out, PATH_BUF, "%s", dir) >= static_cast<int>(PATH_BUF)) return 0;
    size_t len = strlen(out);
    while (len > 0 && is_sep(out[len - 1])) out[--len] = '\0';
    size_t root;
    if (len >= 2 && ((out[0] | 0x20) >= 'a' && (out[0] | 0x20) <= 'z') && out[1] == ':') {
        if (len < 3 || !is_sep(out[2])) return 0;
        root = 3;
    } else if (len >= 2 && is_sep(out[0]) && is_sep(out[1])) {
        // \\server\share\ is the root of a network path.
        root = 2;
        for (int part = 0; part < 2; ++part) {
            size_t start = root;
            while (root < len && !is_sep(out[root])) ++root;
            if (root == start || root >= len) return 0;
            ++root;
        }
    } else {
        return 0;
    }
    int parts = 0;
    for (size_t i = root; i < len;) {
        while (i < len && is_sep(out[i])) ++i;
        size_t start = i;
        int only_dots = 1;
        while (i < len && !is_sep(out[i])) {
            // Windows drops trailing dots and spaces, so "..." and ". ." act like "." or "..".
            if (out[i] != '.' && out[i] != ' ') only_dots = 0;
            ++i;
        }
        if (i == start) continue;
        if (only_dots) return 0;
        ++parts;
    }
    return parts > 0;
}

int do_uninstall(const char *dir) {
    char folder[PATH_BUF];
    if (!removable_folder(dir, folder)) return 0;
    char exe[PATH_BUF], uninstaller[PATH_BUF];
    // Only a folder that holds the game or its uninstaller is taken for an install: the first stage
    // takes the folder of whatever copy of the setup runs it, which may be a downloads folder with
    // another "game" in it.
    if (!join_path(exe, folder, "zarnith.exe") || !join_path(uninstaller, folder, "uninstall.exe") ||
        ((!path_exists(exe) || is_dir(exe)) && (!path_exists(uninstaller) || is_dir(uninstaller))))
        return 0;

    char startmenu_link[PATH_BUF], desktop_link[PATH_BUF];
    shortcut_paths(startmenu_link, desktop_link);
    if (startmenu_link[0]) DeleteFileA(startmenu_link);
    if (desktop_link[0]) DeleteFileA(desktop_link);
    RegDeleteKeyA(HKEY_CURRENT_USER, uninstall_key);

    char path[PATH_BUF];
    // A "game" folder or one of the files that is a link to something elsewhere loses the link at
    // most, never what it points to.
    if (join_path(path, folder, "game")) {
        if (pf_is_link(path))
            pf_remove_link(path);
        else if (is_dir(path))
            delete_tree(path);
    }
    for (const char *name : files) {
        if (!join_path(path, folder, name)) continue;
        if (pf_is_link(path))
            pf_remove_link(path);
        else
            DeleteFileA(path);
    }
    RemoveDirectoryA(folder);
    return 1;
}

// The temporary copy's path ("%szarnith_uninstall.exe" over the temporary folder) and the temporary
// folder itself; 0 when there is no usable temporary folder.
static int temp_copy_path(char *tmp, char *copy) {
    DWORD n = GetTempPathA(SHORT_PATH, tmp);
    if (n == 0 || n >= SHORT_PATH) return 0;
    fmt(copy, PATH_BUF, "%s%s", tmp, temp_copy_name);
    return 1;
}

void uninstall_stage1() {
    char self[PATH_BUF], dir[PATH_BUF];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return;
    fmt(dir, sizeof dir, "%s", self);
    char *cut = strrchr(dir, '\\');
    if (cut) *cut = '\0';

    if (!quiet && MessageBoxA(nullptr, "Remove Tovek Zarnith (PC Native) and its saved games?", uninstall_caption,
                              MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;

    char tmp[SHORT_PATH], copy[PATH_BUF];
    if (!temp_copy_path(tmp, copy)) return;
    // Without a fresh copy an older zarnith_uninstall.exe left in the temporary folder would run.
    if (!same_file(self, copy) && !CopyFileA(self, copy, FALSE)) return;

    char cmd[CMD_BUF];
    fmt(cmd, sizeof cmd, "\"%s\" /uninstall2 \"%s\"%s", copy, dir, quiet ? " /quiet" : "");
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    // The second stage works from the temporary folder: a process whose current folder is the install
    // folder keeps that folder in use, and Windows would then refuse to remove it.
    if (CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, tmp, &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
}

void uninstall_stage2(const char *dir) {
    Sleep(800);
    int removed = do_uninstall(dir);
    if (!quiet) {
        if (removed) {
            MessageBoxA(nullptr, "Tovek Zarnith has been removed.", uninstall_caption, MB_OK | MB_ICONINFORMATION);
        } else {
            char text[JOIN_BUF];
            fmt(text, sizeof text, "Nothing was removed: '%s' is not a Tovek Zarnith install folder.", dir ? dir : "");
            MessageBoxA(nullptr, text, uninstall_caption, MB_OK | MB_ICONWARNING);
        }
    }
    // Only the temporary copy goes at the next restart; a setup started by hand with /uninstall2 stays.
    char self[PATH_BUF], tmp[SHORT_PATH], copy[PATH_BUF];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n > 0 && n < sizeof self && temp_copy_path(tmp, copy) && same_file(self, copy))
        MoveFileExA(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

#endif
