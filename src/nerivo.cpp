// The client object: construction, configuration, connection and the
// conventions every request to the service follows.
#include "nerivo.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include <boost/system/system_error.hpp>

#include "config_category.h"
#include "config_items.h"
#include "config_text.h"
#include "logger.h"

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

Nerivo::Nerivo()
    : m_reconfPending(false),
      m_initialised(false),
      m_host(API_HOST),
      m_includeSite(false),
      m_includeAlarms(false),
      m_logger(Logger::getLogger()),
      m_client(nullptr),
      m_lastPull(static_cast<int64_t>(time(nullptr)) - DEFAULT_LOOKBACK),
      m_timezoneOffset(0),
      m_nextPull(m_lastPull),
      m_progress(m_lastPull)
{
}

Nerivo::~Nerivo()
{
    delete m_client;
    clearAssetIndex();
}

void Nerivo::clearAssetIndex()
{
    for (auto& entry : m_assetParameters) {
        for (AssetData* record : *entry.second) {
            delete record;
        }
        delete entry.second;
    }
    m_assetParameters.clear();
    m_siteNames.clear();
    m_tagIndex.clear();
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

    if (config->itemExists("proxy")) {
        applyProxy(config->getValue("proxy"));
    }

    // The new key and proxy both apply to this discovery.
    if (m_initialised) {
        populateAssetInformation();
    }
}

bool Nerivo::connect()
{
    try {
        // Verification stays on: the API key travels with every request.
        m_client = new SimpleWeb::Client<SimpleWeb::HTTPS>(m_host, true, "", "", "");
    } catch (const boost::system::system_error& e) {
        m_logger->error("Failed to create the HTTPS client for %s: %s", m_host.c_str(), e.what());
        return false;
    }
    m_client->config.timeout_connect = REQUEST_TIMEOUT;
    m_client->config.timeout = REQUEST_TIMEOUT;
    m_client->config.low_speed_bytes = LOW_SPEED_BYTES;
    m_client->config.low_speed_window = m_lowSpeedWindow;
    return true;
}

void Nerivo::setLowSpeedWindow(std::chrono::milliseconds window)
{
    m_lowSpeedWindow = window;
    if (m_client != nullptr) {
        m_client->config.low_speed_window = window;
    }
}

void Nerivo::applyKey(const std::string& key)
{
    // A line break would let the key write headers of its own.
    if (nerivo::hasControlCharacter(key)) {
        m_logger->error("Configuration item key holds a control character and is ignored; the previous key stays");
        return;
    }
    m_key = key;
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
    m_proxy = proxy;
}

std::string Nerivo::apiUrl(const std::string& resourcePath) const
{
    return "https://" + m_host + "/api/" + resourcePath;
}

std::string Nerivo::urlTag(const std::string& tag)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(tag.size());
    for (const unsigned char c : tag) {
        // ASCII ranges, not isalnum: the host's locale must not change URLs.
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0x0F];
        }
    }
    return encoded;
}

bool Nerivo::apiGet(const std::string& url, ApiAnswer& answer)
{
    SimpleWeb::CaseInsensitiveMultimap header;
    header.emplace("Content-Type", "application/json");
    header.emplace("X-Api-Key", m_key);
    try {
        // Always handed over, an empty proxy included: a proxy removed by
        // reconfiguration must stop being used at once.
        m_client->config.proxy_server = m_proxy;
        auto response = m_client->request("GET", url, "", header);
        answer.status = response->status_code;
        answer.text = response->content.take();
    } catch (const boost::system::system_error& e) {
        m_logger->error("API request failed %s.", e.what());
        return false;
    }
    return true;
}

int64_t Nerivo::now() const
{
    return m_fixedNow != 0 ? m_fixedNow : static_cast<int64_t>(time(nullptr));
}

const std::string* Nerivo::siteName(long siteId) const
{
    auto site = m_siteNames.find(siteId);
    return site == m_siteNames.end() ? nullptr : &site->second;
}

std::string Nerivo::getState() const
{
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "{ \"lastPull\" : %lu }",
                  static_cast<unsigned long>(static_cast<uint64_t>(m_lastPull)));
    const std::string members = m_progress.stateMembers();
    if (members.empty()) {
        return buffer;
    }
    std::string state = buffer;
    state.erase(state.size() - 2);
    return state + members + " }";
}

void Nerivo::restoreState(const std::string& state)
{
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
    m_nextPull = restored;
    if (!m_progress.restore(doc, restored, now())) {
        m_logger->warn("Persisted state of plugin holds per-tag pull times that cannot be used; ignored");
    }
    logNotes();
}
