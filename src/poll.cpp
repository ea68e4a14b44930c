// The poll cycle: give way to a pending reconfiguration, bring the client up
// on its first run, then ask for every tag's data since the last pull.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "logger.h"
#include "nerivo.h"
#include "progress.h"

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

int64_t Nerivo::tagPull(const std::string& tag) const
{
    auto found = m_tagPulls.find(tag);
    return found == m_tagPulls.end() ? m_startPull : found->second;
}

std::vector<std::pair<std::string, int64_t>> Nerivo::indexPulls() const
{
    std::vector<std::pair<std::string, int64_t>> pulls;
    pulls.reserve(m_tagIndex.size());
    for (const auto& entry : m_tagIndex) {
        pulls.emplace_back(entry.first, tagPull(entry.first));
    }
    return pulls;
}

// Reads windows of the tags' backlogs, oldest first, until every tag has
// been asked up to the present, the poll's reading bound is reached, or a
// request raised.
bool Nerivo::getDateRange(std::vector<Reading*>* readings)
{
    const int64_t now = this->now();
    PollTally tally;
    const auto before = indexPulls();
    const int64_t oldestBefore =
        before.empty() ? m_lastPull : std::min_element(before.begin(), before.end(), [](auto& a, auto& b) {
                                          return a.second < b.second;
                                      })->second;
    bool ok = true;
    if (m_tagIndex.empty()) {
        std::set<std::string> done;
        ok = readGroup(readings, {}, m_lastPull, now, now, done, tally);
    }
    std::set<std::string> done;  // asked up to the present, or failed, in this poll
    while (ok && readings->size() < MAX_POLL_READINGS && tally.requests < MAX_POLL_REQUESTS) {
        auto pulls = indexPulls();
        pulls.erase(std::remove_if(pulls.begin(), pulls.end(), [&done](auto& p) { return done.count(p.first) != 0; }),
                    pulls.end());
        if (pulls.empty()) {
            break;
        }
        const auto progressBefore = m_tagPulls;
        const std::size_t doneBefore = done.size();
        for (const auto& group : nerivo::groupTags(pulls)) {
            int64_t to = group.from <= now - m_window ? group.from + m_window : now;
            // Near the present a range always reaches it: a short one would
            // count for nothing.
            if (to > now - SETTLED_AGE) {
                to = now;
            }
            if (!readGroup(readings, group.tags, group.from, to, now, done, tally)) {
                ok = false;
                break;
            }
            if (readings->size() >= MAX_POLL_READINGS) {
                break;
            }
        }
        if (m_tagPulls == progressBefore && done.size() == doneBefore) {
            break;
        }
    }
    const auto after = indexPulls();
    for (const auto& pull : after) {
        m_lastPull = pull == after.front() ? pull.second : std::min(m_lastPull, pull.second);
    }
    logPoll(readings->size(), tally, oldestBefore, now);
    return ok;
}

bool Nerivo::readGroup(std::vector<Reading*>* readings, const std::vector<std::string>& tags, int64_t from, int64_t to,
                       int64_t now, std::set<std::string>& done, PollTally& tally)
{
    // Tags of rejected requests go in smaller requests of their own, so that
    // the tag the service refuses cannot hold back the others.
    std::vector<std::string> packed;
    std::map<std::size_t, std::vector<std::string>> limited;
    for (const auto& tag : tags) {
        auto limit = m_batchLimit.find(tag);
        if (limit == m_batchLimit.end()) {
            packed.push_back(tag);
        } else {
            limited[limit->second].push_back(tag);
        }
    }
    RangeWindow window{from, to, now};
    if ((!packed.empty() || limited.empty()) && !sendPacked(readings, packed, window, 0, done, tally)) {
        return false;
    }
    for (const auto& group : limited) {
        if (!sendPacked(readings, group.second, window, group.first, done, tally)) {
            return false;
        }
    }
    return true;
}

bool Nerivo::sendPacked(std::vector<Reading*>* readings, const std::vector<std::string>& tags,
                        const RangeWindow& window, std::size_t maxTags, std::set<std::string>& done, PollTally& tally)
{
    const std::string base =
        "https://" + m_host + "/api/timeseriesdata/" + formatDate(window.from) + "/" + formatDate(window.to) + "?tags=";
    RangeBatch batch;
    std::string url = base;
    for (std::size_t i = 0; i <= tags.size(); ++i) {
        const bool closing = i == tags.size();
        if (!closing) {
            url += (batch.tags.empty() ? "" : ",") + urlTag(tags[i]);
            batch.tags.push_back(tags[i]);
        }
        if (!closing && url.size() <= MAX_URL_LENGTH && (maxTags == 0 || batch.tags.size() < maxTags)) {
            continue;
        }
        if (closing && batch.tags.empty() && maxTags != 0) {
            break;
        }
        batch.from = window.from;
        batch.to = window.to;
        batch.isolated = maxTags == 1 && batch.tags.size() == 1;
        ++tally.requests;
        const RangeOutcome outcome = makeRequest(readings, url, batch);
        tally.duplicates += batch.duplicates;
        settleRequest(batch, outcome, window.now);
        if (outcome != RangeOutcome::OK) {
            ++tally.failed;
        }
        if (outcome != RangeOutcome::OK || window.to >= window.now) {
            done.insert(batch.tags.begin(), batch.tags.end());
        }
        done.insert(batch.deferred.begin(), batch.deferred.end());
        if (outcome == RangeOutcome::RAISED) {
            // Without an answer the other requests would fail the same way.
            return false;
        }
        url = base;
        batch = RangeBatch();
    }
    return true;
}

namespace {

// A 4xx answer that may be about the tags asked; not the key, the proxy,
// the rate or the time the request took.
bool rejectsTags(const std::string& status)
{
    if (status.size() < 3 || status[0] != '4') {
        return false;
    }
    const std::string code = status.substr(0, 3);
    return code != "401" && code != "403" && code != "407" && code != "408" && code != "429";
}

}  // namespace

void Nerivo::settleRequest(const RangeBatch& batch, RangeOutcome outcome, int64_t now)
{
    if (outcome == RangeOutcome::OK) {
        settleBatch(batch, now);
        adaptWindow(batch, now);
        for (const auto& tag : batch.tags) {
            m_batchLimit.erase(tag);
            m_rejectedLogged.erase(tag);
        }
        return;
    }
    if (outcome != RangeOutcome::FAILED || !rejectsTags(batch.status)) {
        return;
    }
    // Halve the rejected request at each later poll until the tags the
    // service refuses stand alone.
    const std::size_t half = std::max<std::size_t>(1, batch.tags.size() / 2);
    for (const auto& tag : batch.tags) {
        m_batchLimit[tag] = half;
    }
    if (batch.tags.size() == 1) {
        const std::string& tag = batch.tags.front();
        auto logged = m_rejectedLogged.find(tag);
        if (logged == m_rejectedLogged.end() || now - logged->second >= REJECTION_LOG_INTERVAL) {
            m_logger->error("The service rejects tag %s (%s); its data is asked again at later polls", tag.c_str(),
                            batch.status.c_str());
            m_rejectedLogged[tag] = now;
        }
    }
}

void Nerivo::settleBatch(const RangeBatch& batch, int64_t now)
{
    // A window that ended an hour ago is complete at the service: its silent
    // tags move on. Nearer the present only a tag's own samples move it, so
    // late data is still read.
    if (batch.to > now - SETTLED_AGE) {
        return;
    }
    const int64_t settled = batch.to;
    for (const auto& tag : batch.tags) {
        // A tag with samples moves with them alone: the service may have
        // left the rest of its window for a later request.
        if (batch.heard.count(tag) == 0 && batch.deferred.count(tag) == 0 && tagPull(tag) <= settled) {
            m_tagPulls[tag] = settled + 1;
        }
    }
}

void Nerivo::adaptWindow(const RangeBatch& batch, int64_t now)
{
    const std::size_t received = batch.samples + batch.duplicates;
    if (!batch.deferred.empty() || received > WINDOW_TARGET) {
        m_window = std::max(MIN_WINDOW, m_window / 2);
    } else if (batch.to < now && received < WINDOW_TARGET / 4) {
        m_window = std::min(MAX_WINDOW, m_window * 2);
    }
}

void Nerivo::logPoll(std::size_t readings, const PollTally& tally, int64_t oldestBefore, int64_t now)
{
    const auto pulls = indexPulls();
    int64_t oldest = m_lastPull;
    int64_t newest = m_lastPull;
    for (const auto& pull : pulls) {
        oldest = pull == pulls.front() ? pull.second : std::min(oldest, pull.second);
        newest = pull == pulls.front() ? pull.second : std::max(newest, pull.second);
    }
    m_logger->info("Poll returned %zu readings from %d requests, %d failed; next pull of the tags from %s to %s",
                   readings, tally.requests, tally.failed, formatDate(oldest).c_str(), formatDate(newest).c_str());
    // A stored time may lie anywhere in the 64-bit range: differences saturate.
    int64_t behind = 0;
    if (__builtin_sub_overflow(now, oldest, &behind)) {
        behind = INT64_MAX;
    }
    if (pulls.empty() || behind <= 2 * SETTLED_AGE) {
        return;
    }
    int64_t gained = 0;
    if (__builtin_sub_overflow(oldest, oldestBefore, &gained)) {
        gained = 0;
    }
    const long long days = behind / 86400;
    const long long hours = behind % 86400 / 3600;
    if (gained > 0) {
        const long long polls = behind / gained + (behind % gained != 0 ? 1 : 0);
        m_logger->info("Catching up: the oldest tag is %lld days %lld hours behind, about %lld more polls", days, hours,
                       polls);
    } else {
        m_logger->info("Catching up: the oldest tag is %lld days %lld hours behind", days, hours);
    }
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
    // Zero-padded: a year before 1000 must not put a space in the URL.
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buffer;
}
