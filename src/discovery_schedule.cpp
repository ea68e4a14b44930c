// When discovery runs: first on the first poll, after a failure again at each
// of the next polls and then at growing intervals, and once completed again
// after the refresh interval so that assets added in the service are found.
#include <algorithm>
#include <chrono>

#include "logger.h"
#include "nerivo.h"

namespace {

// Failed discoveries retried at the very next poll before backing off.
constexpr unsigned POLL_RETRIES = 5;
constexpr int64_t FIRST_BACKOFF = 60;
constexpr int64_t MAX_BACKOFF = 1800;

int64_t monotonicSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Seconds until the retry that follows the given number of failures; zero
// means the next poll.
int64_t retryDelay(unsigned failures)
{
    if (failures <= POLL_RETRIES) {
        return 0;
    }
    int64_t delay = FIRST_BACKOFF;
    for (unsigned i = POLL_RETRIES + 1; i < failures && delay < MAX_BACKOFF; ++i) {
        delay *= 2;
    }
    return std::min(delay, MAX_BACKOFF);
}

}  // namespace

void Nerivo::maintainDiscovery()
{
    if (m_discoveryRan && monotonicSeconds() < m_nextDiscovery) {
        return;
    }
    populateAssetInformation();
}

void Nerivo::scheduleDiscovery(bool completed, const std::string& missing)
{
    m_discoveryRan = true;
    const int64_t now = monotonicSeconds();
    if (completed) {
        if (m_discoveryFailures > 0) {
            m_logger->info("Discovery completed after %u failed attempts", m_discoveryFailures);
        }
        m_discoveryCompleted = true;
        m_discoveryFailures = 0;
        m_nextDiscovery = now + m_discoveryRefresh;
        return;
    }
    ++m_discoveryFailures;
    const int64_t delay = retryDelay(m_discoveryFailures);
    m_nextDiscovery = now + delay;
    const char* kept = m_discoveryCompleted ? "; the previous index stays in use" : "";
    if (delay == 0) {
        m_logger->warn("Discovery incomplete, missing %s%s; next try at the next poll", missing.c_str(), kept);
    } else {
        m_logger->warn("Discovery incomplete, missing %s%s; next try in %lld s", missing.c_str(), kept,
                       static_cast<long long>(delay));
    }
}
