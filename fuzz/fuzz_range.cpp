// The range body through the real poll: a fixed index, then every range
// request answered with the input. Byte 0 picks the status and how far back
// the tags start; the rest is the body.
#include <map>

#include "fuzz_support.h"

namespace {

// Whether the plugin must take the answer: a 200 with an object "result".
bool usable(const std::string& status, const std::string& body)
{
    if (status != "200 OK" || body.empty())
        return false;
    rapidjson::Document doc;
    doc.Parse(body.c_str(), body.size());
    if (doc.HasParseError() || !doc.IsObject())
        return false;
    auto result = doc.FindMember("result");
    return result != doc.MemberEnd() && result->value.IsObject();
}

// The stored state's lastPull: the earliest next-pull time of the tags.
uint64_t lastPull(const std::string& state)
{
    rapidjson::Document doc;
    doc.Parse(state.c_str(), state.size());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("lastPull") || !doc["lastPull"].IsUint64())
        fz::fail("the state holds no last pull", state);
    return doc["lastPull"].GetUint64();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    static const char* const statuses[] = {"200 OK", "200 OK", "404 Not Found", "500 Internal Server Error"};
    const std::string status = statuses[data[0] & 3];
    const bool raise = (data[0] & 0x0C) == 0x0C;
    const int64_t back = 86400 * (1 + ((data[0] >> 4) & 3));
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string input(reinterpret_cast<const char*>(data), size);
    fz::log().clear();
    fz::sent().clear();
    fz::answerWith(
        [](const nerivo_https_memory::Exchange& e) {
            return e.target.compare(0, fz::kApi.size() + 15, fz::kApi + "timeseriesdata/") == 0;
        },
        status, body, raise);
    Nerivo plugin(nerivo_https_memory::connector());
    fz::setUp(plugin);
    plugin.populateAssetInformation();
    plugin.restoreState("{ \"lastPull\" : " + std::to_string(fz::kNow - back) +
                        ", \"tags\" : {\"TAG1\":" + std::to_string(fz::kNow - back + 7) + "} }");
    const NerivoProbe probe(plugin);
    std::map<std::string, int64_t> before;
    for (const auto& tag : probe.tagIndex())
        before[tag.first] = probe.tagPull(tag.first);
    const uint64_t pullBefore = lastPull(plugin.getState());

    std::vector<Reading*> readings;
    plugin.getDateRange(&readings);
    for (const auto& e : fz::sent())
        fz::checkRequest(e, fz::kKey);
    for (const Reading* r : readings)
        fz::checkReading(r);
    const bool failed = raise || !usable(status, body);
    for (const auto& tag : before) {
        const int64_t after = probe.tagPull(tag.first);
        if (failed ? after != tag.second : after < tag.second)
            fz::fail(failed ? "a failed range request moved a next-pull time" : "a next-pull time went back",
                     tag.first);
    }
    if (failed && (!readings.empty() || lastPull(plugin.getState()) != pullBefore))
        fz::fail("a failed range request delivered readings or moved the stored last pull", status);
    fz::checkLog(fz::kKey, input);
    fz::freeReadings(readings);
    return 0;
}
