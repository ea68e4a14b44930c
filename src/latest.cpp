// The latest sample of every asset parameter, one request per parameter.
#include <utility>

#include "logger.h"
#include "nerivo.h"
#include "progress.h"
#include "reading.h"
#include "sample_mapping.h"

bool Nerivo::getAssetData(const AssetData* asset, std::vector<Datapoint*>& datapoints, std::string& time)
{
    using Level = Logger::Level;
    using Detail = nerivo::Line::Detail;
    const std::string& tag = asset->m_historianTag;
    // The tag goes into the path whole, however long it is.
    const std::string url = m_service.url("timeseriesdata/" + nerivo::Service::urlTag(tag) + "/latest");
    m_logger->debug("Get latest data: %s", url.c_str());
    nerivo::Reply reply;
    if (!m_service.send(url, reply)) {
        m_service.report(reply, url, {});
        return false;
    }
    m_logger->info("Latest Data for %s %s: %s", tag.c_str(), asset->m_assetName.c_str(), reply.body.c_str());
    // Read whatever the status: an error answer simply holds no sample.
    const nerivo::Lines lines = {
        {nerivo::Failure::EMPTY, {Level::Warning, "Asset \"" + asset->m_assetName + "\"has no availale data"}},
        {nerivo::Failure::UNPARSABLE, {Level::Error, "Failed to parse timeseries data response: ", Detail::BODY}},
        {nerivo::Failure::NOT_OBJECT, {Level::Warning, "Latest data of tag " + tag + " is not a JSON object"}},
        {nerivo::Failure::WRONG_TYPE,
         {Level::Warning, "Latest data of tag " + tag + " holds a result that is not an object"}},
    };
    if (m_service.read(reply, nerivo::Expect{rapidjson::kObjectType, false, false}) != nerivo::Failure::NONE) {
        m_service.report(reply, url, lines);
        return true;
    }
    auto sample = reply.result->FindMember(rapidjson::StringRef(tag.data(), tag.size()));
    if (sample == reply.result->MemberEnd() || !sample->value.IsObject()) {
        m_logger->warn("Latest data holds no sample object for tag %s", tag.c_str());
        return true;
    }
    nerivo::appendSampleDatapoints(datapoints, *asset, sample->value, m_includeAlarms, m_logger, tag);
    auto timestamp = sample->value.FindMember("timestamp");
    if (timestamp != sample->value.MemberEnd() && timestamp->value.IsString()) {
        time = timestamp->value.GetString();
    } else if (timestamp != sample->value.MemberEnd()) {
        m_logger->warn("Ignoring a timestamp of tag %s that is not a string", tag.c_str());
    }
    return true;
}

std::string Nerivo::latestSuffix(const AssetData& asset, const std::string& time) const
{
    // A zone with rules: the offset in force at the sample; a lone sample of
    // a repeated hour is taken as its first occurrence.
    const nerivo::Zone& zone = tagZone(asset.m_historianTag);
    int64_t wall = 0;
    if (!zone.hasRules()) {
        return nerivo::zoneSuffix(zone.offsetAt(0));
    }
    if (!nerivo::parseSampleTime(time.data(), time.size(), 0, wall)) {
        return nerivo::zoneSuffix(zone.offsetAt(now()));
    }
    return nerivo::zoneSuffix(zone.offsetAt(zone.instantOf(wall, false)));
}

bool Nerivo::getLatestData(std::vector<Reading*>* readings)
{
    for (const auto& entry : m_index.m_assetParameters) {
        for (const AssetData* asset : entry.second) {
            std::vector<Datapoint*> datapoints;
            std::string time;
            getAssetData(asset, datapoints, time);
            std::string site;
            if (const std::string* name = m_index.siteName(asset->m_siteId)) {
                site = *name;
                nerivo::appendSiteDatapoint(datapoints, site);
            }
            const std::string assetName = nerivo::readingAssetName(*asset, m_separator, m_includeSite, site);
            readings->push_back(new Reading(assetName, std::move(datapoints),
                                            nerivo::readingTimeText(time, latestSuffix(*asset, time))));
        }
    }
    return true;
}
