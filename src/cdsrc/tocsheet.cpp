// cdrdao's TOC sheets (.toc, as "cdrdao read-cd" writes and "cdrdao write" takes them): a session type
// (CD_ROM, CD_ROM_XA, CD_DA), then TRACK statements, each with its flags and the data that fills it from
// files (FILE / AUDIOFILE, DATAFILE) or as zeros (ZERO, SILENCE, PREGAP), and START where its pregap
// ends. "//" comments and CD_TEXT { ... } blocks carry nothing the setup needs. The sheet is read as
// words: quoted names, times mm:ss:ff, numbers.
#include <cstring>

#include "cdsrc/cdsrc.h"

#include "cdsrc_internal.h"

namespace {

// One word of the sheet; a quoted name without its quotes (quoted 1).
struct Word {
    const char *p;
    size_t n;
    int quoted;
};

struct Lexer {
    const char *p, *end;
    int depth;  // inside CD_TEXT braces
};

// The next word, past blanks, line ends and comments; 0 at the end of the sheet. A quote that is
// never closed ends the sheet as damaged.
int next(Lexer *x, Word *w, int *damaged) {
    for (;;) {
        while (x->p < x->end && (is_blank(*x->p) || *x->p == '\r' || *x->p == '\n')) ++x->p;
        if (x->p + 1 < x->end && x->p[0] == '/' && x->p[1] == '/') {
            while (x->p < x->end && *x->p != '\r' && *x->p != '\n') ++x->p;
            continue;
        }
        if (x->p >= x->end) return 0;
        if (*x->p == '"') {
            const char *q = x->p + 1;
            while (q < x->end && *q != '"') q += (*q == '\\' && q + 1 < x->end) ? 2 : 1;
            if (q >= x->end) {
                *damaged = 1;
                return 0;
            }
            *w = {x->p + 1, static_cast<size_t>(q - x->p - 1), 1};
            x->p = q + 1;
        } else {
            const char *q = x->p;
            while (q < x->end && !is_blank(*q) && *q != '\r' && *q != '\n' && *q != '"') ++q;
            *w = {x->p, static_cast<size_t>(q - x->p), 0};
            x->p = q;
        }
        // CD-TEXT blocks (after the session type and after a TRACK) are passed over whole.
        if (!w->quoted && w->n == 1 && (*w->p == '{' || *w->p == '}')) {
            if (*w->p == '{') ++x->depth;
            else if (x->depth > 0) --x->depth;
            continue;
        }
        if (x->depth == 0) return 1;
    }
}

int is(const Word &w, const char *kw) { return !w.quoted && ascii_equal_n(w.p, w.n, kw); }

// A length or position: mm:ss:ff in sectors (*msf 1), or a plain number (*msf 0). -1 when it is none.
long long amount(const Word &w, int *msf) {
    if (w.quoted || w.n == 0) return -1;
    if (memchr(w.p, ':', w.n)) {
        *msf = 1;
        return cue_time(w.p, w.n);
    }
    long long v = 0;
    for (size_t i = 0; i < w.n; ++i) {
        if (w.p[i] < '0' || w.p[i] > '9' || v > (1ll << 40)) return -1;
        v = v * 10 + (w.p[i] - '0');
    }
    *msf = 0;
    return v;
}

struct TrackMode {
    const char *name;
    uint32_t size, offset;  // block length, and where the 2048 user bytes begin (data tracks)
    int data;
};
const TrackMode modes[] = {{"AUDIO", 2352, 0, 0},       {"MODE1", 2048, 0, 1},          {"MODE1_RAW", 2352, 16, 1},
                           {"MODE2", 2336, 8, 1},       {"MODE2_FORM1", 2048, 0, 1},    {"MODE2_FORM2", 2324, 0, 0},
                           {"MODE2_FORM_MIX", 2336, 8, 1}, {"MODE2_RAW", 2352, 24, 1}};

const TrackMode *mode_of(const Word &w) {
    for (const auto &m : modes)
        if (is(w, m.name)) return &m;
    return nullptr;
}

// Where the sheet stands: the disc's sectors before the current track (known while every length could
// be found), and in the data track the sector where its pregap ends and the data file that holds it.
struct State {
    const FileSpace *fs;
    const char *sheet;
    uint64_t disc = 0;
    int disc_known = 1;
    uint64_t track = 0;  // sectors of the current track so far
    int track_known = 1;
    uint64_t first_pregap = 0;
    int tracks = 0;
    const TrackMode *mode = nullptr;
    uint32_t block = 0;      // bytes per sector of the current track, sub-channel data included
    int in_data = 0;         // the current track is the first data track
    long long start = -1;    // its START: the sector where index 1 begins, -1 while none was seen
    int found = 0;           // its data file, at the sector where index 1 begins
    Word file = {nullptr, 0, 0};
    uint64_t file_byte = 0;
    uint64_t file_from = 0;  // the track's sector where that span begins
};

// A span of data from a file: `byte` is where it begins in the file, `sectors` its length (-1: the rest
// of the file).
int add_file(State *st, const Word &name, uint64_t byte, long long sectors) {
    // The data track's file is the span where index 1 begins: the first, or one that begins at or before
    // a START already given (cdrdao writes the pregap and the track as two spans).
    if (st->in_data && (!st->found || (st->start >= 0 && st->track <= static_cast<uint64_t>(st->start)))) {
        st->found = 1;
        st->file = name;
        st->file_byte = byte;
        st->file_from = st->track;
    }
    if (sectors >= 0) {
        st->track += static_cast<uint64_t>(sectors);
    } else {
        uint64_t disc = 0;
        if (!st->track_known || !add_file_sectors(st->fs, st->sheet, name.p, name.n, byte, 0, st->block, &disc)) {
            st->track_known = 0;
        } else {
            st->track += disc;
        }
    }
    return 1;
}

void end_track(State *st) {
    if (st->tracks == 1) st->first_pregap = st->start > 0 ? static_cast<uint64_t>(st->start) : 0;
    if (!st->track_known) st->disc_known = 0;
    st->disc += st->track;
    st->track = 0, st->track_known = 1, st->start = -1;
}

}  // namespace

int toc_parse(const char *toc_path, const uint8_t *data, size_t size, DiscTrack *t, const char **why) {
    return toc_parse_in(nullptr, toc_path, data, size, t, why);
}

int toc_parse_in(const FileSpace *fs, const char *toc_path, const uint8_t *data, size_t size, DiscTrack *t,
                 const char **why) {
    Lexer x = {reinterpret_cast<const char *>(data), reinterpret_cast<const char *>(data) + size, 0};
    State st;
    st.fs = fs;
    st.sheet = toc_path;
    Word w;
    int damaged = 0, seen_header = 0, have = next(&x, &w, &damaged);
    if (have && (is(w, "CD_ROM") || is(w, "CD_ROM_XA") || is(w, "CD_DA"))) {
        seen_header = 1;
        have = next(&x, &w, &damaged);
    }
    // Without its session type a sheet must at least begin its tracks at once (CATALOG may precede).
    if (have && is(w, "CATALOG")) {
        next(&x, &w, &damaged);
        have = next(&x, &w, &damaged);
    }
    if (!seen_header && !(have && is(w, "TRACK"))) {
        *why = DAMAGED;
        return 0;
    }
    while (have && !damaged) {
        Word a;
        int msf = 0;
        if (is(w, "TRACK")) {
            if (st.in_data) break;  // the data track ended
            if (st.tracks) end_track(&st);
            ++st.tracks;
            if (!next(&x, &a, &damaged) || !(st.mode = mode_of(a))) {
                damaged = 1;
                break;
            }
            st.block = st.mode->size;
            st.in_data = st.mode->data;
            have = next(&x, &w, &damaged);
            if (have && (is(w, "RW") || is(w, "RW_RAW"))) {
                st.block += 96;
                have = next(&x, &w, &damaged);
            }
            continue;
        }
        if (!st.tracks) {
            // Before the first track only the session's CD-TEXT (passed over) and its flags may stand.
            have = next(&x, &w, &damaged);
            continue;
        }
        if (is(w, "FILE") || is(w, "AUDIOFILE") || is(w, "DATAFILE")) {
            int datafile = is(w, "DATAFILE");
            Word name;
            if (!next(&x, &name, &damaged) || !name.quoted) {
                damaged = 1;
                break;
            }
            uint64_t byte = 0;
            long long length = -1;
            have = next(&x, &w, &damaged);
            if (have && !w.quoted && w.n > 1 && w.p[0] == '#') {
                Word num = {w.p + 1, w.n - 1, 0};
                long long off = amount(num, &msf);
                if (off < 0 || msf) {
                    damaged = 1;
                    break;
                }
                byte = static_cast<uint64_t>(off);
                have = next(&x, &w, &damaged);
            }
            if (!datafile) {
                long long start = have ? amount(w, &msf) : -1;  // samples of 4 bytes, or mm:ss:ff
                if (start < 0) {
                    damaged = 1;
                    break;
                }
                byte += msf ? static_cast<uint64_t>(start) * st.block : static_cast<uint64_t>(start) * 4;
                have = next(&x, &w, &damaged);
            }
            long long len = have ? amount(w, &msf) : -1;
            if (len >= 0) {
                // A number is samples (FILE) or bytes (DATAFILE); a partial sector still takes one.
                uint64_t bytes = datafile ? static_cast<uint64_t>(len) : static_cast<uint64_t>(len) * 4;
                length = msf ? len : static_cast<long long>((bytes + st.block - 1) / st.block);
                if (length == 0) length = -1;  // 0 takes the rest of the file, as no length does
                have = next(&x, &w, &damaged);
            }
            add_file(&st, name, byte, length);
            continue;
        }
        if (is(w, "ZERO") || is(w, "SILENCE") || is(w, "PREGAP")) {
            int pregap = is(w, "PREGAP"), silence = is(w, "SILENCE");
            have = next(&x, &a, &damaged);
            while (have && (mode_of(a) || is(a, "RW") || is(a, "RW_RAW"))) have = next(&x, &a, &damaged);
            long long len = have ? amount(a, &msf) : -1;
            if (len < 0) {
                damaged = 1;
                break;
            }
            if (!msf) len = silence ? (len + 587) / 588 : (len + st.block - 1) / st.block;
            st.track += static_cast<uint64_t>(len);
            if (pregap) st.start = static_cast<long long>(st.track);
            have = next(&x, &w, &damaged);
            continue;
        }
        if (is(w, "START")) {
            have = next(&x, &w, &damaged);
            int given = have && (amount(w, &msf) >= 0) && msf;
            st.start = given ? amount(w, &msf) : static_cast<long long>(st.track);
            if (given) have = next(&x, &w, &damaged);
            continue;
        }
        // Flags (COPY, NO, PRE_EMPHASIS, ...), ISRC and its text, INDEX and its time: nothing to read.
        have = next(&x, &w, &damaged);
    }
    if (damaged) {
        *why = DAMAGED;
        return 0;
    }
    if (!st.in_data || !st.found) {
        *why = NO_DATA_TRACK;
        return 0;
    }
    // Sector 0 of the volume is where index 1 begins; a pregap of zeros before the file is on the disc
    // but in no file.
    uint64_t index1 = st.start > 0 ? static_cast<uint64_t>(st.start) : 0;
    if (index1 < st.file_from) index1 = st.file_from;
    set_layout(t, st.file_byte + (index1 - st.file_from) * st.block, st.block, st.mode->offset);
    // The disc's addresses begin where the first track's pregap ends.
    uint64_t lba = st.disc + index1, first = st.tracks == 1 ? index1 : st.first_pregap;
    set_disc_lba(t, st.disc_known && lba >= first, lba >= first ? lba - first : 0);
    return name_data_file(toc_path, st.file.p, st.file.n, t, why);
}
