#pragma once
// Discovery: the service's sites, each site's assets and each asset's
// parameters, walked into a new index; and when to walk them again.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "asset_index.h"
#include "service.h"

namespace nerivo {

// Minutes east of UTC from a zone text such as "(GMT-03:30) Newfoundland";
// the sign written before the hours applies to the minutes too.
bool zoneOffset(const char* text, int32_t& offset);

class Discovery {
public:
    Discovery(Service& service, Logger* logger);

    // Walks the lists into a new index; its m_missing names what did not
    // answer. Logs the summary line when it completed.
    AssetIndex run();
    // Whether a discovery is due before this poll's range requests: the
    // first, a retry after a failure, or the periodic refresh.
    bool due() const;
    // After a discovery: when the next one is due, with a warning naming
    // what was missing, or the line of a recovery.
    void schedule(const AssetIndex& found);
    // Whether any discovery has completed.
    bool completedOnce() const { return m_completed; }
    // Seconds between refreshes of a completed discovery.
    void setRefresh(int64_t seconds) { m_refresh = seconds; }
    // Seconds since the last discovery completed; -1 before any did.
    int64_t ageSeconds() const;
    // Lists the last discovery could not read.
    unsigned missingLists() const { return m_missingLists; }

private:
    // Sends the asset and parameter lists the site list names over several
    // connections at once, ahead of the walk, which then reads their replies
    // in its own order.
    void prefetch();
    void prefetchAll(const std::vector<std::string>& urls);
    bool getSites(AssetIndex& next);
    void readSite(AssetIndex& next, const rapidjson::Value& site);
    void getSiteAssets(AssetIndex& next, long siteId);
    void readAsset(AssetIndex& next, const rapidjson::Value& asset, long siteId);
    void getAssetParameters(AssetIndex& next, long siteId, long assetId);
    // A list: what the warnings call it, the start of the line showing its
    // answer, and its lines for each failure.
    struct List {
        std::string what;
        std::string answered;
        Lines lines;
    };
    // One GET of a list, counted; a list without a usable result is missing.
    bool getList(AssetIndex& next, const std::string& url, const List& list, Reply& reply);

    Service& m_service;
    Logger* m_logger;
    // Replies sent ahead, by URL, until the walk takes them.
    std::map<std::string, Reply> m_ahead;
    // The schedule, in seconds of a monotonic clock.
    bool m_ran = false;
    bool m_completed = false;
    unsigned m_failures = 0;
    int64_t m_next = 0;
    int64_t m_refresh = 86400;
    int64_t m_completedAt = 0;
    unsigned m_missingLists = 0;
};

}  // namespace nerivo
