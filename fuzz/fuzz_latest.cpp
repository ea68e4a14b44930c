// The latest body: a fixed index, then every latest request answered with the
// input (byte 0 picks the status). One reading per parameter, each valid JSON;
// one request per parameter, or only the first when it starts a back-off.
#include <algorithm>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    static const char* const statuses[] = {"200 OK", "200 OK", "200 OK", "503 Service Unavailable"};
    const std::string status = statuses[data[0] & 3];
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string input(reinterpret_cast<const char*>(data), size);
    fz::log().clear();
    fz::sent().clear();
    fz::answerWith([](const nerivo_https_memory::Exchange& e) { return fz::contains(e.target, "/latest"); }, status,
                   body);
    Nerivo plugin(nerivo_https_memory::connector());
    fz::setUp(plugin);
    plugin.populateAssetInformation();
    std::vector<Reading*> readings;
    plugin.getLatestData(&readings);
    // A 503 holds every later request of the back-off it starts.
    const std::size_t requests = status[0] == '5' ? std::min<std::size_t>(1, readings.size()) : readings.size();
    if (readings.size() != NerivoProbe(plugin).tagIndex().size() || fz::sent().size() != requests)
        fz::fail("not one reading per parameter, one request each until a back-off",
                 std::to_string(readings.size()) + " readings, " + std::to_string(fz::sent().size()) + " requests");
    for (const auto& e : fz::sent())
        fz::checkRequest(e, fz::kKey);
    for (const Reading* r : readings)
        fz::checkReading(r);
    fz::checkLog(fz::kKey, input);
    fz::freeReadings(readings);
    return 0;
}
