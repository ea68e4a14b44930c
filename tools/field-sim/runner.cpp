#include "runner.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "driver.h"
#include "progress_codec.h"
#include "service.h"

namespace fieldsim {

namespace {

// The state the plugin starts from: lastPull alone, as an older version
// wrote it, or with every tag at it.
std::string initialState(const World& w)
{
    nerivo::Progress progress(w.start);
    if (w.tagsInState) {
        std::vector<std::string> names;
        for (const TagSeries& tag : w.tags) {
            names.push_back(tag.name);
        }
        progress.beginPoll(w.start, names);
    }
    return stateText(w.start, progress);
}

}  // namespace

double RunResult::steadyCost() const
{
    return figures.steadyDelivered == 0 ? 0.0 : double(figures.steadyAnswered) / double(figures.steadyDelivered);
}

RunResult runWorld(const World& w)
{
    Service service(w, w.seed ^ 0xa11ce5ULL);
    Checks checks(w);
    Driver driver(w, service, checks);
    Rng rng(w.seed ^ 0xc10c4ULL);
    driver.start(initialState(w), w.begin);
    std::size_t restart = 0;
    int64_t last = w.begin;
    bool complete = true;
    for (int64_t t = w.begin; t <= w.end + w.tail && complete;) {
        for (; restart < w.restarts.size() && w.restarts[restart].at <= t; ++restart) {
            driver.restart(t, w.restarts[restart].cut, rng);
        }
        driver.poll(t);
        last = t;
        complete = !checks.overBudget();
        if (checks.figures().polls % 16 == 1) {
            checks.stateSize(nerivo::progressMembers(driver.progress()).size(), w.tags.size());
        }
        const int64_t drift = w.pollDrift != 0 ? rng.range(-w.pollDrift, w.pollDrift) : 0;
        t += std::max<int64_t>(1, w.pollInterval + drift);
    }
    checks.stateSize(nerivo::progressMembers(driver.progress()).size(), w.tags.size());
    checks.finish(last, complete);
    return RunResult{checks.figures(), checks.violations()};
}

std::string describe(const World& w)
{
    std::size_t cuts = 0;
    for (const Restart& r : w.restarts) {
        cuts += r.cut ? 1 : 0;
    }
    char line[400];
    std::snprintf(
        line, sizeof line,
        "  world: span %llds + tail %llds, poll %llds +-%llds, backlog %llds, skew %llds, jump %+llds at +%llds, "
        "cap %zu, max range %llds, %zu failures, %zu restarts (%zu cut), %zu samples",
        static_cast<long long>(w.end - w.begin), static_cast<long long>(w.tail), static_cast<long long>(w.pollInterval),
        static_cast<long long>(w.pollDrift), static_cast<long long>(w.begin - w.start), static_cast<long long>(w.skew),
        static_cast<long long>(w.jumpBy), static_cast<long long>(w.jumpAt - w.begin), w.cap,
        static_cast<long long>(w.maxRange), w.failures.size(), w.restarts.size(), cuts, w.sampleCount());
    std::string text = line;
    for (const Failure& f : w.failures) {
        std::snprintf(line, sizeof line, "\n  failure: %d for %s%s over [%+lld, %+lld)", f.status,
                      f.tag.empty() ? "any request" : "tag ", f.tag.c_str(),
                      static_cast<long long>(f.when.from - w.begin), static_cast<long long>(f.when.to - w.begin));
        text += line;
        if (f.tag.empty()) {
            text += " at a rate of " + std::to_string(f.rate);
        }
    }
    return text;
}

std::string describeTag(const World& w, const std::string& name)
{
    const auto tag = std::find_if(w.tags.begin(), w.tags.end(), [&name](const TagSeries& t) { return t.name == name; });
    if (tag == w.tags.end() || tag->samples.empty()) {
        return "  tag \"" + name + "\": no samples";
    }
    // Samples published after a newer one: a backlog, a backfill or late.
    std::size_t outOfOrder = 0;
    int64_t newest = INT64_MIN;
    int64_t longestDelay = 0;
    for (const Sample& s : tag->samples) {
        newest = std::max(newest, s.published);
        outOfOrder += s.published < newest ? 1 : 0;
        longestDelay = std::max(longestDelay, s.published - s.time);
    }
    char line[400];
    std::snprintf(line, sizeof line,
                  "  tag \"%s\": %s, %zu samples over [%+lld, %+lld], %zu published out of order, longest delay "
                  "%llds, %zu absences, %zu times unlisted",
                  name.c_str(), tag->regular ? "regular" : "by exception", tag->samples.size(),
                  static_cast<long long>(tag->samples.front().time - w.begin),
                  static_cast<long long>(tag->samples.back().time - w.begin), outOfOrder,
                  static_cast<long long>(longestDelay), tag->absent.size(), tag->unlisted.size());
    return line;
}

std::string summaryLine(const World& w, const RunResult& r)
{
    const Figures& f = r.figures;
    char line[640];
    std::snprintf(line, sizeof line,
                  "%s seed=%llu%s%s tags=%zu tag-days=%.1f polls=%d expected=%zu delivered=%zu lost=%zu twice=%zu "
                  "twice-after-cut=%zu irregular-late=%zu steady-cost=%.3f (%zu/%zu) state/tag=%zuB "
                  "max-requests=%d longest-unasked=%d%s",
                  r.passed() ? "PASS" : "FAIL", static_cast<unsigned long long>(w.seed),
                  w.preset.empty() ? "" : " preset=", w.preset.c_str(), f.tags, f.tagDays, f.polls, f.expected,
                  f.delivered, f.lost, f.twice, f.twiceAfterCut, f.irregularLate, r.steadyCost(), f.steadyAnswered,
                  f.steadyDelivered, f.maxStatePerTag, f.maxRequests, f.longestUnasked,
                  f.stoppedEarly ? " stopped-early" : "");
    return line;
}

std::string failureLine(const World& w, const RunResult& r, const std::string& replay)
{
    std::string line;
    for (const Violation& v : r.violations) {
        line += (line.empty() ? "FAILED " : "; ") + v.check + " (" + std::to_string(v.count) + "x): " + v.detail;
        if (!v.tag.empty()) {
            line += ", tag \"" + v.tag + "\"";
        }
        if (v.time != 0) {
            line += " at " + std::to_string(v.time) + " (run start +" + std::to_string(v.time - w.begin) + " s)";
        }
    }
    return line.empty() ? line : line + "; replay: " + replay;
}

}  // namespace fieldsim
