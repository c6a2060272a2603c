// Reading a worn disc again (module util): the retries of one failing spot, after GNU ddrescue's passes
// (go on with what reads, split what does not down to one sector, try each piece a bounded number of
// times), and bounded in time, since a drive may spend seconds on every read of a bad sector.
#include "util/util.h"

namespace {

// The Win32 codes of the errors a disc in a drive gives.
constexpr unsigned long NOT_READY = 21, CRC = 23, SEEK = 25, SECTOR_NOT_FOUND = 27, READ_FAULT = 30,
                        GEN_FAILURE = 31, WRONG_DISK = 34, HANDLE_EOF = 38, DEV_NOT_EXIST = 55, SEM_TIMEOUT = 121,
                        HARDWARE_ERROR = 483, FILE_INVALID = 1006, MEDIA_CHANGED = 1110, NO_MEDIA = 1112,
                        IO_DEVICE = 1117, NOT_CONNECTED = 1167;

constexpr unsigned WHOLE_RETRIES = 2;     // the whole read again
constexpr unsigned WHOLE_PAUSE_MS = 500;  // before the first of them, twice that before the second: a
                                          // drive that reported "not ready" may be spinning up again
constexpr unsigned PIECE_TRIES = 1;       // each 64 KiB piece
constexpr unsigned UNIT_TRIES = 4;        // each sector
constexpr unsigned PIECE_PAUSE_MS = 100;  // between two tries of one piece

struct Retry {
    ReadAtFn read;
    void *ctx;
    const Clock *clock;
    uint64_t deadline;
    Reread r;
    int over;  // no more tries: out of time, a final error, or a stop
};

// One more try of n bytes at `at`, after a pause when given. 1 when it read them.
int attempt(Retry *t, uint64_t at, uint8_t *dst, uint32_t n, unsigned pause) {
    if (pause) t->clock->pause_ms(t->clock->ctx, pause);
    if (copy_stopping() || t->clock->now_ms(t->clock->ctx) >= t->deadline) {
        t->over = 1;
        return 0;
    }
    unsigned long code = 0;
    ++t->r.tries;
    int got = t->read(t->ctx, at, dst, n, &code);
    if (got == READ_OK) return 1;
    if (got == READ_FINAL || !disc_read_error(code)) t->over = 1;
    return 0;
}

// Reads the n bytes at `at` in pieces of sizes[level], each a few times; a piece that does not read goes
// down a level, and one that does not read at the last level is where the spot fails (t->r.bad).
int in_pieces(Retry *t, const uint32_t *sizes, int levels, int level, uint64_t at, uint8_t *dst, uint32_t n) {
    const int last = level == levels - 1;
    const uint32_t size = sizes[level];
    const unsigned times = size == REREAD_UNIT ? UNIT_TRIES : PIECE_TRIES;
    for (uint32_t off = 0; off < n; off += size) {
        uint32_t len = n - off < size ? n - off : size;
        int read = 0;
        for (unsigned k = 0; !read && !t->over && k < times; ++k)
            read = attempt(t, at + off, dst + off, len, k ? PIECE_PAUSE_MS : 0);
        if (read) {
            if (size < t->r.piece) t->r.piece = size;
            continue;
        }
        if (!t->over && !last) {
            if (in_pieces(t, sizes, levels, level + 1, at + off, dst + off, len)) continue;
            return 0;
        }
        t->r.bad = at + off;
        return 0;
    }
    return 1;
}

}  // namespace

int disc_read_error(unsigned long code) {
    switch (code) {
    case NOT_READY: case CRC: case SEEK: case SECTOR_NOT_FOUND: case READ_FAULT: case GEN_FAILURE:
    case WRONG_DISK: case HANDLE_EOF: case DEV_NOT_EXIST: case SEM_TIMEOUT: case HARDWARE_ERROR:
    case FILE_INVALID: case MEDIA_CHANGED: case NO_MEDIA: case IO_DEVICE: case NOT_CONNECTED: return 1;
    default: return 0;
    }
}

int disc_missing_error(unsigned long code) {
    switch (code) {
    case NOT_READY: case WRONG_DISK: case DEV_NOT_EXIST: case FILE_INVALID: case MEDIA_CHANGED: case NO_MEDIA:
    case NOT_CONNECTED: return 1;
    default: return 0;
    }
}

Reread reread(ReadAtFn read, void *ctx, const Clock *clock, uint64_t at, uint8_t *dst, uint32_t n,
              unsigned long code) {
    Retry t = {read, ctx, clock, clock->now_ms(clock->ctx) + REREAD_BUDGET_MS, Reread{0, 1, n, at, code}, 0};
    if (!disc_read_error(code)) return t.r;
    for (unsigned k = 1; !t.over && k <= WHOLE_RETRIES; ++k) {
        if (attempt(&t, at, dst, n, WHOLE_PAUSE_MS * k)) {
            t.r.ok = 1;
            return t.r;
        }
    }
    uint32_t sizes[2];
    int levels = 0;
    if (n > REREAD_PIECE) sizes[levels++] = REREAD_PIECE;
    sizes[levels++] = REREAD_UNIT;
    t.r.ok = !t.over && in_pieces(&t, sizes, levels, 0, at, dst, n);
    return t.r;
}
