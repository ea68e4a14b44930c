// The simulated utility and its handler on their own, in-process: what the
// service answers.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

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

// One tag's range asked at a clock `now`, under the faults the row sets up.
// Times are seconds from T0; the answer must hold the samples of `spans`, every
// 300 s from first to last, and no other. Status 0: the connection is closed.
constexpr int64_t T0 = 1719842400;  // 2024-07-01T14:00:00Z, a multiple of the interval
const char* const AMS = "NW.AMS.10101.FT";
const char* const HFD = "NW.HFD.10201.FT";

struct PublishedRow {
    const char* what;
    std::function<void(nerivosim::Faults&)> faults;
    const char* tag;
    int64_t now, from, to;
    int status;
    std::vector<std::pair<int64_t, int64_t>> spans;
    const char* retryAfter = nullptr;  // of a 429
};

void offline(nerivosim::Faults& f, const char* text)
{
    f.offline.emplace_back();
    EXPECT_TRUE(nerivosim::SimService::parseOffline(text, T0, f.offline.back())) << text;
}

void backfill(nerivosim::Faults& f, const char* text)
{
    f.backfills.emplace_back();
    EXPECT_TRUE(nerivosim::SimService::parseBackfill(text, T0, f.backfills.back())) << text;
}

// Asks the row's range and compares the answer; a failed assertion ends
// only its row.
void checkRow(const nerivosim::UtilityModel& model, const PublishedRow& row)
{
    nerivosim::Faults faults;
    row.faults(faults);
    nerivosim::SimService sim(model, KEY, faults, [&row] { return T0 + row.now; });
    fakeservice::Request request;
    request.method = "GET";
    request.headers.push_back({"X-Api-Key", KEY});
    request.target = "/api/timeseriesdata/" + model.formatServiceTime(T0 + row.from) + "/" +
                     model.formatServiceTime(T0 + row.to) + "?tags=" + row.tag;
    const fakeservice::Answer answer = sim.handle(request);
    EXPECT_EQ(answer.closeBeforeAnswer, row.status == 0);
    if (row.status == 0)
        return;
    ASSERT_EQ(answer.status, row.status) << answer.body;
    // The fake compresses what the handler leaves compressible.
    EXPECT_EQ(answer.compress, !faults.plain);
    std::string retryAfter;
    for (const auto& header : answer.headers)
        if (header.name == "Retry-After")
            retryAfter = header.value;
    EXPECT_EQ(retryAfter, row.retryAfter ? row.retryAfter : "");
    rapidjson::Document doc;
    doc.Parse(answer.body.c_str());
    ASSERT_TRUE(doc.IsObject()) << answer.body;
    if (row.status != 200) {
        EXPECT_TRUE(doc.HasMember("error") && doc["error"].IsString()) << answer.body;
        return;
    }
    std::vector<int64_t> expected, seen;
    for (const auto& [first, last] : row.spans)
        for (int64_t t = first; t <= last; t += 300)
            expected.push_back(t);
    for (const auto& sample : doc["result"][row.tag].GetArray())
        seen.push_back(*model.parseServiceTime(sample["timestamp"].GetString()) - T0);
    EXPECT_EQ(seen, expected);
}

TEST(UtilityModel, AnswersHoldWhatHasBeenPublishedByTheClock)
{
    using F = nerivosim::Faults;
    const auto outage = [](F& f) { offline(f, "NW.AMS=-1800+1500"); };  // back at -300
    const auto newest = [](F& f) {
        offline(f, "NW.AMS=-1800+1600");  // back at -200
        f.newestFirst = 600;
    };
    const auto atReturn = [](F& f) {
        offline(f, "NW.AMS=1719840600+1800");  // back at 0, with a sample of its own
        f.newestFirst = 600;
    };
    const auto gap = [](F& f) { backfill(f, "NW.AMS=-2400:-1200@-300"); };
    const auto late = [](F& f) { f.lateTags.push_back({"NW.AMS", 900}); };
    const auto cap = [](F& f) { f.maxRange = 3600; };
    const auto reset = [](F& f) { f.resetTags.push_back("NW.AMS.10101"); };
    const auto ahead = [](F& f) { f.overshoot = 600; };
    const auto throttle = [](F& f) {
        f.throttles.emplace_back();
        EXPECT_TRUE(nerivosim::SimService::parseOffline("timeseriesdata=-600+900", T0, f.throttles.back()));
    };
    const auto plain = [](F& f) { f.plain = true; };
    const std::vector<PublishedRow> rows{
        {"offline: nothing of the outage before the return", outage, AMS, -600, -3600, 0, 200, {{-3600, -2100}}},
        {"offline: all of it at the return", outage, AMS, -300, -3600, 0, 200, {{-3600, -300}}},
        {"offline: other gateways go on", outage, HFD, -600, -3600, 0, 200, {{-3600, -600}}},
        {"newest first: a gap before the newest", newest, AMS, -200, -3600, 0, 200, {{-3600, -2100}, {-300, -300}}},
        {"newest first: the gap while newer arrive", newest, AMS, 399, -3600, 600, 200, {{-3600, -2100}, {-300, 300}}},
        {"newest first: the backlog fills it", newest, AMS, 400, -3600, 600, 200, {{-3600, 300}}},
        {"newest first: the sample at the return", atReturn, AMS, 0, -3600, 0, 200, {{-3600, -2100}, {0, 0}}},
        {"backfill: missing until published", gap, AMS, -600, -3600, 0, 200, {{-3600, -2700}, {-1200, -600}}},
        {"backfill: filled at its time", gap, AMS, -300, -3600, 0, 200, {{-3600, -300}}},
        {"late tag: held back by its lag", late, AMS, 0, -3600, 0, 200, {{-3600, -900}}},
        {"max range: a second over is refused", cap, AMS, 0, -3601, 0, 400, {}},
        {"max range: the cap itself is answered", cap, AMS, 0, -3600, 0, 200, {{-3600, 0}}},
        {"reset tag: no answer", reset, AMS, 0, -3600, 0, 0, {}},
        {"reset tag: others answered", reset, HFD, 0, -3600, 0, 200, {{-3600, 0}}},
        {"overshoot: past a range's end", ahead, AMS, 0, -3600, -1800, 200, {{-3600, -1200}}},
        {"overshoot: past the present", ahead, AMS, 0, -3600, 0, 200, {{-3600, 600}}},
        {"throttle: 429 for the rest of the window", throttle, AMS, 0, -3600, 0, 429, {}, "300"},
        {"throttle: answered after it", throttle, AMS, 300, -3600, 0, 200, {{-3600, 0}}},
        {"no compression: the same answer, plain", plain, AMS, 0, -3600, 0, 200, {{-3600, 0}}},
    };
    const nerivosim::UtilityModel model;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        checkRow(model, row);
    }
}

TEST(UtilityModel, PublicationOptionsReadTheirSyntaxOnly)
{
    nerivosim::Outage outage;
    nerivosim::Backfill gap;
    for (const char* bad : {"NW=-1800", "NW=-1800+0", "=-1800+60", "NW=x+60", "NW=-1800+-60", "NW=--5+60"})
        EXPECT_FALSE(nerivosim::SimService::parseOffline(bad, T0, outage)) << bad;
    for (const char* bad : {"NW=1:2", "NW=-60:-120@0", "NW=-60:-60@0", "NW=a:-1@0", "NW=-60@0:30", "NW=-60:0@"})
        EXPECT_FALSE(nerivosim::SimService::parseBackfill(bad, T0, gap)) << bad;
    ASSERT_TRUE(nerivosim::SimService::parseOffline("NW.AMS=+60+1800", T0, outage));
    EXPECT_EQ(outage.prefix, "NW.AMS");
    EXPECT_EQ(outage.start, T0 + 60);
    EXPECT_EQ(outage.end, T0 + 1860);
    ASSERT_TRUE(nerivosim::SimService::parseBackfill("NW=1719842000:-100@+30", T0, gap));
    EXPECT_EQ(gap.from, 1719842000);
    EXPECT_EQ(gap.to, T0 - 100);
    EXPECT_EQ(gap.publishedAt, T0 + 30);
}

}  // namespace
}  // namespace toolstest
