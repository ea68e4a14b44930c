#pragma once
// How one sample of the service becomes a reading: its datapoints, the
// reading's asset name and its time text. Shared by the range and the latest
// paths so that both give the same readings.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "asset_index.h"
#include "datapoint.h"

class Logger;

namespace nerivo {

// "good", "uncertain", "bad", or empty for a code the service does not define.
const char* qualityText(int64_t code);

// Appends, in reading order, the datapoints a sample gives: "quality", the
// value under the parameter's name, "units", the alarm thresholds (when
// includeAlarms) and "siteID". Members of an unexpected JSON type are skipped
// with a warning naming the tag.
void appendSampleDatapoints(std::vector<Datapoint*>& datapoints, const AssetData& asset, const rapidjson::Value& sample,
                            bool includeAlarms, Logger* logger, const std::string& tag);

// The members of a sample a reading is made of, found in one pass over it;
// each the first of its name, as FindMember finds it, or null when absent.
struct SampleMembers {
    const rapidjson::Value* timestamp = nullptr;
    const rapidjson::Value* quality = nullptr;
    const rapidjson::Value* value = nullptr;
};
SampleMembers findSampleMembers(const rapidjson::Value& sample);

// The values every sample of one tag shares, made once for the tag so that a
// sample costs only its datapoints and the copies they keep.
class SampleValues {
public:
    // site: the text of a "site" datapoint after the sample's, or null for none.
    SampleValues(const AssetData& asset, bool includeAlarms, const std::string* site);
    // The datapoints of appendSampleDatapoints, then "site" when given.
    void append(std::vector<Datapoint*>& datapoints, const SampleMembers& sample, Logger* logger,
                const std::string& tag);
    // The most datapoints one sample gives.
    std::size_t size() const { return 2 + m_after.size(); }

private:
    const std::string& m_parameterName;
    const std::string m_qualityName;
    // bad, uncertain, good, and the empty text of a code the service does not define
    DatapointValue m_qualities[4];
    // Those after the value, in reading order: units, alarms, siteID, site.
    std::vector<std::pair<std::string, DatapointValue>> m_after;
};

// The "site" datapoint, which follows the sample's datapoints.
void appendSiteDatapoint(std::vector<Datapoint*>& datapoints, const std::string& siteName);

// [site separator] asset separator parameter; siteName is used only with includeSite.
std::string readingAssetName(const AssetData& asset, const std::string& separator, bool includeSite,
                             const std::string& siteName);

// " +HH:MM" / " -HH:MM" for an offset in minutes east of UTC.
std::string zoneSuffix(int32_t offsetMinutes);

// The service's local sample time with its first 'T' made a space and the
// sites' zone appended, e.g. "2024-07-01 16:05:09 +02:00".
std::string readingTimeText(const std::string& sampleTime, int32_t offsetMinutes);
// The same with the zone suffix given, for many samples of one zone.
std::string readingTimeText(const std::string& sampleTime, const std::string& zone);
// The same into text, whose buffer one tag's samples reuse.
void assignReadingTime(std::string& text, const char* sampleTime, std::size_t length, const std::string& zone);

}  // namespace nerivo
