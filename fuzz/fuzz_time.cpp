// The platform's time text: a reading made with the input as its time, asset
// name and a text value. Its JSON must give back the asset and the text
// exactly, and the UTC time it renders must read back as the same instant.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    double number = 0;
    std::memcpy(&number, data, std::min(size, sizeof number));
    DatapointValue text(input);
    DatapointValue floating(number);
    std::vector<Datapoint*> values{new Datapoint("text", text), new Datapoint("number", floating)};
    Reading reading(input, values, input);
    fz::checkReading(&reading);

    const std::string json = reading.toJSON();
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseFullPrecisionFlag>(json.c_str(), json.size());
    const auto& readings = doc["readings"];
    if (!readings.HasMember("text") || !readings["text"].IsString() ||
        std::string(readings["text"].GetString(), readings["text"].GetStringLength()) != input)
        fz::fail("a text datapoint does not round-trip", json);
    if (!readings.HasMember("number") ||
        (std::isfinite(number) ? !readings["number"].IsNumber() || readings["number"].GetDouble() != number
                               : !readings["number"].IsNull()))
        fz::fail("a floating datapoint does not round-trip", json);

    // Years past 9999 or before 0 have no four-digit text to read back.
    const std::string utc = reading.getAssetDateUserTime();
    if (utc.size() == 32 && utc[0] >= '0' && utc[0] <= '9') {
        Reading again("a", {}, utc);
        if (again.getUserTimestamp() != reading.getUserTimestamp() ||
            again.getUserTimestampMicros() != reading.getUserTimestampMicros())
            fz::fail("the rendered time does not read back", input + " -> " + utc);
    }
    return 0;
}
