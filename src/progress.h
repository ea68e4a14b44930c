#pragma once
// Per-tag progress of the range requests, without any I/O: told what was
// asked and what came back, it says which samples to deliver and what to ask
// next. Progress moves only on what the service answered, never because the
// clock says a range is old, so late, backfilled and out-of-order samples are
// delivered exactly once. Reading and writing it as state text is the codec's
// (progress_codec.h); why a request failed is service access's to say.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "note.h"

namespace nerivo {

struct DueGap;

// "YYYY-MM-DDTHH:MM:SS" with an optional fraction ".d...", local wall time
// offsetMinutes east of UTC, to whole epoch seconds. Anything else (a zone
// of its own, a trailing text, a field out of range) gives false.
bool parseSampleTime(const char* text, std::size_t length, int32_t offsetMinutes, int64_t& seconds);

// The service publishes a sample at most this long after its time; only a
// range older than this may count as read for a tag that had nothing in it.
constexpr int64_t HORIZON = int64_t{7} * 86400;
// Tags whose next-pull times lie within this many seconds of their group's
// earliest share one range.
constexpr int64_t GROUP_SPAN = 3600;
// A tag joins a request that starts before its own next pull only when that
// re-reads at most this share of one of its intervals.
constexpr double REREAD_LIMIT = 0.2;
// Catch-up windows adapt between min and max seconds and aim at target
// samples; a window of a failing request is halved down to split, then its
// tag list.
struct WindowLimits {
    int64_t min;
    int64_t max;
    std::size_t target;
    int64_t split;
};
constexpr WindowLimits WINDOWS{60, int64_t{400} * 86400, 25000, 3600};
// Requests of one poll: all of them, those kept for gaps, and those kept
// for catching up (windows short of the present).
constexpr int MAX_POLL_REQUESTS = 50;
constexpr int MAX_GAP_REQUESTS = 5;
constexpr int CATCH_UP_REQUESTS = 10;
// Gap groups due at one poll; more are merged, so that a gap due waits
// for its turn a few polls at most.
constexpr std::size_t MAX_GAP_GROUPS = 30;
// Range groups of one poll; more are merged, so that every tag is asked
// within a few polls whatever its progress.
constexpr std::size_t MAX_GROUPS = 40;
// Polls over which range groups that re-read little may take turns.
constexpr std::size_t MAX_GROUP_POLLS = 8;
// Gaps of one tag that are remembered (sixteen, of at most 70 characters
// each, keep a tag's state within a kilobyte), and how soon one is asked
// again: at first, and at the most once its retries have backed off.
struct GapLimits {
    std::size_t count;
    int64_t firstRetry;
    int64_t maxRetry;
};
constexpr GapLimits GAPS{16, 60, 86400};
// Intervals alike in a row that make a series regular; two intervals are
// alike within a tenth of the longer (clocks of loggers jitter).
constexpr int REGULAR_RUN = 3;
// From this step on, a rhythm may show in two steps, to the second.
constexpr int64_t SLOW_STEP = 60;
// A tag is asked at least every this many polls, resting or not.
constexpr int64_t RESTING_POLLS = 10;
// Tags missing from the index whose progress is kept; beyond this the one
// missing longest is forgotten.
constexpr std::size_t MAX_MISSING_TAGS = 20000;
// Samples delivered past the end of their range that are remembered a tag.
constexpr std::size_t MAX_AHEAD = 256;
// A service clock may run this far ahead of the local one: stored progress
// no further ahead does not say the local clock is behind.
constexpr int64_t CLOCK_SLACK = 300;
// How long what answers showed of the service's clock is remembered, at
// least (at most twice that).
constexpr int64_t OVERSHOOT_MEMORY = 3600;
// An isolated tag the service keeps rejecting is named this often at most.
constexpr int64_t REJECTION_LOG_INTERVAL = 3600;

// One range request, or a group of them sharing a range.
struct Ask {
    int64_t from = 0;
    int64_t to = 0;
    std::vector<std::string> tags;  // those asked longest ago first
    bool gap = false;               // asks again for gaps of its tags
    std::size_t maxTags = 0;        // at most this many tags a request; 0: as many as fit
};

// Why a request failed, as service access reads it.
enum class Refusal {
    RAISED,     // no answer at all
    RANGE,      // refused for its range (too long, too large)
    TAGS,       // refused for what it asked (its tags)
    KEY,        // the key or the proxy's credentials
    THROTTLED,  // too many requests
    SERVER,     // the service failed
};

struct FailedRequest {
    Refusal refusal = Refusal::RAISED;
    std::string detail;  // for the log line, e.g. the status
};

// A run of a regular series' samples that are missing, between two
// delivered ones; asked again until the horizon has passed it.
struct Gap {
    int64_t after = 0;  // the delivered samples around it
    int64_t before = 0;
    int64_t interval = 0;
    int64_t due = 0;  // when it is asked again
    int64_t retry = GAPS.firstRetry;
    int64_t asked = 0;  // how far a windowed round has asked it; 0: from its start
    // The fractions of the samples that end and start it, when its series
    // writes them: samples of the second it ends in before it, and of the
    // second it starts in after it (an answer capped inside a second),
    // belong to the gap.
    int32_t beforeMillis = 0;
    int32_t afterMillis = 0;
};

// The step before a series' current rhythm began, kept until the rhythm
// shows (or breaks) to say whether that step left samples out.
struct Lead {
    int64_t after = 0;
    int64_t before = 0;
    bool sampled = false;      // a step between two samples, not from where the series was read
    int32_t beforeMillis = 0;  // the fraction of the sample ending it
};

// What a tag's progress keeps across restarts.
struct StoredTag {
    int64_t next = 0;
    // While catching up, the end of the windows asked so far; none once the
    // tag was asked up to the present: then it is asked from next.
    std::optional<int64_t> asked;
    // Regularity: the newest sample delivered and the run of alike
    // intervals before it; while the run is forming, the step before it.
    std::optional<int64_t> last;
    // Where the newest step began: the sample before the newest, or where
    // the series was read from before its first.
    std::optional<int64_t> prior;
    int64_t interval = 0;
    int run = 0;
    std::optional<Lead> lead;
    std::vector<Gap> gaps;     // ascending
    std::set<int64_t> ahead;   // delivered past the end of their range
    int64_t missingSince = 0;  // 0 while in the index
    // A series written with fractions of a second may have more samples in
    // the second of its newest: next stays at that second, and these are the
    // fractions (as select takes them) delivered in it.
    std::set<int32_t> edge;
};

class Progress {
public:
    // Tags without progress start at start.
    explicit Progress(int64_t start);

    int64_t start() const { return m_start; }
    // One second past the tag's newest sample delivered, or where it starts.
    int64_t next(const std::string& tag) const;
    // The earliest and latest next-pull time of the tags; start when none.
    std::pair<int64_t, int64_t> span(const std::vector<std::string>& tags) const;
    // The earliest time any of the given tags or any tag with progress may
    // still receive a sample at: its next pull or its oldest open gap; none
    // when there are no such tags.
    std::optional<int64_t> earliest(const std::vector<std::string>& tags) const;
    // The newest sample time the service has answered: its own clock.
    std::optional<int64_t> evidence() const { return m_evidence; }
    // Open gaps of the tags with progress.
    std::size_t openGaps() const;

    // The shortest interval of the regular series; 0 when none is regular.
    int64_t fastestInterval() const;
    // Starts a poll at now over the tags of the index.
    void beginPoll(int64_t now, const std::vector<std::string>& tags);
    // The next round of requests, in the order to send them; empty once every
    // tag has been asked as far as this poll takes it.
    std::vector<Ask> plan();
    // Whether the poll's budget allows one more request of the ask.
    bool mayAsk(const Ask& ask) const;
    // Where one request of a range ask starts: at the earliest of the tags
    // it holds, never before the ask's own start.
    int64_t requestStart(const Ask& ask) const;

    // Which of a tag's sample times (in answer order) are new, in answer
    // order; changes nothing.
    // millis, when not empty, holds each sample's fraction: its thousandths
    // of a second plus one where its time has a fraction, 0 where it has none.
    std::vector<std::size_t> select(const std::string& name, const std::vector<int64_t>& times,
                                    const std::vector<int32_t>& millis = {}) const;
    // The tag's answer held times; of those select chose, all were
    // delivered, or (fewer than all: the reading bound) the oldest count, the
    // rest left to a later poll.
    void delivered(const Ask& ask, const std::string& name, const std::vector<int64_t>& times, std::size_t count,
                   const std::vector<int32_t>& millis = {});
    // A request answered: heard are the tags it held a readable sample of,
    // samples how many it held in all.
    void answered(const Ask& ask, const std::set<std::string>& heard, std::size_t samples);
    void failed(const Ask& ask, const FailedRequest& failure);
    // Lines to log since the last call.
    std::vector<Note> takeNotes();

    // The stored part of every tag's progress, and a restart from it;
    // tags it does not name start at start.
    std::map<std::string, StoredTag> stored() const;
    void load(int64_t start, std::map<std::string, StoredTag> tags, std::optional<int64_t> evidence, int64_t now);

    // Moves every stored time (the start, the service's clock, and per tag
    // its next pull, how far it was asked, its newest sample, its gaps and
    // samples ahead) through map(tag, time); the start's and the clock's tag
    // is empty. The wall times the times stand for are read in another zone
    // when the zone setting changes.
    void remapTimes(const std::function<int64_t(const std::string& tag, int64_t time)>& map);

private:
    // Failures and limits, kept while the plugin runs.
    struct Session {
        int failures = 0;
        int64_t spanLimit = 0;
        bool spanRefused = false;  // the service refused a span, not the tags
        std::size_t batchLimit = 0;
        int64_t rejectedLogged = INT64_MIN;
        int64_t failedPoll = -1;
        int64_t askedPoll = 0;        // the last poll that asked it, or that it waited for the clock
        int64_t rangePoll = 0;        // the last poll that asked its range
        std::size_t requestTags = 0;  // the tags of the last range request answered with it
        int silentAsks = 0;           // answers in a row that held nothing new of it
        bool quiet = false;           // its last answer held nothing new
        bool backlog = false;         // its last range answer was cut by a cap or the reading bound
        bool capped = false;          // its last range answer was cut by a cap far short of its end
        // The fraction of the newest sample.
        int32_t lastMillis = 0;
        // Gaps since this sample, seen at this interval, wait for the rhythm
        // to go on past them (alike steps counted in confirming) before they
        // count as missing samples rather than a chance run of a series by
        // exception.
        std::optional<std::pair<int64_t, int64_t>> unconfirmed;
        int confirming = 0;
        int offSteps = 0;  // steps in a row that opened gaps
        // The stretch a request passed over, beginning past the next pull,
        // until the rhythm goes on past it (alike steps counted).
        std::optional<Gap> passed;
        int passedConfirming = 0;
    };
    // Whether this poll is done with the tag, left samples for later,
    // delivered new ones in the last ask, or had an answer as long as a
    // service's cap on samples.
    struct Marks {
        bool done = false;
        bool deferred = false;
        bool fresh = false;
        bool full = false;
        // The newest time answered for the tag in the answer being taken.
        std::optional<int64_t> newest;
    };
    struct Tag {
        StoredTag kept;
        Session session;
        Marks marks;
    };
    // A tag and where its next request starts.
    using Start = std::pair<std::string, int64_t>;

    Tag& tag(const std::string& name);
    int64_t startOf(const Tag& t) const;
    bool resting(const Tag& t) const;
    bool overdue(const Session& s) const;
    int64_t settledBefore() const;
    // The poll's time: the local clock, never going back.
    int64_t steady(int64_t now);
    void forgetMissing();
    std::vector<Ask> rangeAsks();
    // Tags sharing one range from a start every one of them can take:
    // earlier than a tag's next pull only by a little of it, later only
    // where its rhythm says nothing can be. reach gives that earliest and
    // latest start.
    struct Group {
        int64_t from = 0;
        std::vector<std::string> tags;
    };
    std::pair<int64_t, int64_t> reach(const Start& start, double allowance) const;
    std::vector<Group> groupsAt(const std::vector<Start>& starts, double allowance) const;
    std::vector<Group> rangeGroups(const std::vector<Start>& starts) const;
    bool readingBacklog(const std::vector<Start>& starts) const;
    std::optional<std::vector<Group>> mergeCheapest(std::vector<Group> groups, const std::vector<Start>& starts,
                                                    double allowance, std::size_t target) const;
    Ask rangeAsk(const Group& group, int64_t spanLimit, std::size_t batchLimit) const;
    std::vector<Group> overdueShares(const std::vector<Start>& starts) const;
    std::vector<Group> overdueGroups(std::vector<Start> late, int64_t spanLimit, std::size_t batchLimit) const;
    std::vector<Ask> gapAsks();
    Ask gapAsk(const std::vector<const DueGap*>& group) const;
    void order(std::vector<Ask>& asks) const;
    std::vector<std::string> byAskedPoll(std::vector<std::string> tags) const;
    void take(const Ask& ask, const std::string& name, Tag& t, int64_t time, int32_t millis);
    void settleRange(const Ask& ask, Tag& t, bool heard);
    void settleGaps(const Ask& ask, Tag& t);
    // Ends the newest second's wait for another sample of it, once the
    // service has answered well past it.
    void closeEdge(StoredTag& k) const;
    // Folds the last poll's evidence of the service's clock into the hour's.
    void rememberOvershoot();
    // Whether a range ask is a window short of the present.
    bool catchingUp(const Ask& ask) const;
    // Whether the service cut an answer of the tag (a regular series) short
    // of the request's end: as long as a cap, far short of it.
    bool cutShort(const Tag& t, int64_t to) const;
    // passedOver: the request began past where the tag's unread data begins.
    void detectGap(const std::string& name, Tag& t, int64_t time, int32_t millis, bool passedOver);
    void checkPassed(const std::string& name, Tag& t, const Gap& step, bool passedOver, bool onRhythm);
    void breakRhythm(Tag& t, int64_t step);
    // Whether a step that would open a gap shows that a young rhythm is gone.
    static bool lostRhythm(const Tag& t, int64_t step);
    void leadGap(const std::string& name, Tag& t, int64_t step);
    void addGap(const std::string& name, StoredTag& k, const Gap& gap);
    void learnInterval(StoredTag& k, int64_t step);
    void fillGaps(const std::string& name, StoredTag& k, int64_t time, int32_t millis);
    void capGaps(const std::string& name, StoredTag& k);
    void split(const Ask& ask, const FailedRequest& failure);
    bool failingAtRandom() const;
    bool byChance(const FailedRequest& failure) const;
    void isolate(const std::string& name, const FailedRequest& failure, bool rejects);
    void narrowSpan(const Ask& ask, int64_t width, bool aboutRange);
    void adaptWindow(const Ask& ask, std::size_t samples, bool partial);
    int64_t windowFor(std::size_t tags) const;
    // The longest span worth asking of tags whose span was refused.
    int64_t spanProbe() const;
    void probeOnce(std::vector<Ask>& asks) const;
    void note(Note::Level level, std::string text);

    int64_t m_start;
    std::map<std::string, Tag> m_tags;
    std::optional<int64_t> m_evidence;
    std::optional<int64_t> m_pollEvidence;  // as the poll began
    // How far past the end of a range the service answers (its clock runs
    // ahead), as answers showed within the last hour or two; gap requests
    // end that much earlier, so that each does not read again what came
    // since. Only samples past an end show it, and a sparse index shows
    // them seldom, so the evidence is kept by the hour, not by the poll.
    int64_t m_overshoot = 0;
    int64_t m_pollOvershoot = 0;
    int64_t m_hourOvershoot = 0;   // since m_hourStart
    int64_t m_priorOvershoot = 0;  // the hour before it
    std::optional<int64_t> m_hourStart;
    // Samples a tag gives per second of a catch-up window, as last seen: a
    // window is sized from it and the number of tags it asks, so that a small
    // group cannot grow the window of a large one. Until then, a day.
    std::optional<double> m_density;
    // The last poll's time, and how far the clock is behind it since it was
    // set back.
    std::optional<int64_t> m_lastNow;
    int64_t m_behind = 0;
    // The poll under way.
    int64_t m_now = 0;
    int64_t m_poll = 0;
    int m_round = 0;
    int m_requests = 0;
    int m_gapRequests = 0;
    int m_gapReserve = 0;
    int m_catchUpRequests = 0;
    int m_catchUpReserve = 0;
    int m_answers = 0;
    // The longest range the service answered since the start, and the
    // shortest it refused as too long (0: none); a refused span is tried
    // again between the two.
    int64_t m_answeredSpan = 0;
    int64_t m_refusedSpan = 0;
    // The last poll's requests and answers: whether failures are rare.
    int m_priorRequests = 0;
    int m_priorAnswers = 0;
    std::vector<std::string> m_index;
    bool m_largeIndex = false;
    std::vector<Note> m_notes;
};

}  // namespace nerivo
