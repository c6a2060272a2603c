// The time a copy still needs (module util): sampled once a second, smoothed, and shown as a count that
// runs down with the clock.
#include "util/util.h"

namespace {

constexpr uint64_t SAMPLE_MS = 1000;  // one sample of the speed a second
constexpr uint64_t GAP_MS = 5000;     // longer between two calls: the copy was held, not slow
constexpr double WEIGHT = 0.25;       // of a new sample in the smoothed speed
constexpr unsigned WARM = 3;          // samples before the estimate is given
constexpr double STEP = 3;            // seconds the count may move towards the estimate at a sample

long rounded(double s) { return s <= 0 ? 0 : static_cast<long>(s + 0.5); }

// What the count shows at now_ms: the last value less the time since.
long count(const TimeLeft *t, uint64_t now_ms) {
    if (t->shown < 0) return -1;
    return rounded(t->shown - static_cast<double>(now_ms - t->shown_ms) / 1000);
}

}  // namespace

void time_left_start(TimeLeft *t) { *t = TimeLeft{0, 0, 0, 0, -1, 0, 0}; }

long time_left(TimeLeft *t, uint64_t now_ms, uint64_t done, uint64_t total) {
    if (!t->started || now_ms < t->sample_ms || done < t->sample_done) {
        t->started = 1;
        t->sample_ms = now_ms;
        t->sample_done = done;
        return count(t, now_ms);
    }
    uint64_t dt = now_ms - t->sample_ms;
    if (dt > GAP_MS) {
        // The count stood still while the copy was held: it goes on from where it was.
        if (t->shown >= 0) t->shown_ms += dt;
        t->sample_ms = now_ms;
        t->sample_done = done;
        return count(t, now_ms);
    }
    if (dt < SAMPLE_MS) return count(t, now_ms);
    double speed = static_cast<double>(done - t->sample_done) / static_cast<double>(dt);
    t->speed = t->samples++ ? t->speed * (1 - WEIGHT) + speed * WEIGHT : speed;
    t->sample_ms = now_ms;
    t->sample_done = done;
    if (t->samples < WARM || t->speed <= 0) return count(t, now_ms);
    double estimate = static_cast<double>(total > done ? total - done : 0) / t->speed / 1000;
    if (t->shown < 0) {
        t->shown = estimate;
    } else {
        double ran = t->shown - static_cast<double>(now_ms - t->shown_ms) / 1000;
        double move = estimate - ran;
        t->shown = ran + (move > STEP ? STEP : move < -STEP ? -STEP : move);
        if (t->shown < 0) t->shown = 0;
    }
    t->shown_ms = now_ms;
    return rounded(t->shown);
}
