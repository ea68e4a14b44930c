#pragma once
// A simulated water utility: sites in their time zones, their assets and the
// measured parameters of each asset, with deterministic time series. The
// same model answers the simulator's requests and tells tests what to expect.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nerivosim {

enum class Quantity { Flow, Pressure, Level, Chlorine, Turbidity };

// How the service writes and reads wall times: one fixed offset (the last
// site's), the last site's zone with its daylight-saving rules, or each
// site's own zone with its rules.
enum class Zones { Fixed, Rules, Sites };

struct ModelOptions {
    int sites = 2;
    int assetsPerSite = 3;
    int parametersPerAsset = 4;          // 3 to 5
    int64_t sampleInterval = 300;        // seconds between samples of every tag
    std::size_t maxSamplesPerTag = 288;  // per answer, oldest first
    Zones zones = Zones::Fixed;
    // The series hold samples only within [seriesStart, seriesEnd].
    int64_t seriesStart = INT64_MIN;
    int64_t seriesEnd = INT64_MAX;
};

struct Parameter {
    int64_t id = 0;
    Quantity quantity = Quantity::Flow;
    std::string name;  // e.g. "Flow"
    std::string tag;   // historian tag, unique across the utility
    std::string storageUnit;
    std::string displayUnit;  // may be empty: the storage unit applies
    std::string kpi;
    // Alarm thresholds as the service writes them: text, or null when unset.
    std::optional<std::string> alarmHi, alarmHiHi, alarmLo, alarmLoLo;
    double scale = 1.0;  // per-asset size factor of the series
    uint64_t seed = 0;
};

struct Asset {
    int64_t id = 0;
    int64_t siteId = 0;
    std::string name;
    std::vector<Parameter> parameters;
};

struct Site {
    int64_t id = 0;
    std::string name;
    std::string timezone;   // e.g. "(GMT+01:00) Amsterdam, Berlin"
    int offsetMinutes = 0;  // east of UTC
    std::string zoneName;   // its tz database zone, e.g. "Europe/Amsterdam"
    std::vector<Asset> assets;
};

struct Sample {
    int64_t time = 0;  // epoch seconds
    double value = 0.0;
    int quality = 3;  // 3 good, 2 uncertain, 0 bad
};

// A gateway offline over [start, end): the samples its tags took meanwhile
// reach the service only when it is back, at end.
struct Outage {
    std::string prefix;  // of the tags behind the gateway
    int64_t start = 0;
    int64_t end = 0;
};

// A gap in the series of some tags: their samples of [from, to) reach the
// service only at publishedAt, after newer ones did.
struct Backfill {
    std::string prefix;
    int64_t from = 0;
    int64_t to = 0;
    int64_t publishedAt = 0;
};

// When each sample reaches the service; an answer holds only the samples
// published by the service's clock. Without a rule a sample is published at
// its own time.
struct Publication {
    std::vector<std::pair<std::string, int64_t>> lag;  // tag prefix, seconds late; the first match counts
    std::vector<Outage> outages;
    // A gateway back from an outage sends its newest sample at once and the
    // backlog this many seconds later; 0: all at its return.
    int64_t newestFirst = 0;
    std::vector<Backfill> backfills;
    // The service's clock runs this far ahead and it answers this far past
    // the end of a range.
    int64_t overshoot = 0;
};

class UtilityModel {
public:
    // Throws std::invalid_argument for sizes out of range.
    explicit UtilityModel(ModelOptions options = ModelOptions());

    const ModelOptions& options() const { return m_options; }
    const std::vector<Site>& sites() const { return m_sites; }
    const Site* findSite(int64_t siteId) const;
    const Asset* findAsset(int64_t siteId, int64_t assetId) const;
    const Parameter* findParameter(const std::string& tag) const;
    const Site& siteOf(const Parameter& parameter) const;
    std::size_t tagCount() const;

    // The service speaks one zone for dates in requests and answers: the one
    // the client derives from the last site of the site list.
    int serviceOffsetMinutes() const;
    std::string formatServiceTime(int64_t epoch) const;
    // "YYYY-MM-DDTHH:MM:SS" in the service zone to epoch seconds.
    std::optional<int64_t> parseServiceTime(const std::string& text) const;
    // The tz zone the service writes the site's times in; empty with Fixed.
    std::string zoneOf(const Site& site) const;
    // Minutes east of UTC of the wall time the service writes the site's
    // samples of that instant in.
    int wallOffsetMinutes(const Site& site, int64_t time) const;

    // The value of a tag at any time; the same on every call.
    Sample sampleAt(const Parameter& parameter, int64_t time) const;
    // When the sample of the tag at that time reaches the service.
    int64_t publishedAt(const std::string& tag, int64_t time, const Publication& publication) const;
    // Samples at multiples of the interval within [from, min(to, now) +
    // overshoot] published by now + overshoot, oldest first, at most
    // maxSamplesPerTag of them.
    std::vector<Sample> samples(const Parameter& parameter, int64_t from, int64_t to, int64_t now,
                                const Publication& publication = Publication()) const;
    // The same for a range given as wall times (seconds of the wall clock)
    // of the tag's zone, oldest instant first: with daylight saving, the
    // samples of both occurrences of a repeated hour.
    std::vector<Sample> wallSamples(const Parameter& parameter, int64_t fromWall, int64_t toWall, int64_t now,
                                    const Publication& publication = Publication()) const;
    // The newest sample at or before now.
    Sample latest(const Parameter& parameter, int64_t now) const;

    // Answer bodies.
    std::string sitesBody() const;
    std::optional<std::string> assetsBody(int64_t siteId) const;
    std::optional<std::string> parametersBody(int64_t siteId, int64_t assetId) const;
    // Unknown tags are left out of the answer; each tag gets the samples of
    // the range published by now.
    std::string rangeBody(int64_t from, int64_t to, const std::vector<std::string>& tags, int64_t now,
                          const Publication& publication = Publication()) const;
    // With zones of their own: the range as the request's wall times.
    std::string wallRangeBody(int64_t fromWall, int64_t toWall, const std::vector<std::string>& tags, int64_t now,
                              const Publication& publication = Publication()) const;
    std::optional<std::string> latestBody(const std::string& tag, int64_t now) const;

    // The asset names the plugin gives the readings of every tag.
    std::vector<std::string> readingAssetNames(const std::string& separator, bool includeSite) const;

private:
    // A range answer holding each known tag's samples as samplesOf gives them.
    std::string seriesBody(const std::vector<std::string>& tags,
                           const std::function<std::vector<Sample>(const Parameter&)>& samplesOf) const;
    ModelOptions m_options;
    std::vector<Site> m_sites;
};

// Calendar helpers shared with the tests.
int64_t daysFromCivil(int year, unsigned month, unsigned day);
std::string formatWallTime(int64_t epoch, int offsetMinutes);
// "YYYY-MM-DDTHH:MM:SS" to seconds of the wall clock.
std::optional<int64_t> parseWallTime(const std::string& text);

}  // namespace nerivosim
