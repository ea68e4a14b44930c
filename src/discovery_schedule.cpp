// When discovery runs: first on the first poll, after a failure again at each
// of the next polls and then at growing intervals, and once completed again
// after the refresh interval so that assets added in the service are found.
#include <algorithm>
#include <chrono>

#include "discovery.h"

namespace nerivo {

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

bool Discovery::due() const
{
    return !m_ran || monotonicSeconds() >= m_next;
}

void Discovery::schedule(const AssetIndex& found)
{
    m_ran = true;
    const int64_t now = monotonicSeconds();
    m_missingLists = found.m_missingLists;
    if (found.m_missing.empty()) {
        m_completedAt = now;
        if (m_failures > 0) {
            m_logger->info("Discovery completed after %u failed attempts", m_failures);
        }
        m_completed = true;
        m_failures = 0;
        m_next = now + m_refresh;
        return;
    }
    ++m_failures;
    const int64_t delay = retryDelay(m_failures);
    m_next = now + delay;
    const char* kept = m_completed ? "; the previous index stays in use" : "";
    if (delay == 0) {
        m_logger->warn("Discovery incomplete, missing %s%s; next try at the next poll", found.m_missing.c_str(), kept);
    } else {
        m_logger->warn("Discovery incomplete, missing %s%s; next try in %lld s", found.m_missing.c_str(), kept,
                       static_cast<long long>(delay));
    }
}

int64_t Discovery::ageSeconds() const
{
    return m_completed ? monotonicSeconds() - m_completedAt : -1;
}

}  // namespace nerivo
