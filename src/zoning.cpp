// Which zone the service's wall times are read in: the item timezone, the
// sites' zone texts, and carrying the progress over when the item changes.
#include "logger.h"
#include "nerivo.h"
#include "sample_mapping.h"

namespace {

// The site's name for the log, or its id when the site list gave none.
std::string siteLabel(const nerivo::AssetIndex& index, long siteId)
{
    const std::string* name = index.siteName(siteId);
    return name != nullptr ? *name : "with id " + std::to_string(siteId);
}

// The tz zone a site's zone text names through the display names table.
std::optional<nerivo::Zone> tableZone(const std::string& zoneText)
{
    const char* name = nerivo::zoneOfDisplayName(nerivo::displayNameOf(zoneText));
    return name != nullptr ? nerivo::Zone::named(name) : std::nullopt;
}

}  // namespace

const nerivo::Zone& Nerivo::ZoneMap::of(const std::string& tag, const nerivo::AssetIndex& index) const
{
    if (sites.empty()) {
        return main;
    }
    const auto record = index.m_tagIndex.find(tag);
    if (record == index.m_tagIndex.end()) {
        return main;
    }
    const auto zone = sites.find(record->second->m_siteId);
    return zone == sites.end() ? main : zone->second;
}

void Nerivo::applyTimezone(const std::string& text)
{
    const std::optional<nerivo::ZoneSetting> setting = nerivo::ZoneSetting::parse(text);
    if (!setting) {
        m_logger->error("Configuration item timezone is neither empty, sites nor a zone of the tz database; the "
                        "previous value stays");
        return;
    }
    if (*setting == m_zoneSetting) {
        return;
    }
    // The stored times stand for wall times of the setting they were read
    // in; a change back before they were carried over leaves them as they are.
    if (!m_storedZone) {
        m_storedZone = m_zoneSetting;
    }
    m_zoneSetting = *setting;
    if (*m_storedZone == m_zoneSetting) {
        m_storedZone.reset();
    }
    m_logger->info("Times are read as wall time of %s",
                   m_zoneSetting.value.empty() ? "one offset from the site list" : m_zoneSetting.value.c_str());
    updateZones();
    if (m_discovery.completedOnce()) {
        carryProgress();
    }
}

Nerivo::ZoneMap Nerivo::zoneMap(const nerivo::ZoneSetting& setting)
{
    using Mode = nerivo::ZoneSetting::Mode;
    ZoneMap map;
    map.main = nerivo::Zone(m_index.m_timezoneOffset);
    if (setting.mode == Mode::NAMED) {
        map.main = nerivo::Zone::named(setting.value).value_or(map.main);
    }
    if (setting.mode != Mode::SITES) {
        return map;
    }
    for (const auto& site : m_index.m_siteZones) {
        if (std::optional<nerivo::Zone> zone = tableZone(site.second)) {
            map.sites.emplace(site.first, *zone);
            continue;
        }
        int32_t offset = 0;
        if (nerivo::zoneOffset(site.second.c_str(), offset)) {
            map.sites.emplace(site.first, nerivo::Zone(offset));
        }
        if (m_zoneNoted.insert("unknown " + std::to_string(site.first) + " " + site.second).second) {
            m_logger->warn("Site %s gives the time zone '%s', which the plugin does not know: its times are read "
                           "with the offset the text shows, all year",
                           siteLabel(m_index, site.first).c_str(), site.second.c_str());
        }
    }
    return map;
}

void Nerivo::updateZones()
{
    m_zones = zoneMap(m_zoneSetting);
    if (m_zoneSetting.mode != nerivo::ZoneSetting::Mode::FIXED) {
        return;
    }
    if (m_index.m_offsetsDiffer) {
        m_logger->warn("Sites give different time zone offsets; using %d minutes, the last site's, for all sites. "
                       "Set the item timezone to sites to read each site's times in its own zone",
                       static_cast<int>(m_index.m_timezoneOffset));
    }
    noteSiteZones();
}

void Nerivo::noteSiteZones()
{
    for (const auto& site : m_index.m_siteZones) {
        const std::optional<nerivo::Zone> zone = tableZone(site.second);
        if (!zone || !zone->observesDaylightSaving() ||
            !m_zoneNoted.insert("rules " + std::to_string(site.first) + " " + site.second).second) {
            continue;
        }
        m_logger->info("Site %s is in %s, which has daylight saving, but its times are read with one offset all "
                       "year. Set the item timezone to sites if the service writes them in local time",
                       siteLabel(m_index, site.first).c_str(), zone->key().c_str());
    }
}

void Nerivo::carryProgress()
{
    if (!m_storedZone) {
        return;
    }
    const ZoneMap from = zoneMap(*m_storedZone);
    const ZoneMap& to = m_zones;
    auto map = [this, &from, &to](const std::string& tag, int64_t time) {
        return to.of(tag, m_index).firstInstantFrom(from.of(tag, m_index).wallOf(time));
    };
    m_progress.remapTimes(map);
    m_lastPull = map(std::string(), m_lastPull);
    m_logger->info("Stored progress carried over from the time zone setting '%s' to '%s'", m_storedZone->value.c_str(),
                   m_zoneSetting.value.c_str());
    m_storedZone.reset();
}
