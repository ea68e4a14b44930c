#pragma once
// The client of the Nerivo Water cloud service: the orchestration of its
// parts. It holds the configuration and the lock, and runs a poll as its named
// steps over service access (service.h), discovery and its index
// (discovery.h, asset_index.h) and the per-tag progress (progress.h).
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "asset_index.h"
#include "discovery.h"
#include "health.h"
#include "progress.h"
#include "service.h"
#include "zones.h"

class ConfigCategory;
class Datapoint;
class Logger;
class Reading;

class Nerivo {
public:
    using AssetData = nerivo::AssetData;

    // The service's API host; requests go to its port 443.
    static constexpr const char* API_HOST = "api.nerivowater.com";
    // How far back the first date range reaches when no state was restored.
    static constexpr int64_t DEFAULT_LOOKBACK = 31536000;
    // A range URL longer than this is sent and the tag list starts afresh.
    static constexpr std::size_t MAX_URL_LENGTH = 4000;
    // At most this many readings leave one poll; a backlog takes more polls.
    static constexpr std::size_t MAX_POLL_READINGS = 100000;

    // How one range request went; HELD: not sent, the service is backing off.
    enum class RangeOutcome { OK, FAILED, RAISED, HELD };
    // One range request: what it asked and what came of it.
    struct RangeBatch {
        nerivo::Ask ask;
        std::string status;
        std::size_t samples = 0;      // samples with a readable time the answer held
        std::size_t duplicates = 0;   // of them, delivered before
        std::set<std::string> heard;  // tags the answer held a sample with a readable time for
    };

    // Connections to the service come from the connector: the HTTPS client
    // unless a test or a fuzz target hands in another.
    explicit Nerivo(nerivo::Connector connector = nerivo::httpsConnector(API_HOST));
    Nerivo(const Nerivo&) = delete;
    Nerivo& operator=(const Nerivo&) = delete;

    void configure(ConfigCategory* config);
    bool connect();

    std::vector<Reading*>* takeReading();
    bool getDateRange(std::vector<Reading*>* readings);
    std::string formatDate(int64_t time) const;
    // "YYYY-MM-DDTHH:MM:SS" of a wall time (seconds of the wall clock).
    static std::string formatWall(int64_t wall);

    std::string getState() const;
    void restoreState(const std::string& state);

    // Discovers sites, assets and parameters into a new index, swapped in
    // when complete (or, before any discovery completed, when it found more);
    // returns whether it completed.
    bool populateAssetInformation();
    RangeOutcome makeRequest(std::vector<Reading*>* readings, const std::string& url, RangeBatch& batch);
    bool getAssetData(const AssetData* asset, std::vector<Datapoint*>& datapoints, std::string& time);
    bool getLatestData(std::vector<Reading*>* readings);

private:
    // Tests, fuzz targets and benchmarks set and read private state through it (nerivo_probe.h).
    friend class NerivoProbe;

    // Per-poll tallies for the poll's info line.
    struct PollTally {
        int requests = 0;
        int failed = 0;
        int raisedInRow = 0;
        std::size_t duplicates = 0;
    };
    // A sample of a series with a readable time: its members and its time.
    struct TimedSample;

    // The system clock, or the time a probe fixed.
    int64_t now() const;

    // The key and proxy items of configure; a text that could break a
    // request is refused and the previous value kept.
    void applyKey(const std::string& key);
    void applyProxy(std::string proxy);
    // The item timezone: an unknown zone is refused and the previous value
    // kept; a change carries the progress over (zoning.cpp).
    void applyTimezone(const std::string& text);
    // The zones of the index under a setting: one for all sites, and in
    // the sites setting one per site.
    struct ZoneMap {
        nerivo::Zone main;
        std::map<long, nerivo::Zone> sites;
        const nerivo::Zone& of(const std::string& tag, const nerivo::AssetIndex& index) const;
    };
    ZoneMap zoneMap(const nerivo::ZoneSetting& setting);
    // Rebuilds the zones from the index and the setting; says once per site
    // what the operator may want to know about its zone.
    void updateZones();
    void noteSiteZones();
    // Moves the stored times from the setting they were read in to the
    // current one; runs once a discovery completed.
    void carryProgress();
    void restoreZone(const rapidjson::Document& doc);
    // The zone suffix of a latest value's time text.
    std::string latestSuffix(const AssetData& asset, const std::string& time) const;
    std::string zoneMember() const;
    const nerivo::Zone& tagZone(const std::string& tag) const { return m_zones.of(tag, m_index); }
    // The dates of a range request in the zone of its tags.
    bool sendZone(std::vector<Reading*>* readings, const nerivo::Ask& ask, const nerivo::Zone& zone, PollTally& tally);
    // Runs the first discovery, its retries after a failure and the periodic
    // refresh, each when due; called before each poll's range requests.
    void maintainDiscovery();
    void adoptIndex(nerivo::AssetIndex&& next);
    // Sends the requests of one ask: its tags, ascending, packed greedily
    // into URLs of at most MAX_URL_LENGTH characters and maxTags tags; with
    // no limit (0) the list ends with a closing request, which may hold no
    // tag. False when the poll must stop: its budget is spent, or two
    // requests in a row raised (the network is down).
    bool sendPacked(std::vector<Reading*>* readings, const nerivo::Ask& ask, PollTally& tally);
    bool sendRequest(std::vector<Reading*>* readings, const std::string& url, RangeBatch& batch, PollTally& tally);
    // Delivers one tag's series of an answer, filtering what was delivered before.
    void takeSeries(std::vector<Reading*>* readings, const std::string& tag, const AssetData& asset,
                    const rapidjson::Value& series, RangeBatch& batch);
    // The samples of a series with a readable time, in answer order; the
    // others are skipped with a warning.
    std::vector<TimedSample> timedSamples(const std::string& tag, const rapidjson::Value& series);
    void deliverSamples(std::vector<Reading*>* readings, const std::string& tag, const AssetData& asset,
                        const std::vector<const TimedSample*>& fresh);
    std::vector<std::string> indexTags() const;
    void logNotes();
    // Settles the poll: its last pull, its lines and its health reading.
    void endPoll(std::vector<Reading*>* readings, const PollTally& tally, const std::vector<std::string>& tags,
                 int64_t oldestBefore, int64_t now);
    // The poll's figures, worked out once for its line and its health reading.
    nerivo::Health pollHealth(std::size_t readings, const PollTally& tally, int64_t oldest, int64_t now);
    // pulls: the earliest and latest next-pull time of the tags.
    void logPoll(const nerivo::Health& health, std::pair<int64_t, int64_t> pulls, int64_t oldestBefore, int64_t now);
    void logPollRate(uint64_t wire, int64_t now);
    void logCatchUp(int64_t behind, int64_t oldest, int64_t oldestBefore);

    std::atomic<bool> m_reconfPending;
    std::mutex m_mutex;
    bool m_initialised;
    Logger* m_logger;
    std::string m_separator;
    bool m_includeSite;
    bool m_includeAlarms;
    // The asset of a health reading after each poll; empty: none.
    std::string m_healthAsset;
    nerivo::Service m_service;
    nerivo::Discovery m_discovery;
    nerivo::AssetIndex m_index;
    nerivo::Progress m_progress;
    // The earliest next-pull time of the tags, handed to an older version.
    int64_t m_lastPull;
    // " +HH:MM" of the zone offset, ending every reading's time text: worked
    // out when the offset changes, not per sample.
    std::string m_zoneSuffix = " +00:00";
    // The item timezone, the zones it gives, and while the stored times
    // still stand for wall times of another setting, that setting.
    nerivo::ZoneSetting m_zoneSetting;
    ZoneMap m_zones;
    std::optional<nerivo::ZoneSetting> m_storedZone;
    std::set<std::string> m_zoneNoted;  // sites whose zone was named in the log
    int64_t m_fixedNow = 0;
    // The previous poll, and when the poll rate was last called wasteful.
    int64_t m_previousPoll = 0;
    int64_t m_rateNoted = INT64_MIN / 2;
};
