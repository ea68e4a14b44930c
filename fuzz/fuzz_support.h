#pragma once
// What the fuzz targets share: the plugin over the in-memory client, the log
// it writes, and the properties every answer must keep.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "config_category.h"
#include "log_capture.h"
#include "memory_client.hpp"
#include "nerivo.h"
#include "nerivo_probe.h"
#include "reading.h"

namespace fz {

inline const std::string kKey = "fz-Key-93d1c7e0a4";
inline const std::string kApi = "https://api.nerivowater.com/api/";
// 2024-07-01 14:05:09 UTC: the plugin's clock in every target.
constexpr int64_t kNow = 1719842709;

[[noreturn]] inline void fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "property failed: %s: %s\n", what, detail.c_str());
    std::abort();
}

inline bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

inline bool visibleAscii(const std::string& text)
{
    for (unsigned char c : text) {
        if (c < 0x21 || c > 0x7E)
            return false;
    }
    return !text.empty();
}

// The log of one input: captured at every level, cleared per input.
inline LogCapture& log()
{
    static LogCapture capture(Logger::Level::Debug);
    return capture;
}

// Requests as the plugin sent them, and the properties every one keeps: a
// visible ASCII target, the key in its header and, when it can be told apart
// from the plugin's own texts, never in the target.
inline std::vector<nerivo_https_memory::Exchange>& sent()
{
    static std::vector<nerivo_https_memory::Exchange> exchanges;
    return exchanges;
}

inline void checkRequest(const nerivo_https_memory::Exchange& e, const std::string& key, bool keyDistinct = true)
{
    if (e.method != "GET" || !visibleAscii(e.target))
        fail("request line is not visible ASCII", e.target);
    if (keyDistinct && !key.empty() && contains(e.target, key))
        fail("key in a URL", e.target);
    bool keyHeader = false;
    for (const auto& f : e.fields)
        keyHeader = keyHeader || (f.first == "X-Api-Key" && f.second == key);
    if (!keyHeader)
        fail("request without the key header", e.target);
}

// The key never reaches a log line, unless the service's own answer (the
// fuzzer's bytes) wrote it.
inline void checkLog(const std::string& key, const std::string& input)
{
    if (key.empty() || contains(input, key))
        return;
    for (const auto& entry : log().entries()) {
        if (contains(entry.second, key))
            fail("key in a log line", entry.second);
    }
}

// A reading renders as one JSON object with its asset, time and readings.
inline void checkReading(const Reading* reading)
{
    const std::string json = reading->toJSON();
    rapidjson::Document doc;
    doc.Parse(json.c_str(), json.size());
    if (doc.HasParseError() || !doc.IsObject())
        fail("reading is not valid JSON", json);
    auto asset = doc.FindMember("asset_code");
    auto values = doc.FindMember("readings");
    if (asset == doc.MemberEnd() || !asset->value.IsString() || values == doc.MemberEnd() || !values->value.IsObject())
        fail("reading JSON lacks its members", json);
    if (std::string(asset->value.GetString(), asset->value.GetStringLength()) != reading->getAssetName())
        fail("reading JSON changes the asset name", json);
}

inline void freeReadings(std::vector<Reading*>& readings)
{
    for (Reading* r : readings)
        delete r;
    readings.clear();
}

// A configured plugin over the in-memory client, its clock fixed; connected
// unless a poll is to connect it.
inline void setUp(Nerivo& plugin, bool connect = true, const std::string& key = kKey)
{
    ConfigCategory config("fuzz", "{\"key\":{\"value\":\"" + key +
                                      "\"},\"includeSite\":{\"value\":\"true\"},"
                                      "\"includeAlarms\":{\"value\":\"true\"}}");
    plugin.configure(&config);
    NerivoProbe(plugin).setClock(kNow);
    if (connect)
        plugin.connect();
}

// The input cut at NUL bytes into at most n parts (missing ones empty).
inline std::vector<std::string> split(const uint8_t* data, std::size_t size, std::size_t n)
{
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && parts.size() < n) {
            parts.emplace_back();
        } else {
            parts.back() += static_cast<char>(data[i]);
        }
    }
    parts.resize(n);
    return parts;
}

// A fixed index for the range and latest targets: one site, one asset, tags
// that need encoding.
inline const char* kSites =
    "{\"result\":[{\"SITE_ID\":1,\"SITE_NAME\":\"North\",\"TIMEZONE\":\"(GMT+02:00) Athens\"}]}";
inline const char* kAssets = "{\"result\":[{\"SITE_ID\":1,\"ASSET_ID\":10}]}";
inline const char* kParameters =
    "{\"result\":[{\"ASSET_ID\":10,\"ASSET_NAME\":\"Pump 3\",\"HISTORIAN_TAG\":\"TAG1\",\"PARAMETER_NAME\":\"Flow\","
    "\"PARAMETER_ID\":1001,\"DISPLAY_UNIT\":\"m3/h\",\"ALARM_HI\":\"9\"},"
    "{\"ASSET_ID\":10,\"ASSET_NAME\":\"Pump 3\",\"HISTORIAN_TAG\":\"T 2/\\u00e9\",\"PARAMETER_NAME\":\"Level\","
    "\"PARAMETER_ID\":1002,\"STORAGE_UNIT\":\"m\"}]}";

// Answers discovery from the fixed index; anything else from rest.
inline nerivo_https_memory::Reply fixedIndex(const nerivo_https_memory::Exchange& e)
{
    nerivo_https_memory::Reply reply;
    if (e.target == kApi + "sites") {
        reply.body = kSites;
    } else if (e.target == kApi + "sites/1/assets") {
        reply.body = kAssets;
    } else if (e.target == kApi + "sites/1/assets/10/parameters") {
        reply.body = kParameters;
    } else {
        reply.status = "404 Not Found";
    }
    return reply;
}

// Requests matching `ours` are recorded and answered with the fuzzer's status
// and body (or raise); the rest get the fixed index.
template <typename Match>
void answerWith(Match ours, const std::string& status, const std::string& body, bool raise = false)
{
    nerivo_https_memory::setHandler([=](const nerivo_https_memory::Exchange& e) {
        if (!ours(e))
            return fixedIndex(e);
        sent().push_back(e);
        nerivo_https_memory::Reply reply;
        reply.status = status;
        reply.body = body;
        reply.raise = raise;
        return reply;
    });
}

}  // namespace fz
