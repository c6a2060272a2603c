// Copies on several workers. Opening, creating and closing a file cost more than moving its bytes
// (under Wine, and on Windows with its virus scanners), so files are copied side by side to overlap
// those costs. The machinery is kept small: an atomic index hands out the jobs in list order, an
// atomic flag stops the run at the first failure, an atomic counter gathers the bytes moved, and the
// calling thread, which only waits, tells the progress record, so a progress callback never has to be
// safe for other threads.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "util/setup_log.h"
#include "util/util.h"

namespace {

constexpr int MAX_WORKERS = 4;
// How often the waiting thread passes the bytes moved on to the progress record: often enough for a
// smooth bar, rarely enough to cost nothing.
constexpr unsigned REPORT_EVERY_MS = 20;

struct Job {
    size_t from, to;  // offsets of the texts in the pool
    uint64_t at, size;
    FileSum *sum;
};

}  // namespace

// The jobs and one pool of texts, both grown by doubling; offsets stay valid as the pool moves.
struct CopyJobs {
    Job *jobs;
    size_t count, room;
    char *text;
    size_t used, capacity;
};

CopyJobs *jobs_new() { return static_cast<CopyJobs *>(calloc(1, sizeof(CopyJobs))); }

void jobs_free(CopyJobs *j) {
    if (!j) return;
    free(j->jobs);
    free(j->text);
    free(j);
}

size_t jobs_count(const CopyJobs *j) { return j->count; }

static int by_at(const void *x, const void *y) {
    const Job *a = static_cast<const Job *>(x), *b = static_cast<const Job *>(y);
    if (a->at != b->at) return a->at < b->at ? -1 : 1;
    return a->from < b->from ? -1 : a->from > b->from;  // texts are pooled in list order
}

void jobs_sort_by_at(CopyJobs *j) {
    if (j->count > 1) qsort(j->jobs, j->count, sizeof(Job), by_at);
}

CopyJob jobs_at(const CopyJobs *j, size_t i) {
    const Job &n = j->jobs[i];
    return CopyJob{j->text + n.from, j->text + n.to, n.at, n.size, i, n.sum};
}

static int grow(void **block, size_t *room, size_t need, size_t unit, size_t first) {
    if (need <= *room) return 1;
    size_t grown = *room ? *room : first;
    while (grown < need) grown *= 2;
    void *bigger = realloc(*block, grown * unit);
    if (!bigger) return 0;
    *block = bigger;
    *room = grown;
    return 1;
}

int jobs_add(CopyJobs *j, const char *from, const char *to, uint64_t at, uint64_t size, FileSum *sum) {
    size_t from_len = strlen(from) + 1, to_len = strlen(to) + 1;
    if (!grow(reinterpret_cast<void **>(&j->jobs), &j->room, j->count + 1, sizeof(Job), 256) ||
        !grow(reinterpret_cast<void **>(&j->text), &j->capacity, j->used + from_len + to_len, 1, 65536))
        return 0;
    Job *n = &j->jobs[j->count++];
    n->from = j->used;
    memcpy(j->text + j->used, from, from_len);
    j->used += from_len;
    n->to = j->used;
    memcpy(j->text + j->used, to, to_len);
    j->used += to_len;
    n->at = at;
    n->size = size;
    n->sum = sum;
    return 1;
}

namespace {


struct Run {
    const CopyJobs *jobs;
    CopyJobFn fn;
    void *ctx;
    std::atomic<size_t> next{0};
    std::atomic<int> stop{0};
    std::atomic<uint64_t> moved{0};
    std::atomic<int> running{0};
};

struct Worker {
    Run *run;
    uint8_t *buffer;
    uint64_t told;  // what this worker's own progress record has passed on
};

// The callback of a worker's own progress record: hands each chunk to the shared counter.
void hand_on(uint64_t done, uint64_t, void *user) {
    Worker *w = static_cast<Worker *>(user);
    w->run->moved.fetch_add(done - w->told, std::memory_order_relaxed);
    w->told = done;
}

void work(void *arg) {
    Worker *w = static_cast<Worker *>(arg);
    Run *r = w->run;
    Progress own = {0, 0, hand_on, w};
    while (!r->stop.load() && !copy_stopping()) {
        size_t i = r->next.fetch_add(1);
        if (i >= r->jobs->count) break;
        CopyJob job = jobs_at(r->jobs, i);
        if (!r->fn(r->ctx, &job, &own, w->buffer)) r->stop.store(1);
    }
    r->running.fetch_sub(1);
}

}  // namespace

int jobs_run(const CopyJobs *j, int workers, size_t buf_size, CopyJobFn fn, void *ctx, Progress *p) {
    if (j->count == 0) return 1;
    if (workers > MAX_WORKERS) workers = MAX_WORKERS;
    if (static_cast<size_t>(workers) > j->count) workers = static_cast<int>(j->count);
    if (workers < 1) workers = 1;
    uint8_t *buffers = static_cast<uint8_t *>(malloc(buf_size * workers));
    if (!buffers) {
        setup_log("not enough memory to copy the files");
        return 0;
    }
    Run r;
    r.jobs = j;
    r.fn = fn;
    r.ctx = ctx;
    Worker w[MAX_WORKERS];
    PfThread *threads[MAX_WORKERS];
    int started = 0;
    for (int i = 0; workers > 1 && i < workers; ++i) {
        w[i] = Worker{&r, buffers + buf_size * i, 0};
        r.running.fetch_add(1);
        threads[i] = pf_thread_start(work, &w[i]);
        if (!threads[i]) {
            r.running.fetch_sub(1);
            break;  // no more threads to be had: those that started take every job
        }
        ++started;
    }
    if (started == 0) {
        // One reader (a disc in a CD drive), or no thread at all: the files one after another on this
        // thread, progress told per chunk.
        int ok = 1;
        for (size_t i = 0; ok && i < j->count && !copy_stopping(); ++i) {
            CopyJob job = jobs_at(j, i);
            ok = fn(ctx, &job, p, buffers);
        }
        free(buffers);
        return ok && !copy_stopping();
    }

    uint64_t told = 0;
    auto tell = [&] {
        uint64_t now = r.moved.load();
        if (p && now != told) progress_add(p, now - told);
        told = now;
    };
    while (r.running.load() > 0) {
        pf_sleep_ms(REPORT_EVERY_MS);
        tell();
    }
    for (int i = 0; i < started; ++i) pf_thread_join(threads[i]);
    tell();
    free(buffers);
    return r.stop.load() || copy_stopping() ? 0 : 1;
}
