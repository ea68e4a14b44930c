// One time-series request over a date range: every sample of every tag in
// the answer that its tag has not delivered before becomes a reading.
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
    rapidjson::Document doc;
    const rapidjson::Value* result = nullptr;
    switch (nerivo::readResult(answer.body(), rapidjson::kObjectType, doc, result)) {
    case nerivo::AnswerOutcome::RESULT:
        break;
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

void Nerivo::takeSeries(std::vector<Reading*>* readings, const std::string& tag, const AssetData& asset,
                        const rapidjson::Value& series, RangeBatch& batch)
{
    const int64_t pull = tagPull(tag);
    std::set<int64_t>& ahead = m_ahead[tag];
    std::vector<std::pair<const rapidjson::Value*, int64_t>> fresh;
    for (const auto& sample : series.GetArray()) {
        m_logger->debug("Processing reading for asset tag %s", tag.c_str());
        if (!sample.IsObject()) {
            m_logger->warn("Skipping a sample of tag %s that is not an object", tag.c_str());
            continue;
        }
        // A sample without a time of its own is skipped: any time given to
        // it would be made up, and it must not move the tag's next pull.
        auto timestamp = sample.FindMember("timestamp");
        if (timestamp == sample.MemberEnd() || !timestamp->value.IsString()) {
            m_logger->warn("Skipping a sample of tag %s without a timestamp text", tag.c_str());
            continue;
        }
        int64_t seconds = 0;
        if (!nerivo::parseSampleTime(timestamp->value.GetString(), timestamp->value.GetStringLength(),
                                     m_timezoneOffset, seconds)) {
            m_logger->warn("Skipping a sample of tag %s whose time cannot be read: %s", tag.c_str(),
                           timestamp->value.GetString());
            continue;
        }
        batch.heard.insert(tag);
        if (seconds < pull || (seconds > batch.to && ahead.count(seconds) != 0)) {
            ++batch.duplicates;
            continue;
        }
        fresh.emplace_back(&sample, seconds);
    }
    // A tag is taken whole or left for a later poll, so that its progress
    // never passes a sample that was not delivered.
    if (readings->size() + fresh.size() > MAX_POLL_READINGS) {
        batch.deferred.insert(tag);
        return;
    }
    bool moved = false;  // pull - 1 would overflow at the start of the range
    int64_t newest = pull;
    // The same for every sample of the tag: worked out once.
    const std::string* site = siteName(asset.m_siteId);
    const std::string assetName =
        nerivo::readingAssetName(asset, m_separator, m_includeSite, site ? *site : std::string());
    const std::string zone = nerivo::zoneSuffix(m_timezoneOffset);
    readings->reserve(readings->size() + fresh.size());
    for (const auto& entry : fresh) {
        const rapidjson::Value& sample = *entry.first;
        std::vector<Datapoint*> datapoints;
        datapoints.reserve(m_includeAlarms ? 9 : 5);
        nerivo::appendSampleDatapoints(datapoints, asset, sample, m_includeAlarms, m_logger, tag);
        if (site) {
            nerivo::appendSiteDatapoint(datapoints, *site);
        }
        const std::string time = nerivo::readingTimeText(sample["timestamp"].GetString(), zone);
        m_logger->debug("Add reading for asset %s at %s", assetName.c_str(), time.c_str());
        readings->push_back(new Reading(assetName, datapoints, time));
        // A sample dated past its range is delivered once but moves nothing:
        // a clock running ahead must not hide the tag's later data.
        if (entry.second > batch.to) {
            ahead.insert(entry.second);
        } else if (!moved || entry.second > newest) {
            newest = entry.second;
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
