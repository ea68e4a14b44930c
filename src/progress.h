#pragma once
// Per-tag progress of the range requests, without any I/O: told what was
// asked and what came back, it says which samples to deliver and what to ask
// next. Progress moves only on what the service answered, never because the
// clock says a range is old, so late, backfilled and out-of-order samples are
// delivered exactly once.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace nerivo {

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
// A window of a failing request is halved down to this, then its tag list.
constexpr int64_t MIN_SPLIT_WINDOW = 3600;
// Catch-up windows adapt between these and aim at this many samples.
constexpr int64_t MIN_WINDOW = 60;
constexpr int64_t MAX_WINDOW = int64_t{400} * 86400;
constexpr std::size_t WINDOW_TARGET = 25000;
// Requests of one poll: all of them, and those spent on gaps.
constexpr int MAX_POLL_REQUESTS = 50;
constexpr int MAX_GAP_REQUESTS = 5;
// Range groups of one poll; more are merged, so that every tag is asked
// within a few polls whatever its progress.
constexpr std::size_t MAX_GROUPS = 20;
// Gaps of one tag that are remembered; and how often one is asked again.
constexpr std::size_t MAX_GAPS = 32;
constexpr int64_t FIRST_GAP_RETRY = 60;
constexpr int64_t MAX_GAP_RETRY = 86400;
// Equal intervals in a row that make a series regular.
constexpr int REGULAR_RUN = 3;
// A regular tag whose next sample is not due yet is asked only every this
// many polls.
constexpr int64_t RESTING_POLLS = 10;
// A tag missing from the index this long is forgotten.
constexpr int64_t MISSING_LIMIT = int64_t{30} * 86400;
// An isolated tag the service keeps rejecting is named this often at most.
constexpr int64_t REJECTION_LOG_INTERVAL = 3600;

// One range request, or a group of them sharing a range.
struct Ask {
    int64_t from = 0;
    int64_t to = 0;
    std::vector<std::string> tags;  // ascending
    bool gap = false;               // asks again for gaps of its tags
    std::size_t maxTags = 0;        // at most this many tags a request; 0: as many as fit
};

// How a request failed.
struct FailedRequest {
    bool raised = false;  // no answer at all
    std::string status;   // status text when there was one, e.g. "400 Bad Request"
};

// A line the caller should log.
struct Note {
    enum class Level { INFO, WARN, ERROR };
    Level level;
    std::string text;
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
    // The earliest next-pull time of the given tags and of every tag with
    // progress; none when there are no such tags.
    std::optional<int64_t> earliest(const std::vector<std::string>& tags) const;

    // The shortest interval of the regular series; 0 when none is regular.
    int64_t fastestInterval() const;
    // Starts a poll at now over the tags of the index.
    void beginPoll(int64_t now, const std::vector<std::string>& tags);
    // The next round of requests, in the order to send them; empty once every
    // tag has been asked as far as this poll takes it.
    std::vector<Ask> plan();
    // Whether the poll's budget allows one more request of the ask.
    bool mayAsk(const Ask& ask) const;

    // Which of a tag's sample times (in answer order) to deliver; changes
    // nothing until delivered() says they were.
    std::vector<std::size_t> select(const std::string& name, const std::vector<int64_t>& times) const;
    // The selected samples were delivered.
    void delivered(const Ask& ask, const std::string& name, const std::vector<int64_t>& times);
    // The tag's samples were left for a later poll (the reading bound).
    void deferred(const std::string& name);
    // A request answered: heard are the tags it held a readable sample of,
    // samples how many it held in all.
    void answered(const Ask& ask, const std::set<std::string>& heard, std::size_t samples);
    void failed(const Ask& ask, const FailedRequest& failure);
    // Lines to log since the last call.
    std::vector<Note> takeNotes();

    // The per-tag members of the state text: ", \"tags\" : {...}" and, for
    // tags with more than a next-pull time, ", \"progress\" : {...}"; empty
    // when no tag has progress.
    std::string stateMembers() const;
    // Takes a stored state whose lastPull was read already; false when its
    // per-tag progress cannot be used (every tag then starts at lastPull).
    bool restore(const rapidjson::Value& state, int64_t lastPull, int64_t now);

private:
    struct Gap {
        int64_t after = 0;  // the delivered samples around it
        int64_t before = 0;
        int64_t interval = 0;
        int64_t due = 0;  // when it is asked again
        int64_t retry = FIRST_GAP_RETRY;
    };
    struct Tag {
        int64_t next = 0;
        // While catching up, the end of the windows asked so far; none once
        // the tag was asked up to the present: then it is asked from next.
        std::optional<int64_t> cursor;
        bool quiet = false;  // its last answer held nothing
        // Regularity: the newest sample delivered and the run of equal
        // intervals before it.
        std::optional<int64_t> last;
        int64_t interval = 0;
        int run = 0;
        std::vector<Gap> gaps;     // ascending
        std::set<int64_t> ahead;   // delivered past the end of their range
        int64_t missingSince = 0;  // 0 while in the index
        // Failures: in a row, and the limits they set.
        int failures = 0;
        int64_t spanLimit = 0;
        std::size_t batchLimit = 0;
        int64_t rejectedLogged = INT64_MIN;
        int64_t failedPoll = -1;
        // Polls: the last that asked it; whether this one is done with it,
        // left its samples for later, or delivered new ones in the last ask.
        int64_t askedPoll = 0;
        bool done = false;
        bool deferred = false;
        bool fresh = false;
    };

    Tag& tag(const std::string& name);
    int64_t startOf(const Tag& t) const;
    bool resting(const Tag& t) const;
    std::vector<Ask> rangeAsks();
    std::vector<std::vector<std::pair<std::string, int64_t>>>
    rangeGroups(const std::vector<std::pair<std::string, int64_t>>& starts) const;
    Ask rangeAsk(const std::vector<std::pair<std::string, int64_t>>& group, int64_t spanLimit,
                 std::size_t batchLimit) const;
    std::vector<Ask> gapAsks();
    void order(std::vector<Ask>& asks) const;
    void settleRange(const Ask& ask, Tag& t, bool heard);
    void settleGaps(const Ask& ask, Tag& t);
    void detectGap(const std::string& name, Tag& t, int64_t time);
    void fillGaps(Tag& t, int64_t time);
    void split(const Ask& ask, const FailedRequest& failure);
    void adaptWindow(const Ask& ask, std::size_t samples, bool partial);
    int64_t windowFor(std::size_t tags) const;
    void note(Note::Level level, std::string text);
    using Writer = rapidjson::Writer<rapidjson::StringBuffer>;
    static bool hasDetail(const Tag& t);
    static void writeDetail(Writer& writer, const Tag& t);
    void readTag(const std::string& name, const rapidjson::Value& detail);
    static void readGaps(Tag& t, const rapidjson::Value* gaps);

    int64_t m_start;
    std::map<std::string, Tag> m_tags;
    // Samples a tag gives per second of a catch-up window, as last seen: a
    // window is sized from it and the number of tags it asks, so that a small
    // group cannot grow the window of a large one. Until then, a day.
    std::optional<double> m_density;
    // The poll under way.
    int64_t m_now = 0;
    int64_t m_poll = 0;
    int m_round = 0;
    int m_requests = 0;
    int m_gapRequests = 0;
    std::vector<std::string> m_index;
    std::vector<Note> m_notes;
};

}  // namespace nerivo
