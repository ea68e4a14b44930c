// One time-series request over a date range: every sample of every tag in
// the answer that its tag has not delivered before becomes a reading.
#include <algorithm>
#include <memory>
#include <utility>

#include "logger.h"
#include "nerivo.h"
#include "progress.h"
#include "reading.h"
#include "sample_mapping.h"

namespace {

// The lines of a failed range request; an isolated tag's rejection has its
// own hourly line, so its status line is at debug level.
const nerivo::Lines& rangeLines(bool isolated)
{
    using Level = Logger::Level;
    using Detail = nerivo::Line::Detail;
    auto lines = [](Level status) {
        return nerivo::Lines{
            {nerivo::Failure::STATUS, {status, "Time series request answered with status ", Detail::STATUS_URL}},
            {nerivo::Failure::EMPTY, {Level::Warning, "No available date range: ", Detail::URL}},
            {nerivo::Failure::UNPARSABLE, {Level::Error, "Failed to parse timeseries data response: ", Detail::BODY}},
            {nerivo::Failure::NOT_OBJECT, {Level::Error, "Time series answer is not a JSON object: ", Detail::URL}},
            {nerivo::Failure::NO_RESULT, {Level::Error, "Time series answer holds no result: ", Detail::URL}},
            {nerivo::Failure::WRONG_TYPE,
             {Level::Error, "Time series answer holds a result that is not an object: ", Detail::URL}},
        };
    };
    static const nerivo::Lines shared = lines(Level::Error);
    static const nerivo::Lines alone = lines(Level::Debug);
    return isolated ? alone : shared;
}

}  // namespace

Nerivo::RangeOutcome Nerivo::makeRequest(std::vector<Reading*>* readings, const std::string& url, RangeBatch& batch)
{
    m_logger->debug("Get date range data: %s", url.c_str());
    nerivo::Reply reply;
    if (!m_service.send(url, reply)) {
        m_service.report(reply, url, {});
        return reply.failure == nerivo::Failure::HELD ? RangeOutcome::HELD : RangeOutcome::RAISED;
    }
    m_logger->info("Data for range: %s", reply.body.c_str());
    batch.status = reply.status;
    // Only a full answer counts: anything else would move tags past data
    // that was never received.
    const bool isolated = batch.ask.maxTags == 1 && batch.ask.tags.size() == 1;
    const nerivo::Lines& lines = rangeLines(isolated);
    if (m_service.read(reply, nerivo::Expect{rapidjson::kObjectType, true, true}) != nerivo::Failure::NONE) {
        m_service.report(reply, url, lines);
        return RangeOutcome::FAILED;
    }
    for (const auto& series : reply.result->GetObject()) {
        // Tags are taken as C text, up to any NUL, like the tags of the index.
        const std::string tag = series.name.GetString();
        auto indexed = m_index.m_tagIndex.find(tag);
        if (indexed == m_index.m_tagIndex.end()) {
            m_logger->warn("Failed to find asset data for tag %s", tag.c_str());
            continue;
        }
        if (!series.value.IsArray()) {
            m_logger->error("Expected an array as child of tag %s", tag.c_str());
            continue;
        }
        takeSeries(readings, tag, *indexed->second, series.value, batch);
    }
    return RangeOutcome::OK;
}

struct Nerivo::TimedSample {
    nerivo::SampleMembers members;
    int64_t seconds;
    int32_t fraction;  // thousandths of a second plus one; 0: the time has none
    int32_t offset;    // minutes east of UTC in force at the sample
};

namespace {

// The fraction of a time text that parsed: its first three digits, as the
// progress takes them.
int32_t fractionOf(const char* text, std::size_t length)
{
    if (length < 21 || text[19] != '.') {
        return 0;
    }
    int32_t thousandths = 0;
    for (std::size_t i = 20; i < 23; ++i) {
        thousandths = thousandths * 10 + (i < length ? text[i] - '0' : 0);
    }
    return thousandths + 1;
}

// Places the wall times of one series: a wall time of the autumn's repeated
// hour is its first occurrence, unless the series stepped back to it (a time
// at or before the previous one's): then, up to the end of that hour, the
// second.
class SeriesClock {
public:
    explicit SeriesClock(const nerivo::Zone& zone) : m_zone(zone) {}

    int64_t instant(int64_t wall, int32_t fraction)
    {
        const std::pair<int64_t, int32_t> at{wall, fraction};
        m_second = m_zone.repeated(wall) && (m_second || at <= m_previous);
        m_previous = at;
        return m_zone.instantOf(wall, m_second);
    }

private:
    const nerivo::Zone& m_zone;
    bool m_second = false;
    std::pair<int64_t, int32_t> m_previous{INT64_MIN, 0};
};

}  // namespace

std::vector<Nerivo::TimedSample> Nerivo::timedSamples(const std::string& tag, const rapidjson::Value& series)
{
    const bool debug = m_logger->getMinLevel() <= Logger::Level::Debug;
    std::vector<TimedSample> timed;
    timed.reserve(series.Size());
    const nerivo::Zone& zone = tagZone(tag);
    SeriesClock clock(zone);
    for (const auto& sample : series.GetArray()) {
        if (debug) {
            m_logger->debug("Processing reading for asset tag %s", tag.c_str());
        }
        if (!sample.IsObject()) {
            m_logger->warn("Skipping a sample of tag %s that is not an object", tag.c_str());
            continue;
        }
        // A sample without a time of its own is skipped: any time given to
        // it would be made up, and it must not move the tag's next pull.
        const nerivo::SampleMembers members = nerivo::findSampleMembers(sample);
        const rapidjson::Value* timestamp = members.timestamp;
        if (timestamp == nullptr || !timestamp->IsString()) {
            m_logger->warn("Skipping a sample of tag %s without a timestamp text", tag.c_str());
            continue;
        }
        int64_t wall = 0;
        if (!nerivo::parseSampleTime(timestamp->GetString(), timestamp->GetStringLength(), 0, wall)) {
            m_logger->warn("Skipping a sample of tag %s whose time cannot be read: %s", tag.c_str(),
                           timestamp->GetString());
            continue;
        }
        const int32_t fraction = fractionOf(timestamp->GetString(), timestamp->GetStringLength());
        const int64_t seconds = clock.instant(wall, fraction);
        timed.push_back(TimedSample{members, seconds, fraction, zone.offsetAt(seconds)});
    }
    return timed;
}

void Nerivo::deliverSamples(std::vector<Reading*>* readings, const std::string& tag, const AssetData& asset,
                            const std::vector<const TimedSample*>& fresh)
{
    // The same for every sample of the tag: worked out once.
    const std::string* site = m_index.siteName(asset.m_siteId);
    const std::string assetName =
        nerivo::readingAssetName(asset, m_separator, m_includeSite, site ? *site : std::string());
    nerivo::SampleValues values(asset, m_includeAlarms, site);
    const bool debug = m_logger->getMinLevel() <= Logger::Level::Debug;
    // Grown by doubling: a reserve of just this tag's samples would copy
    // the poll's readings once per tag.
    const std::size_t needed = readings->size() + fresh.size();
    if (readings->capacity() < needed) {
        readings->reserve(std::max(needed, 2 * readings->capacity()));
    }
    std::string time;
    // The suffix of the offset in force, worked out when it changes.
    int32_t offset = m_index.m_timezoneOffset;
    std::string suffix = m_zoneSuffix;
    for (const TimedSample* entry : fresh) {
        if (entry->offset != offset) {
            offset = entry->offset;
            suffix = nerivo::zoneSuffix(offset);
        }
        std::vector<Datapoint*> datapoints;
        datapoints.reserve(values.size());
        values.append(datapoints, entry->members, m_logger, tag);
        nerivo::assignReadingTime(time, entry->members.timestamp->GetString(),
                                  entry->members.timestamp->GetStringLength(), suffix);
        if (debug) {
            m_logger->debug("Add reading for asset %s at %s", assetName.c_str(), time.c_str());
        }
        readings->push_back(new Reading(assetName, std::move(datapoints), time));
    }
}

void Nerivo::takeSeries(std::vector<Reading*>* readings, const std::string& tag, const AssetData& asset,
                        const rapidjson::Value& series, RangeBatch& batch)
{
    const std::vector<TimedSample> timed = timedSamples(tag, series);
    if (timed.empty()) {
        return;
    }
    batch.heard.insert(tag);
    batch.samples += timed.size();
    std::vector<int64_t> times;
    std::vector<int32_t> fractions;
    times.reserve(timed.size());
    fractions.reserve(timed.size());
    for (const TimedSample& sample : timed) {
        times.push_back(sample.seconds);
        fractions.push_back(sample.fraction);
    }
    std::vector<std::size_t> chosen = m_progress.select(tag, times, fractions);
    batch.duplicates += timed.size() - chosen.size();
    // Beyond the poll's reading bound the oldest go first and the rest wait
    // for a later poll: progress never passes a sample that was not delivered.
    const std::size_t room = MAX_POLL_READINGS - std::min(MAX_POLL_READINGS, readings->size());
    if (chosen.size() > room) {
        std::stable_sort(chosen.begin(), chosen.end(),
                         [&times](std::size_t a, std::size_t b) { return times[a] < times[b]; });
    }
    std::vector<const TimedSample*> fresh;
    for (std::size_t i = 0; i < chosen.size() && i < room; ++i) {
        fresh.push_back(&timed[chosen[i]]);
    }
    deliverSamples(readings, tag, asset, fresh);
    m_progress.delivered(batch.ask, tag, times, fresh.size(), fractions);
}
