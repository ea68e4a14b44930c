#pragma once
// What discovery found: the asset parameter records, owned here, and the
// views the data requests are built from. A value: discovery builds one aside
// and the client swaps it in whole.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace nerivo {

// One measured parameter of one asset at one site, as the parameter list of
// the service describes it.
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

struct AssetIndex {
    // The first record of each historian tag.
    std::map<std::string, const AssetData*> m_tagIndex;
    // Each asset's records, in answer order.
    std::map<long, std::vector<const AssetData*>> m_assetParameters;
    std::map<long, std::string> m_siteNames;
    // Each site's zone text as the site list gives it, e.g.
    // "(GMT-05:00) Eastern Time (US & Canada)".
    std::map<long, std::string> m_siteZones;
    // Minutes east of UTC, from the site list; set only when a site gave one.
    int32_t m_timezoneOffset = 0;
    bool m_hasOffset = false;
    bool m_offsetsDiffer = false;
    std::size_t m_sites = 0;
    unsigned m_requests = 0;
    // The lists that did not answer, for the log; empty when complete.
    std::string m_missing;
    unsigned m_missingLists = 0;

    // An asset listed for a site; its list exists even with no parameters.
    void addAsset(long assetId);
    // A parameter of an asset, after those added before.
    void addParameter(long assetId, const rapidjson::Value& parameter, long siteId);
    void noteMissing(const std::string& what);
    std::size_t parameterCount() const;
    // The site's name, or null when the site list did not name it.
    const std::string* siteName(long siteId) const;

private:
    std::vector<std::unique_ptr<AssetData>> m_records;
};

}  // namespace nerivo
