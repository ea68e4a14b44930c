// The poll cycle: give way to a pending reconfiguration, bring the client up
// on its first run, then ask for every tag's data since the last pull.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

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
    // While the service is backing off a poll sends nothing.
    if (m_service.holding()) {
        return readings;
    }
    m_service.newPoll();
    maintainDiscovery();
    // Stored times of another zone setting wait for a complete discovery
    // to be carried over: asked as they are, they would lose or double data.
    if (m_storedZone) {
        m_logger->debug("Nerivo::takeReading(): stored progress waits for a complete discovery");
        return readings;
    }
    getDateRange(readings);
    return readings;
}

std::vector<std::string> Nerivo::indexTags() const
{
    std::vector<std::string> tags;
    tags.reserve(m_index.m_tagIndex.size());
    for (const auto& entry : m_index.m_tagIndex) {
        tags.push_back(entry.first);
    }
    return tags;
}

// Sends the requests the progress asks for, round after round, until every
// tag has been asked as far as this poll takes it, the poll's reading bound
// or request budget is reached, or the network is down.
bool Nerivo::getDateRange(std::vector<Reading*>* readings)
{
    const int64_t now = this->now();
    const std::vector<std::string> tags = indexTags();
    const int64_t oldestBefore = m_progress.span(tags).first;
    m_progress.beginPoll(now, tags);
    PollTally tally;
    bool ok = true;
    if (tags.empty()) {
        // The closing request of an empty index: it asks for no tag.
        nerivo::Ask closing;
        closing.from = m_lastPull;
        closing.to = now;
        ok = sendPacked(readings, closing, tally);
    }
    for (int round = 0; ok && round < nerivo::MAX_POLL_REQUESTS && readings->size() < MAX_POLL_READINGS; ++round) {
        const std::vector<nerivo::Ask> asks = m_progress.plan();
        const int sent = tally.requests;
        for (const nerivo::Ask& ask : asks) {
            ok = sendPacked(readings, ask, tally);
            if (!ok || readings->size() >= MAX_POLL_READINGS) {
                break;
            }
        }
        if (tally.requests == sent) {
            break;  // nothing more to ask, or the budget is spent
        }
    }
    endPoll(readings, tally, tags, oldestBefore, now);
    return ok;
}

void Nerivo::endPoll(std::vector<Reading*>* readings, const PollTally& tally, const std::vector<std::string>& tags,
                     int64_t oldestBefore, int64_t now)
{
    m_lastPull = m_progress.earliest(tags).value_or(m_lastPull);
    // Tags a discovery has not found yet start at the stored time: it must
    // not pass them before they are seen.
    if (!m_discovery.completedOnce()) {
        m_lastPull = std::min(m_lastPull, m_progress.start());
    }
    logNotes();
    const auto pulls = tags.empty() ? std::make_pair(m_lastPull, m_lastPull) : m_progress.span(tags);
    const nerivo::Health health = pollHealth(readings->size(), tally, pulls.first, now);
    logPoll(health, pulls, oldestBefore, now);
    // Outside the reading bound: it moves no progress.
    if (!m_healthAsset.empty()) {
        readings->push_back(health.reading(m_healthAsset, this->now()));
    }
}

bool Nerivo::sendPacked(std::vector<Reading*>* readings, const nerivo::Ask& ask, PollTally& tally)
{
    if (m_zones.sites.empty() || ask.tags.empty()) {
        return sendZone(readings, ask, m_zones.main, tally);
    }
    // A request holds tags of one zone, its dates in that zone's wall time.
    std::map<std::string, std::pair<const nerivo::Zone*, nerivo::Ask>> byZone;
    for (const std::string& tag : ask.tags) {
        const nerivo::Zone& zone = tagZone(tag);
        auto& entry = byZone[zone.key()];
        if (entry.first == nullptr) {
            entry = {&zone, ask};
            entry.second.tags.clear();
        }
        entry.second.tags.push_back(tag);
    }
    for (const auto& entry : byZone) {
        if (!sendZone(readings, entry.second.second, *entry.second.first, tally)) {
            return false;
        }
    }
    return true;
}

bool Nerivo::sendZone(std::vector<Reading*>* readings, const nerivo::Ask& ask, const nerivo::Zone& zone,
                      PollTally& tally)
{
    auto rangeBase = [&](int64_t from) {
        return m_service.url("timeseriesdata/" + formatWall(zone.startWall(from)) + "/" +
                             formatWall(zone.endWall(ask.to)) + "?tags=");
    };
    // Dates have one width: a URL's length is known before its start is.
    const std::string base = rangeBase(ask.from);
    RangeBatch batch;
    batch.ask = ask;
    batch.ask.tags.clear();
    std::string url = base;
    for (std::size_t i = 0; i <= ask.tags.size(); ++i) {
        const bool closing = i == ask.tags.size();
        if (!closing) {
            url += (batch.ask.tags.empty() ? "" : ",") + nerivo::Service::urlTag(ask.tags[i]);
            batch.ask.tags.push_back(ask.tags[i]);
        }
        const bool full = url.size() > MAX_URL_LENGTH || (ask.maxTags != 0 && batch.ask.tags.size() >= ask.maxTags);
        if ((!closing && !full) || (closing && batch.ask.tags.empty() && (ask.maxTags != 0 || ask.gap))) {
            continue;
        }
        batch.ask.from = m_progress.requestStart(batch.ask);
        if (!m_progress.mayAsk(batch.ask)) {
            return true;  // the budget for such requests is spent; others may go on
        }
        if (!sendRequest(readings, rangeBase(batch.ask.from) + url.substr(base.size()), batch, tally)) {
            return false;
        }
        url = base;
        batch.ask.from = ask.from;
        batch.ask.tags.clear();
        batch.status.clear();
        batch.samples = 0;
        batch.duplicates = 0;
        batch.heard.clear();
    }
    return true;
}

bool Nerivo::sendRequest(std::vector<Reading*>* readings, const std::string& url, RangeBatch& batch, PollTally& tally)
{
    const RangeOutcome outcome = makeRequest(readings, url, batch);
    if (outcome == RangeOutcome::HELD) {
        return false;  // the rest waits for the back-off; nothing of it failed
    }
    ++tally.requests;
    tally.duplicates += batch.duplicates;
    if (outcome == RangeOutcome::OK) {
        m_progress.answered(batch.ask, batch.heard, batch.samples);
    } else {
        ++tally.failed;
        const bool raised = outcome == RangeOutcome::RAISED;
        m_progress.failed(batch.ask, nerivo::FailedRequest{m_service.refusal(raised, batch.status), batch.status});
    }
    tally.raisedInRow = outcome == RangeOutcome::RAISED ? tally.raisedInRow + 1 : 0;
    // One request that raised may be its own trouble; two in a row mean the
    // service cannot be reached.
    return tally.raisedInRow < 2;
}

void Nerivo::logNotes()
{
    for (const nerivo::Note& note : m_progress.takeNotes()) {
        nerivo::logNote(m_logger, note);
    }
}

nerivo::Health Nerivo::pollHealth(std::size_t readings, const PollTally& tally, int64_t oldest, int64_t now)
{
    const nerivo::Traffic traffic = m_service.takeTraffic();
    nerivo::Health health;
    health.requests = tally.requests;
    health.failed = tally.failed;
    health.readings = static_cast<int64_t>(readings);
    health.bytesWire = traffic.wire;
    health.bytesInflated = traffic.inflated;
    health.tags = static_cast<int64_t>(m_index.m_tagIndex.size());
    health.behindSeconds = health.tags == 0 ? 0 : nerivo::catchUpBehind(now, oldest);
    health.gaps = static_cast<int64_t>(m_progress.openGaps());
    health.heldSeconds = m_service.heldSeconds();
    health.discoveryAgeSeconds = m_discovery.ageSeconds();
    health.missingLists = m_discovery.missingLists();
    return health;
}

void Nerivo::logPoll(const nerivo::Health& health, std::pair<int64_t, int64_t> pulls, int64_t oldestBefore, int64_t now)
{
    m_logger->info("Poll returned %lld readings from %lld requests, %lld failed; next pull of the tags from %s to %s; "
                   "%llu bytes on the wire, %llu inflated",
                   static_cast<long long>(health.readings), static_cast<long long>(health.requests),
                   static_cast<long long>(health.failed), formatDate(pulls.first).c_str(),
                   formatDate(pulls.second).c_str(), static_cast<unsigned long long>(health.bytesWire),
                   static_cast<unsigned long long>(health.bytesInflated));
    logPollRate(health.bytesWire, now);
    logCatchUp(health.behindSeconds, pulls.first, oldestBefore);
}

void Nerivo::logPollRate(uint64_t wire, int64_t now)
{
    // Polls far more often than the samples come cost traffic for nothing;
    // said once a day.
    const int64_t gap = now - m_previousPoll;
    const int64_t fastest = m_progress.fastestInterval();
    m_previousPoll = now;
    if (gap <= 0 || fastest <= 0 || fastest <= 10 * gap || now - m_rateNoted < 86400) {
        return;
    }
    m_rateNoted = now;
    m_logger->info("Polls come every %lld s, more than 10 times as often as the fastest tag's samples (every %lld "
                   "s); at this rate they cost about %llu bytes a day on the wire",
                   static_cast<long long>(gap), static_cast<long long>(fastest),
                   static_cast<unsigned long long>(wire * 86400 / static_cast<uint64_t>(gap)));
}

void Nerivo::logCatchUp(int64_t behind, int64_t oldest, int64_t oldestBefore)
{
    if (behind == 0) {
        return;
    }
    // A stored time may lie anywhere in the 64-bit range: differences saturate.
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
    return formatWall(m_zones.main.wallOf(time));
}

std::string Nerivo::formatWall(int64_t wall)
{
    const time_t local = static_cast<time_t>(wall);
    struct tm parts {};
    char buffer[80];
    // A wall time at the ends of the 64-bit range stands for a time beyond
    // the calendar's reach; the epoch is a harmless range bound for it.
    if (wall == INT64_MAX || wall == INT64_MIN || gmtime_r(&local, &parts) == nullptr) {
        return "1970-01-01T00:00:00";
    }
    // Zero-padded: a year before 1000 must not put a space in the URL.
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buffer;
}
