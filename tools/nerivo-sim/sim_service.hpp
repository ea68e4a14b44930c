#pragma once
// The request handler of the simulator: authentication, the resource paths
// of the service, and injected faults, over a UtilityModel.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <fakeservice/fake_service.hpp>

#include "utility_model.hpp"

namespace nerivosim {

struct Faults {
    // Resource-path prefixes (the part after "/api/", e.g. "timeseriesdata")
    // and what to do to the requests they match.
    std::vector<std::pair<std::string, int>> failPaths;  // answer with this status
    std::vector<std::string> malformed;                  // answer a truncated JSON body
    std::vector<std::string> drop;                       // close without answering
    std::chrono::milliseconds delay{0};                  // before every answer
    // Tags starting with the text whose samples reach the service this many
    // seconds after their time, like a logger that uploads late.
    std::vector<std::pair<std::string, int64_t>> lateTags;
    // A range request naming a tag that starts with one of these is
    // answered 400, as the service answers a tag it does not accept.
    std::vector<std::string> rejectTags;
    // Gateways offline for a while: their tags' samples of that time are
    // published when they come back; with newestFirst the newest at once
    // and the backlog that many seconds later, a gap filled afterwards.
    std::vector<Outage> offline;
    int64_t newestFirst = 0;
    // Gaps in the series of tags, published later than newer samples.
    std::vector<Backfill> backfills;
    // A range longer than this many seconds is answered 400, as a service
    // that refuses ranges over a week does; 0: any length.
    int64_t maxRange = 0;
    // A range request naming a tag that starts with one of these loses its
    // connection without an answer.
    std::vector<std::string> resetTags;
    // Samples answered up to this many seconds past the end of a range, as
    // a service whose clock runs ahead or that rounds up does.
    int64_t overshoot = 0;
    // Windows in which requests whose resource starts with the prefix are
    // answered 429 with a Retry-After of the seconds left, as a throttled
    // key is; the shape of an outage, its prefix a resource's.
    std::vector<Outage> throttles;
    // Answers go plain whatever Accept-Encoding offers, as a service that
    // does not compress.
    bool plain = false;
};

// One time-series range request as the simulator understood it.
struct RangeRequest {
    std::string from;  // as written in the URL
    std::string to;
    int64_t fromEpoch = 0;
    int64_t toEpoch = 0;
    std::vector<std::string> tags;
};

class SimService {
public:
    using Clock = std::function<int64_t()>;  // epoch seconds

    SimService(const UtilityModel& model, std::string key, Faults faults = Faults(), Clock clock = Clock());

    // Thread-safe: the fake service calls it from its connection threads.
    fakeservice::Answer handle(const fakeservice::Request& request);

    std::vector<RangeRequest> rangeRequests() const;
    // The rules by which the faults publish the model's series, for a test
    // that counts what should have arrived.
    static Publication publicationOf(const Faults& faults);

    // "PREFIX=STATUS" as given on the command line; false when malformed.
    static bool parseFailPath(const std::string& text, std::pair<std::string, int>& out);
    // "PREFIX=SECONDS" as given on the command line; false when malformed.
    static bool parseLateTag(const std::string& text, std::pair<std::string, int64_t>& out);
    // Times in the two below are epoch seconds, or with a sign seconds from
    // start (e.g. -3600): false when malformed.
    // "PREFIX=START+SECONDS".
    static bool parseOffline(const std::string& text, int64_t start, Outage& out);
    // "PREFIX=FROM:TO@AT", FROM before TO.
    static bool parseBackfill(const std::string& text, int64_t start, Backfill& out);

private:
    fakeservice::Answer route(const std::string& resource, const std::string& query);
    fakeservice::Answer rangeAnswer(const RangeRequest& range);
    static bool matches(const std::vector<std::string>& prefixes, const std::string& resource);
    // The throttle window the resource is in now, if any.
    const Outage* throttled(const std::string& resource) const;

    const UtilityModel& m_model;
    std::string m_key;
    Faults m_faults;
    Clock m_clock;
    Publication m_publication;  // what the faults make of the model's series
    mutable std::mutex m_mutex;
    std::vector<RangeRequest> m_ranges;
};

}  // namespace nerivosim
