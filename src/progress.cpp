#include "progress.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <queue>
#include <tuple>

namespace nerivo {

namespace {

using Start = std::pair<std::string, int64_t>;

// The newest second of a series written with fractions stays open for a
// sample of it published later (a logger that went offline inside it),
// until the service has answered samples this far past it: the horizon.
constexpr int64_t EDGE_WAIT = HORIZON;
// Services cap an answer at no fewer samples a tag than this: a shorter
// answer was not cut short.
constexpr std::size_t SHORTEST_CAP = 100;
// While the service fails at random, the tags of a request it did not
// answer are asked again at the next poll; this many failures of them in a
// row are unlikely to be chance (one in 256 with half of all requests
// failing). Tags it refused wait their turn, and fail in a row at four.
constexpr int RANDOM_STREAK = 8;
// A step before a rhythm is taken for an outage beyond this many intervals.
constexpr int64_t LEAD_INTERVALS = 4;

// Two intervals of one series are alike within a tenth of the longer, or
// within two seconds from four on: a logger's clock that jitters by a second
// moves a step by two. From twenty on, where a rhythm keeps its first step
// rather than the steps' mean, that step may itself be two off: four.
bool alike(int64_t a, int64_t b)
{
    const int64_t shorter = std::min(a, b);
    const int64_t jitter = shorter >= 20 ? 4 : shorter >= 4 ? 2 : 0;
    return (a > b ? a - b : b - a) <= std::max(std::max(a, b) / 10, jitter);
}

// Whether a span between two samples holds at least one missing sample.
bool holdsMissing(int64_t span, int64_t interval)
{
    return span > interval + interval / 2;
}

// Two steps alike to the second, a minute or longer: a logger on the clock.
// A series by exception seldom repeats a slow step that closely, so two such
// steps show a rhythm where three looser ones are needed otherwise.
bool precise(int64_t a, int64_t b)
{
    return std::min(a, b) >= SLOW_STEP && (a > b ? a - b : b - a) <= 2;
}

// Whether a span is two or more whole intervals, to the second.
bool wholeIntervals(int64_t span, int64_t interval)
{
    const int64_t off = span % interval;
    return span >= 2 * interval - 2 && std::min(off, interval - off) <= 2;
}

// A slow step, then whole intervals of it to the second: samples missing,
// even before the rhythm shows (a sparse logger's backlog uploaded after its
// first two samples). A series by exception seldom lands on a multiple of
// its step that closely, and a gap so opened goes when the rhythm breaks.
bool wholeBreak(const StoredTag& k, int64_t step)
{
    return k.run >= 1 && k.run < REGULAR_RUN && k.interval >= SLOW_STEP && wholeIntervals(step, k.interval);
}

// A rhythm that held this many steps is seldom a series by exception.
constexpr int LONG_RUN = 10;
// A hole of this many intervals in a rhythm is an outage.
constexpr int64_t OUTAGE_INTERVALS = 100;

// A fast rhythm's step off by a second either way at each end, against an
// interval learnt as a mean of such steps (from 20 s, as one such step): a
// break of it, but not of the rhythm behind it.
bool jittered(int64_t step, int64_t interval)
{
    // From 40 s on, a tenth of the interval allows as much.
    const int64_t off = interval < 20 ? 3 : 4;
    return interval < 40 && step >= 3 && (step > interval ? step - interval : interval - step) <= off;
}

// Whether the newest sample came on the rhythm: a step alike it before it,
// or a gap of it.
bool onRhythm(const StoredTag& k)
{
    const bool endsGap =
        std::any_of(k.gaps.begin(), k.gaps.end(), [&k](const Gap& gap) { return gap.before == *k.last; });
    return k.prior && (alike(*k.last - *k.prior, k.interval) || endsGap);
}

// Whether the second of the newest sample delivered is still open for
// more samples of it (fractions): its delivered fractions are the edge.
bool newestSecondOpen(const StoredTag& k)
{
    return !k.edge.empty() && k.last && k.next == *k.last;
}

// Where a request may start for a tag at the latest. A long slow rhythm has
// nothing in the first half of a step: a request may start that far past
// its next pull and read nothing twice. A sample it passes over shows as a
// step off the rhythm, and is then asked as a gap; a tag still passing
// (its rhythm not gone on past it yet) starts at its next pull.
int64_t latestStart(const StoredTag& k, bool passing, int64_t start)
{
    if (passing || !k.last || k.run < LONG_RUN || k.interval < SLOW_STEP || k.asked || !k.edge.empty()) {
        return start;
    }
    return std::max(start, *k.last + k.interval / 2);
}

// How long an ask's range is; a range from the start of time saturates.
int64_t spanOf(const Ask& ask)
{
    int64_t span = 0;
    return __builtin_sub_overflow(ask.to, ask.from, &span) ? INT64_MAX : span;
}

// The first second that may hold a sample of the gap, and where its next
// ask starts.
int64_t gapFirst(const Gap& gap)
{
    return gap.afterMillis != 0 ? gap.after : gap.after + 1;
}

int64_t gapStart(const Gap& gap)
{
    return std::max(gapFirst(gap), gap.asked);
}

int64_t gapEnd(const Gap& gap)
{
    return gap.beforeMillis != 0 ? gap.before : gap.before - 1;
}

bool gapHolds(const Gap& gap, int64_t time, int32_t millis)
{
    const bool afterStart = gap.after < time || (time == gap.after && gap.afterMillis != 0 && millis > gap.afterMillis);
    return afterStart && (time < gap.before || (time == gap.before && millis < gap.beforeMillis));
}

// The fewest range requests the tags take, all sharing one start: their
// names, percent-encoded and comma-separated, fill URLs of about this many
// bytes each.
constexpr std::size_t URL_NAME_BYTES = 3800;
// Groups a window of tags put off to the last poll of their promise is
// asked in, at most.
constexpr std::size_t OVERDUE_GROUPS = 10;

std::size_t leastRequests(const std::vector<std::string>& names)
{
    std::size_t bytes = 0;
    for (const std::string& name : names) {
        for (const char c : name) {
            const bool plain =
                std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
            bytes += plain ? 1 : 3;
        }
        bytes += 1;
    }
    return bytes / URL_NAME_BYTES + 1;
}

// Joins groups, kept in order of their starts, each to the one before it,
// cheapest first (then closest), until at most target are left: join(a, b)
// is what b joining a costs, none when it may not. False when the joins
// allowed cannot get there.
template <typename G, typename Join>
bool joinNeighbours(std::vector<G>& groups, std::size_t target, const Join& join)
{
    std::vector<std::size_t> prev(groups.size());
    std::vector<std::size_t> next(groups.size());
    std::vector<int> version(groups.size(), 0);
    for (std::size_t i = 0; i < groups.size(); ++i) {
        prev[i] = i == 0 ? 0 : i - 1;
        next[i] = i + 1;
    }
    // Cost, span, the group and the one before it, and their versions then.
    using Entry = std::tuple<std::size_t, int64_t, std::size_t, std::size_t, int, int>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap;
    auto offer = [&](std::size_t b) {
        if (b == 0 || b >= groups.size()) {
            return;  // the first group, or past the last
        }
        const std::size_t a = prev[b];
        if (const auto cost = join(groups[a], groups[b])) {
            heap.emplace(*cost, groups[b].from - groups[a].from, b, a, version[a], version[b]);
        }
    };
    for (std::size_t i = 1; i < groups.size(); ++i) {
        offer(i);
    }
    std::size_t count = groups.size();
    while (count > target && !heap.empty()) {
        const auto [cost, span, b, a, va, vb] = heap.top();
        heap.pop();
        if (prev[b] != a || version[a] != va || version[b] != vb || groups[a].tags.empty() || groups[b].tags.empty()) {
            continue;  // either side changed since
        }
        groups[a].tags.insert(groups[a].tags.end(), groups[b].tags.begin(), groups[b].tags.end());
        groups[b].tags.clear();
        ++version[a];
        next[a] = next[b];
        if (next[b] < groups.size()) {
            prev[next[b]] = a;
        }
        --count;
        offer(a);
        offer(next[a]);
    }
    groups.erase(std::remove_if(groups.begin(), groups.end(), [](const G& g) { return g.tags.empty(); }), groups.end());
    return count <= target;
}

}  // namespace

Progress::Progress(int64_t start) : m_start(start) {}

Progress::Tag& Progress::tag(const std::string& name)
{
    auto found = m_tags.find(name);
    if (found == m_tags.end()) {
        Tag fresh;
        fresh.kept.next = m_start;
        fresh.kept.asked = m_start;  // a new tag reads its backlog in windows
        found = m_tags.emplace(name, fresh).first;
    }
    return found->second;
}

int64_t Progress::next(const std::string& tag) const
{
    auto found = m_tags.find(tag);
    return found == m_tags.end() ? m_start : found->second.kept.next;
}

int64_t Progress::startOf(const Tag& t) const
{
    return t.kept.asked ? std::max(t.kept.next, *t.kept.asked) : t.kept.next;
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
    // An open gap may still receive samples: a restart from this time alone
    // must not pass it.
    for (const auto& entry : m_tags) {
        const StoredTag& k = entry.second.kept;
        const int64_t gap = k.gaps.empty() ? INT64_MAX : gapFirst(k.gaps.front());
        earliest = std::min({earliest.value_or(INT64_MAX), k.next, gap});
    }
    return earliest;
}

std::size_t Progress::openGaps() const
{
    std::size_t gaps = 0;
    for (const auto& entry : m_tags) {
        gaps += entry.second.kept.gaps.size();
    }
    return gaps;
}

int64_t Progress::settledBefore() const
{
    // A silent range counts as read only once the service's own clock, the
    // newest time it answered, has passed it by the horizon: a local clock
    // that jumps ahead settles nothing.
    if (!m_evidence) {
        return INT64_MIN;
    }
    const int64_t clock = std::min(m_now, *m_evidence);
    return clock < INT64_MIN + HORIZON ? INT64_MIN : clock - HORIZON;
}

bool Progress::resting(const Tag& t) const
{
    // A rest ends two polls short of the promise, so that a spent budget
    // that puts the tag off to a later poll still keeps it.
    // Nor does one begin before the tag's first ask since a restart: how
    // long it had rested before is not stored.
    const StoredTag& k = t.kept;
    if (k.asked || t.session.rangePoll == 0 || m_poll - t.session.rangePoll >= RESTING_POLLS - 2) {
        return false;
    }
    // A regular series has nothing new before its next sample is due: asking
    // it at every poll of a fast poll rate would only cost traffic.
    const bool regular = k.run >= REGULAR_RUN && k.last;
    if (regular && m_now < *k.last + k.interval) {
        return true;
    }
    // A tag whose answers keep holding nothing new (a dead sensor, a
    // removed logger, a tag that seldom changes) is asked at a slowing
    // rhythm.
    return t.session.silentAsks > 1 && m_poll - t.session.rangePoll < t.session.silentAsks;
}

bool Progress::overdue(const Session& s) const
{
    // Put off to the last poll of the promise of a poll in ten.
    return m_poll - s.askedPoll >= RESTING_POLLS - 1;
}

int64_t Progress::fastestInterval() const
{
    int64_t fastest = 0;
    for (const auto& entry : m_tags) {
        const StoredTag& k = entry.second.kept;
        if (k.run >= REGULAR_RUN && k.interval > 0 && (fastest == 0 || k.interval < fastest)) {
            fastest = k.interval;
        }
    }
    return fastest;
}

int64_t Progress::steady(int64_t now)
{
    // A clock set back would hold every tag until it passed their next pulls
    // again, hours for a clock hours behind: polls go on from the last one's
    // time instead, until the clock itself passes it.
    if (!m_lastNow || now >= *m_lastNow) {
        m_behind = 0;
    } else if (now + m_behind < *m_lastNow) {
        const int64_t behind = *m_lastNow - now;
        if (behind - m_behind > CLOCK_SLACK && m_poll > 0) {
            note(Note::Level::WARN, "The clock went back " + std::to_string(behind - m_behind) +
                                        " s: polls go on from the last poll's time until it passes that");
        }
        m_behind = behind;
    }
    m_lastNow = now + m_behind;
    return *m_lastNow;
}

void Progress::rememberOvershoot()
{
    m_hourOvershoot = std::max(m_hourOvershoot, std::exchange(m_pollOvershoot, 0));
    if (!m_hourStart || m_now < *m_hourStart || m_now - *m_hourStart >= OVERSHOOT_MEMORY) {
        m_priorOvershoot = std::exchange(m_hourOvershoot, 0);
        m_hourStart = m_now;
    }
    m_overshoot = std::max(m_priorOvershoot, m_hourOvershoot);
}

void Progress::beginPoll(int64_t now, const std::vector<std::string>& tags)
{
    m_now = steady(now);
    ++m_poll;
    m_round = 0;
    m_priorRequests = m_requests;
    m_priorAnswers = m_answers;
    m_requests = 0;
    m_gapRequests = 0;
    m_gapReserve = 0;
    m_catchUpRequests = 0;
    m_catchUpReserve = 0;
    m_answers = 0;
    m_pollEvidence = m_evidence;
    rememberOvershoot();
    m_index = tags;
    // An index too large for one poll's requests even when its tags share
    // one start needs all the sharing it can get.
    m_largeIndex = leastRequests(tags) > static_cast<std::size_t>(MAX_GROUPS);
    for (auto& entry : m_tags) {
        entry.second.marks = Marks{true, false, false, false, std::nullopt};  // until the index names it
    }
    for (const auto& name : tags) {
        Tag& t = tag(name);
        t.kept.missingSince = 0;
        t.marks.done = false;
    }
    // Tags the index lost (a failed list, a changed key) keep their progress,
    // so that their return delivers nothing twice.
    for (auto& entry : m_tags) {
        if (entry.second.marks.done && entry.second.kept.missingSince == 0) {
            entry.second.kept.missingSince = now;
        }
    }
    forgetMissing();
}

void Progress::forgetMissing()
{
    std::vector<std::pair<int64_t, std::string>> missing;
    for (const auto& entry : m_tags) {
        if (entry.second.marks.done && entry.second.kept.missingSince != 0) {
            missing.emplace_back(entry.second.kept.missingSince, entry.first);
        }
    }
    if (missing.size() <= MAX_MISSING_TAGS) {
        return;
    }
    std::sort(missing.begin(), missing.end());
    const std::size_t extra = missing.size() - MAX_MISSING_TAGS;
    for (std::size_t i = 0; i < extra; ++i) {
        m_tags.erase(missing[i].second);
    }
    note(Note::Level::INFO, "The progress of " + std::to_string(extra) +
                                " tags missing from the service longest is forgotten; " +
                                std::to_string(MAX_MISSING_TAGS) + " missing tags are remembered at most");
}

std::vector<Ask> Progress::plan()
{
    ++m_round;
    std::vector<Ask> asks = rangeAsks();
    probeOnce(asks);
    // A share of the budget is kept for a backlog while one is read, so
    // that many small groups at the present cannot hold it back.
    const bool behind = std::any_of(asks.begin(), asks.end(), [this](const Ask& ask) { return catchingUp(ask); });
    m_catchUpReserve = behind ? CATCH_UP_REQUESTS : 0;
    if (m_round == 1) {
        std::vector<Ask> gaps = gapAsks();
        // So is a share for gaps, so that a large index cannot starve them.
        m_gapReserve = gaps.empty() ? 0 : MAX_GAP_REQUESTS;
        asks.insert(asks.end(), gaps.begin(), gaps.end());
    }
    order(asks);
    return asks;
}

bool Progress::mayAsk(const Ask& ask) const
{
    if (m_requests >= MAX_POLL_REQUESTS) {
        return false;
    }
    if (ask.gap) {
        return m_gapRequests < MAX_GAP_REQUESTS;
    }
    const int ranges = m_requests - m_gapRequests;
    if (catchingUp(ask)) {
        return ranges < MAX_POLL_REQUESTS - m_gapReserve;
    }
    return ranges - m_catchUpRequests < MAX_POLL_REQUESTS - m_gapReserve - m_catchUpReserve;
}

bool Progress::catchingUp(const Ask& ask) const
{
    return !ask.gap && ask.to < m_now;
}

std::vector<Ask> Progress::rangeAsks()
{
    // Tags that fail alike are asked alike: a group per limit.
    std::map<std::pair<int64_t, std::size_t>, std::vector<Start>> buckets;
    for (const auto& name : m_index) {
        Tag& t = m_tags.at(name);
        if (t.marks.done || startOf(t) > m_now || resting(t)) {
            if (!t.marks.done && startOf(t) > m_now) {
                t.session.askedPoll = m_poll;  // owed nothing while it waits for the clock
            }
            t.marks.done = true;  // a stored time ahead of the clock waits for it
            continue;
        }
        buckets[{t.session.spanLimit, t.session.batchLimit}].emplace_back(name, startOf(t));
    }
    std::vector<Ask> asks;
    for (const auto& bucket : buckets) {
        // Tags put off to the last poll of the promise of a poll in ten
        // share a request (one per window they fit in), asked first,
        // whatever it re-reads.
        std::vector<Start> starts;
        std::vector<Start> late;
        for (const Start& start : bucket.second) {
            (overdue(m_tags.at(start.first).session) ? late : starts).push_back(start);
        }
        for (const auto& group : overdueGroups(std::move(late), bucket.first.first, bucket.first.second)) {
            asks.push_back(rangeAsk(group, bucket.first.first, bucket.first.second));
            asks.back().tags = group.tags;  // by start: each request starts near its own tags'
        }
        for (const auto& group : rangeGroups(starts)) {
            asks.push_back(rangeAsk(group, bucket.first.first, bucket.first.second));
        }
    }
    return asks;
}

std::pair<int64_t, int64_t> Progress::reach(const Start& start, double allowance) const
{
    // A request may start before the tag's next pull while the samples it
    // re-reads are few against those it is expected to bring: whole samples
    // from its newest back, a share of those due since (one, once it fell
    // silent). A series without a rhythm is taken at its latest step, or an
    // hour; a tag that never had a sample costs nothing.
    const Tag& t = m_tags.at(start.first);
    const StoredTag& k = t.kept;
    if (!k.last) {
        return {INT64_MIN, start.second};
    }
    // Past the first round, where tags must share starts to fit the budget.
    const int64_t latest = allowance > 0 ? latestStart(k, t.session.passed.has_value(), start.second) : start.second;
    const double interval = k.interval > 0 ? double(k.interval) : double(GROUP_SPAN);
    // Due by the service's clock once the tag was read up to the present:
    // a local clock gone ahead brings nothing. A backlog is due by the
    // local clock, which the service's newest answers have not reached.
    const int64_t clock = m_evidence && !k.asked ? std::min(m_now, *m_evidence) : m_now;
    const double due = t.session.quiet ? 1.0 : std::max(1.0, double(clock - *k.last) / interval);
    // An answer cut by a cap brings the oldest samples it holds: each one
    // re-read takes the place of a new one, and past the cap none is new.
    const double most =
        t.session.capped ? std::floor(REREAD_LIMIT * double(SHORTEST_CAP)) : std::numeric_limits<double>::infinity();
    const double rereads = std::min(std::floor(allowance * due), most);
    if (rereads < 1) {
        return {start.second, latest};
    }
    const double back = double(start.second - *k.last) + (rereads - 1) * interval;
    const int64_t earliest = back >= double(start.second - INT64_MIN / 2) ? INT64_MIN : start.second - int64_t(back);
    return {earliest, latest};
}

std::vector<Progress::Group> Progress::groupsAt(const std::vector<Start>& starts, double allowance) const
{
    // The fewest starts that every tag can take: sorted by the latest start
    // each may take, a group starts at its first tag's and holds every tag
    // that can start there.
    std::vector<std::pair<std::pair<int64_t, int64_t>, const std::string*>> reaches;
    reaches.reserve(starts.size());
    for (const Start& start : starts) {
        reaches.emplace_back(reach(start, allowance), &start.first);
    }
    std::sort(reaches.begin(), reaches.end(), [](const auto& a, const auto& b) {
        return a.first.second != b.first.second ? a.first.second < b.first.second : *a.second < *b.second;
    });
    std::vector<Group> groups;
    for (const auto& entry : reaches) {
        if (groups.empty() || entry.first.first > groups.back().from) {
            groups.push_back(Group{entry.first.second, {}});
        }
        groups.back().tags.push_back(*entry.second);
    }
    return groups;
}

std::vector<Progress::Group> Progress::rangeGroups(const std::vector<Start>& starts) const
{
    // A tag with samples re-reads its newest from any earlier start: it
    // shares only when there are too many groups.
    std::vector<Group> groups = groupsAt(starts, 0);
    if (groups.size() <= MAX_GROUPS) {
        return groups;
    }
    // More groups than one poll's budget wait their turn while they re-read
    // little: a tag put off brings more at its next ask.
    const std::size_t turns = MAX_GROUPS * MAX_GROUP_POLLS;
    std::vector<Group> cheap = groupsAt(starts, REREAD_LIMIT);
    if (cheap.size() <= turns) {
        return cheap;
    }
    double allowance = 2 * REREAD_LIMIT;
    groups = groupsAt(starts, allowance);
    while (groups.size() > turns && allowance <= 1e15) {
        allowance *= 2;
        groups = groupsAt(starts, allowance);
    }
    // Sharing that much at every start would make every tag re-read; an
    // index that fits one poll's requests once shared merges only the
    // groups that re-read least, until their turns fit. A larger index
    // needs all the sharing it can get.
    if (readingBacklog(starts) || m_largeIndex) {
        return groups;
    }
    std::optional<std::vector<Group>> merged = mergeCheapest(std::move(cheap), starts, allowance, turns);
    return merged ? std::move(*merged) : groups;
}

bool Progress::readingBacklog(const std::vector<Start>& starts) const
{
    // Read in windows, or its last answer cut by a cap far short of its end.
    return std::any_of(starts.begin(), starts.end(), [this](const Start& s) {
        const Tag& t = m_tags.at(s.first);
        return t.kept.asked || t.session.capped;
    });
}

std::optional<std::vector<Progress::Group>> Progress::mergeCheapest(std::vector<Group> groups,
                                                                    const std::vector<Start>& starts, double allowance,
                                                                    std::size_t target) const
{
    // Each tag's earliest start re-reading little, and at most.
    std::map<std::string, std::pair<int64_t, int64_t>> earliest;
    for (const Start& start : starts) {
        earliest[start.first] = {reach(start, REREAD_LIMIT).first, reach(start, allowance).first};
    }
    // A group joins the one before it when each of its tags can start
    // there; the cost is how many of them then re-read more than a little.
    auto cost = [&earliest](const Group& before, const Group& group) -> std::optional<std::size_t> {
        std::size_t count = 0;
        for (const std::string& name : group.tags) {
            const auto& e = earliest.at(name);
            if (e.second > before.from) {
                return std::nullopt;
            }
            count += e.first > before.from ? 1 : 0;
        }
        return count;
    };
    if (!joinNeighbours(groups, target, cost)) {
        return std::nullopt;
    }
    return groups;
}

std::vector<std::string> Progress::byAskedPoll(std::vector<std::string> tags) const
{
    // Tags asked longest ago go first: a group too large for one poll's
    // budget is asked in turns, never from its first tag at every poll.
    std::sort(tags.begin(), tags.end());
    tags.erase(std::unique(tags.begin(), tags.end()), tags.end());
    std::stable_sort(tags.begin(), tags.end(), [this](const std::string& a, const std::string& b) {
        return m_tags.at(a).session.askedPoll < m_tags.at(b).session.askedPoll;
    });
    return tags;
}

std::vector<Progress::Group> Progress::overdueGroups(std::vector<Start> late, int64_t spanLimit,
                                                     std::size_t batchLimit) const
{
    // As few groups as the window allows: a tag whose start lies past the
    // window of the earliest would be asked without being read. Tags that
    // never had a sample go apart: far back, they would make the others
    // re-read from there.
    std::sort(late.begin(), late.end(), [](const Start& a, const Start& b) { return a.second < b.second; });
    const auto sampled = std::stable_partition(late.begin(), late.end(),
                                               [this](const Start& s) { return !m_tags.at(s.first).kept.last; });
    std::vector<Group> groups;
    for (auto first = late.begin(); first != late.end();) {
        const auto part = first < sampled ? sampled : late.end();
        Group group{first->second, {}};
        std::transform(first, part, std::back_inserter(group.tags), [](const Start& s) { return s.first; });
        const int64_t to = rangeAsk(group, spanLimit, batchLimit).to;
        const auto last = std::find_if(first, part, [to](const Start& s) { return s.second > to; });
        group.tags.resize(static_cast<std::size_t>(last - first));
        // A window short of the present is a catch-up, read whole, as are
        // the windows of an index too large to share less.
        if (first < sampled || to < m_now || m_largeIndex || readingBacklog(late)) {
            groups.push_back(std::move(group));
        } else {
            for (Group& share : overdueShares(std::vector<Start>(first, last))) {
                groups.push_back(std::move(share));
            }
        }
        first = last;
    }
    return groups;
}

std::vector<Progress::Group> Progress::overdueShares(const std::vector<Start>& starts) const
{
    // Tags put off to the last poll of their promise are asked whatever
    // they re-read, but in a few groups whose starts lie closest rather
    // than all from the earliest: one tag silent for hours would make every
    // other read those hours again.
    std::optional<std::vector<Group>> merged =
        mergeCheapest(groupsAt(starts, REREAD_LIMIT), starts, std::numeric_limits<double>::max(), OVERDUE_GROUPS);
    if (merged) {
        return std::move(*merged);
    }
    Group all{starts.empty() ? 0 : starts.front().second, {}};
    std::transform(starts.begin(), starts.end(), std::back_inserter(all.tags), [](const Start& s) { return s.first; });
    return {all};
}

int64_t Progress::requestStart(const Ask& ask) const
{
    // One request of a list too long for one URL starts at the earliest of
    // its own tags, not of the whole list: it re-reads no more than they
    // need.
    if (ask.gap || ask.tags.empty()) {
        return ask.from;
    }
    int64_t from = INT64_MAX;
    for (const auto& name : ask.tags) {
        const auto found = m_tags.find(name);
        if (found == m_tags.end()) {
            return ask.from;
        }
        from = std::min(from, startOf(found->second));
    }
    return from <= ask.to ? std::max(ask.from, from) : ask.from;
}

Ask Progress::rangeAsk(const Group& group, int64_t spanLimit, std::size_t batchLimit) const
{
    Ask ask;
    ask.from = group.from;
    // A backlog is read in windows; a tag asked up to the present before is
    // asked from its next pull up to the present again.
    const bool backlog = std::any_of(group.tags.begin(), group.tags.end(),
                                     [this](const std::string& name) { return m_tags.at(name).kept.asked; });
    // A window aims at its samples for one request: a group too long for
    // one URL goes out as several, each with the tags its last one held.
    std::size_t perRequest = 0;
    for (const std::string& name : group.tags) {
        perRequest = std::max(perRequest, m_tags.at(name).session.requestTags);
    }
    const std::size_t tags = perRequest == 0 ? group.tags.size() : std::min(perRequest, group.tags.size());
    int64_t width = backlog ? windowFor(tags) : INT64_MAX;
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
    ask.tags = byAskedPoll(group.tags);
    ask.maxTags = batchLimit;
    return ask;
}

// A gap due at this poll, and the window it is asked over.
struct DueGap {
    std::string tag;
    int64_t from = 0;
    int64_t to = 0;
    int64_t interval = 1;
    int64_t missing = 1;  // samples it may still bring
    int64_t since = 0;    // due since
    int64_t past = 0;     // samples any ask of it reads past its end (a service clock ahead)
};

namespace {

// Samples of the gap's tag that an ask starting at from reads before it.
int64_t rereadBefore(const DueGap& gap, int64_t from)
{
    return from >= gap.from ? 0 : (gap.from - from + gap.interval - 1) / gap.interval;
}

// How far an ask starting at from may reach past the gap while it re-reads
// at most the given share of what the gap may bring; none when it may not
// start there.
std::optional<int64_t> reachOf(const DueGap& gap, int64_t from, double allowance)
{
    const double allowed =
        std::floor(allowance * double(gap.missing)) + double(gap.past) - double(rereadBefore(gap, from));
    if (allowed < 0) {
        return std::nullopt;
    }
    const double end = double(gap.to) + allowed * double(gap.interval);
    return end >= double(INT64_MAX / 2) ? INT64_MAX / 2 : gap.to + int64_t(allowed) * gap.interval;
}

// Sorted by start, a gap joins the group before it while no gap of the
// group re-reads more than its share.
std::vector<std::vector<const DueGap*>> groupGaps(const std::vector<DueGap>& gaps, double allowance)
{
    std::vector<std::vector<const DueGap*>> groups;
    int64_t to = 0;
    int64_t limit = 0;
    for (const DueGap& gap : gaps) {
        if (!groups.empty()) {
            const std::optional<int64_t> reach = reachOf(gap, groups.back().front()->from, allowance);
            if (reach && std::max(to, gap.to) <= std::min(limit, *reach)) {
                groups.back().push_back(&gap);
                to = std::max(to, gap.to);
                limit = std::min(limit, *reach);
                continue;
            }
        }
        groups.push_back({&gap});
        to = gap.to;
        limit = reachOf(gap, gap.from, allowance).value_or(gap.to);
    }
    return groups;
}

}  // namespace

Ask Progress::gapAsk(const std::vector<const DueGap*>& group) const
{
    Ask ask;
    ask.gap = true;
    ask.from = group.front()->from;
    ask.to = ask.from;
    std::map<std::string, int64_t> since;  // by tag
    for (const DueGap* gap : group) {
        ask.to = std::max(ask.to, gap->to);
        since.emplace(gap->tag, gap->since).first->second = std::min(since[gap->tag], gap->since);
    }
    for (const auto& entry : since) {
        // A gap is windowed and split like any range its tag failed.
        const Session& s = m_tags.at(entry.first).session;
        if (s.spanLimit != 0) {
            ask.to = std::min(ask.to, ask.from + s.spanLimit);
        }
        if (s.batchLimit != 0) {
            ask.maxTags = ask.maxTags == 0 ? s.batchLimit : std::min(ask.maxTags, s.batchLimit);
        }
        ask.tags.push_back(entry.first);
    }
    // Tags whose gaps are due longest go first.
    std::stable_sort(ask.tags.begin(), ask.tags.end(),
                     [&since](const std::string& a, const std::string& b) { return since[a] < since[b]; });
    return ask;
}

std::vector<Ask> Progress::gapAsks()
{
    // Tags that fail alike are asked alike, as their ranges are: one tag's
    // narrowed window or list must not narrow the others' gaps.
    std::map<std::pair<int64_t, std::size_t>, std::vector<DueGap>> buckets;
    for (const auto& name : m_index) {
        const Tag& t = m_tags.at(name);
        for (const Gap& gap : t.kept.gaps) {
            if (gap.due <= m_now) {
                const int64_t interval = std::max<int64_t>(gap.interval, 1);
                const int64_t missing = std::max<int64_t>((gap.before - gap.after) / interval - 1, 1);
                // A round's first request ends short by what the service
                // answers past its end; the answer says how far it reached.
                const int64_t end = gap.asked == 0 ? std::max(gapStart(gap), gapEnd(gap) - m_overshoot) : gapEnd(gap);
                buckets[{t.session.spanLimit, t.session.batchLimit}].push_back(
                    DueGap{name, gapStart(gap), end, interval, missing, gap.due, m_overshoot / interval});
            }
        }
    }
    for (auto& bucket : buckets) {
        std::sort(bucket.second.begin(), bucket.second.end(), [](const DueGap& a, const DueGap& b) {
            return std::tie(a.from, a.to, a.tag) < std::tie(b.from, b.to, b.tag);
        });
    }
    // Gaps share a request where that re-reads little of the samples around
    // them; with more groups than the budget of several polls, more is
    // allowed, so that none waits for ever.
    std::vector<std::vector<const DueGap*>> groups;
    for (double allowance = 0;; allowance = allowance == 0 ? REREAD_LIMIT : allowance * 2) {
        groups.clear();
        for (const auto& bucket : buckets) {
            for (auto& group : groupGaps(bucket.second, allowance)) {
                groups.push_back(std::move(group));
            }
        }
        if (groups.size() <= MAX_GAP_GROUPS || allowance > 1e15) {
            break;
        }
    }
    std::vector<std::pair<int64_t, Ask>> asks;
    for (const auto& group : groups) {
        asks.emplace_back(INT64_MAX, gapAsk(group));
        for (const DueGap* gap : group) {
            asks.back().first = std::min(asks.back().first, gap->since);
        }
    }
    // The gaps due longest go first, so that more than the budget takes
    // are asked in turns.
    std::stable_sort(asks.begin(), asks.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Ask> chosen;
    for (std::size_t i = 0; i < asks.size() && i < static_cast<std::size_t>(MAX_GAP_REQUESTS); ++i) {
        chosen.push_back(std::move(asks[i].second));
    }
    return chosen;
}

void Progress::order(std::vector<Ask>& asks) const
{
    // Requests that failed go last, so that they hold back nothing; tags
    // put off to the last poll of their promise go first; then ranges of
    // tags known to have more waiting (a backlog answered as far as a cap
    // or the reading bound took it), which bring the most; among the others
    // the tags asked longest ago go first (for a range, its range: asks of a
    // tag's gaps do not read what came since).
    auto key = [this](const Ask& ask) {
        bool failed = false;
        bool late = false;
        bool backlog = false;
        int64_t asked = INT64_MAX;
        for (const auto& name : ask.tags) {
            const Session& s = m_tags.at(name).session;
            failed = failed || s.failedPoll >= m_poll - 1;
            late = late || overdue(s);
            backlog = backlog || (!ask.gap && s.backlog);
            asked = std::min(asked, ask.gap ? s.askedPoll : s.rangePoll);
        }
        return std::make_tuple(failed, !late, ask.gap, !backlog, asked, ask.from);
    };
    std::stable_sort(asks.begin(), asks.end(), [&key](const Ask& a, const Ask& b) { return key(a) < key(b); });
}

std::vector<std::size_t> Progress::select(const std::string& name, const std::vector<int64_t>& times,
                                          const std::vector<int32_t>& millis) const
{
    static const Tag unknown;
    auto found = m_tags.find(name);
    const StoredTag& k = found == m_tags.end() ? unknown.kept : found->second.kept;
    const int64_t next = found == m_tags.end() ? m_start : k.next;
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < times.size(); ++i) {
        const int64_t time = times[i];
        const int32_t ms = i < millis.size() ? millis[i] : 0;
        const bool inGap =
            std::any_of(k.gaps.begin(), k.gaps.end(), [time, ms](const Gap& gap) { return gapHolds(gap, time, ms); });
        // Samples of the newest second that were delivered are known by
        // their fractions.
        const bool seen = !k.edge.empty() && time == next && k.edge.count(ms) != 0;
        if ((time >= next || inGap) && k.ahead.count(time) == 0 && !seen) {
            chosen.push_back(i);
        }
    }
    return chosen;
}

void Progress::delivered(const Ask& ask, const std::string& name, const std::vector<int64_t>& times, std::size_t count,
                         const std::vector<int32_t>& millis)
{
    std::vector<std::size_t> chosen = select(name, times, millis);
    std::stable_sort(chosen.begin(), chosen.end(),
                     [&times](std::size_t a, std::size_t b) { return times[a] < times[b]; });
    Tag& t = tag(name);
    t.marks.full = times.size() >= SHORTEST_CAP;
    const bool partial = count < chosen.size();
    chosen.resize(std::min(count, chosen.size()));
    std::vector<std::pair<int64_t, int32_t>> taken;
    taken.reserve(chosen.size());
    for (const std::size_t i : chosen) {
        taken.emplace_back(times[i], i < millis.size() ? millis[i] : 0);
    }
    // A sample delivered past the end of an earlier range counts as taken
    // once a range covers it, as far as this answer was delivered.
    const int64_t limit = !partial ? INT64_MAX : taken.empty() ? INT64_MIN : taken.back().first;
    for (const int64_t time : times) {
        m_evidence = std::max(m_evidence.value_or(INT64_MIN), time);
        t.marks.newest = std::max(t.marks.newest.value_or(time), time);
        // Past that, a sensor's clock gone wrong rather than the service's.
        if (time > ask.to && time - ask.to <= CLOCK_SLACK) {
            m_pollOvershoot = std::max(m_pollOvershoot, time - ask.to);
        }
        if (t.kept.ahead.count(time) != 0 && time >= ask.from && time <= ask.to && time <= limit) {
            taken.emplace_back(time, 0);
        }
    }
    std::sort(taken.begin(), taken.end());
    taken.erase(std::unique(taken.begin(), taken.end()), taken.end());
    for (const auto& sample : taken) {
        take(ask, name, t, sample.first, sample.second);
    }
    t.kept.ahead.erase(t.kept.ahead.begin(), t.kept.ahead.lower_bound(t.kept.next));
    if (partial) {
        // The rest waits for a later poll: nothing more of it is settled.
        t.marks.done = true;
        t.marks.deferred = true;
    }
}

void Progress::take(const Ask& ask, const std::string& name, Tag& t, int64_t time, int32_t millis)
{
    StoredTag& k = t.kept;
    if (time < k.next) {
        fillGaps(name, k, time, millis);
        t.marks.fresh = true;
        // A step that may yet be taken for a gap ends at this sample now:
        // a gap over it would deliver it again.
        if (k.prior && *k.prior < time && k.last && time < *k.last) {
            k.prior = time;
        }
        if (k.lead && k.lead->after < time && time < k.lead->before) {
            k.lead->after = time;
        }
        return;
    }
    // Far past its range (a sensor's clock gone wrong): delivered once, but
    // it moves nothing until a range covers it, so that it cannot hide the
    // tag's later data. A service clock a few minutes ahead moves it as
    // usual: the tag waits for the local clock to catch up.
    if (time > ask.to && time - ask.to > CLOCK_SLACK && k.ahead.size() < MAX_AHEAD) {
        k.ahead.insert(time);
        return;
    }
    k.ahead.erase(time);
    t.marks.fresh = true;
    if (time == k.next && !k.edge.empty()) {
        // One more sample of the newest second; it may be one a gap ending
        // at that second holds (an earlier fraction, uploaded later).
        fillGaps(name, k, time, millis);
        k.edge.insert(millis);
        return;
    }
    // Passed over: a request that began past where the tag's unread data
    // begins (a window read empty before moves that on from the next pull).
    detectGap(name, t, time, millis, !ask.gap && ask.from > startOf(t));
    k.edge.clear();
    k.next = time + 1;
    if (millis != 0) {
        // Written with fractions: another sample of this second may follow.
        k.next = time;
        k.edge.insert(millis);
    }
}

void Progress::answered(const Ask& ask, const std::set<std::string>& heard, std::size_t samples)
{
    ++m_requests;
    ++m_answers;
    m_answeredSpan = std::max(m_answeredSpan, spanOf(ask));
    m_refusedSpan = m_refusedSpan > m_answeredSpan ? m_refusedSpan : 0;  // its limit went up
    m_gapRequests += ask.gap ? 1 : 0;
    m_catchUpRequests += catchingUp(ask) ? 1 : 0;
    bool partial = false;
    for (const auto& name : ask.tags) {
        Tag& t = tag(name);
        t.session.failures = 0;
        t.session.batchLimit = 0;
        // A window narrowed for failing widens again; one narrowed for its
        // span, as far as the service has answered spans and then towards
        // the shortest it refused.
        Session& s = t.session;
        if (s.spanLimit != 0 && !s.spanRefused) {
            s.spanLimit = s.spanLimit > WINDOWS.max / 2 ? 0 : 2 * s.spanLimit;
        } else if (s.spanLimit != 0) {
            s.spanLimit = std::max(s.spanLimit, std::min(2 * s.spanLimit, spanProbe()));
        }
        t.session.askedPoll = m_poll;
        t.session.rangePoll = ask.gap ? t.session.rangePoll : m_poll;
        t.session.requestTags = ask.gap ? t.session.requestTags : ask.tags.size();
        partial = partial || t.marks.deferred;
        if (!ask.gap) {
            t.session.capped = cutShort(t, ask.to);
            t.session.backlog = t.marks.deferred || (t.marks.full && t.marks.fresh);
        }
        if (t.marks.deferred) {
            // Its samples wait for a later poll: nothing of it is settled.
        } else if (ask.gap) {
            settleGaps(ask, t);
        } else {
            t.session.silentAsks = t.marks.fresh ? 0 : t.session.silentAsks + 1;
            settleRange(ask, t, heard.count(name) != 0);
        }
        t.marks.fresh = false;
        t.marks.full = false;
        t.marks.newest.reset();
    }
    if (!ask.gap) {
        adaptWindow(ask, samples, partial);
    }
}

void Progress::settleRange(const Ask& ask, Tag& t, bool heard)
{
    StoredTag& k = t.kept;
    t.session.quiet = !t.marks.fresh;
    // Samples delivered before and no more (an answer that short was not
    // cut): the window held nothing new, as if it were empty.
    if (!heard || (!t.marks.fresh && !t.marks.full)) {
        // Nothing in the answer: only what lies beyond the horizon is known
        // to be complete, and only when the range began at the next pull.
        const int64_t complete = std::min(ask.to, settledBefore());
        if (ask.from <= k.next && complete >= k.next) {
            k.next = complete + 1;
            k.ahead.erase(k.ahead.begin(), k.ahead.lower_bound(k.next));
        }
        if (ask.to < m_now) {
            // A window past the service's newest answered time is not read
            // yet, however far the local clock is ahead: its samples may
            // still come.
            const int64_t read = m_evidence ? std::min(ask.to, std::max(*m_evidence, ask.from - 1)) : ask.to;
            // Nor is a second still open (fractions): its later samples may
            // come. A window as wide as the service answers, read whole,
            // passes it all the same, or the tag would stay in that window:
            // a gap over the stretch passed keeps the second for a regular
            // series.
            const int64_t limit = t.session.spanLimit;
            const bool open = newestSecondOpen(k) && (limit == 0 || spanOf(ask) < limit || read < ask.to);
            const int64_t through = open ? std::min(read, k.next - 1) : read;
            k.asked = std::max(k.asked.value_or(k.next), through + 1);
        }
    } else if (ask.to < m_now) {
        k.asked = k.asked.value_or(k.next);
        // Only samples delivered before: the rest waits for the next poll
        // rather than asking the same window again.
        t.marks.done = t.marks.done || !t.marks.fresh;
    }
    if (ask.to >= m_now) {
        // Asked up to the present: from now on asked from its next pull.
        k.asked.reset();
        t.session.spanLimit = 0;
        // An answer as long as a cap may have cut the newest second short.
        if (!t.marks.full) {
            closeEdge(k);
        }
        t.marks.done = !cutShort(t, ask.to);
    }
}

void Progress::closeEdge(StoredTag& k) const
{
    if (!k.edge.empty() && m_pollEvidence && *m_pollEvidence - EDGE_WAIT >= k.next) {
        k.edge.clear();
        ++k.next;
    }
}

bool Progress::cutShort(const Tag& t, int64_t to) const
{
    // A regular series answered far short of the request's end (beyond what
    // a slow publisher explains) in an answer as long as a cap: up to the
    // present, the rest is asked within this poll.
    const StoredTag& k = t.kept;
    const bool regular = k.interval > 0 && k.run >= REGULAR_RUN;
    const int64_t shortBy = to - k.next;
    return t.marks.fresh && t.marks.full && regular && holdsMissing(shortBy, k.interval) && shortBy > CLOCK_SLACK;
}

void Progress::settleGaps(const Ask& ask, Tag& t)
{
    // An answer holds every sample up to its newest, past the end of the
    // range where the service's clock runs ahead; a cap keeps the oldest,
    // but may have cut the newest second short.
    const int64_t newest = t.marks.newest ? *t.marks.newest - (t.marks.full ? 1 : 0) : ask.to;
    const int64_t reach = std::max(ask.to, newest);
    for (auto it = t.kept.gaps.begin(); it != t.kept.gaps.end();) {
        Gap& gap = *it;
        const int64_t start = gapStart(gap);
        const int64_t end = gapEnd(gap);
        // A gap not due yet that a request for others covered keeps its
        // schedule: its retries double from when it was seen, or a late
        // sample of it would wait twice as long as it was late.
        if (start < ask.from || start > ask.to || gap.due > m_now) {
            ++it;
            continue;
        }
        // A window of it, or an answer that brought samples (it may have
        // been capped), goes on at the next poll.
        gap.due = m_now;
        gap.asked = end > reach ? reach + 1 : 0;
        if (end > reach || t.marks.fresh) {
            ++it;
            continue;
        }
        if (settledBefore() >= end) {
            it = t.kept.gaps.erase(it);  // asked once the horizon passed it: complete
            continue;
        }
        // The last ask comes once the horizon has passed the gap (by the
        // clock: a clock ahead of the service's evidence keeps the retries).
        gap.due = end + HORIZON > m_now ? std::min(m_now + gap.retry, end + HORIZON) : m_now + gap.retry;
        gap.retry = std::min(2 * gap.retry, GAPS.maxRetry);
        ++it;
    }
}

void Progress::detectGap(const std::string& name, Tag& t, int64_t time, int32_t millis, bool passedOver)
{
    StoredTag& k = t.kept;
    if (k.last && time > *k.last) {
        const int64_t step = time - *k.last;
        Session& s = t.session;
        const int64_t interval = k.interval;
        const bool alikeStep = k.interval > 0 && alike(step, k.interval);
        if (alikeStep) {
            ++k.run;
            // A second of jitter is a large share of a fast rhythm: its
            // interval is the steps' mean. A slower one keeps its first
            // step, so that a series by exception cannot drift into one.
            if (std::max(step, k.interval) < 20) {
                k.interval = (k.interval + step + 1) / 2;
            }
            leadGap(name, t, step);
            s.offSteps = 0;
            // The rhythm held on past its gaps: they are samples missing.
            s.unconfirmed = s.unconfirmed && ++s.confirming < REGULAR_RUN ? s.unconfirmed : std::nullopt;
        } else if (k.interval > 0 && (k.run >= REGULAR_RUN ? holdsMissing(step, k.interval) : wholeBreak(k, step)) &&
                   !lostRhythm(t, step)) {
            // Regular series with samples missing: ask for them again, unless
            // the horizon has passed them already.
            // While the second it starts in is open (fractions), a later
            // sample of that second than those delivered is its own.
            const int32_t afterMillis = newestSecondOpen(k) ? *k.edge.rbegin() : 0;
            addGap(name, k,
                   Gap{*k.last, time, k.interval, m_now + GAPS.firstRetry, GAPS.firstRetry, 0, millis, afterMillis});
            if (!s.unconfirmed) {
                s.unconfirmed = std::make_pair(*k.last, k.interval);
            }
            s.confirming = 0;
            ++s.offSteps;
            learnInterval(k, step);
        } else if (k.run >= REGULAR_RUN && 2 * step < k.interval && onRhythm(k)) {
            // One extra sample within the rhythm (a second sample a second
            // apart) does not break it; two in a row are a faster rhythm.
        } else {
            breakRhythm(t, step);
        }
        checkPassed(name, t, Gap{*k.last, time, interval, m_now + GAPS.firstRetry, GAPS.firstRetry, 0, millis, 0},
                    passedOver, alikeStep);
    }
    if (!k.last || time > *k.last) {
        // Before its first sample, the series was read from its next pull:
        // a hole there (an outage before the first upload) counts as a step.
        // A next pull with its second open (fractions) was delivered itself.
        k.prior = k.last ? *k.last : k.edge.empty() ? k.next - 1 : k.next;
        t.session.lastMillis = millis;
        k.last = time;
    }
}

void Progress::checkPassed(const std::string& name, Tag& t, const Gap& step, bool passedOver, bool onRhythm)
{
    // A request that began past the next pull trusted the rhythm over what
    // it passed. Until the rhythm has gone on past it, a step off it (a
    // faster rhythm, say) asks that stretch again, as a gap.
    Session& s = t.session;
    if (passedOver) {
        if (s.passed) {
            addGap(name, t.kept, *s.passed);
        }
        s.passed = step;
        s.passedConfirming = 0;
    } else if (s.passed && onRhythm &&
               (++s.passedConfirming >= REGULAR_RUN || precise(step.before - step.after, step.interval))) {
        // A slow logger on the clock shows its rhythm going on in one step
        // to the second: waiting for more would keep a tag asked once a
        // step from passing again at two asks in three.
        s.passed.reset();
    }
    if (s.passed && !onRhythm) {
        addGap(name, t.kept, *s.passed);
        s.passed.reset();
    }
}

bool Progress::lostRhythm(const Tag& t, int64_t step)
{
    // A third step in a row off a rhythm that held only briefly, unlike the
    // one before it (alike ones are a new interval): the rhythm was the
    // chance of a series by exception, such as a burst a second apart.
    const StoredTag& k = t.kept;
    const bool previous = !k.gaps.empty() && k.last && k.gaps.back().before == *k.last;
    return k.run < LONG_RUN && t.session.offSteps >= REGULAR_RUN - 1 && previous &&
           !alike(k.gaps.back().before - k.gaps.back().after, step);
}

void Progress::breakRhythm(Tag& t, int64_t step)
{
    StoredTag& k = t.kept;
    Session& s = t.session;
    // The rhythm broke right after its gaps, other than back to the one
    // they were seen in: a series by exception looked regular for a while,
    // and nothing is missing. Not so for jitter of a rhythm that held long,
    // or a few steps past an outage of a hundred intervals or more (a
    // backlog uploaded oldest first leaves one between its oldest and
    // newest samples).
    const bool pastOutage = s.unconfirmed && std::any_of(k.gaps.begin(), k.gaps.end(), [&s](const Gap& gap) {
                                return gap.after >= s.unconfirmed->first &&
                                       gap.before - gap.after >= OUTAGE_INTERVALS * s.unconfirmed->second;
                            });
    const bool held = k.run >= LONG_RUN || (pastOutage && k.run >= REGULAR_RUN);
    const bool jitter = held && jittered(step, s.unconfirmed ? s.unconfirmed->second : 0);
    if (s.unconfirmed && !alike(step, s.unconfirmed->second) && !jitter) {
        const int64_t since = s.unconfirmed->first;
        k.gaps.erase(
            std::remove_if(k.gaps.begin(), k.gaps.end(), [since](const Gap& gap) { return gap.after >= since; }),
            k.gaps.end());
    }
    // A step back to their interval keeps the gaps, still waiting for the
    // rhythm that takes it up to go on past them.
    if (jitter || !s.unconfirmed || !alike(step, s.unconfirmed->second)) {
        s.unconfirmed.reset();
    }
    s.confirming = 0;
    s.offSteps = 0;
    // A step far longer than the steps since (an outage before a jittered
    // rhythm resumed) stays the lead: jitter breaking the forming rhythm
    // must not make it forget the outage.
    const bool outage =
        k.lead && k.run < REGULAR_RUN && k.lead->before - k.lead->after > LEAD_INTERVALS * std::max(step, k.interval);
    if (!outage) {
        k.lead.reset();
        if (k.prior) {
            // Of a second still open (fractions), the earliest sample delivered ends it.
            const int32_t beforeMillis = newestSecondOpen(k) ? *k.edge.begin() : s.lastMillis;
            k.lead = Lead{*k.prior, *k.last, k.interval != 0, beforeMillis};
        }
    }
    k.interval = step;
    k.run = 1;
}

void Progress::leadGap(const std::string& name, Tag& t, int64_t step)
{
    // Once a rhythm is known, the step before it began (a logger's first
    // samples before an outage) is a gap if it left several samples out,
    // or whole intervals of it: a step of a few intervals and a fraction
    // before three alike ones is as likely the chance of a series by
    // exception.
    StoredTag& k = t.kept;
    if (!k.lead) {
        return;
    }
    const Lead lead = *k.lead;
    const int64_t span = lead.before - lead.after;
    // Two alike steps do for a series read from before its first sample
    // (a logger's first samples may be uploaded late), and for a rhythm to
    // the second after a step of whole intervals.
    const bool early =
        k.run == REGULAR_RUN - 1 && (!lead.sampled || (precise(step, k.interval) && wholeIntervals(span, k.interval)));
    if (k.run != REGULAR_RUN && !early) {
        return;
    }
    k.lead.reset();
    // What lies beyond the horizon can no longer come.
    const int64_t settled = settledBefore();
    const int64_t after = settled == INT64_MIN ? lead.after : std::max(lead.after, settled - 1);
    const int64_t off = span % k.interval;
    const bool whole = lead.sampled && holdsMissing(span, k.interval) &&
                       alike(std::min(off, k.interval - off) + k.interval, k.interval);
    // Read from well before where a sample of the rhythm would have been
    // (past a logger's jitter): that sample may yet come, late.
    const bool readBefore = !lead.sampled && span > k.interval + std::max<int64_t>(k.interval / 10, 2);
    if ((span > LEAD_INTERVALS * k.interval || whole || readBefore) && after < lead.before) {
        addGap(name, k,
               Gap{after, lead.before, k.interval, m_now + GAPS.firstRetry, GAPS.firstRetry, 0, lead.beforeMillis});
        // A rhythm that breaks before it has gone on past it was the chance
        // of a series by exception: the gap goes with it.
        Session& s = t.session;
        if (!s.unconfirmed) {
            s.unconfirmed = std::make_pair(after, k.interval);
            s.confirming = 0;
        }
    }
}

void Progress::addGap(const std::string& name, StoredTag& k, const Gap& gap)
{
    if (gapEnd(gap) < settledBefore()) {
        return;  // the horizon has passed it already
    }
    // Gaps lie between delivered samples, so one that overlaps a gap kept
    // is that gap seen again (a step taken for a hole twice).
    auto at = std::find_if(k.gaps.begin(), k.gaps.end(), [&gap](const Gap& kept) { return kept.before > gap.after; });
    if (at != k.gaps.end() && at->after < gap.before) {
        return;
    }
    k.gaps.insert(at, gap);
    capGaps(name, k);
}

void Progress::capGaps(const std::string& name, StoredTag& k)
{
    if (k.gaps.size() > GAPS.count) {
        note(Note::Level::INFO,
             "Tag " + name + " has more than " + std::to_string(GAPS.count) + " gaps; the oldest is no longer asked");
        k.gaps.erase(k.gaps.begin());
    }
}

void Progress::learnInterval(StoredTag& k, int64_t step)
{
    // The same longer step again and again is a new interval, not gaps. The
    // gaps it seemed to open stay until the horizon passes them: a logger
    // that uploads every third sample first looks the same for a while.
    const std::size_t n = k.gaps.size();
    if (n < REGULAR_RUN) {
        return;
    }
    for (std::size_t i = n - REGULAR_RUN; i < n; ++i) {
        const Gap& gap = k.gaps[i];
        if (!alike(gap.before - gap.after, step) || (i + 1 < n && gap.before != k.gaps[i + 1].after)) {
            return;
        }
    }
    k.interval = step;
    k.run = REGULAR_RUN;
}

void Progress::fillGaps(const std::string& name, StoredTag& k, int64_t time, int32_t millis)
{
    for (auto it = k.gaps.begin(); it != k.gaps.end(); ++it) {
        if (gapHolds(*it, time, millis)) {
            // Split around the sample; a part too short for a missing sample
            // is complete.
            Gap later = *it;
            later.after = time;
            later.afterMillis = millis;
            it->before = time;
            it->beforeMillis = millis;
            const bool keepEarlier = holdsMissing(it->before - it->after, it->interval);
            const bool keepLater = holdsMissing(later.before - later.after, later.interval);
            it = keepEarlier ? it + 1 : k.gaps.erase(it);
            if (keepLater) {
                k.gaps.insert(it, later);
                // A gap filled at a slower rhythm than its own splits at
                // every sample: its parts count like any gap.
                capGaps(name, k);
            }
            return;
        }
    }
}

void Progress::failed(const Ask& ask, const FailedRequest& failure)
{
    ++m_requests;
    m_gapRequests += ask.gap ? 1 : 0;
    m_catchUpRequests += catchingUp(ask) ? 1 : 0;
    const bool atRandom = byChance(failure);
    for (const auto& name : ask.tags) {
        Tag& t = tag(name);
        ++t.session.failures;
        // Asked, but its range was not read: it keeps its turn. While the
        // service fails requests at random its tags are no more at fault
        // than any: they stay first in line, lest one tag's bad luck at
        // every turn outlast its samples.
        if (!atRandom) {
            t.session.failedPoll = m_poll;
            t.session.askedPoll = m_poll;
        }
        t.marks.done = true;
        for (Gap& gap : t.kept.gaps) {
            const int64_t start = gapStart(gap);
            if (ask.gap && start >= ask.from && start <= ask.to) {
                // A failed request says nothing of the gap: it keeps its
                // retries and is asked again soon, as the tag's range is.
                gap.due = m_now + GAPS.firstRetry;
            }
        }
    }
    split(ask, failure);
}

void Progress::split(const Ask& ask, const FailedRequest& failure)
{
    if (ask.tags.empty() || failure.refusal == Refusal::THROTTLED) {
        return;  // nothing to split, or the rate: splitting would change nothing
    }
    // How many times in a row the request's tags failed: all of them, and
    // the one failing longest.
    int together = INT_MAX;
    int longest = 0;
    for (const auto& name : ask.tags) {
        const int failures = m_tags.at(name).session.failures;
        together = std::min(together, failures);
        longest = std::max(longest, failures);
    }
    // The key and the service's own state are not about this request, unless
    // other requests of the same poll were answered or the same tags keep
    // failing: then its tags are what the service refuses.
    if ((failure.refusal == Refusal::KEY && m_answers == 0) ||
        (failure.refusal == Refusal::SERVER && m_answers == 0 && longest < 2)) {
        return;
    }
    // A refusal that may be about the range is not, when the service has
    // answered a range as long: it refuses the tags, or fails at random.
    const int64_t width = spanOf(ask);
    const bool aboutRange = failure.refusal == Refusal::RANGE && width > m_answeredSpan;
    const bool rejects = failure.refusal != Refusal::RAISED;
    // While the service fails at random, narrowing would only multiply
    // requests and slow a catch-up: not before a streak unlikely by chance.
    const bool atRandom = failingAtRandom();
    const int streak = byChance(failure) ? RANDOM_STREAK : 4;
    if (!rejects && longest < (atRandom ? streak : 2)) {
        return;  // once may be chance
    }
    if (width > WINDOWS.split && (aboutRange || !rejects || ask.tags.size() == 1)) {
        narrowSpan(ask, width, aboutRange);
        return;
    }
    // A list failing at random is halved only after such a streak.
    // Otherwise a request failing among answered ones is refused for its
    // tags and is narrowed at once; with none answered, once the same tags
    // failed together again, or one of them a third time whatever tags
    // joined it. The longer one tag keeps failing, the faster: the others
    // of its list wait meanwhile.
    const bool narrow = atRandom ? longest >= streak : m_answers > 0 || together >= 2 || longest >= 3;
    if (!narrow) {
        return;
    }
    if (ask.tags.size() > 1) {
        const int halvings = atRandom ? 1 : std::min(std::max(longest - 1, 1), 4);
        for (const auto& name : ask.tags) {
            m_tags.at(name).session.batchLimit = std::max<std::size_t>(1, ask.tags.size() >> halvings);
        }
        return;
    }
    isolate(ask.tags.front(), failure, rejects);
}

void Progress::narrowSpan(const Ask& ask, int64_t width, bool aboutRange)
{
    // A span refused goes at once to the longest the service answered.
    const int64_t narrowed = aboutRange && m_answeredSpan > 0 ? std::min(width / 2, m_answeredSpan) : width / 2;
    m_refusedSpan = aboutRange && (m_refusedSpan == 0 || width < m_refusedSpan) ? width : m_refusedSpan;
    for (const auto& name : ask.tags) {
        Session& s = m_tags.at(name).session;
        s.spanLimit = std::max(WINDOWS.split, narrowed);
        s.spanRefused = s.spanRefused || aboutRange;
    }
}

bool Progress::byChance(const FailedRequest& failure) const
{
    // No answer, or the service failing, while it fails at random: nothing
    // says the request's tags are what it refuses.
    return (failure.refusal == Refusal::RAISED || failure.refusal == Refusal::SERVER) && failingAtRandom();
}

bool Progress::failingAtRandom() const
{
    // More than two requests failed, and more than a quarter, over this
    // poll and the last: a refused tag fails one request a poll.
    const int requests = m_requests + m_priorRequests;
    const int failures = requests - m_answers - m_priorAnswers;
    return failures > 2 && failures * 4 > requests;
}

void Progress::isolate(const std::string& name, const FailedRequest& failure, bool rejects)
{
    Session& s = m_tags.at(name).session;
    s.batchLimit = 1;
    if (rejects && (s.rejectedLogged == INT64_MIN || m_now - s.rejectedLogged >= REJECTION_LOG_INTERVAL)) {
        note(Note::Level::ERROR,
             "The service rejects tag " + name + " (" + failure.detail + "); its data is asked again at later polls");
        s.rejectedLogged = m_now;
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
        density = m_density.value_or(double(WINDOWS.target) / tagSeconds) / 2;
    }
    if (partial) {
        density *= 2;  // the reading bound cut it: ask less
    }
    m_density = std::max(density, 1e-12);
}

int64_t Progress::spanProbe() const
{
    // Halfway between the longest span answered and the shortest refused,
    // until the two lie close; with no refusal known, what was answered.
    if (m_refusedSpan == 0 || m_refusedSpan - m_answeredSpan <= m_answeredSpan / 16) {
        return m_answeredSpan;
    }
    return m_answeredSpan + (m_refusedSpan - m_answeredSpan) / 2;
}

void Progress::probeOnce(std::vector<Ask>& asks) const
{
    // A span longer than any answered is tried by one request a round: a
    // refusal then costs that request, not the poll.
    bool probing = false;
    for (Ask& ask : asks) {
        if (ask.gap || m_answeredSpan == 0 || spanOf(ask) <= m_answeredSpan) {
            continue;
        }
        if (std::none_of(ask.tags.begin(), ask.tags.end(),
                         [this](const std::string& name) { return m_tags.at(name).session.spanRefused; })) {
            continue;
        }
        if (probing) {
            ask.to = ask.from + m_answeredSpan;
        }
        probing = true;
    }
}

int64_t Progress::windowFor(std::size_t tags) const
{
    if (!m_density) {
        return 86400;
    }
    const double window = double(WINDOWS.target) / (double(std::max<std::size_t>(tags, 1)) * *m_density);
    return window >= double(WINDOWS.max) ? WINDOWS.max : std::max(WINDOWS.min, static_cast<int64_t>(window));
}

std::map<std::string, StoredTag> Progress::stored() const
{
    std::map<std::string, StoredTag> tags;
    for (const auto& entry : m_tags) {
        tags.emplace_hint(tags.end(), entry.first, entry.second.kept);
    }
    return tags;
}

void Progress::load(int64_t start, std::map<std::string, StoredTag> tags, std::optional<int64_t> evidence, int64_t now)
{
    m_start = start;
    m_evidence = evidence;
    m_tags.clear();
    // Samples of this very second, or of a service clock a little ahead,
    // leave a next pull ahead of the clock; only more says it is behind.
    bool ahead = start > now + CLOCK_SLACK;
    for (auto& entry : tags) {
        ahead = ahead || entry.second.next > now + CLOCK_SLACK;
        Tag t;
        t.kept = std::move(entry.second);
        m_tags.emplace_hint(m_tags.end(), entry.first, std::move(t));
    }
    m_behind = 0;
    m_lastNow.reset();
    if (ahead) {
        // Polls go on from the newest stored time, as after a clock set back.
        m_lastNow = start;
        for (const auto& entry : m_tags) {
            m_lastNow = std::max(*m_lastNow, entry.second.kept.next);
        }
        note(Note::Level::WARN, "The clock is behind the stored progress: polls go on from the newest stored time "
                                "until the clock passes it");
    }
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

// Carrying progress over to another reading of the wall times.

void Progress::remapTimes(const std::function<int64_t(const std::string& tag, int64_t time)>& map)
{
    m_start = map(std::string(), m_start);
    if (m_evidence) {
        m_evidence = map(std::string(), *m_evidence);
    }
    for (auto& entry : m_tags) {
        const std::string& name = entry.first;
        StoredTag& k = entry.second.kept;
        k.next = map(name, k.next);
        if (k.asked) {
            k.asked = map(name, *k.asked);
        }
        if (k.last) {
            k.last = map(name, *k.last);
        }
        if (k.prior) {
            k.prior = map(name, *k.prior);
        }
        if (k.lead) {
            k.lead->after = map(name, k.lead->after);
            k.lead->before = map(name, k.lead->before);
        }
        for (Gap& gap : k.gaps) {
            gap.after = map(name, gap.after);
            gap.before = map(name, gap.before);
            gap.asked = gap.asked != 0 ? map(name, gap.asked) : 0;
        }
        std::set<int64_t> ahead;
        for (const int64_t time : k.ahead) {
            ahead.insert(map(name, time));
        }
        k.ahead = std::move(ahead);
    }
}

}  // namespace nerivo
