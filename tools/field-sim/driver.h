#pragma once
// The plugin's poll loop over the progress type, without I/O: asks packed
// into URLs as the plugin packs them, the poll's request budget and reading
// bound, failures, restarts through the stored state text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "invariants.h"
#include "model.h"
#include "progress.h"
#include "service.h"

namespace fieldsim {

// The tag lists of the requests one ask becomes: tags percent-encoded into
// URLs of the plugin's length, at most maxTags a request.
std::vector<std::vector<std::string>> packAsk(const nerivo::Ask& ask);
// What the plugin stores, as it writes it.
std::string stateText(int64_t lastPull, const nerivo::Progress& progress);
// Reads a stored state as the plugin does; the lastPull it starts from.
int64_t readState(const std::string& state, int64_t now, nerivo::Progress& progress);
// Why a request failed, as the plugin's service access tells the progress;
// keyWorks: the service has answered a request since the start.
nerivo::FailedRequest failure(bool raised, int status, bool keyWorks);
constexpr std::size_t MAX_POLL_READINGS = 100000;
constexpr int64_t DEFAULT_LOOKBACK = 365 * DAY;

class Driver {
public:
    Driver(const World& world, Service& service, Checks& checks);
    // The plugin's start from the world's stored state.
    void start(const std::string& state, int64_t trueNow);
    void poll(int64_t trueNow);
    // Stops and starts again from the state it stored; cut: the text is cut
    // short at a random byte.
    void restart(int64_t trueNow, bool cut, Rng& rng);
    const nerivo::Progress& progress() const { return m_progress; }
    int64_t lastPull() const { return m_lastPull; }

private:
    struct Poll;
    // Rounds of the progress's asks until it has nothing more this poll.
    void sendRounds(Poll& poll);
    bool sendPacked(Poll& poll, const nerivo::Ask& ask);
    bool sendRequest(Poll& poll, const nerivo::Ask& ask);
    void take(Poll& poll, const nerivo::Ask& ask, const Answer& answer);
    std::vector<std::size_t> index(int64_t trueNow) const;
    bool discoveryAnswers(int64_t trueNow) const;

    const World& m_world;
    Service& m_service;
    Checks& m_checks;
    std::vector<std::size_t> m_order;  // the world's tags by name, as the index lists them
    nerivo::Progress m_progress{0};
    int64_t m_lastPull = 0;
    bool m_discovered = false;  // a discovery found every list once
    bool m_keyWorks = false;    // the service answered a request since the start
};

}  // namespace fieldsim
