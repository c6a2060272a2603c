// Byte sources (module cdsrc): the bytes of an image that is no plain file, by their position, as a file
// would give them: a span of a file read in place (a stored archive entry), or a decoder's stream behind a
// window of its latest bytes (a compressed entry, an ECM file). A decoder runs only forwards: a read behind
// the window starts it again from the beginning, which the copy avoids by reading in disc order.
#include <cstdlib>
#include <cstring>

#include "cdsrc_internal.h"

const char *const ARCHIVE_DAMAGED = N_("the archive is damaged");
const char *const ARCHIVE_CUT = N_("the archive is cut short");
const char *const ARCHIVE_CRC = N_("the archive is damaged: the image's CRC does not match");

namespace {

constexpr uint32_t CHECK_CHUNK = 1 << 20;

// ---------------------------------------------------------------------------------------------------
// A span of a file, read in place

struct Span {
    ByteSource b;
    pf_file f;
    uint64_t at;
    int owns;       // the span closes the file
    int check;      // finish compares the span's CRC-32 with crc
    uint32_t crc;
};

int span_read(ByteSource *b, uint64_t pos, void *dst, uint32_t n, uint32_t *got) {
    Span *s = reinterpret_cast<Span *>(b);
    *got = 0;
    if (pos >= b->size) return 1;
    if (b->size - pos < n) n = static_cast<uint32_t>(b->size - pos);
    if (!pf_read_at(s->f, s->at + pos, dst, n, got)) return 0;
    // The archive is shorter now than its directory said when it was opened.
    if (*got < n) b->why = ARCHIVE_CUT;
    return *got == n;
}

int span_finish(ByteSource *b) {
    Span *s = reinterpret_cast<Span *>(b);
    if (!s->check) return 1;
    uint8_t *buf = static_cast<uint8_t *>(malloc(CHECK_CHUNK));
    if (!buf) return 0;
    uint32_t crc = 0;
    int ok = 1;
    for (uint64_t pos = 0; ok && pos < b->size;) {
        uint32_t n = b->size - pos < CHECK_CHUNK ? static_cast<uint32_t>(b->size - pos) : CHECK_CHUNK, got = 0;
        ok = span_read(b, pos, buf, n, &got);
        crc = crc32_add(crc, buf, got);
        pos += got;
    }
    free(buf);
    if (ok && crc != s->crc) b->why = ARCHIVE_CRC;
    return ok && crc == s->crc;
}

void span_close(ByteSource *b) {
    Span *s = reinterpret_cast<Span *>(b);
    if (s->owns) pf_close(s->f);
    free(s);
}

const char *own_failure(ByteSource *b) { return b->why; }

const ByteSourceOps span_ops = {span_read, span_finish, own_failure, span_close};

// ---------------------------------------------------------------------------------------------------
// A decoder's stream behind a window

// The window keeps the latest bytes decoded: reads a little behind the decoder (a folder's records read
// again, the end of a file and the start of the next in one sector) cost nothing.
constexpr size_t WINDOW = 8u << 20;
constexpr size_t STEP = 256u << 10;  // bytes decoded at a time

struct Stream {
    ByteSource b;
    StreamDecoder d;
    uint8_t *ring;      // WINDOW bytes; stream byte p lies at ring[p % WINDOW] while start <= p < end
    uint64_t start, end;
    int at_end;         // the decoder has given its last byte
    const char *check;  // the stream's own check failed at its end: what finish reports
    uint64_t decoded;   // bytes decoded in all, restarts included
    uint64_t budget;    // what may be decoded before the source gives up
    PfLock lock;
    // Decoding ahead on a thread of its own while the copy writes (bytes_ahead). The reader's floor only
    // rises while it runs, and it never decodes over a byte at or above the floor; a read below the floor
    // stops it first.
    PfThread *ahead;
    PfCond more, room;  // bytes came (for the reader); the floor rose or the thread is to stop (for it)
    uint64_t floor;
    int stopping;
};

// Room for the next step at the ring's end: contiguous, and clear of the bytes at or above the floor while
// decoding runs ahead.
size_t step_room(const Stream *s) {
    size_t room = WINDOW - static_cast<size_t>(s->end % WINDOW);
    if (room > STEP) room = STEP;
    if (s->ahead && s->end - s->floor + room > WINDOW) room = static_cast<size_t>(WINDOW - (s->end - s->floor));
    return room;
}

// Decodes up to room bytes into the ring at its end; the results go to commit. 0 on a fault.
int decode_into(Stream *s, size_t room, size_t *got, const char **why) {
    *got = 0;
    if (s->decoded > s->budget) {
        *why = N_("the image would have to be decoded again and again (its files lie out of order): extract "
                  "it and install from the image");
        return 0;
    }
    return s->d.next(s->d.ctx, s->ring + s->end % WINDOW, room, got, why);
}

// A check that fails at the end fails the image, but not the reads of the bytes that came before it: the
// copy reads on to its end whether or not decoding ahead got there first, and finish says what is wrong.
void commit(Stream *s, int ok, size_t got, const char *why) {
    if (!ok) {
        s->b.why = why ? why : ARCHIVE_DAMAGED;
    } else if (got == 0) {
        s->at_end = 1;
        if (why) s->check = why;
        // The decoder ended before the size its container gives.
        if (s->end < s->b.size) s->b.why = ARCHIVE_CUT;
    } else {
        s->end += got;
        s->decoded += got;
        if (s->end - s->start > WINDOW) s->start = s->end - WINDOW;
    }
}

// One step on the reader's thread. 0 on a fault (b.why set).
int decode_step(Stream *s) {
    size_t got = 0;
    const char *why = nullptr;
    int ok = decode_into(s, step_room(s), &got, &why);
    commit(s, ok, got, why);
    return !s->b.why;
}

void ahead_main(void *arg) {
    Stream *s = static_cast<Stream *>(arg);
    pf_lock(&s->lock);
    while (!s->stopping) {
        size_t room = s->b.why || s->at_end ? 0 : step_room(s);
        if (room == 0) {
            pf_cond_wait(&s->room, &s->lock);
            continue;
        }
        // The step writes where no reader reads: below the floor, a whole window back.
        pf_unlock(&s->lock);
        size_t got = 0;
        const char *why = nullptr;
        int ok = decode_into(s, room, &got, &why);
        pf_lock(&s->lock);
        commit(s, ok, got, why);
        pf_cond_wake(&s->more);
    }
    pf_unlock(&s->lock);
}

// Stops decoding ahead (with the lock held, which it gives up while the thread ends).
void stop_ahead(Stream *s) {
    if (!s->ahead) return;
    s->stopping = 1;
    pf_cond_wake(&s->room);
    PfThread *t = s->ahead;
    pf_unlock(&s->lock);
    pf_thread_join(t);
    pf_lock(&s->lock);
    s->ahead = nullptr;
    s->stopping = 0;
}

int stream_restart(Stream *s) {
    const char *why = nullptr;
    if (!s->d.restart(s->d.ctx, &why)) {
        s->b.why = why ? why : ARCHIVE_DAMAGED;
        return 0;
    }
    s->start = s->end = 0;
    s->at_end = 0;
    return 1;
}

int stream_read_locked(Stream *s, uint64_t pos, uint8_t *dst, uint32_t n, uint32_t *got) {
    *got = 0;
    if (pos >= s->b.size) return !s->b.why;
    if (s->b.size - pos < n) n = static_cast<uint32_t>(s->b.size - pos);
    if (s->ahead && pos >= s->floor) {
        s->floor = pos;
        pf_cond_wake(&s->room);
        while (s->end < pos + n && !s->b.why && !s->at_end) pf_cond_wait(&s->more, &s->lock);
    } else {
        // Behind the floor: on this thread, from the window or from the start again, then ahead once more.
        PfThread *was = s->ahead;
        stop_ahead(s);
        if (!s->b.why && pos < s->start) stream_restart(s);
        while (!s->b.why && !s->at_end && s->end < pos + n) decode_step(s);
        if (was) {
            s->floor = pos;
            s->ahead = pf_thread_start(ahead_main, s);
        }
    }
    if (s->b.why || s->end < pos + n) return 0;  // a fault, which every later read fails with too
    for (uint32_t done = 0; done < n;) {
        size_t at = static_cast<size_t>((pos + done) % WINDOW);
        size_t k = WINDOW - at < n - done ? WINDOW - at : n - done;
        memcpy(dst + done, s->ring + at, k);
        done += static_cast<uint32_t>(k);
    }
    *got = n;
    return 1;
}

int stream_read(ByteSource *b, uint64_t pos, void *dst, uint32_t n, uint32_t *got) {
    Stream *s = reinterpret_cast<Stream *>(b);
    pf_lock(&s->lock);
    int ok = stream_read_locked(s, pos, static_cast<uint8_t *>(dst), n, got);
    pf_unlock(&s->lock);
    return ok;
}

// Decodes what the copy did not need, to its end, where the decoder checks the whole stream.
int stream_finish(ByteSource *b) {
    Stream *s = reinterpret_cast<Stream *>(b);
    pf_lock(&s->lock);
    stop_ahead(s);
    while (!s->b.why && !s->at_end) decode_step(s);
    if (!s->b.why && s->check) s->b.why = s->check;
    // A stream longer than its container says is as damaged as a shorter one.
    if (!s->b.why && s->end > s->b.size) s->b.why = ARCHIVE_DAMAGED;
    int ok = !s->b.why;
    pf_unlock(&s->lock);
    return ok;
}

void stream_close(ByteSource *b) {
    Stream *s = reinterpret_cast<Stream *>(b);
    pf_lock(&s->lock);
    stop_ahead(s);
    pf_unlock(&s->lock);
    if (s->d.close) s->d.close(s->d.ctx);
    free(s->ring);
    free(s);
}

const ByteSourceOps stream_ops = {stream_read, stream_finish, own_failure, stream_close};

}  // namespace

ByteSource *bytes_span(pf_file f, uint64_t at, uint64_t size, int owns) {
    Span *s = static_cast<Span *>(calloc(1, sizeof(Span)));
    if (!s) return nullptr;
    s->b = ByteSource{&span_ops, size, 0, nullptr};
    s->f = f;
    s->at = at;
    s->owns = owns;
    return &s->b;
}

void bytes_span_check(ByteSource *b, uint32_t crc) {
    Span *s = reinterpret_cast<Span *>(b);
    s->check = 1;
    s->crc = crc;
}

ByteSource *bytes_stream(const StreamDecoder *d, uint64_t size) {
    Stream *s = static_cast<Stream *>(calloc(1, sizeof(Stream)));
    uint8_t *ring = static_cast<uint8_t *>(malloc(WINDOW));
    if (!s || !ring) {
        free(s);
        free(ring);
        if (d->close) d->close(d->ctx);
        return nullptr;
    }
    s->b = ByteSource{&stream_ops, size, 1, nullptr};
    s->d = *d;
    s->ring = ring;
    // A copy in disc order decodes the stream about once; directory reads out of order cost a few
    // restarts more. Beyond that the image is laid out against its decoder.
    s->budget = 8 * size + (512u << 20);
    return &s->b;
}

void bytes_ahead(ByteSource *b, int on) {
    if (!b || b->ops != &stream_ops) return;
    Stream *s = reinterpret_cast<Stream *>(b);
    pf_lock(&s->lock);
    if (!on) {
        stop_ahead(s);
    } else if (!s->ahead) {
        // Without a thread the reads decode as before, on the reader's thread.
        s->floor = s->start;
        s->ahead = pf_thread_start(ahead_main, s);
    }
    pf_unlock(&s->lock);
}

void bytes_close(ByteSource *b) {
    if (b) b->ops->close(b);
}
