// Discovery: the service's sites, each site's assets and each asset's
// parameters, into the asset index that the data requests are built from.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "discovery.h"

namespace nerivo {

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

namespace {

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

// The (site, element) ids of a list's elements, as the walk will read them:
// objects with an integer idName, and siteName when given (else site).
std::vector<std::pair<long, long>> ids(const Reply& reply, const char* idName, const char* siteName, long site)
{
    std::vector<std::pair<long, long>> found;
    rapidjson::Document doc;
    if (reply.failure != Failure::NONE || reply.code != 200 || reply.body.empty() ||
        doc.Parse(reply.body.c_str(), reply.body.size()).HasParseError() || !doc.IsObject()) {
        return found;
    }
    auto result = doc.FindMember("result");
    if (result == doc.MemberEnd() || !result->value.IsArray()) {
        return found;
    }
    for (const auto& element : result->value.GetArray()) {
        long id = 0;
        long elementSite = site;
        bool hasId = false;
        bool hasSite = false;
        if (element.IsObject() && readId(element, idName, id, hasId) && hasId &&
            (siteName == nullptr || readId(element, siteName, elementSite, hasSite))) {
            found.emplace_back(elementSite, id);
        }
    }
    return found;
}

using Level = Logger::Level;
using Detail = Line::Detail;

}  // namespace

Discovery::Discovery(Service& service, Logger* logger) : m_service(service), m_logger(logger) {}

AssetIndex Discovery::run()
{
    const auto started = std::chrono::steady_clock::now();
    AssetIndex next;
    prefetch();
    getSites(next);
    m_ahead.clear();
    if (next.m_missing.empty()) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        m_logger->info("Discovery complete: %zu sites, %zu assets, %zu parameters, %zu tags, %u requests, %.3f s",
                       next.m_sites, next.m_assetParameters.size(), next.parameterCount(), next.m_tagIndex.size(),
                       next.m_requests, seconds);
    }
    return next;
}

void Discovery::prefetch()
{
    const std::string sites = m_service.url("sites");
    prefetchAll({sites});
    const auto siteIds = ids(m_ahead[sites], "SITE_ID", nullptr, 0);
    std::vector<std::string> assetLists;
    assetLists.reserve(siteIds.size());
    for (const auto& site : siteIds) {
        assetLists.push_back(m_service.url("sites/" + std::to_string(site.second) + "/assets"));
    }
    prefetchAll(assetLists);
    std::vector<std::string> parameterLists;
    for (std::size_t i = 0; i < assetLists.size(); ++i) {
        for (const auto& asset : ids(m_ahead[assetLists[i]], "ASSET_ID", "SITE_ID", siteIds[i].second)) {
            parameterLists.push_back(m_service.url("sites/" + std::to_string(asset.first) + "/assets/" +
                                                   std::to_string(asset.second) + "/parameters"));
        }
    }
    prefetchAll(parameterLists);
    m_service.releaseExtra();
}

void Discovery::prefetchAll(const std::vector<std::string>& urls)
{
    std::vector<Reply> replies = m_service.sendAll(urls);
    for (std::size_t i = 0; i < urls.size(); ++i) {
        m_ahead.emplace(urls[i], std::move(replies[i]));
    }
}

bool Discovery::getList(AssetIndex& next, const std::string& url, const List& list, Reply& reply)
{
    ++next.m_requests;
    auto ahead = m_ahead.find(url);
    if (ahead != m_ahead.end()) {
        reply = std::move(ahead->second);
        m_ahead.erase(ahead);
    } else {
        m_service.send(url, reply);
    }
    if (reply.failure == Failure::NONE) {
        m_service.read(reply, Expect{rapidjson::kArrayType, true, false});
        if (reply.failure != Failure::STATUS) {
            m_logger->info("%s%s", list.answered.c_str(), reply.body.c_str());
        }
    }
    m_service.report(reply, url, list.lines);
    if (reply.result == nullptr) {
        next.noteMissing(list.what);
        return false;
    }
    return true;
}

bool Discovery::getSites(AssetIndex& next)
{
    const std::string url = m_service.url("sites");
    m_logger->debug("Get list of site: %s", url.c_str());
    Reply reply;
    const Lines lines = {
        {Failure::STATUS, {Level::Error, "Failed to retrieve list of sites: ", Detail::STATUS}},
        {Failure::EMPTY, {Level::Error, "Fsiled to parse asset list response: ", Detail::BODY}},
        {Failure::UNPARSABLE, {Level::Error, "Fsiled to parse asset list response: ", Detail::BODY}},
        {Failure::NOT_OBJECT, {Level::Error, "Site list is not a JSON object: ", Detail::BODY}},
    };
    const std::string answered = "Site list: ";
    if (!getList(next, url, List{"the site list", answered, lines}, reply)) {
        return false;
    }
    for (const auto& site : reply.result->GetArray()) {
        readSite(next, site);
    }
    return true;
}

void Discovery::readSite(AssetIndex& next, const rapidjson::Value& site)
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
    ++next.m_sites;
    if (hasId) {
        getSiteAssets(next, siteId);
    }
    auto name = site.FindMember("SITE_NAME");
    if (name != site.MemberEnd()) {
        if (!name->value.IsString()) {
            m_logger->warn("Ignoring a SITE_NAME that is not a string");
        } else if (hasId) {
            // A name without an id cannot be matched to any parameter.
            next.m_siteNames.emplace(siteId, std::string(name->value.GetString()));
        }
    }
    auto zone = site.FindMember("TIMEZONE");
    if (zone != site.MemberEnd()) {
        int32_t offset = 0;
        if (!zone->value.IsString()) {
            m_logger->warn("Ignoring a TIMEZONE that is not a string");
        } else if (hasId) {
            next.m_siteZones[siteId] = zone->value.GetString();
        }
        if (zone->value.IsString() && zoneOffset(zone->value.GetString(), offset)) {
            next.m_offsetsDiffer = next.m_offsetsDiffer || (next.m_hasOffset && offset != next.m_timezoneOffset);
            next.m_timezoneOffset = offset;
            next.m_hasOffset = true;
        }
    }
}

void Discovery::getSiteAssets(AssetIndex& next, long siteId)
{
    const std::string url = m_service.url("sites/" + std::to_string(siteId) + "/assets");
    const std::string site = std::to_string(siteId);
    m_logger->debug("Get list of site: %s", url.c_str());
    Reply reply;
    // A list without a usable result is missing, like a failed one: taken
    // as empty it would drop the site's tags until the next refresh.
    const Lines lines = {
        {Failure::STATUS, {Level::Error, "Failed to retrieve list of assets for site " + site + ": ", Detail::STATUS}},
        {Failure::EMPTY, {Level::Warning, "Site " + site + " has no assets defined"}},
        {Failure::UNPARSABLE, {Level::Error, "Fsiled to parse asset list response: ", Detail::BODY}},
        {Failure::NOT_OBJECT, {Level::Error, "Asset list of site " + site + " is not a JSON object"}},
    };
    const std::string answered = "Asset list for site " + site + ": ";
    if (!getList(next, url, List{"the asset list of site " + site, answered, lines}, reply)) {
        return;
    }
    for (const auto& asset : reply.result->GetArray()) {
        readAsset(next, asset, siteId);
    }
}

void Discovery::readAsset(AssetIndex& next, const rapidjson::Value& asset, long siteId)
{
    if (!asset.IsObject()) {
        m_logger->warn("Skipping an asset of site %ld that is not an object", siteId);
        return;
    }
    // Without its own SITE_ID an asset belongs to the site it was listed for.
    long assetSiteId = siteId;
    long assetId = 0;
    bool hasSite = false;
    bool hasAsset = false;
    if (!readId(asset, "SITE_ID", assetSiteId, hasSite) || !readId(asset, "ASSET_ID", assetId, hasAsset)) {
        m_logger->warn("Skipping an asset of site %ld whose ids are not integers", siteId);
        return;
    }
    if (!hasAsset) {
        m_logger->warn("Skipping an asset of site %ld without ASSET_ID", siteId);
        return;
    }
    next.addAsset(assetId);
    getAssetParameters(next, assetSiteId, assetId);
}

void Discovery::getAssetParameters(AssetIndex& next, long siteId, long assetId)
{
    const std::string site = std::to_string(siteId);
    const std::string asset = std::to_string(assetId);
    const std::string url = m_service.url("sites/" + site + "/assets/" + asset + "/parameters");
    m_logger->debug("Get list of asset parameters: %s", url.c_str());
    Reply reply;
    const Lines lines = {
        {Failure::STATUS,
         {Level::Error, "Failed to retrieve parameters data for asset " + asset + ": ", Detail::STATUS}},
        {Failure::EMPTY, {Level::Warning, "Asset " + asset + " on site " + site + " has no parameters defined"}},
        {Failure::UNPARSABLE, {Level::Error, "Failed to parse asset parameter response: ", Detail::BODY}},
        {Failure::NOT_OBJECT, {Level::Error, "Parameter list of asset " + asset + " is not a JSON object"}},
    };
    const std::string answered = "Parameter list for site " + site + ", asset " + asset + ": ";
    if (!getList(next, url, List{"the parameter list of asset " + asset, answered, lines}, reply)) {
        return;
    }
    for (const auto& parameter : reply.result->GetArray()) {
        if (!parameter.IsObject()) {
            m_logger->warn("Skipping a parameter of asset %ld that is not an object", assetId);
            continue;
        }
        next.addParameter(assetId, parameter, siteId);
    }
}

}  // namespace nerivo
