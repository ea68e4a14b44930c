#include "sample_mapping.h"

#include <cstdio>
#include <cstdlib>

#include "datapoint.h"
#include "logger.h"

namespace nerivo {

namespace {

void appendText(std::vector<Datapoint*>& datapoints, const char* name, const std::string& text)
{
    DatapointValue value(text);
    datapoints.push_back(new Datapoint(name, value));
}

}  // namespace

const char* qualityText(int64_t code)
{
    switch (code) {
    case 0:
        return "bad";
    case 2:
        return "uncertain";
    case 3:
        return "good";
    default:
        return "";
    }
}

void appendSampleDatapoints(std::vector<Datapoint*>& datapoints, const Nerivo::AssetData& asset,
                            const rapidjson::Value& sample, bool includeAlarms, Logger* logger,
                            const std::string& tag)
{
    auto quality = sample.FindMember("quality");
    if (quality != sample.MemberEnd()) {
        if (quality->value.IsInt64()) {
            appendText(datapoints, "quality", qualityText(quality->value.GetInt64()));
        } else {
            logger->warn("Ignoring a quality of tag %s that is not an integer", tag.c_str());
        }
    }

    auto value = sample.FindMember("value");
    if (value != sample.MemberEnd() && value->value.IsNumber()) {
        // Integers that fit 32 bits stay integers; anything wider or
        // fractional is carried as a floating value.
        if (value->value.IsInt()) {
            DatapointValue v(static_cast<int64_t>(value->value.GetInt()));
            datapoints.push_back(new Datapoint(asset.m_parameterName, v));
        } else {
            DatapointValue v(value->value.GetDouble());
            datapoints.push_back(new Datapoint(asset.m_parameterName, v));
        }
    }

    const std::string& units = asset.m_displayUnit.empty() ? asset.m_storageUnit : asset.m_displayUnit;
    if (!units.empty()) {
        appendText(datapoints, "units", units);
    }
    if (includeAlarms) {
        const std::pair<const char*, const std::string*> alarms[] = {{"alarmLow", &asset.m_alarmLo},
                                                                     {"alarmVeryLow", &asset.m_alarmLoLo},
                                                                     {"alarmHigh", &asset.m_alarmHi},
                                                                     {"alarmVeryHigh", &asset.m_alarmHiHi}};
        for (const auto& alarm : alarms) {
            if (!alarm.second->empty()) {
                appendText(datapoints, alarm.first, *alarm.second);
            }
        }
    }
    DatapointValue siteId(static_cast<int64_t>(asset.m_siteId));
    datapoints.push_back(new Datapoint("siteID", siteId));
}

void appendSiteDatapoint(std::vector<Datapoint*>& datapoints, const std::string& siteName)
{
    appendText(datapoints, "site", siteName);
}

std::string readingAssetName(const Nerivo::AssetData& asset, const std::string& separator, bool includeSite,
                             const std::string& siteName)
{
    std::string name;
    if (includeSite) {
        name = siteName + separator;
    }
    name += asset.m_assetName + separator + asset.m_parameterName;
    return name;
}

std::string zoneSuffix(int32_t offsetMinutes)
{
    char buffer[20];
    const long magnitude = std::labs(static_cast<long>(offsetMinutes));
    std::snprintf(buffer, sizeof buffer, " %c%02ld:%02ld", offsetMinutes < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    return buffer;
}

std::string readingTimeText(const std::string& sampleTime, int32_t offsetMinutes)
{
    return readingTimeText(sampleTime, zoneSuffix(offsetMinutes));
}

std::string readingTimeText(const std::string& sampleTime, const std::string& zone)
{
    std::string text;
    text.reserve(sampleTime.size() + zone.size());
    text = sampleTime;
    const auto t = text.find('T');
    if (t != std::string::npos) {
        text[t] = ' ';
    }
    return text += zone;
}

}  // namespace nerivo
