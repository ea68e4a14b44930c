// The client object: construction, configuration, connection and the
// conventions every request to the service follows.
#include "nerivo.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "config_category.h"
#include "config_items.h"
#include "config_text.h"
#include "logger.h"
#include "progress_codec.h"
#include "sample_mapping.h"

namespace {

bool isTrue(const std::string& value)
{
    return value == "true" || value == "TRUE";
}

// An item the category lacks takes the default the plugin publishes for it.
std::string valueOrDefault(ConfigCategory* config, const std::string& name)
{
    return config->itemExists(name) ? config->getValue(name) : std::string(nerivo::itemDefault(name));
}

// Lowers the reconfiguration flag when configure leaves, however it leaves;
// declared after the lock so that the flag drops before the mutex is released.
class PendingFlagGuard {
public:
    explicit PendingFlagGuard(std::atomic<bool>& flag) : m_flag(flag) {}
    ~PendingFlagGuard() { m_flag = false; }
    PendingFlagGuard(const PendingFlagGuard&) = delete;
    PendingFlagGuard& operator=(const PendingFlagGuard&) = delete;

private:
    std::atomic<bool>& m_flag;
};

}  // namespace

Nerivo::Nerivo(nerivo::Connector connector)
    : m_reconfPending(false),
      m_initialised(false),
      m_logger(Logger::getLogger()),
      m_includeSite(false),
      m_includeAlarms(false),
      m_service(std::move(connector), API_HOST, m_logger),
      m_discovery(m_service, m_logger),
      m_progress(static_cast<int64_t>(time(nullptr)) - DEFAULT_LOOKBACK),
      m_lastPull(m_progress.start())
{
}

void Nerivo::configure(ConfigCategory* config)
{
    m_reconfPending = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    PendingFlagGuard pending(m_reconfPending);

    if (config->itemExists("key")) {
        applyKey(config->getValue("key"));
    }
    m_separator = valueOrDefault(config, "separator");
    m_includeSite = isTrue(valueOrDefault(config, "includeSite"));
    m_includeAlarms = isTrue(valueOrDefault(config, "includeAlarms"));
    m_healthAsset = valueOrDefault(config, "healthAsset");

    if (config->itemExists("proxy")) {
        applyProxy(config->getValue("proxy"));
    }
    // Kept when missing, like the key: a change moves the stored progress.
    if (config->itemExists("timezone")) {
        applyTimezone(config->getValue("timezone"));
    }

    // The new key and proxy both apply to this discovery.
    if (m_initialised) {
        populateAssetInformation();
    }
}

bool Nerivo::connect()
{
    return m_service.connect();
}

void Nerivo::applyKey(const std::string& key)
{
    // A line break would let the key write headers of its own.
    if (nerivo::hasControlCharacter(key)) {
        m_logger->error("Configuration item key holds a control character and is ignored; the previous key stays");
        return;
    }
    m_service.setKey(key);
    if (nerivo::isUnsetKey(key)) {
        m_logger->warn("Configuration item key is empty or the placeholder: the service will refuse every request "
                       "until the item key is set");
    }
}

void Nerivo::applyProxy(std::string proxy)
{
    if (nerivo::hasControlCharacter(proxy)) {
        m_logger->error("Configuration item proxy holds a control character and is ignored; the previous proxy "
                        "stays");
        return;
    }
    const bool hasScheme = proxy.compare(0, 5, "http:") == 0 || proxy.compare(0, 5, "HTTP:") == 0 ||
                           proxy.compare(0, 6, "https:") == 0 || proxy.compare(0, 6, "HTTPS:") == 0;
    if (hasScheme) {
        m_logger->warn("Expected proxy address without protocol prefix");
        const auto slashes = proxy.find("//");
        if (slashes != std::string::npos) {
            std::string rest = proxy.substr(slashes + 2);
            const auto path = rest.find('/');
            if (path != std::string::npos) {
                rest.erase(path);
            }
            proxy = rest;
            m_logger->warn("Stripped of URL components to use '%s' as proxy", nerivo::loggedProxy(proxy).c_str());
        }
    }
    // Only the logged form: the password stays out of every log line.
    const std::string logged = nerivo::loggedProxy(proxy);
    m_logger->info("Using proxy server %s", logged.c_str());
    if (!proxy.empty() && !nerivo::proxyHasPort(proxy)) {
        m_logger->warn("Proxy server %s is written without a port: port 80 is assumed", logged.c_str());
    }
    m_service.setProxy(proxy);
}

int64_t Nerivo::now() const
{
    return m_fixedNow != 0 ? m_fixedNow : static_cast<int64_t>(time(nullptr));
}

bool Nerivo::populateAssetInformation()
{
    nerivo::AssetIndex next = m_discovery.run();
    const bool completed = next.m_missing.empty();
    m_discovery.schedule(next);
    // Never trade a good index for a partial one; before any discovery
    // completed, a partial one that found more is better than nothing.
    if (completed || (!m_discovery.completedOnce() && next.m_tagIndex.size() >= m_index.m_tagIndex.size())) {
        adoptIndex(std::move(next));
        // Every site's zone is known only from a complete site list.
        if (completed) {
            carryProgress();
        }
    }
    return completed;
}

void Nerivo::maintainDiscovery()
{
    if (m_discovery.due()) {
        populateAssetInformation();
    }
}

void Nerivo::adoptIndex(nerivo::AssetIndex&& next)
{
    // One zone for all sites; a discovery whose sites named none keeps it.
    const int32_t offset = m_index.m_timezoneOffset;
    m_index = std::move(next);
    if (!m_index.m_hasOffset) {
        m_index.m_timezoneOffset = offset;
    }
    m_zoneSuffix = nerivo::zoneSuffix(m_index.m_timezoneOffset);
    updateZones();
}

std::string Nerivo::getState() const
{
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "{ \"lastPull\" : %lu }",
                  static_cast<unsigned long>(static_cast<uint64_t>(m_lastPull)));
    const std::string members = nerivo::progressMembers(m_progress);
    if (members.empty() && zoneMember().empty()) {
        return buffer;
    }
    std::string state = buffer;
    state.erase(state.size() - 2);
    return state + zoneMember() + members + " }";
}

std::string Nerivo::zoneMember() const
{
    // The setting the stored times stand for; the default is not written.
    const std::string& zone = m_storedZone ? m_storedZone->value : m_zoneSetting.value;
    if (zone.empty()) {
        return std::string();
    }
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    writer.String(zone.c_str(), static_cast<rapidjson::SizeType>(zone.size()));
    return std::string(", \"timezone\" : ") + text.GetString();
}

void Nerivo::restoreState(const std::string& state)
{
    // Only a stored state has times read in some setting to carry over.
    m_storedZone.reset();
    if (state.empty()) {
        m_logger->info("No stored state: the first range starts one year back, at %s",
                       formatDate(m_progress.start()).c_str());
        // RapidJSON must never be handed an empty text.
        m_logger->warn("Persisted state of plugin is invalid: %s", state.c_str());
        return;
    }
    rapidjson::Document doc;
    doc.Parse(state.c_str(), state.size());
    if (doc.HasParseError()) {
        m_logger->warn("Persisted state of plugin is invalid: %s", state.c_str());
        // A text cut short still tells where every tag was at the latest:
        // asking from there delivers some samples again but loses none.
        if (const auto salvaged = nerivo::salvageLastPull(state)) {
            m_logger->warn("Every tag is asked again from the stored last pull time, %s",
                           formatDate(*salvaged).c_str());
            m_lastPull = *salvaged;
            m_progress.load(*salvaged, {}, std::nullopt, now());
            logNotes();
        }
        return;
    }
    auto lastPull = doc.IsObject() ? doc.FindMember("lastPull") : doc.MemberEnd();
    if (!doc.IsObject() || lastPull == doc.MemberEnd() || !lastPull->value.IsUint64()) {
        m_logger->warn("Persisted state of plugin does not contain a last pull time");
        return;
    }
    // Stored as unsigned so that a time before 1970 keeps its bits. A time
    // ahead of the clock is kept: its tags wait for the clock, and nothing
    // is delivered again.
    const int64_t restored = static_cast<int64_t>(lastPull->value.GetUint64());
    m_lastPull = restored;
    if (!nerivo::restoreProgress(m_progress, doc, restored, now())) {
        m_logger->warn("Persisted state of plugin holds per-tag pull times that cannot be used; ignored");
    }
    restoreZone(doc);
    logNotes();
}

void Nerivo::restoreZone(const rapidjson::Document& doc)
{
    // A state without the member was stored under the default.
    const auto member = doc.FindMember("timezone");
    nerivo::ZoneSetting stored;
    if (member != doc.MemberEnd() && member->value.IsString()) {
        const std::optional<nerivo::ZoneSetting> read = nerivo::ZoneSetting::parse(member->value.GetString());
        if (!read) {
            m_logger->warn("Persisted state of plugin names a time zone this system does not know; its times are "
                           "taken as they are");
        }
        stored = read.value_or(m_zoneSetting);
    }
    m_storedZone.reset();
    if (stored != m_zoneSetting) {
        m_storedZone = stored;
    }
}
