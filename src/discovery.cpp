// Discovery: the service's sites, each site's assets and each asset's
// parameters, into the asset index that the data requests are built from.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "logger.h"
#include "nerivo.h"

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

}  // namespace

bool Nerivo::populateAssetInformation()
{
    clearAssetIndex();

    const std::string url = apiUrl("sites");
    m_logger->debug("Get list of site: %s", url.c_str());
    ApiAnswer answer;
    if (!apiGet(url, answer)) {
        return false;
    }
    if (answer.status != "200 OK") {
        m_logger->error("Failed to retrieve list of sites: %s", answer.status.c_str());
        return false;
    }
    m_logger->info("Site list: %s", answer.body.c_str());

    rapidjson::Document doc;
    doc.Parse(answer.body.c_str(), answer.body.size());
    if (doc.HasParseError()) {
        m_logger->error("Fsiled to parse asset list response: %s", answer.body.c_str());
        return false;
    }
    if (!doc.IsObject()) {
        m_logger->error("Site list is not a JSON object: %s", answer.body.c_str());
        return false;
    }
    auto result = doc.FindMember("result");
    if (result == doc.MemberEnd() || !result->value.IsArray()) {
        return false;
    }

    for (const auto& site : result->value.GetArray()) {
        if (!site.IsObject()) {
            m_logger->warn("Skipping a site list element that is not an object");
            continue;
        }
        long siteId = 0;
        bool hasId = false;
        if (!readId(site, "SITE_ID", siteId, hasId)) {
            m_logger->warn("Skipping a site whose SITE_ID is not an integer");
            continue;
        }
        if (hasId) {
            getSiteAssets(siteId);
        }
        auto name = site.FindMember("SITE_NAME");
        if (name != site.MemberEnd()) {
            if (!name->value.IsString()) {
                m_logger->warn("Ignoring a SITE_NAME that is not a string");
            } else if (hasId) {
                // A name without an id cannot be matched to any parameter.
                m_siteNames.emplace(siteId, std::string(name->value.GetString()));
            }
        }
        auto zone = site.FindMember("TIMEZONE");
        if (zone != site.MemberEnd()) {
            int32_t offset = 0;
            if (!zone->value.IsString()) {
                m_logger->warn("Ignoring a TIMEZONE that is not a string");
            } else if (zoneOffset(zone->value.GetString(), offset)) {
                m_timezoneOffset = offset;
            }
        }
    }
    return true;
}

bool Nerivo::getSiteAssets(long siteId)
{
    const std::string url = apiUrl("sites/" + std::to_string(siteId) + "/assets");
    m_logger->debug("Get list of site: %s", url.c_str());
    ApiAnswer answer;
    if (!apiGet(url, answer)) {
        return false;
    }
    if (answer.status != "200 OK") {
        m_logger->error("Failed to retrieve list of assets for site %ld: %s", siteId, answer.status.c_str());
        return false;
    }
    m_logger->info("Asset list for site %ld: %s", siteId, answer.body.c_str());
    if (answer.body.empty()) {
        m_logger->warn("Site %ld has no assets defined", siteId);
        return true;
    }

    rapidjson::Document doc;
    doc.Parse(answer.body.c_str(), answer.body.size());
    if (doc.HasParseError()) {
        m_logger->error("Fsiled to parse asset list response: %s", answer.body.c_str());
        return true;
    }
    if (!doc.IsObject()) {
        m_logger->error("Asset list of site %ld is not a JSON object", siteId);
        return true;
    }
    auto result = doc.FindMember("result");
    if (result == doc.MemberEnd() || !result->value.IsArray()) {
        return true;
    }

    for (const auto& asset : result->value.GetArray()) {
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
        auto existing = m_assetParameters.find(assetId);
        if (existing != m_assetParameters.end()) {
            getAssetParameters(existing->second, assetSiteId, assetId);
        } else {
            auto* parameters = new std::vector<AssetData*>();
            m_assetParameters.emplace(assetId, parameters);
            getAssetParameters(parameters, assetSiteId, assetId);
        }
    }
    return true;
}

bool Nerivo::getAssetParameters(std::vector<AssetData*>* parameters, long siteId, long assetId)
{
    const std::string url =
        apiUrl("sites/" + std::to_string(siteId) + "/assets/" + std::to_string(assetId) + "/parameters");
    m_logger->debug("Get list of asset parameters: %s", url.c_str());
    ApiAnswer answer;
    if (!apiGet(url, answer)) {
        return false;
    }
    if (answer.status != "200 OK") {
        m_logger->error("Failed to retrieve parameters data for asset %ld: %s", assetId, answer.status.c_str());
        return false;
    }
    m_logger->info("Parameter list for site %ld, asset %ld: %s", siteId, assetId, answer.body.c_str());
    if (answer.body.empty()) {
        m_logger->warn("Asset %ld on site %ld has no parameters defined", assetId, siteId);
        return true;
    }

    rapidjson::Document doc;
    doc.Parse(answer.body.c_str(), answer.body.size());
    if (doc.HasParseError()) {
        m_logger->error("Failed to parse asset parameter response: %s", answer.body.c_str());
        return true;
    }
    if (!doc.IsObject()) {
        m_logger->error("Parameter list of asset %ld is not a JSON object", assetId);
        return true;
    }
    auto result = doc.FindMember("result");
    if (result == doc.MemberEnd() || !result->value.IsArray()) {
        return true;
    }

    for (const auto& parameter : result->value.GetArray()) {
        if (!parameter.IsObject()) {
            m_logger->warn("Skipping a parameter of asset %ld that is not an object", assetId);
            continue;
        }
        auto* record = new AssetData(parameter, siteId);
        parameters->push_back(record);
        m_tagIndex.emplace(record->m_historianTag, record);
    }
    return true;
}
