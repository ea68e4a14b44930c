// The latest sample of every asset parameter, one request per parameter.
#include <utility>

#include "logger.h"
#include "nerivo.h"
#include "reading.h"
#include "sample_mapping.h"
#include "service_answer.h"

bool Nerivo::getAssetData(const AssetData* asset, std::vector<Datapoint*>& datapoints, std::string& time)
{
    // The tag goes into the path whole, however long it is.
    const std::string url = apiUrl("timeseriesdata/" + urlTag(asset->m_historianTag) + "/latest");
    m_logger->debug("Get latest data: %s", url.c_str());
    ApiAnswer answer;
    if (!apiGet(url, answer)) {
        return false;
    }
    m_logger->info("Latest Data for %s %s: %s", asset->m_historianTag.c_str(), asset->m_assetName.c_str(),
                   answer.body().c_str());
    rapidjson::Document doc;
    const rapidjson::Value* result = nullptr;
    switch (nerivo::readResult(answer.body(), rapidjson::kObjectType, doc, result)) {
    case nerivo::AnswerOutcome::RESULT: break;
    case nerivo::AnswerOutcome::EMPTY:
        m_logger->warn("Asset \"%s\"has no availale data", asset->m_assetName.c_str());
        return true;
    case nerivo::AnswerOutcome::UNPARSABLE:
        m_logger->error("Failed to parse timeseries data response: %s", answer.body().c_str());
        return true;
    case nerivo::AnswerOutcome::NOT_OBJECT:
        m_logger->warn("Latest data of tag %s is not a JSON object", asset->m_historianTag.c_str());
        return true;
    case nerivo::AnswerOutcome::NO_RESULT: return true;
    case nerivo::AnswerOutcome::WRONG_TYPE:
        m_logger->warn("Latest data of tag %s holds a result that is not an object", asset->m_historianTag.c_str());
        return true;
    }
    auto sample = result->FindMember(rapidjson::StringRef(asset->m_historianTag.data(), asset->m_historianTag.size()));
    if (sample == result->MemberEnd() || !sample->value.IsObject()) {
        m_logger->warn("Latest data holds no sample object for tag %s", asset->m_historianTag.c_str());
        return true;
    }
    nerivo::appendSampleDatapoints(datapoints, *asset, sample->value, m_includeAlarms, m_logger, asset->m_historianTag);
    auto timestamp = sample->value.FindMember("timestamp");
    if (timestamp != sample->value.MemberEnd()) {
        if (timestamp->value.IsString()) {
            time = timestamp->value.GetString();
        } else {
            m_logger->warn("Ignoring a timestamp of tag %s that is not a string", asset->m_historianTag.c_str());
        }
    }
    return true;
}

bool Nerivo::getLatestData(std::vector<Reading*>* readings)
{
    for (const auto& entry : m_assetParameters) {
        for (const AssetData* asset : *entry.second) {
            std::vector<Datapoint*> datapoints;
            std::string time;
            getAssetData(asset, datapoints, time);
            std::string site;
            if (const std::string* name = siteName(asset->m_siteId)) {
                site = *name;
                nerivo::appendSiteDatapoint(datapoints, site);
            }
            const std::string assetName = nerivo::readingAssetName(*asset, m_separator, m_includeSite, site);
            readings->push_back(
                new Reading(assetName, std::move(datapoints), nerivo::readingTimeText(time, m_zoneSuffix)));
        }
    }
    return true;
}
