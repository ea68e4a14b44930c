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

    // "PREFIX=STATUS" as given on the command line; false when malformed.
    static bool parseFailPath(const std::string& text, std::pair<std::string, int>& out);
    // "PREFIX=SECONDS" as given on the command line; false when malformed.
    static bool parseLateTag(const std::string& text, std::pair<std::string, int64_t>& out);

private:
    fakeservice::Answer route(const std::string& resource, const std::string& query);
    fakeservice::Answer rangeAnswer(const RangeRequest& range);
    static bool matches(const std::vector<std::string>& prefixes, const std::string& resource);

    const UtilityModel& m_model;
    std::string m_key;
    Faults m_faults;
    Clock m_clock;
    mutable std::mutex m_mutex;
    std::vector<RangeRequest> m_ranges;
};

}  // namespace nerivosim
