// One time-series request over a date range: every sample of every tag in
// the answer becomes a reading.
#include <memory>

#include "logger.h"
#include "nerivo.h"
#include "reading.h"
#include "sample_mapping.h"

bool Nerivo::makeRequest(std::vector<Reading*>* readings, const std::string& url)
{
    m_logger->debug("Get date range data: %s", url.c_str());
    ApiAnswer answer;
    if (!apiGet(url, answer)) {
        return false;
    }
    m_logger->info("Data for range: %s", answer.body.c_str());

    // An answer that cannot be used must not count as success: the range
    // would be moved past data that was never received.
    if (answer.status.empty() || answer.status[0] != '2') {
        m_logger->error("Time series request answered with status %s: %s", answer.status.c_str(), url.c_str());
        return false;
    }
    if (answer.body.empty()) {
        m_logger->warn("No available date range: %s", url.c_str());
        return true;
    }
    rapidjson::Document doc;
    doc.Parse(answer.body.c_str(), answer.body.size());
    if (doc.HasParseError()) {
        m_logger->error("Failed to parse timeseries data response: %s", answer.body.c_str());
        return false;
    }
    if (!doc.IsObject()) {
        m_logger->error("Time series answer is not a JSON object: %s", url.c_str());
        return false;
    }
    auto result = doc.FindMember("result");
    if (result == doc.MemberEnd()) {
        return true;
    }
    if (!result->value.IsObject()) {
        m_logger->error("Time series answer holds a result that is not an object: %s", url.c_str());
        return false;
    }

    for (const auto& series : result->value.GetObject()) {
        // Tags are taken as C text, up to any NUL, like the tags of the index.
        const std::string tag = series.name.GetString();
        auto indexed = m_tagIndex.find(tag);
        if (indexed == m_tagIndex.end()) {
            m_logger->warn("Failed to find asset data for tag %s", tag.c_str());
            continue;
        }
        const AssetData& asset = *indexed->second;
        if (!series.value.IsArray()) {
            m_logger->error("Expected an array as child of tag %s", tag.c_str());
            continue;
        }
        for (const auto& sample : series.value.GetArray()) {
            m_logger->debug("Processing reading for asset tag %s", tag.c_str());
            if (!sample.IsObject()) {
                m_logger->warn("Skipping a sample of tag %s that is not an object", tag.c_str());
                continue;
            }
            // A sample without a time of its own is skipped: any time given to
            // it would be made up, and it must not move the next range start.
            auto timestamp = sample.FindMember("timestamp");
            if (timestamp == sample.MemberEnd() || !timestamp->value.IsString()) {
                m_logger->warn("Skipping a sample of tag %s without a timestamp text", tag.c_str());
                continue;
            }
            std::vector<Datapoint*> datapoints;
            nerivo::appendSampleDatapoints(datapoints, asset, sample, m_includeAlarms, m_logger, tag);
            std::string site;
            if (const std::string* name = siteName(asset.m_siteId)) {
                site = *name;
                nerivo::appendSiteDatapoint(datapoints, site);
            }
            const std::string time = nerivo::readingTimeText(timestamp->value.GetString(), m_timezoneOffset);
            const std::string assetName = nerivo::readingAssetName(asset, m_separator, m_includeSite, site);
            m_logger->debug("Add reading for asset %s at %s", assetName.c_str(), time.c_str());
            auto* reading = new Reading(assetName, datapoints, time);
            readings->push_back(reading);

            const int64_t seconds = reading->getUserTimestamp();
            if (m_nextPull <= seconds) {
                m_nextPull = seconds + 1;
            }
        }
    }
    return true;
}
