#pragma once
// One reading of an asset: its datapoints and the time they were sampled.
#include <cstdint>
#include <string>
#include <vector>

#include "datapoint.h"

class Reading {
public:
    // Takes ownership of the datapoints. The time text has the form
    // "YYYY-MM-DD HH:MM:SS[.ffffff] +HH:MM" (or -HH:MM); the offset is honoured.
    // A text without a usable date gets the current time.
    Reading(const std::string& asset, std::vector<Datapoint*> values, const std::string& datetime);
    ~Reading();
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

    const std::string& getAssetName() const { return m_asset; }
    const std::vector<Datapoint*>& getReadingData() const { return m_values; }
    // Whole seconds since the Unix epoch (UTC) of the reading's time.
    int64_t getUserTimestamp() const { return m_seconds; }
    int32_t getUserTimestampMicros() const { return m_micros; }
    // "YYYY-MM-DD HH:MM:SS.ffffff+00:00", in UTC.
    std::string getAssetDateUserTime() const;
    // {"asset_code": ..., "user_ts": ..., "readings": {datapoints in order}}
    std::string toJSON() const;

private:
    std::string m_asset;
    std::vector<Datapoint*> m_values;
    int64_t m_seconds;
    int32_t m_micros;
};
