#include "sample_mapping.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    case 0: return "bad";
    case 2: return "uncertain";
    case 3: return "good";
    default: return "";
    }
}

SampleMembers findSampleMembers(const rapidjson::Value& sample)
{
    SampleMembers found;
    for (const auto& member : sample.GetObject()) {
        const char* name = member.name.GetString();
        const rapidjson::SizeType length = member.name.GetStringLength();
        const rapidjson::Value** slot = nullptr;
        if (length == 9 && std::memcmp(name, "timestamp", 9) == 0) {
            slot = &found.timestamp;
        } else if (length == 7 && std::memcmp(name, "quality", 7) == 0) {
            slot = &found.quality;
        } else if (length == 5 && std::memcmp(name, "value", 5) == 0) {
            slot = &found.value;
        }
        if (slot != nullptr && *slot == nullptr) {
            *slot = &member.value;
        }
    }
    return found;
}

SampleValues::SampleValues(const AssetData& asset, bool includeAlarms, const std::string* site)
    : m_parameterName(asset.m_parameterName),
      m_qualityName("quality"),
      m_qualities{DatapointValue(std::string(qualityText(0))), DatapointValue(std::string(qualityText(2))),
                  DatapointValue(std::string(qualityText(3))), DatapointValue(std::string())}
{
    const std::string& units = asset.m_displayUnit.empty() ? asset.m_storageUnit : asset.m_displayUnit;
    if (!units.empty()) {
        m_after.emplace_back("units", DatapointValue(units));
    }
    if (includeAlarms) {
        const std::pair<const char*, const std::string*> alarms[] = {{"alarmLow", &asset.m_alarmLo},
                                                                     {"alarmVeryLow", &asset.m_alarmLoLo},
                                                                     {"alarmHigh", &asset.m_alarmHi},
                                                                     {"alarmVeryHigh", &asset.m_alarmHiHi}};
        for (const auto& alarm : alarms) {
            if (!alarm.second->empty()) {
                m_after.emplace_back(alarm.first, DatapointValue(*alarm.second));
            }
        }
    }
    m_after.emplace_back("siteID", DatapointValue(static_cast<int64_t>(asset.m_siteId)));
    if (site != nullptr) {
        m_after.emplace_back("site", DatapointValue(*site));
    }
}

void SampleValues::append(std::vector<Datapoint*>& datapoints, const SampleMembers& sample, Logger* logger,
                          const std::string& tag)
{
    if (const rapidjson::Value* quality = sample.quality) {
        if (quality->IsInt64()) {
            const int64_t code = quality->GetInt64();
            const int index = code == 0 ? 0 : code == 2 ? 1 : code == 3 ? 2 : 3;  // as qualityText
            datapoints.push_back(new Datapoint(m_qualityName, m_qualities[index]));
        } else {
            logger->warn("Ignoring a quality of tag %s that is not an integer", tag.c_str());
        }
    }

    const rapidjson::Value* value = sample.value;
    if (value != nullptr && value->IsNumber()) {
        // Integers that fit 32 bits stay integers; anything wider or
        // fractional is carried as a floating value.
        DatapointValue v =
            value->IsInt() ? DatapointValue(static_cast<int64_t>(value->GetInt())) : DatapointValue(value->GetDouble());
        datapoints.push_back(new Datapoint(m_parameterName, v));
    }
    for (auto& after : m_after) {
        datapoints.push_back(new Datapoint(after.first, after.second));
    }
}

void appendSampleDatapoints(std::vector<Datapoint*>& datapoints, const AssetData& asset, const rapidjson::Value& sample,
                            bool includeAlarms, Logger* logger, const std::string& tag)
{
    SampleValues(asset, includeAlarms, nullptr).append(datapoints, findSampleMembers(sample), logger, tag);
}

void appendSiteDatapoint(std::vector<Datapoint*>& datapoints, const std::string& siteName)
{
    appendText(datapoints, "site", siteName);
}

std::string readingAssetName(const AssetData& asset, const std::string& separator, bool includeSite,
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
    assignReadingTime(text, sampleTime.data(), sampleTime.size(), zone);
    return text;
}

void assignReadingTime(std::string& text, const char* sampleTime, std::size_t length, const std::string& zone)
{
    text.reserve(length + zone.size());
    text.assign(sampleTime, length);
    const auto t = text.find('T');
    if (t != std::string::npos) {
        text[t] = ' ';
    }
    text += zone;
}

}  // namespace nerivo
