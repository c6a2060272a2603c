// A worn disc, natively: the retries of one failing spot on a disc whose reads fail on a script (which
// bytes, how often, for reads of which size, how long each read takes) against a clock that moves only
// when the retries pause or read; the copy's questions, retries and skips on a source of such reads; and
// the time left of a copy.
#include <map>

#include "platform/platform.h"
#include "testutil.h"

namespace {

// Reads that touch [from, to) fail `times` times (-1: always) with `code`, unless they are no longer than
// `longest` bytes (a drive that reads a bad spot at a lower speed); every read takes `cost` ms.
struct Script {
    uint64_t from, to;
    int times;
    uint32_t longest;
    unsigned long code;
    unsigned cost;
};

struct Disc {
    Script s;
    std::atomic<uint64_t> now{0};
    std::atomic<int> reads{0};
    std::atomic<bool> mended{false};  // the disc was cleaned: every read works
};

uint8_t byte_at(uint64_t at) { return static_cast<uint8_t>(at * 7 + (at >> 11)); }

int disc_read(void *ctx, uint64_t at, uint8_t *dst, uint32_t n, unsigned long *code) {
    Disc *d = static_cast<Disc *>(ctx);
    d->now += d->s.cost;
    ++d->reads;
    if (!d->mended && at < d->s.to && at + n > d->s.from && d->s.times != 0 && n > d->s.longest) {
        if (d->s.times > 0) --d->s.times;
        *code = d->s.code;
        return READ_AGAIN;
    }
    for (uint32_t i = 0; i < n; ++i) dst[i] = byte_at(at + i);
    return READ_OK;
}
uint64_t disc_now(void *ctx) { return static_cast<Disc *>(ctx)->now; }
void disc_pause(void *ctx, unsigned ms) { static_cast<Disc *>(ctx)->now += ms; }

TEST(Reread, TransientPersistentAndShrinkingFailuresWithinTheTimeBound) {
    constexpr uint32_t N = 1 << 20;
    constexpr uint64_t AT = 5 << 20;  // the spot's place in its file
    const unsigned long CRC = 23, NOT_READY = 21, SHORT = PF_ERR_HANDLE_EOF, DENIED = PF_ERR_ACCESS_DENIED;
    struct Case {
        const char *what;
        Script s;
        int ok;
        uint32_t piece;  // when read: the size of the reads that got it
        uint64_t bad;    // when not: where the spot failed
    } cases[] = {
        {"a read that fails twice reads whole the third time", {AT, AT + N, 2, 0, NOT_READY, 0}, 1, N, 0},
        {"a short read is tried again too", {AT, AT + N, 1, 0, SHORT, 0}, 1, N, 0},
        {"a bad spot that reads in 64 KiB", {AT + 300000, AT + 300001, -1, 65536, CRC, 0}, 1, 65536, 0},
        {"a bad sector that reads alone", {AT + 300000, AT + 300001, -1, 2048, CRC, 0}, 1, 2048, 0},
        {"a sector that never reads is where the spot fails", {AT + 300000, AT + 300001, -1, 0, CRC, 0}, 0, 0,
         AT + 299008},
        {"an error no disc gives is not tried again", {AT, AT + N, -1, 0, DENIED, 0}, 0, 0, AT},
        {"every read taking 3 s stops once the budget is spent", {AT, AT + N, -1, 0, CRC, 3000}, 0, 0, AT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Disc d;
        d.s = c.s;
        Clock clock = {disc_now, disc_pause, &d};
        Bytes got(N);
        unsigned long code = 0;
        ASSERT_EQ(disc_read(&d, AT, got.data(), N, &code), READ_AGAIN) << "the first read must fail";
        uint64_t start = d.now;
        Reread r = reread(disc_read, &d, &clock, AT, got.data(), N, code);
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.code, c.s.code) << "the error the spot first gave";
        EXPECT_EQ(r.tries, static_cast<unsigned>(d.reads.load())) << "every read counted";
        if (c.ok) {
            EXPECT_EQ(r.piece, c.piece);
            bool same = true;
            for (uint32_t i = 0; i < N && same; ++i) same = got[i] == byte_at(AT + i);
            EXPECT_TRUE(same) << "the bytes the retries read are the file's";
        } else {
            EXPECT_EQ(r.bad, c.bad);
        }
        // Within the budget, and the read under way when it ran out.
        EXPECT_LE(d.now - start, REREAD_BUDGET_MS + c.s.cost) << r.tries << " reads";
    }
}

// A source of files read through the copy, every read checked against the disc's script (the files lie
// one after another on it) and counted per byte.
struct Source {
    std::vector<Bytes> files;
    Disc disc;
    std::mutex lock;
    std::map<std::pair<size_t, uint64_t>, int> got;  // (file, byte) -> reads that delivered it
    uint64_t start(size_t i) const {
        uint64_t at = 0;
        for (size_t k = 0; k < i; ++k) at += files[k].size();
        return at;
    }
};
void *src_open(void *ctx, const CopyJob *, unsigned long *) { return ctx; }
int src_read(void *ctx, void *, const CopyJob *job, uint64_t at, uint8_t *dst, uint32_t n, uint8_t *, unsigned long *code) {
    Source *s = static_cast<Source *>(ctx);
    std::lock_guard<std::mutex> hold(s->lock);
    Bytes scratch(n);
    if (disc_read(&s->disc, s->start(job->index) + at, scratch.data(), n, code) != READ_OK) return READ_AGAIN;
    memcpy(dst, s->files[job->index].data() + at, n);
    ++s->got[{job->index, at}];
    return READ_OK;
}
void src_close(void *, void *) {}
void src_failure(void *, const CopyJob *job, int, uint64_t at, unsigned long) {
    setup_log("read failed: %s at %llu", job->from, static_cast<unsigned long long>(at));
}

// The caller's side: answers each question as told, and hears every byte written.
struct Caller {
    Source *src;
    int answer;
    std::vector<std::string> asked;
    std::map<size_t, std::string> wrote;
    std::atomic<int> whole{0};
};
int on_trouble(void *ctx, const CopyTrouble *t) {
    Caller *c = static_cast<Caller *>(ctx);
    c->asked.push_back(std::string(t->file->rel) + "@" + std::to_string(t->at));
    if (c->answer == COPY_RETRY) c->src->disc.mended = true;  // cleaned and put back
    return c->answer;
}
void on_wrote(void *ctx, const CopyItem *f, uint64_t at, const uint8_t *data, uint32_t n) {
    Caller *c = static_cast<Caller *>(ctx);
    std::lock_guard<std::mutex> hold(c->src->lock);
    std::string &w = c->wrote[f->job->index];
    EXPECT_EQ(at, w.size()) << f->rel << ": the bytes of a file come in order";
    w.append(reinterpret_cast<const char *>(data), n);
}
int on_whole(void *ctx, const CopyItem *) {
    ++static_cast<Caller *>(ctx)->whole;
    return COPY_DONE;
}

TEST(CopyFiles, ARetryGoesOnFromTheFailingSpotASkipLeavesTheFileOutACancelFails) {
    TempDir dir;
    const std::vector<size_t> sizes = {5000, 0, 20000, 1, 12288, 7000};
    const size_t BAD = 2;  // its bytes 9000 and on never read until the disc is cleaned
    uint64_t total = 0;
    for (size_t n : sizes) total += n;
    struct Case {
        int answer;  // what the player answers; -1: no one asks (a silent run)
        int ok;
    } cases[] = {{COPY_RETRY, 1}, {COPY_SKIP, 1}, {COPY_CANCEL, 0}, {-1, 0}};
    for (int workers : {1, 3}) {
        for (const Case &c : cases) {
            SCOPED_TRACE("workers " + std::to_string(workers) + ", answer " + std::to_string(c.answer));
            Source src;
            for (size_t i = 0; i < sizes.size(); ++i) src.files.push_back(pattern(sizes[i], static_cast<unsigned>(i)));
            src.disc.s = {src.start(BAD) + 9000, src.start(BAD) + 9001, -1, 0, 23, 0};
            std::string dest = dir.sub("w" + std::to_string(workers) + "a" + std::to_string(c.answer));
            ASSERT_TRUE(make_dirs(dest.c_str()));
            CopyJobs *jobs = jobs_new();
            for (size_t i = 0; i < sizes.size(); ++i)
                jobs_add(jobs, ("F" + std::to_string(i)).c_str(), (dest + "\\F" + std::to_string(i)).c_str(), 0, sizes[i]);
            Clock clock = {disc_now, disc_pause, &src.disc};
            CopyReader reader = {src_open, src_read, src_close, src_failure, &src, 4096, 0, 0, &clock, 0};
            Caller caller{&src, c.answer, {}, {}, {}};
            CopyHooks hooks = {on_trouble, on_wrote, on_whole, &caller};
            Tally t;
            LogCapture log;
            EXPECT_EQ(copy_files(jobs, &reader, c.answer < 0 ? nullptr : &hooks, workers, dest.size(), &t.p), c.ok);
            jobs_free(jobs);
            EXPECT_EQ(caller.asked, c.answer < 0 ? std::vector<std::string>{}
                                                 : std::vector<std::string>{"F2@8192"})
                << "one question, naming the file and the chunk that did not read";
            EXPECT_EQ(log.lines().size(), 1u) << log.text();
            if (!c.ok) continue;
            EXPECT_EQ(t.p.done, total) << "a skipped file's bytes count too";
            EXPECT_EQ(t.elsewhere, 0);
            for (size_t i = 0; i < sizes.size(); ++i) {
                std::string file = dest + "\\F" + std::to_string(i);
                if (i == BAD && c.answer == COPY_SKIP) {
                    EXPECT_EQ(contents(file), NO_FILE) << "what was written of a skipped file goes";
                    continue;
                }
                EXPECT_EQ(contents(file), str(src.files[i])) << file;
                EXPECT_EQ(caller.wrote[i], str(src.files[i])) << "the hooks hear every byte written";
            }
            EXPECT_EQ(caller.whole, c.answer == COPY_SKIP ? 5 : 6);
            for (const auto &kv : src.got)
                EXPECT_EQ(kv.second, 1) << "F" << kv.first.first << " at " << kv.first.second << " was read twice";
        }
    }
}

TEST(TimeLeft, ShowsAfterWarmingUpRunsDownSteadilyAndLeavesOutAHold) {
    TimeLeft t;
    time_left_start(&t);
    const uint64_t total = 600 * MIB;
    uint64_t done = 0, ms = 0;
    long last = -1;
    int shown = 0;
    srand(7);
    for (; done < total - 20 * MIB; ms += 250) {
        // A drive of about 5 MB/s, each quarter second 20 % faster or slower than that.
        done += static_cast<uint64_t>(1250 * (0.8 + 0.4 * rand() / RAND_MAX)) * 1000;
        if (ms == 40000) ms += 30000;  // the copy held for 30 s while a question was open
        long left = time_left(&t, ms, done, total);
        if (ms < 3000) {
            EXPECT_EQ(left, -1) << "no estimate in the first seconds";
        }
        if (left < 0) continue;
        if (last >= 0 && ms % 1000 == 0) {
            EXPECT_LE(std::abs(left - (last - 1)), 4) << "the count jumps at " << ms << " ms";
            ++shown;
        }
        if (ms % 1000 == 0) last = left;
    }
    EXPECT_GT(shown, 100);
    // Near the end: what is left at 5 MB/s.
    double want = (total - done) / 5e6;
    EXPECT_NEAR(last, want, 5 + want * 0.2);
}

}  // namespace
