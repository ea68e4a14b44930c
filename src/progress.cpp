#include "progress.h"

#include "backoff.h"

#include <algorithm>
#include <tuple>

namespace nerivo {

namespace {

// A tag and where its next request starts.
using Start = std::pair<std::string, int64_t>;

// Sorted by start, a new group wherever a start lies more than span after
// its group's first.
std::vector<std::vector<Start>> groupByStart(std::vector<Start> starts, int64_t span)
{
    std::sort(starts.begin(), starts.end(), [](const Start& a, const Start& b) {
        return a.second != b.second ? a.second < b.second : a.first < b.first;
    });
    std::vector<std::vector<Start>> groups;
    for (const Start& start : starts) {
        // Times near the end of the range would overflow the addition.
        const int64_t first = groups.empty() ? 0 : groups.back().front().second;
        if (groups.empty() || (first <= INT64_MAX - span && start.second > first + span)) {
            groups.emplace_back();
        }
        groups.back().push_back(start);
    }
    return groups;
}

std::vector<std::string> sortedTags(const std::vector<Start>& group)
{
    std::vector<std::string> tags;
    tags.reserve(group.size());
    for (const Start& start : group) {
        tags.push_back(start.first);
    }
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    return tags;
}

}  // namespace

Progress::Progress(int64_t start) : m_start(start) {}

Progress::Tag& Progress::tag(const std::string& name)
{
    auto found = m_tags.find(name);
    if (found == m_tags.end()) {
        Tag fresh;
        fresh.next = m_start;
        fresh.cursor = m_start;  // a new tag reads its backlog in windows
        found = m_tags.emplace(name, fresh).first;
    }
    return found->second;
}

int64_t Progress::next(const std::string& tag) const
{
    auto found = m_tags.find(tag);
    return found == m_tags.end() ? m_start : found->second.next;
}

int64_t Progress::startOf(const Tag& t) const
{
    return t.cursor ? std::max(t.next, *t.cursor) : t.next;
}

std::pair<int64_t, int64_t> Progress::span(const std::vector<std::string>& tags) const
{
    if (tags.empty()) {
        return {m_start, m_start};
    }
    int64_t oldest = INT64_MAX;
    int64_t newest = INT64_MIN;
    for (const auto& tag : tags) {
        oldest = std::min(oldest, next(tag));
        newest = std::max(newest, next(tag));
    }
    return {oldest, newest};
}

std::optional<int64_t> Progress::earliest(const std::vector<std::string>& tags) const
{
    std::optional<int64_t> earliest;
    for (const auto& tag : tags) {
        earliest = std::min(earliest.value_or(INT64_MAX), next(tag));
    }
    for (const auto& entry : m_tags) {
        earliest = std::min(earliest.value_or(INT64_MAX), entry.second.next);
    }
    return earliest;
}

bool Progress::resting(const Tag& t) const
{
    // A regular series has nothing new before its next sample is due: asking
    // it at every poll of a fast poll rate would only cost traffic. It is
    // still asked every few polls, for a sample off its rhythm.
    const bool regular = t.run >= REGULAR_RUN && t.last && !t.cursor;
    return regular && m_now < *t.last + t.interval && m_poll - t.askedPoll < RESTING_POLLS;
}

int64_t Progress::fastestInterval() const
{
    int64_t fastest = 0;
    for (const auto& entry : m_tags) {
        const Tag& t = entry.second;
        if (t.run >= REGULAR_RUN && t.interval > 0 && (fastest == 0 || t.interval < fastest)) {
            fastest = t.interval;
        }
    }
    return fastest;
}

void Progress::beginPoll(int64_t now, const std::vector<std::string>& tags)
{
    m_now = now;
    ++m_poll;
    m_round = 0;
    m_requests = 0;
    m_gapRequests = 0;
    m_index = tags;
    for (auto& entry : m_tags) {
        entry.second.done = true;  // until the index names it
        entry.second.deferred = false;
    }
    for (const auto& name : tags) {
        Tag& t = tag(name);
        t.missingSince = 0;
        t.done = false;
    }
    // Tags the index lost (a failed list, a changed key) keep their progress
    // for a while, so that their return delivers nothing twice.
    for (auto it = m_tags.begin(); it != m_tags.end();) {
        Tag& t = it->second;
        if (t.done && t.missingSince == 0) {
            t.missingSince = now;
        }
        if (t.done && now - t.missingSince > MISSING_LIMIT) {
            note(Note::Level::INFO, "Tag " + it->first +
                                        " has been missing from the service for 30 days; its "
                                        "progress is forgotten");
            it = m_tags.erase(it);
        } else {
            ++it;
        }
    }
}

std::vector<Ask> Progress::plan()
{
    ++m_round;
    std::vector<Ask> asks = rangeAsks();
    if (m_round == 1) {
        std::vector<Ask> gaps = gapAsks();
        asks.insert(asks.end(), gaps.begin(), gaps.end());
    }
    order(asks);
    return asks;
}

bool Progress::mayAsk(const Ask& ask) const
{
    return m_requests < MAX_POLL_REQUESTS && (!ask.gap || m_gapRequests < MAX_GAP_REQUESTS);
}

std::vector<Ask> Progress::rangeAsks()
{
    // Tags that fail alike are asked alike: a group per limit.
    std::map<std::pair<int64_t, std::size_t>, std::vector<Start>> buckets;
    for (const auto& name : m_index) {
        Tag& t = m_tags.at(name);
        if (t.done || startOf(t) > m_now || resting(t)) {
            t.done = true;  // a stored time ahead of the clock waits for it
            continue;
        }
        buckets[{t.spanLimit, t.batchLimit}].emplace_back(name, startOf(t));
    }
    std::vector<Ask> asks;
    for (const auto& bucket : buckets) {
        for (const auto& group : rangeGroups(bucket.second)) {
            asks.push_back(rangeAsk(group, bucket.first.first, bucket.first.second));
        }
    }
    return asks;
}

std::vector<std::vector<std::pair<std::string, int64_t>>>
Progress::rangeGroups(const std::vector<std::pair<std::string, int64_t>>& starts) const
{
    int64_t groupSpan = GROUP_SPAN;
    auto groups = groupByStart(starts, groupSpan);
    while (groups.size() > MAX_GROUPS && groupSpan < MAX_WINDOW) {
        groupSpan *= 2;
        groups = groupByStart(starts, groupSpan);
    }
    // Tags that had nothing cost nothing to ask again: they share one
    // request from the earliest of them.
    std::vector<Start> silent;
    for (auto it = groups.begin(); it != groups.end();) {
        const bool allQuiet = std::all_of(it->begin(), it->end(), [this](const Start& s) {
            const Tag& t = m_tags.at(s.first);
            return t.quiet && !t.cursor;
        });
        if (allQuiet) {
            silent.insert(silent.end(), it->begin(), it->end());
            it = groups.erase(it);
        } else {
            ++it;
        }
    }
    if (!silent.empty()) {
        groups.push_back(silent);
    }
    return groups;
}

Ask Progress::rangeAsk(const std::vector<std::pair<std::string, int64_t>>& group, int64_t spanLimit,
                       std::size_t batchLimit) const
{
    Ask ask;
    ask.from =
        std::min_element(group.begin(), group.end(), [](auto& a, auto& b) { return a.second < b.second; })->second;
    // A backlog is read in windows; a tag asked up to the present before is
    // asked from its next pull up to the present again.
    const bool backlog =
        std::any_of(group.begin(), group.end(), [this](const Start& s) { return m_tags.at(s.first).cursor; });
    int64_t width = backlog ? windowFor(group.size()) : INT64_MAX;
    if (spanLimit != 0) {
        width = std::min(width, spanLimit);
    }
    int64_t latest = 0;  // the last start whose window ends before now
    const bool bounded = !__builtin_sub_overflow(m_now, width, &latest) && ask.from <= latest;
    ask.to = bounded ? ask.from + width : m_now;
    // Near the present a window reaches it: a short one would only cost a
    // request more.
    if (spanLimit == 0 && m_now - ask.to < GROUP_SPAN) {
        ask.to = m_now;
    }
    ask.tags = sortedTags(group);
    ask.maxTags = batchLimit;
    return ask;
}

std::vector<Ask> Progress::gapAsks()
{
    std::vector<Start> due;  // a gap's first second, by tag
    std::map<std::pair<std::string, int64_t>, int64_t> ends;
    for (const auto& name : m_index) {
        for (const Gap& gap : m_tags.at(name).gaps) {
            if (gap.due <= m_now) {
                due.emplace_back(name, gap.after + 1);
                ends[{name, gap.after + 1}] = gap.before - 1;
            }
        }
    }
    std::vector<Ask> asks;
    for (const auto& group : groupByStart(due, GROUP_SPAN)) {
        Ask ask;
        ask.gap = true;
        ask.from = group.front().second;
        ask.to = ask.from;
        for (const Start& start : group) {
            ask.to = std::max(ask.to, ends[start]);
        }
        ask.tags = sortedTags(group);
        asks.push_back(std::move(ask));
        if (asks.size() == static_cast<std::size_t>(MAX_GAP_REQUESTS)) {
            break;
        }
    }
    return asks;
}

void Progress::order(std::vector<Ask>& asks) const
{
    // Requests that failed go last, so that they hold back nothing; among the
    // others the tags asked longest ago go first.
    auto key = [this](const Ask& ask) {
        bool failed = false;
        int64_t asked = INT64_MAX;
        for (const auto& name : ask.tags) {
            const Tag& t = m_tags.at(name);
            failed = failed || t.failedPoll >= m_poll - 1;
            asked = std::min(asked, t.askedPoll);
        }
        return std::make_tuple(failed, ask.gap, asked, ask.from);
    };
    std::stable_sort(asks.begin(), asks.end(), [&key](const Ask& a, const Ask& b) { return key(a) < key(b); });
}

std::vector<std::size_t> Progress::select(const std::string& name, const std::vector<int64_t>& times) const
{
    static const Tag unknown;
    auto found = m_tags.find(name);
    const Tag& t = found == m_tags.end() ? unknown : found->second;
    const int64_t next = found == m_tags.end() ? m_start : t.next;
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < times.size(); ++i) {
        const int64_t time = times[i];
        const bool inGap = std::any_of(t.gaps.begin(), t.gaps.end(),
                                       [time](const Gap& gap) { return gap.after < time && time < gap.before; });
        if ((time >= next && t.ahead.count(time) == 0) || inGap) {
            chosen.push_back(i);
        }
    }
    return chosen;
}

void Progress::delivered(const Ask& ask, const std::string& name, const std::vector<int64_t>& times)
{
    Tag& t = tag(name);
    std::vector<int64_t> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    for (const int64_t time : sorted) {
        if (time < t.next) {
            fillGaps(t, time);
        } else if (time > ask.to) {
            // Past its range: delivered once, but it moves nothing, so that a
            // clock running ahead cannot hide the tag's later data.
            t.ahead.insert(time);
        } else {
            detectGap(name, t, time);
            t.next = std::max(t.next, time + 1);
            t.fresh = true;
        }
    }
    t.ahead.erase(t.ahead.begin(), t.ahead.lower_bound(t.next));
}

void Progress::deferred(const std::string& name)
{
    Tag& t = tag(name);
    t.done = true;
    t.deferred = true;
}

void Progress::answered(const Ask& ask, const std::set<std::string>& heard, std::size_t samples)
{
    ++m_requests;
    m_gapRequests += ask.gap ? 1 : 0;
    bool partial = false;
    for (const auto& name : ask.tags) {
        Tag& t = tag(name);
        t.failures = 0;
        t.batchLimit = 0;
        t.askedPoll = m_poll;
        partial = partial || t.deferred;
        if (t.deferred) {
            // Its samples wait for a later poll: nothing of it is settled.
        } else if (ask.gap) {
            settleGaps(ask, t);
        } else {
            settleRange(ask, t, heard.count(name) != 0);
        }
        t.fresh = false;
    }
    if (!ask.gap) {
        adaptWindow(ask, samples, partial);
    }
}

void Progress::settleRange(const Ask& ask, Tag& t, bool heard)
{
    t.quiet = !t.fresh;
    if (!heard) {
        // Nothing in the answer: only what lies beyond the horizon is known
        // to be complete, and only when the range began at the next pull.
        const int64_t complete = std::min(ask.to, m_now - HORIZON);
        if (ask.from <= t.next && complete >= t.next) {
            t.next = complete + 1;
            t.ahead.erase(t.ahead.begin(), t.ahead.lower_bound(t.next));
        }
        if (ask.to < m_now) {
            t.cursor = std::max(t.cursor.value_or(t.next), ask.to + 1);
        }
    } else if (ask.to < m_now) {
        t.cursor = t.cursor.value_or(t.next);
        // Only samples delivered before: the rest waits for the next poll
        // rather than asking the same window again.
        t.done = t.done || !t.fresh;
    }
    if (ask.to >= m_now) {
        // Asked up to the present: from now on asked from its next pull.
        t.cursor.reset();
        t.spanLimit = 0;
        t.done = true;
    }
}

void Progress::settleGaps(const Ask& ask, Tag& t)
{
    for (auto it = t.gaps.begin(); it != t.gaps.end();) {
        Gap& gap = *it;
        const bool covered = gap.after + 1 >= ask.from && gap.before - 1 <= ask.to;
        if (covered && m_now - HORIZON >= gap.before - 1) {
            it = t.gaps.erase(it);  // asked once the horizon passed it: complete
            continue;
        }
        if (covered) {
            // The last ask comes once the horizon has passed the gap.
            gap.due = std::min(m_now + gap.retry, gap.before - 1 + HORIZON);
            gap.retry = std::min(2 * gap.retry, MAX_GAP_RETRY);
        }
        ++it;
    }
}

void Progress::detectGap(const std::string& name, Tag& t, int64_t time)
{
    if (t.last && time > *t.last) {
        const int64_t step = time - *t.last;
        if (t.interval > 0 && step == t.interval) {
            ++t.run;
        } else if (t.interval > 0 && t.run >= REGULAR_RUN && step >= 2 * t.interval) {
            // Regular series with samples missing: ask for them again, unless
            // the horizon has passed them already.
            if (time - 1 >= m_now - HORIZON) {
                if (t.gaps.size() == MAX_GAPS) {
                    note(Note::Level::INFO, "Tag " + name + " has more than 32 gaps; the oldest is no longer asked");
                    t.gaps.erase(t.gaps.begin());
                }
                t.gaps.push_back(Gap{*t.last, time, t.interval, m_now + FIRST_GAP_RETRY, FIRST_GAP_RETRY});
            }
        } else {
            t.interval = step;
            t.run = 1;
        }
    }
    if (!t.last || time > *t.last) {
        t.last = time;
    }
}

void Progress::fillGaps(Tag& t, int64_t time)
{
    for (auto it = t.gaps.begin(); it != t.gaps.end(); ++it) {
        if (it->after < time && time < it->before) {
            // Split around the sample; a part too short for a missing sample
            // is complete.
            Gap later = *it;
            later.after = time;
            it->before = time;
            const bool keepEarlier = it->before - it->after >= 2 * it->interval;
            const bool keepLater = later.before - later.after >= 2 * later.interval;
            it = keepEarlier ? it + 1 : t.gaps.erase(it);
            if (keepLater) {
                t.gaps.insert(it, later);
            }
            return;
        }
    }
}

void Progress::failed(const Ask& ask, const FailedRequest& failure)
{
    ++m_requests;
    m_gapRequests += ask.gap ? 1 : 0;
    for (const auto& name : ask.tags) {
        Tag& t = tag(name);
        ++t.failures;
        t.failedPoll = m_poll;
        t.askedPoll = m_poll;
        t.done = true;
        for (Gap& gap : t.gaps) {
            if (ask.gap && gap.after + 1 >= ask.from && gap.before - 1 <= ask.to) {
                gap.due = m_now + gap.retry;
                gap.retry = std::min(2 * gap.retry, MAX_GAP_RETRY);
            }
        }
    }
    if (!ask.gap) {
        split(ask, failure);
    }
}

void Progress::split(const Ask& ask, const FailedRequest& failure)
{
    if (ask.tags.empty()) {
        return;  // the closing request of an empty index: nothing to split
    }
    const int code = failure.raised ? 0 : statusCode(failure.status);
    // The key, the proxy, the rate and the service's own state are not about
    // this request: splitting it would change nothing.
    if (code == 401 || code == 403 || code == 407 || code == 429 || code == 503) {
        return;
    }
    const bool aboutRange = code == 400 || code == 413 || code == 414 || code == 416 || code == 422;
    const bool rejects = code >= 400 && code < 500 && code != 408;
    int failures = 0;
    for (const auto& name : ask.tags) {
        failures = std::max(failures, m_tags.at(name).failures);
    }
    if (!rejects && failures < 2) {
        return;  // once may be chance
    }
    const int64_t width = ask.to - ask.from;
    const bool halveWindow = width > MIN_SPLIT_WINDOW && (aboutRange || !rejects || ask.tags.size() == 1);
    if (halveWindow || ask.tags.size() > 1) {
        for (const auto& name : ask.tags) {
            Tag& t = m_tags.at(name);
            if (halveWindow) {
                t.spanLimit = std::max(MIN_SPLIT_WINDOW, width / 2);
            } else {
                t.batchLimit = std::max<std::size_t>(1, ask.tags.size() / 2);
            }
        }
        return;
    }
    Tag& t = m_tags.at(ask.tags.front());
    t.batchLimit = 1;
    if (rejects && (t.rejectedLogged == INT64_MIN || m_now - t.rejectedLogged >= REJECTION_LOG_INTERVAL)) {
        note(Note::Level::ERROR, "The service rejects tag " + ask.tags.front() + " (" + failure.status +
                                     "); its data is asked again at later polls");
        t.rejectedLogged = m_now;
    }
}

void Progress::adaptWindow(const Ask& ask, std::size_t samples, bool partial)
{
    if (ask.tags.empty() || ask.to >= m_now || ask.to <= ask.from) {
        return;  // a range up to the present says little of a backlog's density
    }
    const double tagSeconds = double(ask.tags.size()) * double(ask.to - ask.from);
    double density = double(samples) / tagSeconds;
    if (samples == 0) {
        // Nothing: the next window may be twice as long.
        density = m_density.value_or(double(WINDOW_TARGET) / tagSeconds) / 2;
    }
    if (partial) {
        density *= 2;  // the reading bound cut it: ask less
    }
    m_density = std::max(density, 1e-12);
}

int64_t Progress::windowFor(std::size_t tags) const
{
    if (!m_density) {
        return 86400;
    }
    const double window = double(WINDOW_TARGET) / (double(std::max<std::size_t>(tags, 1)) * *m_density);
    return window >= double(MAX_WINDOW) ? MAX_WINDOW : std::max(MIN_WINDOW, static_cast<int64_t>(window));
}

void Progress::note(Note::Level level, std::string text)
{
    m_notes.push_back(Note{level, std::move(text)});
}

std::vector<Note> Progress::takeNotes()
{
    std::vector<Note> notes;
    notes.swap(m_notes);
    return notes;
}

}  // namespace nerivo
