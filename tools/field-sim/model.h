#pragma once
// The simulated utility: every tag's series with the true time at which each
// sample reaches the service, and the faults of the run (clocks, failures,
// restarts). One seed gives one world, the same on every machine.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fieldsim {

constexpr int64_t MINUTE = 60;
constexpr int64_t HOUR = 3600;
constexpr int64_t DAY = 86400;
constexpr int64_t YEAR = 365 * DAY;

// splitmix64: a seed replays identically everywhere.
class Rng {
public:
    explicit Rng(uint64_t seed) : m_state(seed) {}
    uint64_t next();
    // Uniform in [lo, hi].
    int64_t range(int64_t lo, int64_t hi);
    // Log-uniform in [lo, hi], both above 0: spreads sizes over decades.
    int64_t logRange(int64_t lo, int64_t hi);
    double unit();
    bool chance(double p) { return unit() < p; }

private:
    uint64_t m_state;
};

// A sample as the service stamps it, and the true time it reaches the service.
struct Sample {
    int64_t time = 0;
    int64_t published = 0;
    // Thousandths of a second plus one when the time is written with a
    // fraction; 0 when it has none.
    int32_t fraction = 0;
};

// Samples in the order the service keeps them.
inline bool earlier(const Sample& a, const Sample& b)
{
    return a.time != b.time ? a.time < b.time : a.fraction < b.fraction;
}

struct Window {
    int64_t from = 0;  // [from, to) in true time
    int64_t to = 0;
    bool holds(int64_t t) const { return t >= from && t < to; }
};

struct TagSeries {
    std::string name;
    bool regular = false;          // a fixed interval; otherwise by exception (or dead)
    std::vector<Sample> samples;   // ascending time, one a second at most
    std::vector<Window> absent;    // removed from the service (no samples meanwhile)
    std::vector<Window> unlisted;  // held by the service but missing from its lists
    bool present(int64_t t) const;
    bool listed(int64_t t) const;
    // The first time from t on that it is missing from the lists; none: the
    // largest time.
    int64_t leaves(int64_t t) const;
};

// Requests naming tag (any request when empty) fail over when: status 0
// raises (no answer), another is the answer's status; rate is per request.
struct Failure {
    std::string tag;
    int status = 0;
    double rate = 1.0;
    Window when;
};

struct Restart {
    int64_t at = 0;
    bool cut = false;  // the stored text is cut short at a random byte
};

struct World {
    uint64_t seed = 0;
    std::string preset;         // empty: drawn from the seed
    int64_t begin = 0;          // true time of the first poll
    int64_t end = 0;            // publications after this are not checked
    int64_t tail = 0;           // polls go on this long after end, to settle
    int64_t start = 0;          // the stored lastPull the plugin starts from
    bool tagsInState = false;   // the stored state names every tag at start
    int64_t pollInterval = 60;  // base
    int64_t pollDrift = 0;      // each poll comes up to this much early or late
    int64_t skew = 0;           // service clock ahead (>0) or behind
    int64_t jumpAt = 0;         // the plugin clock jumps by jumpBy once
    int64_t jumpBy = 0;
    std::size_t cap = 0;   // samples a tag in one answer; 0: all
    int64_t maxRange = 0;  // longer ranges are refused with a 400; 0: none
    std::vector<Failure> failures;
    std::vector<Restart> restarts;
    std::vector<Window> disturbed;  // faults at work: not the steady state
    std::vector<TagSeries> tags;
    bool trace = false;  // every request on standard error

    int64_t pluginNow(int64_t trueNow) const { return trueNow + (jumpBy != 0 && trueNow >= jumpAt ? jumpBy : 0); }
    bool isDisturbed(int64_t t) const;
    std::size_t sampleCount() const;
};

// Series builders: samples stamped at their time, published on time unless
// a publication rule below says otherwise.
void addRegular(TagSeries& tag, int64_t from, int64_t to, int64_t interval, int64_t skew);
void addIrregular(TagSeries& tag, Rng& rng, int64_t from, int64_t to, int64_t meanGap, int64_t skew);
// Samples written with fractions; a share of them with a second sample in
// the same second, published a second later.
void fractions(TagSeries& tag, Rng& rng, double twice);
// Every third (or so) sample moves by up to a second either way.
void jitter(TagSeries& tag, Rng& rng, double share);
// A logger offline over [from, to): its backlog arrives at to, oldest first
// (spread over a minute per hour), or newest first (the newest at once, the
// rest delay later).
void offline(TagSeries& tag, Window when, bool newestFirst, int64_t delay);
// Samples of [from, to) arrive at publishedAt, after newer ones.
void backfill(TagSeries& tag, Window hole, int64_t publishedAt);
// A share of the samples arrive late by lateBy.
void late(TagSeries& tag, Rng& rng, double share, int64_t lateBy);
// The tag leaves the service's lists over when (and has no samples meanwhile).
void remove(TagSeries& tag, Window when);
void sortSeries(TagSeries& tag);

// Up to 64 characters: bytes outside [A-Za-z0-9-._~] included at times, as
// historian tags hold spaces and slashes.
std::string tagName(Rng& rng, int index, std::size_t length);

struct Options {
    int tags = 0;  // 0: drawn
    std::size_t maxSamples = 3000000;
    int maxPolls = 3000;
};

// A random mix of what a utility's year holds, drawn from the seed.
World drawWorld(uint64_t seed, const Options& options);

}  // namespace fieldsim
