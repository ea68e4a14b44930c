// The zone text of a site, through discovery. The offset it gives stays
// within a day, its canonical text "(GMT+HH:MM)" reads back as the same
// offset, and range bounds written in it read back as the same instant.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "fuzz_support.h"
#include "progress.h"

namespace {

int32_t offsetOf(const std::string& zone)
{
    rapidjson::StringBuffer text;
    rapidjson::Writer<rapidjson::StringBuffer> writer(text);
    writer.String(zone.c_str(), static_cast<rapidjson::SizeType>(zone.size()));
    const std::string body = "{\"result\":[{\"TIMEZONE\":" + std::string(text.GetString(), text.GetSize()) + "}]}";
    nerivo_https_memory::setHandler([&body](const nerivo_https_memory::Exchange&) {
        nerivo_https_memory::Reply reply;
        reply.body = body;
        return reply;
    });
    Nerivo plugin(nerivo_https_memory::connector());
    fz::setUp(plugin);
    plugin.populateAssetInformation();
    return NerivoProbe(plugin).timezoneOffset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string zone(reinterpret_cast<const char*>(data), size);
    fz::log().clear();
    const int32_t offset = offsetOf(zone);
    if (offset < -(24 * 60 + 59) || offset > 24 * 60 + 59)
        fz::fail("zone offset out of range", zone);
    if (zone.compare(0, 4, "(GMT") != 0 && offset != 0)
        fz::fail("an offset from a text that gives none", zone);
    char canonical[32];
    std::snprintf(canonical, sizeof canonical, "(GMT%c%02d:%02d) Zone", offset < 0 ? '-' : '+', std::abs(offset) / 60,
                  std::abs(offset) % 60);
    if (offsetOf(canonical) != offset)
        fz::fail("the canonical zone text reads back otherwise", canonical);

    // A range bound in the zone reads back as the instant it was written for.
    Nerivo plugin(nerivo_https_memory::connector());
    fz::setUp(plugin);
    nerivo_https_memory::setHandler([&canonical](const nerivo_https_memory::Exchange&) {
        nerivo_https_memory::Reply reply;
        reply.body = std::string("{\"result\":[{\"TIMEZONE\":\"") + canonical + "\"}]}";
        return reply;
    });
    plugin.populateAssetInformation();
    int64_t when = 0;
    std::memcpy(&when, data, std::min(size, sizeof when));
    // Within some 1900 years of the clock, so that the year has four digits.
    const int64_t instant = fz::kNow + when % int64_t{60000000000};
    const std::string text = plugin.formatDate(instant);
    int64_t back = 0;
    if (!nerivo::parseSampleTime(text.c_str(), text.size(), offset, back) || back != instant)
        fz::fail("a range bound does not read back", text);
    return 0;
}
