// Discovery: the service's sites, each site's assets and each asset's
// parameters, into the asset index that the data requests are built from.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "logger.h"
#include "nerivo.h"
#include "sample_mapping.h"
#include "service_answer.h"

namespace {

// Minutes east of UTC from a zone text such as "(GMT-03:30) Newfoundland";
// the sign written before the hours applies to the minutes too.
bool zoneOffset(const char* text, int32_t& offset)
{
    static const char prefix[] = "(GMT";
    if (std::strncmp(text, prefix, sizeof prefix - 1) != 0) {
        return false;
    }
    const char* p = text + sizeof prefix - 1;
    const char* sign = p;
    while (*sign == ' ' || (*sign >= '\t' && *sign <= '\r')) {
        ++sign;
    }
    char* end = nullptr;
    errno = 0;
    const long hours = std::strtol(p, &end, 10);
    if (end == p || errno != 0 || *end != ':' || hours < -24 || hours > 24) {
        return false;
    }
    p = end + 1;
    const long minutes = std::strtol(p, &end, 10);
    if (end == p || errno != 0 || minutes < 0 || minutes > 59) {
        return false;
    }
    const long magnitude = std::labs(hours) * 60 + minutes;
    offset = static_cast<int32_t>(*sign == '-' ? -magnitude : magnitude);
    return true;
}

// Reads an optional id member: absent leaves id alone and gives true; a
// member that is not a 64-bit integer gives false.
bool readId(const rapidjson::Value& element, const char* name, long& id, bool& present)
{
    auto member = element.FindMember(name);
    present = member != element.MemberEnd();
    if (!present) {
        return true;
    }
    if (!member->value.IsInt64()) {
        return false;
    }
    id = static_cast<long>(member->value.GetInt64());
    return true;
}

std::size_t countParameters(const std::map<long, std::vector<Nerivo::AssetData*>*>& assets)
{
    std::size_t count = 0;
    for (const auto& entry : assets) {
        count += entry.second->size();
    }
    return count;
}

void noteMissing(std::string& missing, const std::string& what)
{
    if (!missing.empty()) {
        missing += ", ";
    }
    missing += what;
}

}  // namespace

Nerivo::DiscoveredIndex::~DiscoveredIndex()
{
    for (auto& entry : assetParameters) {
        for (AssetData* record : *entry.second) {
            delete record;
        }
        delete entry.second;
    }
}

bool Nerivo::listGet(DiscoveredIndex& next, const std::string& url, const std::string& what, ApiAnswer& answer)
{
    ++next.requests;
    if (!apiGet(url, answer)) {
        noteMissing(next.missing, what);
        return false;
    }
    if (answer.status != "200 OK") {
        noteMissing(next.missing, what);
        return false;
    }
    return true;
}

bool Nerivo::populateAssetInformation()
{
    const auto started = std::chrono::steady_clock::now();
    DiscoveredIndex next;
    discoverSites(next);
    const bool completed = next.missing.empty();
    if (completed) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        m_logger->info("Discovery complete: %zu sites, %zu assets, %zu parameters, %zu tags, %u requests, %.3f s",
                       next.sites, next.assetParameters.size(), countParameters(next.assetParameters),
                       next.tagIndex.size(), next.requests, seconds);
    }
    if (next.offsetsDiffer) {
        m_logger->warn("Sites give different time zone offsets; using %d minutes, the last site's, for all sites",
                       static_cast<int>(next.offset));
    }
    // Never trade a good index for a partial one; before any discovery
    // completed, a partial one that found more is better than nothing.
    if (completed || (!m_discoveryCompleted && next.tagIndex.size() >= m_tagIndex.size())) {
        adoptIndex(next);
    }
    scheduleDiscovery(completed, next.missing);
    return completed;
}

void Nerivo::adoptIndex(DiscoveredIndex& next)
{
    clearAssetIndex();
    m_assetParameters.swap(next.assetParameters);
    m_tagIndex.swap(next.tagIndex);
    m_siteNames.swap(next.siteNames);
    if (next.hasOffset) {
        m_timezoneOffset = next.offset;
        m_zoneSuffix = nerivo::zoneSuffix(m_timezoneOffset);
    }
}

bool Nerivo::discoverSites(DiscoveredIndex& next)
{
    const std::string url = apiUrl("sites");
    m_logger->debug("Get list of site: %s", url.c_str());
    ApiAnswer answer;
    if (!listGet(next, url, "the site list", answer)) {
        if (!answer.status.empty()) {
            m_logger->error("Failed to retrieve list of sites: %s", answer.status.c_str());
            nerivo::keyHint(m_logger, answer.status);
        }
        return false;
    }
    m_logger->info("Site list: %s", answer.body().c_str());

    rapidjson::Document doc;
    const rapidjson::Value* result = nullptr;
    switch (nerivo::readResult(answer.body(), rapidjson::kArrayType, doc, result)) {
    case nerivo::AnswerOutcome::RESULT: break;
    case nerivo::AnswerOutcome::EMPTY:
    case nerivo::AnswerOutcome::UNPARSABLE:
        m_logger->error("Fsiled to parse asset list response: %s", answer.body().c_str());
        noteMissing(next.missing, "the site list");
        return false;
    case nerivo::AnswerOutcome::NOT_OBJECT:
        m_logger->error("Site list is not a JSON object: %s", answer.body().c_str());
        noteMissing(next.missing, "the site list");
        return false;
    case nerivo::AnswerOutcome::NO_RESULT:
    case nerivo::AnswerOutcome::WRONG_TYPE: noteMissing(next.missing, "the site list"); return false;
    }
    for (const auto& site : result->GetArray()) {
        readSite(next, site);
    }
    return true;
}

void Nerivo::readSite(DiscoveredIndex& next, const rapidjson::Value& site)
{
    if (!site.IsObject()) {
        m_logger->warn("Skipping a site list element that is not an object");
        return;
    }
    long siteId = 0;
    bool hasId = false;
    if (!readId(site, "SITE_ID", siteId, hasId)) {
        m_logger->warn("Skipping a site whose SITE_ID is not an integer");
        return;
    }
    ++next.sites;
    if (hasId) {
        getSiteAssets(next, siteId);
    }
    auto name = site.FindMember("SITE_NAME");
    if (name != site.MemberEnd()) {
        if (!name->value.IsString()) {
            m_logger->warn("Ignoring a SITE_NAME that is not a string");
        } else if (hasId) {
            // A name without an id cannot be matched to any parameter.
            next.siteNames.emplace(siteId, std::string(name->value.GetString()));
        }
    }
    auto zone = site.FindMember("TIMEZONE");
    if (zone != site.MemberEnd()) {
        int32_t offset = 0;
        if (!zone->value.IsString()) {
            m_logger->warn("Ignoring a TIMEZONE that is not a string");
        } else if (zoneOffset(zone->value.GetString(), offset)) {
            next.offsetsDiffer = next.offsetsDiffer || (next.hasOffset && offset != next.offset);
            next.offset = offset;
            next.hasOffset = true;
        }
    }
}

void Nerivo::getSiteAssets(DiscoveredIndex& next, long siteId)
{
    const std::string url = apiUrl("sites/" + std::to_string(siteId) + "/assets");
    const std::string what = "the asset list of site " + std::to_string(siteId);
    m_logger->debug("Get list of site: %s", url.c_str());
    ApiAnswer answer;
    if (!listGet(next, url, what, answer)) {
        if (!answer.status.empty()) {
            m_logger->error("Failed to retrieve list of assets for site %ld: %s", siteId, answer.status.c_str());
            nerivo::keyHint(m_logger, answer.status);
        }
        return;
    }
    m_logger->info("Asset list for site %ld: %s", siteId, answer.body().c_str());

    rapidjson::Document doc;
    const rapidjson::Value* result = nullptr;
    switch (nerivo::readResult(answer.body(), rapidjson::kArrayType, doc, result)) {
    case nerivo::AnswerOutcome::RESULT: break;
    // A list without a usable result is missing, like a failed one: taken
    // as empty it would drop the site's tags until the next refresh.
    case nerivo::AnswerOutcome::EMPTY: m_logger->warn("Site %ld has no assets defined", siteId); break;
    case nerivo::AnswerOutcome::UNPARSABLE:
        m_logger->error("Fsiled to parse asset list response: %s", answer.body().c_str());
        break;
    case nerivo::AnswerOutcome::NOT_OBJECT:
        m_logger->error("Asset list of site %ld is not a JSON object", siteId);
        break;
    case nerivo::AnswerOutcome::NO_RESULT:
    case nerivo::AnswerOutcome::WRONG_TYPE: break;
    }
    if (result == nullptr) {
        noteMissing(next.missing, what);
        return;
    }
    for (const auto& asset : result->GetArray()) {
        if (!asset.IsObject()) {
            m_logger->warn("Skipping an asset of site %ld that is not an object", siteId);
            continue;
        }
        // Without its own SITE_ID an asset belongs to the site it was listed for.
        long assetSiteId = siteId;
        long assetId = 0;
        bool hasSite = false;
        bool hasAsset = false;
        if (!readId(asset, "SITE_ID", assetSiteId, hasSite) || !readId(asset, "ASSET_ID", assetId, hasAsset)) {
            m_logger->warn("Skipping an asset of site %ld whose ids are not integers", siteId);
            continue;
        }
        if (!hasAsset) {
            m_logger->warn("Skipping an asset of site %ld without ASSET_ID", siteId);
            continue;
        }
        auto existing = next.assetParameters.find(assetId);
        if (existing == next.assetParameters.end()) {
            existing = next.assetParameters.emplace(assetId, new std::vector<AssetData*>()).first;
        }
        getAssetParameters(next, existing->second, assetSiteId, assetId);
    }
}

void Nerivo::getAssetParameters(DiscoveredIndex& next, std::vector<AssetData*>* parameters, long siteId, long assetId)
{
    const std::string url =
        apiUrl("sites/" + std::to_string(siteId) + "/assets/" + std::to_string(assetId) + "/parameters");
    const std::string what = "the parameter list of asset " + std::to_string(assetId);
    m_logger->debug("Get list of asset parameters: %s", url.c_str());
    ApiAnswer answer;
    if (!listGet(next, url, what, answer)) {
        if (!answer.status.empty()) {
            m_logger->error("Failed to retrieve parameters data for asset %ld: %s", assetId, answer.status.c_str());
            nerivo::keyHint(m_logger, answer.status);
        }
        return;
    }
    m_logger->info("Parameter list for site %ld, asset %ld: %s", siteId, assetId, answer.body().c_str());

    rapidjson::Document doc;
    const rapidjson::Value* result = nullptr;
    switch (nerivo::readResult(answer.body(), rapidjson::kArrayType, doc, result)) {
    case nerivo::AnswerOutcome::RESULT: break;
    case nerivo::AnswerOutcome::EMPTY:
        m_logger->warn("Asset %ld on site %ld has no parameters defined", assetId, siteId);
        break;
    case nerivo::AnswerOutcome::UNPARSABLE:
        m_logger->error("Failed to parse asset parameter response: %s", answer.body().c_str());
        break;
    case nerivo::AnswerOutcome::NOT_OBJECT:
        m_logger->error("Parameter list of asset %ld is not a JSON object", assetId);
        break;
    case nerivo::AnswerOutcome::NO_RESULT:
    case nerivo::AnswerOutcome::WRONG_TYPE: break;
    }
    if (result == nullptr) {
        noteMissing(next.missing, what);
        return;
    }
    for (const auto& parameter : result->GetArray()) {
        if (!parameter.IsObject()) {
            m_logger->warn("Skipping a parameter of asset %ld that is not an object", assetId);
            continue;
        }
        auto* record = new AssetData(parameter, siteId);
        parameters->push_back(record);
        next.tagIndex.emplace(record->m_historianTag, record);
    }
}
