// The CD copy (module util): each file read through the source's reader and written to its destination;
// a read that fails tried again (reread.cpp) and, when that does not mend it, the caller asked what to do
// with every other file held meanwhile. On one worker (a CD drive, which must not seek between files read
// side by side) a thread of its own reads ahead while the calling thread creates and writes the files:
// under Wine, and on Windows with its virus scanners, creating a file costs about as much as reading a
// megabyte from a drive, and the drive would stand still meanwhile.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "util/setup_log.h"
#include "util/util.h"

namespace {

std::atomic<int> holds;  // questions open: the copy waits
PfLock asking;           // one question at a time

constexpr size_t AHEAD_BYTES = 8 * MIB;  // what the reading thread may be ahead of the writing

struct Copy {
    const CopyJobs *jobs;
    const CopyReader *reader;
    const CopyHooks *hooks;
    size_t root_len;
    std::atomic<int> failed{0};  // a file failed or was cancelled: the copy ends
};

// The file's path below the destination (a check's `to` is that path already).
const char *rel_of(const Copy *c, const CopyJob *job) {
    return c->root_len && strlen(job->to) > c->root_len ? job->to + c->root_len + 1 : job->to;
}

// What one read of the reader needs for a retry (ReadAtFn).
struct Bound {
    const CopyReader *reader;
    void *file;
    const CopyJob *job;
    uint8_t *scratch;
};
int read_bound(void *ctx, uint64_t at, uint8_t *dst, uint32_t n, unsigned long *code) {
    Bound *b = static_cast<Bound *>(ctx);
    return b->reader->read(b->reader->ctx, b->file, b->job, at, dst, n, b->scratch, code);
}

// Asks the hooks what to do about a file that does not read, with the copy held; COPY_CANCEL without them.
int ask(Copy *c, const CopyItem *f, uint64_t at, unsigned long code) {
    if (!c->hooks || !c->hooks->trouble) return COPY_CANCEL;
    pf_lock(&asking);
    int answer = COPY_CANCEL;
    if (!copy_stopping() && !c->failed.load()) {
        copy_hold(1);
        CopyTrouble t = {f, at, code};
        answer = c->hooks->trouble(c->hooks->ctx, &t);
        copy_hold(0);
    }
    pf_unlock(&asking);
    return copy_stopping() ? COPY_CANCEL : answer;
}

// A source opened ahead of its reading (or tried: none and the error).
struct Opened {
    void *file;
    unsigned long code;
};

// Opens the file's source (or takes the one opened ahead, when given), asking when it does not open for a
// disc's reason. The handle, or none with *answer COPY_SKIP or COPY_CANCEL.
void *open_source(Copy *c, const CopyItem *f, int *answer, const Opened *ahead = nullptr) {
    const CopyReader *r = c->reader;
    for (;;) {
        unsigned long code = 0;
        if (!copy_wait()) {
            if (ahead && ahead->file) r->close(r->ctx, ahead->file);
            *answer = COPY_CANCEL;
            return nullptr;
        }
        void *file = ahead ? ahead->file : r->open(r->ctx, f->job, &code);
        if (ahead) code = ahead->code;
        ahead = nullptr;
        if (file) return file;
        r->log_failure(r->ctx, f->job, 1, 0, code);
        *answer = disc_read_error(code) ? ask(c, f, 0, code) : COPY_CANCEL;
        if (*answer != COPY_RETRY) return nullptr;
    }
}

// Reads n bytes at `at` of the file: retried when it fails, then asked about. COPY_DONE with the bytes in
// dst; COPY_SKIP or COPY_CANCEL otherwise. A retry the player asks for opens the source afresh (a disc
// taken out and put back leaves the old handle useless).
int read_chunk(Copy *c, const CopyItem *f, void **file, uint64_t at, uint8_t *dst, uint32_t n, uint8_t *scratch) {
    const CopyReader *r = c->reader;
    for (;;) {
        if (!copy_wait()) return COPY_CANCEL;
        unsigned long code = 0;
        int got = r->read(r->ctx, *file, f->job, at, dst, n, scratch, &code);
        if (got == READ_OK) return COPY_DONE;
        uint64_t bad = at;
        if (got == READ_AGAIN) {
            Bound b = {r, *file, f->job, scratch};
            Reread again = reread(read_bound, &b, r->clock ? r->clock : real_clock(), at, dst, n, code);
            if (again.ok) {
                char cause[LOG_BUF / 2];
                describe_error(code, cause, sizeof cause);
                if (again.piece < n)
                    setup_log("read again: %s at byte %llu, in pieces of %lu bytes on try %lu (it had failed with %s)",
                              f->rel, static_cast<unsigned long long>(at), static_cast<unsigned long>(again.piece),
                              static_cast<unsigned long>(again.tries), cause);
                else
                    setup_log("read again: %s at byte %llu, on try %lu (it had failed with %s)", f->rel,
                              static_cast<unsigned long long>(at), static_cast<unsigned long>(again.tries), cause);
                return COPY_DONE;
            }
            bad = again.bad;
        }
        if (copy_stopping()) return COPY_CANCEL;
        r->log_failure(r->ctx, f->job, 0, bad, code);
        int answer = got == READ_AGAIN && disc_read_error(code) ? ask(c, f, bad, code) : COPY_CANCEL;
        if (answer != COPY_RETRY) return answer;
        r->close(r->ctx, *file);
        *file = open_source(c, f, &answer);
        if (!*file) return answer;
    }
}

// The destination side of one file.
struct Out {
    pf_file f;
    int existed;
    uint64_t told;  // bytes of the file already added to the progress record
    uint32_t crc;   // the sum of its first `summed` bytes
    uint64_t summed;
};

// Opens the destination (a check has none) and starts the file's sum afresh.
int create_out(const Copy *c, const CopyJob *job, Out *o) {
    if (job->sum) *job->sum = FileSum{0, 0};
    o->crc = 0;
    o->summed = 0;
    if (c->reader->check) return 1;
    o->f = pf_overwrite(job->to, &o->existed);
    if (o->f == PF_INVALID) setup_log("cannot write %s", job->to);
    return o->f != PF_INVALID;
}

int write_out(Copy *c, const CopyItem *f, Out *o, uint64_t at, const uint8_t *data, uint32_t n, Progress *p) {
    uint32_t put = n;
    int called = c->reader->check || pf_write(o->f, data, n, &put);
    if (!called || put != n) {
        log_failure("write failed: %s (%s)", f->job->to, write_error(called));
        return 0;
    }
    // Summed while the chunk is still in the cache; a copy from the start again starts the sum again.
    if (f->job->sum) {
        if (at == 0) o->crc = 0, o->summed = 0;
        if (at == o->summed) {
            o->crc = crc32_add(o->crc, data, n);
            o->summed = at + n;
        }
    }
    if (c->hooks && c->hooks->wrote) c->hooks->wrote(c->hooks->ctx, f, at, data, n);
    // A file copied again from its start is counted once.
    if (p && at + n > o->told) {
        progress_add(p, at + n - o->told);
        o->told = at + n;
    }
    return 1;
}

// Ends the file: cut to its length (over an earlier, longer file), closed, and asked about by the hooks.
// COPY_DONE, COPY_RETRY (copy it again), COPY_SKIP or COPY_CANCEL.
int finish_out(Copy *c, const CopyItem *f, Out *o) {
    if (f->job->sum && o->summed == f->job->size) *f->job->sum = FileSum{o->crc, 1};
    if (c->reader->check) return c->hooks && c->hooks->whole ? c->hooks->whole(c->hooks->ctx, f) : COPY_DONE;
    int ok = !o->existed || pf_set_end(o->f);
    if (!ok) log_failure("write failed: %s (%s)", f->job->to, pf_last_error());
    pf_close(o->f);
    o->f = PF_INVALID;
    if (!ok) return COPY_CANCEL;
    if (c->reader->clear_attributes) {
        uint32_t a = pf_attributes(f->job->to);
        if (a != PF_ATTR_INVALID && (a & (PF_ATTR_READONLY | PF_ATTR_HIDDEN | PF_ATTR_SYSTEM))) pf_set_normal(f->job->to);
    }
    return c->hooks && c->hooks->whole ? c->hooks->whole(c->hooks->ctx, f) : COPY_DONE;
}

// A skipped file: what was written of it goes, and its bytes count as done.
void drop_out(const Copy *c, const CopyItem *f, Out *o, Progress *p) {
    pf_close(o->f);
    o->f = PF_INVALID;
    if (f->job->sum) *f->job->sum = FileSum{0, 0};
    if (!c->reader->check) pf_delete(f->job->to);
    if (p && f->job->size > o->told) progress_add(p, f->job->size - o->told);
    o->told = f->job->size;
}

// Copies one file, reading and writing in turn through the worker's buffer; `told` of its bytes are in p
// already. 1 when it was copied or skipped, 0 when the copy must end.
int copy_one(Copy *c, const CopyJob *job, Progress *p, uint8_t *buffer, uint64_t told) {
    const CopyReader *r = c->reader;
    CopyItem f = {job, rel_of(c, job)};
    Out o = {PF_INVALID, 0, told, 0, 0};
    for (;;) {
        int answer = COPY_DONE;
        void *file = open_source(c, &f, &answer);
        if (!file || !create_out(c, job, &o)) {
            if (file) r->close(r->ctx, file);
            if (answer == COPY_SKIP) drop_out(c, &f, &o, p);
            return answer == COPY_SKIP;
        }
        for (uint64_t at = 0; answer == COPY_DONE && at < job->size;) {
            uint32_t n = job->size - at < r->chunk ? static_cast<uint32_t>(job->size - at) : r->chunk;
            answer = read_chunk(c, &f, &file, at, buffer, n, buffer + r->chunk);
            if (answer == COPY_DONE && !write_out(c, &f, &o, at, buffer, n, p)) answer = COPY_CANCEL;
            at += n;
        }
        if (file) r->close(r->ctx, file);
        if (answer == COPY_DONE) answer = finish_out(c, &f, &o);
        if (answer == COPY_DONE) return 1;
        if (answer == COPY_SKIP) {
            drop_out(c, &f, &o, p);
            return 1;
        }
        if (answer == COPY_CANCEL) {
            pf_close(o.f);
            return 0;
        }
        pf_close(o.f);  // COPY_RETRY of a whole file: again from its start
    }
}

int copy_one_job(void *ctx, const CopyJob *job, Progress *p, uint8_t *buffer) {
    Copy *c = static_cast<Copy *>(ctx);
    if (copy_one(c, job, p, buffer, 0)) return 1;
    c->failed.store(1);
    return 0;
}

// ---------------------------------------------------------------------------------------------------
// One reader ahead of one writer

// The files are opened a few ahead of their reading, and closed by the writer after it: under Wine opening
// and closing a file cost a millisecond or so each, which the drive would otherwise spend idle.
constexpr size_t OPEN_AHEAD = 16;

enum { SLOT_DATA, SLOT_END, SLOT_SKIP, SLOT_FAILED };
struct Slot {
    size_t job;
    uint64_t at;
    uint32_t n;
    int kind;
    void *source;  // at a file's end: its source, for the writer to close
    uint8_t *data;
};

struct Ahead {
    Copy *copy;
    Slot *slots;
    size_t count;                 // slots in the ring
    std::atomic<size_t> filled;   // slots the reader has filled (a running count)
    std::atomic<size_t> emptied;  // slots the writer has emptied
    std::atomic<int> writer_gone{0};
    std::atomic<int> reader_gone{0};
    uint8_t *scratch;
    Opened opened[OPEN_AHEAD];
    std::atomic<size_t> opens{0};  // files the opener has opened (or tried to)
    std::atomic<size_t> taken{0};  // of them, those the reader has taken
};

// The opening thread: the sources in list order, at most OPEN_AHEAD before the reader.
void open_ahead(void *arg) {
    Ahead *a = static_cast<Ahead *>(arg);
    const CopyReader *r = a->copy->reader;
    for (size_t i = 0; i < jobs_count(a->copy->jobs); ++i) {
        while (i - a->taken.load() >= OPEN_AHEAD) {
            if (a->reader_gone.load()) return;
            pf_sleep_ms(1);
        }
        if (a->reader_gone.load()) return;
        CopyJob job = jobs_at(a->copy->jobs, i);
        Opened &o = a->opened[i % OPEN_AHEAD];
        o.code = 0;
        o.file = r->open(r->ctx, &job, &o.code);
        a->opens.fetch_add(1);
    }
}

// The source of file i as the opener left it; false when the copy ends meanwhile.
bool take_opened(Ahead *a, size_t i, Opened *o) {
    while (a->opens.load() <= i) {
        if (a->writer_gone.load() || copy_stopping()) return false;
        pf_sleep_ms(1);
    }
    *o = a->opened[i % OPEN_AHEAD];
    a->taken.fetch_add(1);
    return true;
}

// The next slot to fill, once the writer has emptied it; none when the copy ends meanwhile.
Slot *next_free(Ahead *a) {
    size_t i = a->filled.load();
    while (i - a->emptied.load() >= a->count) {
        if (a->writer_gone.load() || copy_stopping()) return nullptr;
        pf_sleep_ms(1);
    }
    return &a->slots[i % a->count];
}

void publish(Ahead *a, Slot *s, size_t job, uint64_t at, uint32_t n, int kind, void *source = nullptr) {
    s->job = job;
    s->at = at;
    s->n = n;
    s->kind = kind;
    s->source = source;
    a->filled.fetch_add(1);
}

// The reading thread: every file in list order into the ring, a marker after each.
void read_ahead(void *arg) {
    Ahead *a = static_cast<Ahead *>(arg);
    Copy *c = a->copy;
    const CopyReader *r = c->reader;
    int going = 1;
    for (size_t i = 0; going && i < jobs_count(c->jobs); ++i) {
        CopyJob job = jobs_at(c->jobs, i);
        CopyItem f = {&job, rel_of(c, &job)};
        int answer = COPY_CANCEL;
        Opened opened;
        void *file = take_opened(a, i, &opened) ? open_source(c, &f, &answer, &opened) : nullptr;
        if (file) answer = COPY_DONE;
        for (uint64_t at = 0; file && answer == COPY_DONE && at < job.size;) {
            Slot *s = next_free(a);
            if (!s) {
                answer = COPY_CANCEL;
                break;
            }
            uint32_t n = job.size - at < r->chunk ? static_cast<uint32_t>(job.size - at) : r->chunk;
            answer = read_chunk(c, &f, &file, at, s->data, n, a->scratch);
            if (answer == COPY_DONE) publish(a, s, i, at, n, SLOT_DATA);
            at += n;
        }
        Slot *s = next_free(a);
        if (!s) {
            if (file) r->close(r->ctx, file);
            break;
        }
        going = answer == COPY_DONE || answer == COPY_SKIP;
        publish(a, s, i, 0, 0, answer == COPY_DONE ? SLOT_END : answer == COPY_SKIP ? SLOT_SKIP : SLOT_FAILED, file);
    }
    a->reader_gone.store(1);
}

// The writing side, on the calling thread: the files as the ring brings them. 1/0 as copy_files.
int write_behind(Ahead *a, Progress *p, uint8_t *buffer) {
    Copy *c = a->copy;
    Out o = {PF_INVALID, 0, 0, 0, 0};
    size_t current = SIZE_MAX;
    CopyJob job = {};
    CopyItem f = {};
    int ok = 1;
    for (size_t done = 0; ok && done < jobs_count(c->jobs);) {
        if (a->emptied.load() == a->filled.load()) {
            // Nothing read yet: the drive is slower than the disk, or a question holds the copy.
            if (!copy_wait()) ok = 0;
            pf_sleep_ms(1);
            continue;
        }
        Slot *s = &a->slots[a->emptied.load() % a->count];
        if (s->source) c->reader->close(c->reader->ctx, s->source);
        if (s->job != current) {
            current = s->job;
            job = jobs_at(c->jobs, current);
            f = CopyItem{&job, rel_of(c, &job)};
            o = Out{PF_INVALID, 0, 0, 0, 0};
            if (s->kind != SLOT_SKIP && s->kind != SLOT_FAILED && !create_out(c, &job, &o)) ok = 0;
        }
        if (ok && s->kind == SLOT_DATA) {
            ok = copy_wait() && write_out(c, &f, &o, s->at, s->data, s->n, p);
        } else if (ok && s->kind == SLOT_END) {
            int answer = finish_out(c, &f, &o);
            // Asked to copy the file again (its bytes did not check): on this thread, from its start.
            if (answer == COPY_RETRY) answer = copy_one(c, &job, p, buffer, o.told) ? COPY_DONE : COPY_CANCEL;
            if (answer == COPY_SKIP) drop_out(c, &f, &o, p);
            ok = answer == COPY_DONE || answer == COPY_SKIP;
            ++done;
        } else if (ok && s->kind == SLOT_SKIP) {
            drop_out(c, &f, &o, p);
            ++done;
        } else {
            ok = 0;
        }
        a->emptied.fetch_add(1);
    }
    pf_close(o.f);
    if (!ok) c->failed.store(1);
    a->writer_gone.store(1);
    return ok;
}

int copy_ahead(Copy *c, Progress *p) {
    const CopyReader *r = c->reader;
    size_t count = AHEAD_BYTES / r->chunk;
    if (count < 4) count = 4;
    Ahead a;
    a.copy = c;
    a.count = count;
    a.filled.store(0);
    a.emptied.store(0);
    a.slots = static_cast<Slot *>(calloc(count, sizeof(Slot)));
    // The ring, the reader's scratch, and a buffer of the writer's own for a file copied again.
    uint8_t *room = static_cast<uint8_t *>(malloc(count * r->chunk + r->scratch_size + r->chunk + r->scratch_size));
    if (!a.slots || !room) {
        free(a.slots);
        free(room);
        return -1;
    }
    for (size_t i = 0; i < count; ++i) a.slots[i].data = room + i * r->chunk;
    a.scratch = room + count * r->chunk;
    uint8_t *own = a.scratch + r->scratch_size;
    PfThread *opener = pf_thread_start(open_ahead, &a);
    PfThread *reader = opener ? pf_thread_start(read_ahead, &a) : nullptr;
    int ok = -1;
    if (reader) {
        ok = write_behind(&a, p, own);
        pf_thread_join(reader);
    }
    a.reader_gone.store(1);
    pf_thread_join(opener);
    // What was opened ahead of a copy that ended early.
    for (size_t i = a.taken.load(); i < a.opens.load(); ++i) r->close(r->ctx, a.opened[i % OPEN_AHEAD].file);
    // What the writer did not come to close.
    for (size_t i = a.emptied.load(); i < a.filled.load(); ++i) r->close(r->ctx, a.slots[i % a.count].source);
    free(a.slots);
    free(room);
    return ok;
}

uint64_t system_now(void *) { return pf_now_ms(); }

void system_pause(void *, unsigned ms) {
    for (uint64_t end = pf_now_ms() + ms; !copy_stopping() && (pf_now_ms() < end || holds.load() > 0);)
        pf_sleep_ms(20);
}

}  // namespace

const Clock *real_clock() {
    static const Clock clock = {system_now, system_pause, nullptr};
    return &clock;
}

void copy_hold(int on) { holds.fetch_add(on ? 1 : -1); }

int copy_wait() {
    while (holds.load() > 0 && !copy_stopping()) pf_sleep_ms(20);
    return !copy_stopping();
}

int copy_files(const CopyJobs *j, const CopyReader *r, const CopyHooks *h, int workers, size_t root_len, Progress *p) {
    Copy c;
    c.jobs = j;
    c.reader = r;
    c.hooks = h;
    c.root_len = root_len;
    if (workers <= 1 && jobs_count(j) > 1) {
        int ok = copy_ahead(&c, p);
        if (ok >= 0) return ok && !copy_stopping();
        // No thread or no memory for the ring: the files in turn on this thread.
    }
    int ok = jobs_run(j, workers, r->chunk + r->scratch_size, copy_one_job, &c, p);
    return ok && !c.failed.load() && !copy_stopping();
}
