// The poll cycle: give way to a pending reconfiguration, bring the client up
// on its first run, then ask for every tag's data since the last pull.
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "logger.h"
#include "nerivo.h"

namespace {

constexpr int YIELD_ATTEMPTS = 10;
constexpr long YIELD_NANOSECONDS = 30000000;

void sleepFully(long nanoseconds)
{
    timespec request{0, nanoseconds};
    timespec remaining{};
    while (nanosleep(&request, &remaining) == -1 && errno == EINTR) {
        request = remaining;
    }
}

}  // namespace

std::vector<Reading*>* Nerivo::takeReading()
{
    auto* readings = new std::vector<Reading*>();

    if (m_reconfPending) {
        m_logger->debug("Nerivo::takeReading(): m_reconfPending is SET, so yielding poll thread");
        for (int attempt = 0; attempt < YIELD_ATTEMPTS && m_reconfPending; ++attempt) {
            sleepFully(YIELD_NANOSECONDS);
        }
        m_logger->debug("Nerivo::takeReading(): back after yielding poll thread");
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_initialised) {
        if (!connect()) {
            return readings;
        }
        m_initialised = true;
    }
    maintainDiscovery();
    getDateRange(readings);
    return readings;
}

bool Nerivo::getDateRange(std::vector<Reading*>* readings)
{
    const std::string base = "https://" + m_host + "/api/timeseriesdata/" + formatDate(m_lastPull) + "/" +
                             formatDate(static_cast<int64_t>(time(nullptr))) + "?tags=";
    std::string url = base;
    bool firstTag = true;
    for (const auto& entry : m_tagIndex) {
        if (!firstTag) {
            url += ',';
        }
        url += urlTag(entry.first);
        if (url.size() > MAX_URL_LENGTH) {
            if (!makeRequest(readings, url)) {
                return false;
            }
            url = base;
            firstTag = true;
        } else {
            firstTag = false;
        }
    }
    if (!makeRequest(readings, url)) {
        return false;
    }
    m_lastPull = m_nextPull;
    return true;
}

std::string Nerivo::formatDate(int64_t time) const
{
    // Checked before the shift, which would overflow near the ends of the
    // 64-bit range.
    const int64_t shift = static_cast<int64_t>(m_timezoneOffset) * 60;
    const bool overflows = shift > 0 ? time > INT64_MAX - shift : time < INT64_MIN - shift;
    const time_t local = static_cast<time_t>(overflows ? 0 : time + shift);
    struct tm parts {};
    char buffer[80];
    if (overflows || gmtime_r(&local, &parts) == nullptr) {
        // Only a time beyond the calendar's reach gets here; the epoch is a
        // harmless range bound for it.
        return "1970-01-01T00:00:00";
    }
    std::snprintf(buffer, sizeof buffer, "%4d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buffer;
}
