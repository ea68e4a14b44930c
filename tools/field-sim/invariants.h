#pragma once
// The named checks of a run: cheap ones after every poll, exactly-once at the
// end. Each keeps its first failure as an example (tag, time) to replay.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model.h"
#include "progress.h"

namespace fieldsim {

constexpr int MAX_UNASKED_POLLS = 10;
constexpr double MAX_COST = 1.2;
// Samples a tag shows before its rhythm is known (four alike steps and one).
constexpr std::size_t WARMUP_SAMPLES = 5;
// Samples a series shows before it has two steps to compare: before them,
// no observer can tell a regular series from one by exception.
constexpr std::size_t FIRST_RHYTHM_SAMPLES = 3;
constexpr std::size_t MAX_STATE_PER_TAG = 1024;
// Samples answered in one run, at most: beyond it the run stops, as a cost
// failure, rather than take hours.
constexpr std::size_t WORK_BUDGET = 200000000;

// What one poll did, as the driver saw it.
struct PollRecord {
    int64_t trueNow = 0;
    int64_t pluginNow = 0;
    int requests = 0;
    std::size_t answered = 0;       // samples in the answers
    std::size_t reread = 0;         // of those, the newest second of a series with fractions, asked again by design
    std::size_t warmAnswered = 0;   // of those, of tags still showing their rhythm
    std::size_t warmDelivered = 0;  // readings of such tags
    std::size_t delivered = 0;      // readings
    bool atPresent = true;          // every range reached now, no gap asked, nothing left for later
    bool networkDown = false;       // stopped after two requests in a row raised
    std::vector<char> asked;        // by tag of the world: named by a request
};

struct Violation {
    std::string check;
    std::string tag;
    int64_t time = 0;
    std::string detail;
    std::size_t count = 0;
};

struct Figures {
    std::size_t tags = 0;
    double tagDays = 0;
    int polls = 0;
    std::size_t expected = 0, delivered = 0, lost = 0, twice = 0;
    // Counted apart, not failures: twice after a restart from a cut-short
    // state (since its lastPull), and late samples of irregular series
    // landing before a newer one already delivered.
    std::size_t twiceAfterCut = 0, irregularLate = 0;
    std::size_t steadyAnswered = 0, steadyDelivered = 0;
    std::size_t maxStatePerTag = 0;
    int maxRequests = 0;
    int longestUnasked = 0;
    bool stoppedEarly = false;  // over the work budget: exactly-once not judged
};

class Checks {
public:
    explicit Checks(const World& world);
    // A sample of the tag, named by its time and fraction, was delivered.
    void delivered(std::size_t tag, const Sample& sample, int64_t trueNow);
    void cutRestart(int64_t lastPull, int64_t trueNow);
    // The plugin started again: how long its tags had waited is not stored,
    // so the promise of a poll in ten starts afresh.
    void restarted() { std::fill(m_unasked.begin(), m_unasked.end(), 0); }
    // A window short of the present was answered for the tag: a series
    // without a rhythm to show has moved past it, as past a newer sample
    // delivered.
    void windowRead(std::size_t tag, int64_t from, int64_t to, int64_t trueNow);
    // Whether too few samples of the tag came yet for the plugin to know its
    // rhythm: its answers are a start-up cost, left out of the steady state.
    bool warmingUp(std::size_t tag) const { return m_distinct[tag] < WARMUP_SAMPLES; }
    // Of a tag's answered samples, those delivered before in the second of
    // its newest delivered sample, when that one has a fraction.
    std::size_t rereads(std::size_t tag, const std::vector<int64_t>& times,
                        const std::vector<int32_t>& fractions) const;
    void afterPoll(const PollRecord& poll, const nerivo::Progress& progress, const std::vector<std::size_t>& index);
    void stateSize(std::size_t bytes, std::size_t tags);
    // Whether the answers so far exceed the work budget.
    bool overBudget() const { return m_answered > WORK_BUDGET; }
    // Exactly-once (unless the run stopped early) and the cost, once the
    // last poll is done.
    void finish(int64_t lastPoll, bool complete);
    const Figures& figures() const { return m_figures; }
    const std::vector<Violation>& violations() const { return m_violations; }
    bool passed() const { return m_violations.empty(); }

private:
    struct Cut {
        int64_t lastPull;
        int64_t at;
        int64_t readAgainBy;  // when reading again since lastPull may end
    };
    void fail(const std::string& check, std::size_t tag, int64_t time, const std::string& detail);
    bool expected(const TagSeries& tag, const Sample& s, int64_t lastPoll) const;
    // How long reading the samples dated from since on and published by
    // until takes, at a poll's reading bound.
    int64_t readingTime(int64_t since, int64_t until) const;
    // The share of requests that fail at t, whatever they name.
    double failingShare(int64_t t) const;
    // Whether the service fails a quarter or more of all requests at t.
    bool failingAtRandom(int64_t t) const;
    bool readingBacklog(const PollRecord& poll) const;
    // How much longer a sample's tag may wait while another tag fails.
    int64_t splitting(int64_t published, int64_t settle) const;
    // Whether a sample never delivered left no hole in its series when it was
    // published: a later sample of its second, and the sample before that
    // second, were delivered already.
    bool unmarked(std::size_t tag, std::size_t sample) const;
    void finishTag(std::size_t tag, int64_t lastPoll);
    void trackUnasked(const PollRecord& poll, const nerivo::Progress& progress, const std::vector<std::size_t>& index);

    const World& m_world;
    std::vector<std::vector<uint8_t>> m_count;    // deliveries by tag and sample
    std::vector<std::vector<int64_t>> m_firstAt;  // true time of the first delivery
    std::vector<std::size_t> m_newest;            // index of the newest sample delivered; SIZE_MAX: none
    std::vector<std::size_t> m_distinct;          // samples delivered at least once, by tag
    struct Read {
        int64_t from, to, at;
    };
    std::vector<std::vector<Read>> m_windows;  // windows read of tags without a rhythm to show
    std::vector<int> m_unasked;
    std::optional<Cut> m_cut;
    bool m_caughtUp = false;
    int m_caughtUpPoll = 0;    // the poll that caught up
    int64_t m_caughtUpBy = 0;  // when reading the first backlog may end
    std::size_t m_answered = 0;
    Figures m_figures;
    std::vector<Violation> m_violations;
};

}  // namespace fieldsim
