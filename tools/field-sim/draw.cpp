// A random utility drawn from a seed: how many tags, what they hold, how the
// clocks, the service and the gateway misbehave. Sizes are bounded so that
// one run takes seconds, not hours.
#include <algorithm>

#include "model.h"

namespace fieldsim {

namespace {

constexpr int64_t EPOCH = 1767225600;  // 2026-01-01, a round start
constexpr double TAG_POLLS = 4e6;      // tags times polls of one run, at most
const int STATUSES[] = {400, 403, 404, 500, 503, 0};

void drawTimes(World& w, Rng& rng, const Options& options, std::size_t tags)
{
    w.pollInterval = rng.logRange(1, 600);
    w.pollDrift = rng.chance(0.3) ? rng.range(0, w.pollInterval / 4) : 0;
    const int64_t polls = std::min<int64_t>(options.maxPolls, static_cast<int64_t>(TAG_POLLS / double(tags)));
    const int64_t span = std::min(rng.logRange(2 * HOUR, YEAR), std::max<int64_t>(polls, 20) * w.pollInterval);
    w.begin = EPOCH + rng.range(0, YEAR);
    w.end = w.begin + span;
    w.tail = std::clamp<int64_t>(span / 2, 2 * HOUR, DAY);
    w.tail = std::min(w.tail, std::max<int64_t>(polls / 4, 10) * w.pollInterval);
    const bool backlog = rng.chance(0.5);
    w.start = w.begin - (backlog ? rng.logRange(60, 30 * DAY) : w.pollInterval);
    w.tagsInState = rng.chance(0.5);
}

void drawService(World& w, Rng& rng)
{
    if (rng.chance(0.2)) {
        w.skew = rng.range(-300, 300);
    }
    if (rng.chance(0.1)) {
        w.jumpAt = rng.range(w.begin, w.end);
        w.jumpBy = (rng.chance(0.5) ? 1 : -1) * rng.logRange(60, YEAR);
        w.disturbed.push_back(Window{w.jumpAt, w.jumpAt + DAY});
    }
    w.cap = rng.chance(0.3) ? (rng.chance(0.5) ? 288 : static_cast<std::size_t>(rng.range(100, 5000))) : 0;
    w.maxRange = rng.chance(0.2) ? 7 * DAY : 0;
}

void drawFailures(World& w, Rng& rng)
{
    for (int i = rng.chance(0.3) ? static_cast<int>(rng.range(1, 3)) : 0; i > 0; --i) {
        Failure f;
        if (rng.chance(0.6) && !w.tags.empty()) {
            f.tag = w.tags[static_cast<std::size_t>(rng.range(0, int64_t(w.tags.size()) - 1))].name;
        } else {
            f.rate = 0.05 + rng.unit() * 0.5;
        }
        f.status = STATUSES[rng.range(0, 5)];
        f.when.from = rng.range(w.begin, w.end);
        f.when.to = f.when.from + rng.logRange(10 * MINUTE, 2 * DAY);
        if (f.tag.empty()) {
            // The service as a whole answers again by the tail, which is
            // there to settle: what a run ends on in the middle of an outage
            // is not delivered yet rather than lost.
            f.when.to = std::min(f.when.to, w.end);
        }
        w.failures.push_back(f);
        w.disturbed.push_back(Window{f.when.from, f.when.to + HOUR});
    }
    for (int i = rng.chance(0.3) ? static_cast<int>(rng.range(1, 3)) : 0; i > 0; --i) {
        const Restart r{rng.range(w.begin, w.end), rng.chance(0.3)};
        w.restarts.push_back(r);
        w.disturbed.push_back(Window{r.at, r.at + HOUR});
    }
    std::sort(w.restarts.begin(), w.restarts.end(), [](const Restart& a, const Restart& b) { return a.at < b.at; });
}

// Publication faults of one tag, each rare.
void drawTagFaults(World& w, Rng& rng, TagSeries& tag, int64_t interval)
{
    const int64_t last = w.end + w.tail;
    if (tag.regular && interval >= 5 && rng.chance(0.1)) {
        jitter(tag, rng, 0.33);
    }
    if (rng.chance(0.05)) {
        const Window out{rng.range(w.begin, w.end), 0};
        const Window when{out.from, std::min(out.from + rng.logRange(10 * MINUTE, 10 * DAY), w.end)};
        const int64_t delay = rng.logRange(MINUTE, 6 * HOUR);
        offline(tag, when, rng.chance(0.5), delay);
        w.disturbed.push_back(Window{when.from, when.to + delay + HOUR});
    }
    if (rng.chance(0.05)) {
        const int64_t from = rng.range(w.start, w.end);
        const int64_t at = from + rng.logRange(HOUR, 3 * DAY);
        backfill(tag, Window{from, from + rng.logRange(MINUTE, 6 * HOUR)}, at);
        w.disturbed.push_back(Window{from, at + HOUR});
    }
    if (!tag.regular && rng.chance(0.1)) {
        late(tag, rng, 0.1, 10 * MINUTE);
    }
    if (rng.chance(0.03)) {
        remove(tag, Window{rng.range(w.start, w.end), last + 1});  // stops for good
    } else if (rng.chance(0.03)) {
        const int64_t from = rng.range(w.begin, w.end);
        const int64_t away = rng.chance(0.5) ? rng.logRange(HOUR, DAY) : rng.range(31 * DAY, 40 * DAY);
        remove(tag, Window{from, from + away});
    }
}

void drawTags(World& w, Rng& rng, std::size_t count, std::size_t maxSamples)
{
    const int64_t first = w.start;
    const int64_t last = w.end + w.tail;
    // The shortest interval that keeps the run within its samples.
    const int64_t floor = std::min<int64_t>(DAY, double(count) * double(last - first) / double(maxSamples) + 1);
    const bool longNames = rng.chance(0.3);
    for (std::size_t i = 0; i < count; ++i) {
        TagSeries tag;
        const auto length = static_cast<std::size_t>(longNames ? rng.range(30, 64) : rng.range(8, 24));
        tag.name = tagName(rng, static_cast<int>(i), length);
        const int64_t interval = std::max(floor, rng.logRange(1, HOUR));
        const double kind = rng.unit();
        if (kind < 0.7) {
            addRegular(tag, first, last, interval, w.skew);
            if (rng.chance(0.1)) {
                // The interval changes (1 min to 5 min, say) part way.
                const int64_t at = rng.range(w.begin, w.end);
                tag.samples.erase(std::remove_if(tag.samples.begin(), tag.samples.end(),
                                                 [at](const Sample& s) { return s.time >= at; }),
                                  tag.samples.end());
                addRegular(tag, at, last, interval * rng.range(2, 5), w.skew);
            }
        } else if (kind < 0.97) {
            addIrregular(tag, rng, first, last, std::max(floor, rng.logRange(10, 6 * HOUR)), w.skew);
        }
        if (rng.chance(0.05)) {
            fractions(tag, rng, 0.1);
        }
        drawTagFaults(w, rng, tag, interval);
        sortSeries(tag);
        w.tags.push_back(std::move(tag));
    }
}

}  // namespace

World drawWorld(uint64_t seed, const Options& options)
{
    World w;
    w.seed = seed;
    Rng rng(seed ^ 0x5eed5eed5eedULL);
    const auto tags = static_cast<std::size_t>(options.tags > 0 ? options.tags : rng.logRange(1, 20000));
    drawTimes(w, rng, options, tags);
    drawService(w, rng);
    drawTags(w, rng, tags, options.maxSamples);
    drawFailures(w, rng);
    return w;
}

}  // namespace fieldsim
