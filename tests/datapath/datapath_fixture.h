#pragma once
// Shared ground for the data-path suites: a fake Nerivo Water service per
// test, reached through its CONNECT proxy, and helpers that drive the plugin
// through its entry points and describe what comes back.
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config_category.h"
#include "datapoint.h"
#include "fakeservice/fake_service.hpp"
#include "log_capture.h"
#include "nerivo.h"
#include "nerivo_probe.h"
#include "plugin_api.h"  // the entry points as the platform sees them
#include "pull_times.h"
#include "reading.h"

namespace dp {

using fakeservice::Answer;
using fakeservice::Request;

inline const std::string kApi = "https://api.nerivowater.com/api/";
inline const std::string kRangePrefix = kApi + "timeseriesdata/";

// 2024-07-01 14:05:09 UTC.
constexpr int64_t kT0 = 1719842709;
// The plugin's clock in these suites: a day after kT0, so that a range from
// kT0 reaches the present in one request.
constexpr int64_t kNow = kT0 + 86400;

inline std::string apiUrl(const std::string& path)
{
    return kApi + path;
}

// JSON string literal with the escapes the tests need.
inline std::string quote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

inline std::string listBody(const std::vector<std::string>& elements)
{
    std::string body = "{\"result\":[";
    for (std::size_t i = 0; i < elements.size(); ++i) {
        body += (i ? "," : "") + elements[i];
    }
    return body + "]}";
}

inline std::string site(long id, const std::string& name, const std::string& zone)
{
    std::string s = "{\"SITE_ID\":" + std::to_string(id);
    if (!name.empty())
        s += ",\"SITE_NAME\":" + quote(name);
    if (!zone.empty())
        s += ",\"TIMEZONE\":" + quote(zone);
    return s + "}";
}

inline std::string asset(long siteId, long assetId)
{
    return "{\"SITE_ID\":" + std::to_string(siteId) + ",\"ASSET_ID\":" + std::to_string(assetId) + "}";
}

// One parameter as the service lists it; empty texts are left out, as the
// service leaves out what it does not know.
struct Param {
    long assetId = 10;
    std::string assetName = "Pump 3";
    std::string tag = "TAG1";
    std::string parameterName = "Flow";
    std::string displayUnit = "m3/h";
    std::string storageUnit = "l/s";
    std::string alarmLo, alarmLoLo, alarmHi, alarmHiHi;

    std::string json() const
    {
        std::string s = "{\"ASSET_ID\":" + std::to_string(assetId) + ",\"ASSET_NAME\":" + quote(assetName) +
                        ",\"HISTORIAN_TAG\":" + quote(tag) + ",\"PARAMETER_NAME\":" + quote(parameterName) +
                        ",\"PARAMETER_ID\":" + std::to_string(assetId * 100 + 1);
        if (!displayUnit.empty())
            s += ",\"DISPLAY_UNIT\":" + quote(displayUnit);
        if (!storageUnit.empty())
            s += ",\"STORAGE_UNIT\":" + quote(storageUnit);
        s += ",\"ALARM_LO\":" + (alarmLo.empty() ? std::string("null") : quote(alarmLo));
        s += ",\"ALARM_LOLO\":" + (alarmLoLo.empty() ? std::string("null") : quote(alarmLoLo));
        s += ",\"ALARM_HI\":" + (alarmHi.empty() ? std::string("null") : quote(alarmHi));
        s += ",\"ALARM_HIHI\":" + (alarmHiHi.empty() ? std::string("null") : quote(alarmHiHi));
        return s + "}";
    }
};

// A time-series answer: tag -> raw JSON array (or any JSON) of samples.
inline std::string seriesBody(const std::vector<std::pair<std::string, std::string>>& series)
{
    std::string body = "{\"result\":{";
    for (std::size_t i = 0; i < series.size(); ++i) {
        body += (i ? "," : "") + quote(series[i].first) + ":" + series[i].second;
    }
    return body + "}}";
}

inline std::string sample(const std::string& timestamp, const std::string& value = "1", int quality = 3)
{
    return "{\"quality\":" + std::to_string(quality) + ",\"value\":" + value + ",\"timestamp\":" + quote(timestamp) +
           "}";
}

// Local wall time of the sites: UTC shifted by the offset, written as the
// service expects it.
inline std::string localText(int64_t utc, int offsetMinutes)
{
    const time_t shifted = static_cast<time_t>(utc + int64_t{offsetMinutes} * 60);
    struct tm parts {};
    gmtime_r(&shifted, &parts);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buffer;
}

inline std::string stateText(int64_t lastPull)
{
    return "{ \"lastPull\" : " + std::to_string(lastPull) + " }";
}

// The state with per-tag next-pull times, tags in ascending order.
inline std::string stateText(int64_t lastPull, const std::vector<std::pair<std::string, int64_t>>& tags)
{
    std::string text = "{ \"lastPull\" : " + std::to_string(lastPull) + ", \"tags\" : {";
    for (std::size_t i = 0; i < tags.size(); ++i) {
        text += (i ? "," : "") + quote(tags[i].first) + ":" + std::to_string(tags[i].second);
    }
    return text + "} }";
}

// A range URL split into its parts.
struct RangeUrl {
    std::string from;
    std::string to;
    std::string tags;
    bool valid = false;
};

inline RangeUrl splitRange(const std::string& target)
{
    RangeUrl r;
    if (target.compare(0, kRangePrefix.size(), kRangePrefix) != 0)
        return r;
    const auto slash = target.find('/', kRangePrefix.size());
    const auto query = target.find("?tags=");
    if (slash == std::string::npos || query == std::string::npos || query < slash)
        return r;
    r.from = target.substr(kRangePrefix.size(), slash - kRangePrefix.size());
    r.to = target.substr(slash + 1, query - slash - 1);
    r.tags = target.substr(query + 6);
    r.valid = true;
    return r;
}

// Where the range requests start, by the tags they name (the last request
// naming a tag counts).
template <typename Requests>
std::map<std::string, std::string> startsByTag(const Requests& requests)
{
    std::map<std::string, std::string> starts;
    for (const auto& request : requests) {
        const RangeUrl url = splitRange(request.target);
        for (std::size_t at = 0; url.valid && at < url.tags.size();) {
            const std::size_t comma = std::min(url.tags.find(',', at), url.tags.size());
            starts[url.tags.substr(at, comma - at)] = url.from;
            at = comma + 1;
        }
    }
    return starts;
}

inline bool isRangeTarget(const std::string& target)
{
    return target.compare(0, kRangePrefix.size(), kRangePrefix) == 0 && target.find("?tags=") != std::string::npos;
}

// "name=type:value" for each datapoint, in order: s text, i integer, f floating.
inline std::vector<std::string> describe(const Reading* reading)
{
    std::vector<std::string> out;
    for (const Datapoint* dp : reading->getReadingData()) {
        const DatapointValue& v = dp->getData();
        switch (v.getType()) {
        case DatapointValue::T_STRING: out.push_back(dp->getName() + "=s:" + v.toStringValue()); break;
        case DatapointValue::T_INTEGER: out.push_back(dp->getName() + "=i:" + std::to_string(v.toInt())); break;
        case DatapointValue::T_FLOAT: {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%.17g", v.toDouble());
            out.push_back(dp->getName() + "=f:" + buffer);
            break;
        }
        }
    }
    return out;
}

struct ReadingListDeleter {
    void operator()(std::vector<Reading*>* list) const
    {
        if (!list)
            return;
        for (Reading* r : *list)
            delete r;
        delete list;
    }
};
using ReadingList = std::unique_ptr<std::vector<Reading*>, ReadingListDeleter>;

struct Settings {
    std::string key = "key-A";
    std::string separator = ".";
    bool includeSite = false;
    bool includeAlarms = false;
    bool withProxy = true;
};

class DataPathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The plugin verifies the service's certificate against the system
        // trust store, which this points at the fake's CA.
        ASSERT_EQ(setenv("SSL_CERT_FILE", fake.caFile().c_str(), 1), 0);
        fake.setHandler([this](const Request& req) { return route(req); });
    }

    void TearDown() override
    {
        if (handle) {
            plugin_shutdown(handle);
            handle = nullptr;
        }
        fake.stop();
    }

    std::string configJson(const Settings& s) const
    {
        std::string json =
            "{\"key\":{\"type\":\"password\",\"value\":" + quote(s.key) +
            "},\"separator\":{\"type\":\"string\",\"value\":" + quote(s.separator) +
            "},\"includeSite\":{\"type\":\"boolean\",\"value\":" + quote(s.includeSite ? "true" : "false") +
            "},\"includeAlarms\":{\"type\":\"boolean\",\"value\":" + quote(s.includeAlarms ? "true" : "false") + "}";
        if (s.withProxy)
            json += ",\"proxy\":{\"type\":\"string\",\"value\":" + quote(fake.hostPort()) + "}";
        return json + "}";
    }

    PLUGIN_HANDLE init(const Settings& s = Settings())
    {
        ConfigCategory config("NerivoWater", configJson(s));
        handle = plugin_init(&config);
        if (handle)
            probe().setClock(kNow);
        return handle;
    }

    // init, then start from a known last pull so that range URLs are exact;
    // the clock stands a day later, so that one range reaches the present.
    PLUGIN_HANDLE initAt(int64_t lastPull, const Settings& s = Settings())
    {
        init(s);
        if (handle)
            probe().setClock(lastPull + 86400);
        plugin_start(handle, stateText(lastPull));
        return handle;
    }

    Nerivo* client() const { return static_cast<Nerivo*>(handle); }
    NerivoProbe probe() const { return NerivoProbe(*client()); }

    ReadingList poll() { return ReadingList(plugin_poll(handle)); }

    // The pull times of the state text the plugin would hand over now.
    PullTimes pulls() const { return pullTimes(client()->getState()); }

    std::string shutdown()
    {
        std::string state = plugin_shutdown(handle);
        handle = nullptr;
        return state;
    }

    // Discovery answers.
    void scriptSites(const std::vector<std::string>& sites)
    {
        fake.script(apiUrl("sites"), Answer::json(listBody(sites)));
    }
    void scriptAssets(long siteId, const std::vector<std::string>& assets)
    {
        fake.script(apiUrl("sites/" + std::to_string(siteId) + "/assets"), Answer::json(listBody(assets)));
    }
    void scriptParameters(long siteId, long assetId, const std::vector<Param>& params)
    {
        std::vector<std::string> elements;
        for (const auto& p : params)
            elements.push_back(p.json());
        fake.script(apiUrl("sites/" + std::to_string(siteId) + "/assets/" + std::to_string(assetId) + "/parameters"),
                    Answer::json(listBody(elements)));
    }
    // One site (id 1, North, zone of the given offset text), one asset (10)
    // holding the given parameters.
    void scriptOneSite(const std::vector<Param>& params, const std::string& zone = "(GMT+02:00) Athens",
                       const std::string& siteName = "North")
    {
        scriptSites({site(1, siteName, zone)});
        scriptAssets(1, {asset(1, 10)});
        scriptParameters(1, 10, params);
    }

    // How range requests are answered (default: an empty result).
    void onRange(std::function<Answer(const Request&)> responder)
    {
        std::lock_guard<std::mutex> lock(m_routeMutex);
        m_rangeResponder = std::move(responder);
    }
    // Every range request gets this answer.
    void rangeAnswer(const Answer& answer)
    {
        onRange([answer](const Request&) { return answer; });
    }

    std::vector<Request> rangeRequests() const
    {
        std::vector<Request> out;
        for (const auto& r : fake.requests()) {
            if (isRangeTarget(r.target))
                out.push_back(r);
        }
        return out;
    }
    std::vector<std::string> targets() const
    {
        std::vector<std::string> out;
        for (const auto& r : fake.requests())
            out.push_back(r.target);
        return out;
    }
    std::size_t countTarget(const std::string& target) const
    {
        std::size_t n = 0;
        for (const auto& r : fake.requests())
            n += r.target == target ? 1 : 0;
        return n;
    }

    fakeservice::FakeService fake;
    LogCapture log;
    PLUGIN_HANDLE handle = nullptr;

private:
    Answer route(const Request& req)
    {
        if (isRangeTarget(req.target)) {
            std::function<Answer(const Request&)> responder;
            {
                std::lock_guard<std::mutex> lock(m_routeMutex);
                responder = m_rangeResponder;
            }
            if (responder)
                return responder(req);
            return Answer::json("{\"result\":{}}");
        }
        return Answer::json("{\"error\":\"not found\"}", 404);
    }

    std::mutex m_routeMutex;
    std::function<Answer(const Request&)> m_rangeResponder;
};

}  // namespace dp
