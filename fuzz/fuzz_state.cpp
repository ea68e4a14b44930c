// The state text: restored, persisted, restored again into a fresh plugin
// and persisted: both persisted texts must be the same. A poll whose range
// request fails must leave the state as it was.
#include "fuzz_support.h"

namespace {

std::string persisted(const std::string& state)
{
    Nerivo plugin;
    plugin.setClock(fz::kNow);
    plugin.restoreState("{ \"lastPull\" : 1690000000 }");
    plugin.restoreState(state);
    return plugin.getState();
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
    Nerivo plugin;
    fz::setUp(plugin);
    plugin.restoreState(input);
    const std::string before = plugin.getState();
    std::vector<Reading*> readings;
    plugin.getDateRange(&readings);
    if (!readings.empty() || plugin.getState() != before)
        fz::fail("a failed poll changed the state", before);
    for (const auto& e : fz::sent())
        fz::checkRequest(e, fz::kKey);
    fz::checkLog(fz::kKey, input);
    return 0;
}
