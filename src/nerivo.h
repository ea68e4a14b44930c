#pragma once
// The client of the Nerivo Water cloud service: configuration, discovery of
// sites, assets and parameters, and retrieval of their time series.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "client_https.hpp"
#include "progress.h"

class ConfigCategory;
class Datapoint;
class Logger;
class Reading;

class Nerivo {
public:
    // One measured parameter of one asset at one site, as the parameter list
    // of the service describes it.
    class AssetData {
    public:
        AssetData(const rapidjson::Value& parameter, long siteId);
        AssetData(const AssetData&) = delete;
        AssetData& operator=(const AssetData&) = delete;

        long m_assetId = 0;
        std::string m_assetName;
        std::string m_historianTag;
        long m_siteId;
        std::string m_storageUnit;
        std::string m_parameterName;
        std::string m_displayUnit;
        std::string m_kpi;
        long m_parameterId = 0;
        std::string m_alarmHi;
        std::string m_alarmHiHi;
        std::string m_alarmLo;
        std::string m_alarmLoLo;
    };

    // The service's API host; requests go to its port 443.
    static constexpr const char* API_HOST = "api.nerivowater.com";
    // Seconds the HTTPS client may spend connecting, and waiting on a request
    // that makes no progress, before the request fails.
    static constexpr long REQUEST_TIMEOUT = 60;
    // Once an answer has started, fewer than this many bytes within the
    // low-speed window fail the request, so that no trickle can hold a poll.
    static constexpr std::size_t LOW_SPEED_BYTES = 1024;
    static constexpr std::chrono::milliseconds LOW_SPEED_WINDOW{60000};
    // How far back the first date range reaches when no state was restored.
    static constexpr int64_t DEFAULT_LOOKBACK = 31536000;
    // A range URL longer than this is sent and the tag list starts afresh.
    static constexpr std::size_t MAX_URL_LENGTH = 4000;
    // At most this many readings leave one poll; a backlog takes more polls.
    static constexpr std::size_t MAX_POLL_READINGS = 100000;

    // How one range request went.
    enum class RangeOutcome { OK, FAILED, RAISED };
    // One range request: what it asked and what came of it.
    struct RangeBatch {
        nerivo::Ask ask;
        std::string status;
        std::size_t samples = 0;      // samples with a readable time the answer held
        std::size_t duplicates = 0;   // of them, delivered before
        std::set<std::string> heard;  // tags the answer held a sample with a readable time for
    };

    Nerivo();
    ~Nerivo();
    Nerivo(const Nerivo&) = delete;
    Nerivo& operator=(const Nerivo&) = delete;

    void configure(ConfigCategory* config);
    bool connect();
    // The low-speed window of the HTTPS client, LOW_SPEED_WINDOW unless a
    // test shortens it.
    void setLowSpeedWindow(std::chrono::milliseconds window);
    std::chrono::milliseconds lowSpeedWindow() const { return m_lowSpeedWindow; }

    std::vector<Reading*>* takeReading();
    bool getDateRange(std::vector<Reading*>* readings);
    std::string formatDate(int64_t time) const;

    std::string getState() const;
    void restoreState(const std::string& state);

    // Discovers sites, assets and parameters into a new index, swapped in
    // when complete (or, before any discovery completed, when it found more);
    // returns whether it completed.
    bool populateAssetInformation();
    // Runs the first discovery, its retries after a failure and the periodic
    // refresh, each when due; called before each poll's range requests.
    void maintainDiscovery();
    // Seconds between refreshes of a completed discovery.
    void setDiscoveryRefresh(int64_t seconds) { m_discoveryRefresh = seconds; }
    // The current time in seconds since 1970; a test may fix it (0: the
    // system clock) so that ranges of a known day are exact.
    int64_t now() const;
    void setClock(int64_t fixedNow) { m_fixedNow = fixedNow; }

    RangeOutcome makeRequest(std::vector<Reading*>* readings, const std::string& url, RangeBatch& batch);

    bool getAssetData(const AssetData* asset, std::vector<Datapoint*>& datapoints, std::string& time);
    bool getLatestData(std::vector<Reading*>* readings);

    // Read-only views for the tests, fuzz targets and benchmarks.
    int64_t lastPull() const { return m_lastPull; }
    int64_t nextPull() const { return m_nextPull; }
    // The tag's next-pull time: one second past its newest sample delivered,
    // or the starting time until it has one.
    int64_t tagPull(const std::string& tag) const { return m_progress.next(tag); }
    int32_t timezoneOffset() const { return m_timezoneOffset; }
    const std::string& key() const { return m_key; }
    const std::string& separator() const { return m_separator; }
    bool includeSite() const { return m_includeSite; }
    bool includeAlarms() const { return m_includeAlarms; }
    const std::string& proxy() const { return m_proxy; }
    bool initialised() const { return m_initialised; }
    const std::map<long, std::vector<AssetData*>*>& assetParameters() const { return m_assetParameters; }
    const std::map<std::string, AssetData*>& tagIndex() const { return m_tagIndex; }
    const std::map<long, std::string>& siteNames() const { return m_siteNames; }

private:
    // An index as one discovery builds it, aside from the one in use, with
    // what did not answer.
    struct DiscoveredIndex {
        DiscoveredIndex() = default;
        ~DiscoveredIndex();
        DiscoveredIndex(const DiscoveredIndex&) = delete;
        DiscoveredIndex& operator=(const DiscoveredIndex&) = delete;

        std::map<long, std::vector<AssetData*>*> assetParameters;
        std::map<std::string, AssetData*> tagIndex;
        std::map<long, std::string> siteNames;
        int32_t offset = 0;
        bool hasOffset = false;
        bool offsetsDiffer = false;
        std::size_t sites = 0;
        unsigned requests = 0;
        std::string missing;  // empty when the discovery completed
    };

    // The outcome of one GET to the service.
    struct ApiAnswer {
        std::string status;  // status text, e.g. "200 OK"
        // The body as the client read it, moved out of the response, not copied.
        std::string text;
        const std::string& body() const { return text; }
    };

    // The key and proxy items of configure; a text that could break a
    // request is refused and the previous value kept.
    void applyKey(const std::string& key);
    void applyProxy(std::string proxy);
    std::string apiUrl(const std::string& resourcePath) const;
    // A historian tag as it may stand in a URL: bytes other than letters,
    // digits and "-._~" percent-encoded, so that no tag can break the
    // request line or the tag list.
    static std::string urlTag(const std::string& tag);
    // Sends one authenticated GET; logs and returns false when the request
    // itself fails.
    bool apiGet(const std::string& url, ApiAnswer& answer);
    void clearAssetIndex();
    // Per-poll tallies for the poll's info line.
    struct PollTally {
        int requests = 0;
        int failed = 0;
        int raisedInRow = 0;
        std::size_t duplicates = 0;
    };
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
    // A sample of a series with a readable time: its members and its time.
    struct TimedSample;
    // The samples of a series with a readable time, in answer order; the
    // others are skipped with a warning.
    std::vector<TimedSample> timedSamples(const std::string& tag, const rapidjson::Value& series);
    void deliverSamples(std::vector<Reading*>* readings, const std::string& tag, const AssetData& asset,
                        const std::vector<const TimedSample*>& fresh);
    std::vector<std::string> indexTags() const;
    void logNotes();
    void logPoll(std::size_t readings, const PollTally& tally, int64_t oldestBefore, int64_t now);
    bool discoverSites(DiscoveredIndex& next);
    void readSite(DiscoveredIndex& next, const rapidjson::Value& site);
    void getSiteAssets(DiscoveredIndex& next, long siteId);
    void getAssetParameters(DiscoveredIndex& next, std::vector<AssetData*>* parameters, long siteId, long assetId);
    // One GET of a discovery list: counted, and a failure is noted as missing.
    bool listGet(DiscoveredIndex& next, const std::string& url, const std::string& what, ApiAnswer& answer);
    void adoptIndex(DiscoveredIndex& next);
    void scheduleDiscovery(bool completed, const std::string& missing);
    // The site's name, or null when discovery did not name the site.
    const std::string* siteName(long siteId) const;

    std::atomic<bool> m_reconfPending;
    bool m_initialised;
    std::string m_host;
    std::string m_key;
    std::string m_separator;
    bool m_includeSite;
    bool m_includeAlarms;
    std::map<long, std::vector<AssetData*>*> m_assetParameters;
    std::map<std::string, AssetData*> m_tagIndex;
    std::map<long, std::string> m_siteNames;
    std::mutex m_mutex;
    Logger* m_logger;
    SimpleWeb::Client<SimpleWeb::HTTPS>* m_client;
    int64_t m_lastPull;
    int32_t m_timezoneOffset;
    // " +HH:MM" of m_timezoneOffset, ending every reading's time text: worked
    // out when the offset changes, not per sample.
    std::string m_zoneSuffix = " +00:00";
    int64_t m_nextPull;
    std::string m_proxy;
    // Per-tag progress; tags without any start one year back or at the
    // restored time, so tags found later get their whole history.
    nerivo::Progress m_progress;
    // Discovery schedule, in seconds of a monotonic clock.
    bool m_discoveryRan = false;
    bool m_discoveryCompleted = false;
    unsigned m_discoveryFailures = 0;
    int64_t m_nextDiscovery = 0;
    int64_t m_discoveryRefresh = 86400;
    std::chrono::milliseconds m_lowSpeedWindow = LOW_SPEED_WINDOW;
    int64_t m_fixedNow = 0;
};
