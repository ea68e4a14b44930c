// The latest body: a fixed index, then every latest request answered with the
// input (byte 0 picks the status). One reading per parameter, each valid JSON.
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
    if (readings.size() != plugin.tagIndex().size() || fz::sent().size() != readings.size())
        fz::fail("not one latest request and reading per parameter", std::to_string(readings.size()));
    for (const auto& e : fz::sent())
        fz::checkRequest(e, fz::kKey);
    for (const Reading* r : readings)
        fz::checkReading(r);
    fz::checkLog(fz::kKey, input);
    fz::freeReadings(readings);
    return 0;
}
