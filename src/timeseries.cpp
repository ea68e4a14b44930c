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
#include "service_answer.h"

Nerivo::RangeOutcome Nerivo::makeRequest(std::vector<Reading*>* readings, const std::string& url, RangeBatch& batch)
{
    m_logger->debug("Get date range data: %s", url.c_str());
    ApiAnswer answer;
    if (!apiGet(url, answer)) {
        return RangeOutcome::RAISED;
    }
    m_logger->info("Data for range: %s", answer.body().c_str());
    batch.status = answer.status;

    // Only a full answer counts: anything else would move tags past data
    // that was never received.
    if (answer.status != "200 OK") {
        // An isolated tag's rejection has its own hourly line.
        if (batch.isolated) {
            m_logger->debug("Time series request answered with status %s: %s", answer.status.c_str(), url.c_str());
        } else {
            m_logger->error("Time series request answered with status %s: %s", answer.status.c_str(), url.c_str());
            nerivo::keyHint(m_logger, answer.status);
        }
        return RangeOutcome::FAILED;
    }
    rapidjson::MemoryPoolAllocator<> pool(nerivo::documentChunk(answer.body()));
    rapidjson::Document doc(&pool);
    const rapidjson::Value* result = nullptr;
    switch (nerivo::readResultInPlace(answer.text, rapidjson::kObjectType, doc, result)) {
    case nerivo::AnswerOutcome::RESULT: break;
    case nerivo::AnswerOutcome::EMPTY:
        m_logger->warn("No available date range: %s", url.c_str());
        return RangeOutcome::FAILED;
    case nerivo::AnswerOutcome::UNPARSABLE:
        m_logger->error("Failed to parse timeseries data response: %s", answer.body().c_str());
        return RangeOutcome::FAILED;
    case nerivo::AnswerOutcome::NOT_OBJECT:
        m_logger->error("Time series answer is not a JSON object: %s", url.c_str());
        return RangeOutcome::FAILED;
    case nerivo::AnswerOutcome::NO_RESULT:
        m_logger->error("Time series answer holds no result: %s", url.c_str());
        return RangeOutcome::FAILED;
    case nerivo::AnswerOutcome::WRONG_TYPE:
        m_logger->error("Time series answer holds a result that is not an object: %s", url.c_str());
        return RangeOutcome::FAILED;
    }

    for (const auto& series : result->GetObject()) {
        // Tags are taken as C text, up to any NUL, like the tags of the index.
        const std::string tag = series.name.GetString();
        auto indexed = m_tagIndex.find(tag);
        if (indexed == m_tagIndex.end()) {
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

struct Nerivo::FreshSample {
    nerivo::SampleMembers members;
    int64_t seconds;
};

std::vector<Nerivo::FreshSample> Nerivo::freshSamples(const std::string& tag, const rapidjson::Value& series,
                                                      int64_t pull, const std::set<int64_t>& ahead, RangeBatch& batch)
{
    const bool debug = m_logger->getMinLevel() <= Logger::Level::Debug;
    std::vector<FreshSample> fresh;
    fresh.reserve(series.Size());
    bool heard = false;  // noted once for the tag, not per sample
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
        int64_t seconds = 0;
        if (!nerivo::parseSampleTime(timestamp->GetString(), timestamp->GetStringLength(), m_timezoneOffset, seconds)) {
            m_logger->warn("Skipping a sample of tag %s whose time cannot be read: %s", tag.c_str(),
                           timestamp->GetString());
            continue;
        }
        heard = true;
        if (seconds < pull || (seconds > batch.to && ahead.count(seconds) != 0)) {
            ++batch.duplicates;
            continue;
        }
        fresh.push_back(FreshSample{members, seconds});
    }
    if (heard) {
        batch.heard.insert(tag);
    }
    return fresh;
}

void Nerivo::deliverSamples(std::vector<Reading*>* readings, const std::string& tag, const AssetData& asset,
                            const std::vector<FreshSample>& fresh)
{
    // The same for every sample of the tag: worked out once.
    const std::string* site = siteName(asset.m_siteId);
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
    for (const FreshSample& entry : fresh) {
        std::vector<Datapoint*> datapoints;
        datapoints.reserve(values.size());
        values.append(datapoints, entry.members, m_logger, tag);
        nerivo::assignReadingTime(time, entry.members.timestamp->GetString(),
                                  entry.members.timestamp->GetStringLength(), m_zoneSuffix);
        if (debug) {
            m_logger->debug("Add reading for asset %s at %s", assetName.c_str(), time.c_str());
        }
        readings->push_back(new Reading(assetName, std::move(datapoints), time));
    }
}

void Nerivo::takeSeries(std::vector<Reading*>* readings, const std::string& tag, const AssetData& asset,
                        const rapidjson::Value& series, RangeBatch& batch)
{
    const int64_t pull = tagPull(tag);
    std::set<int64_t>& ahead = m_ahead[tag];
    const std::vector<FreshSample> fresh = freshSamples(tag, series, pull, ahead, batch);
    // A tag is taken whole or left for a later poll, so that its progress
    // never passes a sample that was not delivered.
    if (readings->size() + fresh.size() > MAX_POLL_READINGS) {
        batch.deferred.insert(tag);
        return;
    }
    deliverSamples(readings, tag, asset, fresh);
    bool moved = false;  // pull - 1 would overflow at the start of the range
    int64_t newest = pull;
    for (const FreshSample& entry : fresh) {
        // A sample dated past its range is delivered once but moves nothing:
        // a clock running ahead must not hide the tag's later data.
        if (entry.seconds > batch.to) {
            ahead.insert(entry.seconds);
        } else if (!moved || entry.seconds > newest) {
            newest = entry.seconds;
            moved = true;
        }
    }
    batch.samples += fresh.size();
    if (moved) {
        m_tagPulls[tag] = newest + 1;
        if (m_nextPull <= newest) {
            m_nextPull = newest + 1;
        }
        ahead.erase(ahead.begin(), ahead.lower_bound(newest + 1));
    }
    if (ahead.empty()) {
        m_ahead.erase(tag);
    }
}
