#pragma once
// How one sample of the service becomes a reading: its datapoints, the
// reading's asset name and its time text. Shared by the range and the latest
// paths so that both give the same readings.
#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "nerivo.h"

class Datapoint;
class Logger;

namespace nerivo {

// "good", "uncertain", "bad", or empty for a code the service does not define.
const char* qualityText(int64_t code);

// Appends, in reading order, the datapoints a sample gives: "quality", the
// value under the parameter's name, "units", the alarm thresholds (when
// includeAlarms) and "siteID". Members of an unexpected JSON type are skipped
// with a warning naming the tag.
void appendSampleDatapoints(std::vector<Datapoint*>& datapoints, const Nerivo::AssetData& asset,
                            const rapidjson::Value& sample, bool includeAlarms, Logger* logger,
                            const std::string& tag);

// The "site" datapoint, which follows the sample's datapoints.
void appendSiteDatapoint(std::vector<Datapoint*>& datapoints, const std::string& siteName);

// [site separator] asset separator parameter; siteName is used only with includeSite.
std::string readingAssetName(const Nerivo::AssetData& asset, const std::string& separator, bool includeSite,
                             const std::string& siteName);

// " +HH:MM" / " -HH:MM" for an offset in minutes east of UTC.
std::string zoneSuffix(int32_t offsetMinutes);

// The service's local sample time with its first 'T' made a space and the
// sites' zone appended, e.g. "2024-07-01 16:05:09 +02:00".
std::string readingTimeText(const std::string& sampleTime, int32_t offsetMinutes);
// The same with the zone suffix given, for many samples of one zone.
std::string readingTimeText(const std::string& sampleTime, const std::string& zone);

}  // namespace nerivo
