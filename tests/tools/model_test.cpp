// The simulated utility and its handler on their own, in-process: what the
// service answers.
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fakeservice/fake_service.hpp>

#include "sim_service.hpp"
#include "tools_support.h"
#include "utility_model.hpp"

namespace toolstest {
namespace {

// The model and the handler on their own: what the service answers.
TEST(UtilityModel, RangesAreAnsweredInTheServiceZoneOldestFirstAndCapped)
{
    nerivosim::ModelOptions options;
    options.maxSamplesPerTag = 10;
    const nerivosim::UtilityModel model(options);
    ASSERT_EQ(model.sites().size(), 2u);
    EXPECT_NE(model.sites()[0].offsetMinutes, model.sites()[1].offsetMinutes);
    EXPECT_EQ(model.serviceOffsetMinutes(), model.sites().back().offsetMinutes);

    const int64_t now = 1719842709;  // 2024-07-01T14:05:09Z
    const int64_t from = now - 7200 + 1;
    nerivosim::SimService sim(model, KEY, nerivosim::Faults(), [now] { return now; });
    const auto& tag = model.sites()[0].assets[0].parameters[0].tag;

    fakeservice::Request request;
    request.method = "GET";
    request.headers.push_back({"X-Api-Key", KEY});
    request.target = "https://api.nerivowater.com/api/timeseriesdata/" + model.formatServiceTime(from) + "/" +
                     model.formatServiceTime(now + 3600) + "?tags=" + tag + ",NO.SUCH.TAG";
    const fakeservice::Answer answer = sim.handle(request);
    ASSERT_EQ(answer.status, 200);
    rapidjson::Document doc;
    doc.Parse(answer.body.c_str());
    ASSERT_TRUE(doc.IsObject()) << answer.body;
    const auto& result = doc["result"];
    EXPECT_EQ(result.MemberCount(), 1u) << answer.body;
    const auto& series = result[tag.c_str()];
    ASSERT_EQ(series.Size(), 10u) << answer.body;
    int64_t previous = from - 1;
    for (const auto& sample : series.GetArray()) {
        const auto t = model.parseServiceTime(sample["timestamp"].GetString());
        ASSERT_TRUE(t.has_value());
        EXPECT_GT(*t, previous);
        EXPECT_GE(*t, from);
        EXPECT_LE(*t, now);
        EXPECT_EQ(*t % 300, 0);
        previous = *t;
    }
    const auto ranges = sim.rangeRequests();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(ranges[0].fromEpoch, from);

    // Qualities: mostly good, some uncertain and bad, over a day of samples.
    std::map<int, int> qualities;
    for (int64_t t = now - 86400; t < now; t += 300)
        ++qualities[model.sampleAt(model.sites()[1].assets[1].parameters[0], t).quality];
    EXPECT_GT(qualities[3], 200);
    EXPECT_GT(qualities[2], 0);
    EXPECT_GT(qualities[0], 0);

    request.headers[0].value = "wrong";
    EXPECT_EQ(sim.handle(request).status, 401);
}

TEST(UtilityModel, InjectedFaultsApplyToTheirPathsOnly)
{
    const nerivosim::UtilityModel model;
    nerivosim::Faults faults;
    std::pair<std::string, int> fail;
    EXPECT_FALSE(nerivosim::SimService::parseFailPath("sites=abc", fail));
    ASSERT_TRUE(nerivosim::SimService::parseFailPath("sites/101=503", fail));
    faults.failPaths.push_back(fail);
    faults.malformed.push_back("sites/102/assets/10201");
    faults.drop.push_back("timeseriesdata");
    nerivosim::SimService sim(model, KEY, faults);

    auto get = [&sim](const std::string& resource) {
        fakeservice::Request request;
        request.method = "GET";
        request.headers.push_back({"x-api-key", KEY});
        request.target = "https://api.nerivowater.com/api/" + resource;
        return sim.handle(request);
    };
    EXPECT_EQ(get("sites").status, 200);
    EXPECT_EQ(get("sites/101/assets").status, 503);
    EXPECT_EQ(get("sites/102/assets").status, 200);
    EXPECT_EQ(get("sites/103/assets").status, 404);

    const fakeservice::Answer malformed = get("sites/102/assets/10201/parameters");
    rapidjson::Document doc;
    doc.Parse(malformed.body.c_str());
    EXPECT_TRUE(doc.HasParseError()) << malformed.body;
    doc.Parse(get("sites/102/assets/10202/parameters").body.c_str());
    EXPECT_FALSE(doc.HasParseError());

    EXPECT_TRUE(get("timeseriesdata/NW.AMS.10101.FT/latest").closeBeforeAnswer);
    EXPECT_FALSE(get("sites").closeBeforeAnswer);
}

}  // namespace
}  // namespace toolstest
