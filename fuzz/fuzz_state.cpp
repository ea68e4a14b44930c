// The state text: restored, persisted, restored again into a fresh plugin
// and persisted: both persisted texts must be the same. A poll whose range
// request fails must move no time of the state.
#include <map>

#include "fuzz_support.h"

namespace {

std::string persisted(const std::string& state)
{
    Nerivo plugin(nerivo_https_memory::connector());
    NerivoProbe(plugin).setClock(fz::kNow);
    plugin.restoreState("{ \"lastPull\" : 1690000000 }");
    plugin.restoreState(state);
    return plugin.getState();
}

// The next-pull time of each tag of a state. lastPull follows them: it is
// the earliest of the tags the poll knows.
std::map<std::string, int64_t> times(const std::string& state)
{
    rapidjson::Document doc;
    doc.Parse(state.c_str(), state.size());
    std::map<std::string, int64_t> out;
    if (doc.IsObject() && doc.HasMember("tags") && doc["tags"].IsObject()) {
        for (const auto& tag : doc["tags"].GetObject())
            out[std::string(tag.name.GetString(), tag.name.GetStringLength())] = tag.value.GetInt64();
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    fz::log().clear();
    const std::string first = persisted(input);
    rapidjson::Document doc;
    doc.Parse(first.c_str(), first.size());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("lastPull") || !doc["lastPull"].IsUint64())
        fz::fail("persisted state is not JSON with a last pull", first);
    const std::string second = persisted(first);
    if (second != first)
        fz::fail("state does not round-trip", first + " -> " + second);

    fz::sent().clear();
    nerivo_https_memory::setHandler([](const nerivo_https_memory::Exchange& e) {
        fz::sent().push_back(e);
        nerivo_https_memory::Reply reply;
        reply.status = "404 Not Found";
        return reply;
    });
    Nerivo plugin(nerivo_https_memory::connector());
    fz::setUp(plugin);
    plugin.restoreState(input);
    const std::string before = plugin.getState();
    std::vector<Reading*> readings;
    plugin.getDateRange(&readings);
    // The poll may add the index's tags at their start, and note tags the
    // index lacks; no time it had may move.
    auto after = times(plugin.getState());
    if (!readings.empty())
        fz::fail("a failed poll delivered readings", before);
    for (const auto& time : times(before)) {
        if (after[time.first] != time.second)
            fz::fail("a failed poll moved a time of the state", before + " -> " + plugin.getState());
    }
    for (const auto& e : fz::sent())
        fz::checkRequest(e, fz::kKey);
    fz::checkLog(fz::kKey, input);
    return 0;
}
