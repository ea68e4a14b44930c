// The latest-value path: one request and one reading per asset parameter
// record, built with the same mapping as the range path.
#include "datapath_fixture.h"

namespace dp {
namespace {

using Level = Logger::Level;

std::string latestUrl(const std::string& tag)
{
    return apiUrl("timeseriesdata/" + tag + "/latest");
}

std::string latestBody(const std::string& tag, const std::string& sampleJson)
{
    return "{\"result\":{" + quote(tag) + ":" + sampleJson + "}}";
}

class LatestTest : public DataPathTest {
protected:
    // The latest path runs on a client that has polled once (connected and
    // discovered).
    ReadingList latest()
    {
        auto first = poll();
        EXPECT_EQ(countTarget(apiUrl("sites")), 1u);
        fake.clearRecords();
        ReadingList list(new std::vector<Reading*>());
        EXPECT_TRUE(client()->getLatestData(list.get()));
        return list;
    }
};

TEST_F(LatestTest, EveryRecordGetsItsOwnRequestAndReadingAlsoWhenTagsRepeat)
{
    scriptSites({site(1, "North", "(GMT+02:00) Athens")});
    // Asset 11 is listed first; readings follow ascending asset ids.
    scriptAssets(1, {asset(1, 11), asset(1, 10)});
    Param flow;
    flow.tag = "T1";
    Param level;
    level.tag = "T1";
    level.parameterName = "Level";
    Param temp;
    temp.assetId = 11;
    temp.assetName = "Tank";
    temp.tag = "T2";
    temp.parameterName = "Temp";
    temp.displayUnit = "";
    temp.storageUnit = "C";
    scriptParameters(1, 10, {flow, level});
    scriptParameters(1, 11, {temp});
    fake.script(latestUrl("T1"),
                Answer::json(latestBody("T1", "{\"quality\":3,\"value\":12.5,\"timestamp\":\"2024-07-01T16:05:09\"}")));
    fake.script(latestUrl("T2"),
                Answer::json(latestBody("T2", "{\"quality\":0,\"value\":7,\"timestamp\":\"2024-07-01T16:05:19\"}")));
    initAt(kT0);

    auto readings = latest();
    ASSERT_EQ(readings->size(), 3u);
    EXPECT_EQ(targets(), (std::vector<std::string>{latestUrl("T1"), latestUrl("T1"), latestUrl("T2")}));
    for (const auto& r : fake.requests())
        EXPECT_EQ(r.header("X-Api-Key").value_or(""), "key-A");

    EXPECT_EQ((*readings)[0]->getAssetName(), "Pump 3.Flow");
    EXPECT_EQ(describe((*readings)[0]), (std::vector<std::string>{"quality=s:good", "Flow=f:12.5", "units=s:m3/h",
                                                                  "siteID=i:1", "site=s:North"}));
    EXPECT_EQ((*readings)[0]->getUserTimestamp(), 1719842709);
    EXPECT_EQ((*readings)[1]->getAssetName(), "Pump 3.Level");
    EXPECT_EQ(describe((*readings)[1]), (std::vector<std::string>{"quality=s:good", "Level=f:12.5", "units=s:m3/h",
                                                                  "siteID=i:1", "site=s:North"}));
    EXPECT_EQ((*readings)[2]->getAssetName(), "Tank.Temp");
    EXPECT_EQ(describe((*readings)[2]),
              (std::vector<std::string>{"quality=s:bad", "Temp=i:7", "units=s:C", "siteID=i:1", "site=s:North"}));
    EXPECT_EQ((*readings)[2]->getUserTimestamp(), 1719842719);
    // The latest path leaves the range times alone.
    const PullTimes after = pulls();
    EXPECT_EQ(after.lastPull, kT0);
    EXPECT_EQ(after.tags, (std::map<std::string, int64_t>{{"T1", kT0}, {"T2", kT0}}));
}

TEST_F(LatestTest, FailedRequestStillGivesAReadingHoldingOnlyTheSite)
{
    Param p;
    p.tag = "T1";
    Param other;
    other.tag = "T2";
    other.parameterName = "Level";
    scriptOneSite({p, other});
    Answer dropped;
    dropped.closeBeforeAnswer = true;
    fake.script(latestUrl("T1"), dropped);
    fake.script(latestUrl("T2"), Answer::json(latestBody("T2", "{\"value\":2,\"timestamp\":\"2024-07-01T16:05:09\"}")));
    initAt(kT0);

    const int64_t before = time(nullptr);
    auto readings = latest();
    const int64_t after = time(nullptr);
    ASSERT_EQ(readings->size(), 2u);
    EXPECT_EQ((*readings)[0]->getAssetName(), "Pump 3.Flow");
    EXPECT_EQ(describe((*readings)[0]), (std::vector<std::string>{"site=s:North"}));
    // A time text of the zone suffix alone holds no date: the reading is
    // stamped when it was made.
    EXPECT_GE((*readings)[0]->getUserTimestamp(), before);
    EXPECT_LE((*readings)[0]->getUserTimestamp(), after);
    EXPECT_GE(log.count(Level::Error, "API request failed"), 1u);
    // The next record is still asked for.
    EXPECT_EQ(describe((*readings)[1]),
              (std::vector<std::string>{"Level=i:2", "units=s:m3/h", "siteID=i:1", "site=s:North"}));
    EXPECT_EQ((*readings)[1]->getUserTimestamp(), 1719842709);
}

TEST_F(LatestTest, GetAssetDataReportsAFailedRequestAndLeavesItsOutputsAlone)
{
    Param p;
    p.tag = "T1";
    scriptOneSite({p});
    Answer dropped;
    dropped.closeBeforeAnswer = true;
    fake.script(latestUrl("T1"), dropped);
    initAt(kT0);
    auto first = poll();
    ASSERT_EQ(splitRange(rangeRequests().back().target).tags, "T1");

    std::vector<Datapoint*> datapoints;
    std::string time = "unchanged";
    EXPECT_FALSE(client()->getAssetData(probe().tagIndex().at("T1"), datapoints, time));
    EXPECT_TRUE(datapoints.empty());
    EXPECT_EQ(time, "unchanged");
}

TEST_F(LatestTest, LongTagIsRequestedWhole)
{
    Param p;
    p.tag = "L" + std::string(99, 'q');
    ASSERT_EQ(p.tag.size(), 100u);
    scriptOneSite({p});
    fake.script(latestUrl(p.tag),
                Answer::json(latestBody(p.tag, "{\"quality\":2,\"value\":3,\"timestamp\":\"2024-07-01T16:05:09\"}")));
    initAt(kT0);

    auto readings = latest();
    EXPECT_EQ(targets(), std::vector<std::string>{latestUrl(p.tag)});
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(describe(readings->front()), (std::vector<std::string>{"quality=s:uncertain", "Flow=i:3", "units=s:m3/h",
                                                                     "siteID=i:1", "site=s:North"}));
}

TEST_F(LatestTest, TagOutsideTheUrlAlphabetIsPercentEncodedInThePath)
{
    Param p;
    p.tag = "North/Pump 3?";
    scriptOneSite({p});
    fake.script(apiUrl("timeseriesdata/North%2FPump%203%3F/latest"),
                Answer::json(latestBody(p.tag, "{\"quality\":3,\"value\":4,\"timestamp\":\"2024-07-01T16:05:09\"}")));
    initAt(kT0);

    auto readings = latest();
    EXPECT_EQ(targets(), std::vector<std::string>{apiUrl("timeseriesdata/North%2FPump%203%3F/latest")});
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(describe(readings->front()),
              (std::vector<std::string>{"quality=s:good", "Flow=i:4", "units=s:m3/h", "siteID=i:1", "site=s:North"}));
}

struct LatestShape {
    const char* name;
    std::string body;
};
void PrintTo(const LatestShape& c, std::ostream* os)
{
    *os << c.name;
}

class LatestShapeTest : public LatestTest, public ::testing::WithParamInterface<LatestShape> {};

TEST_P(LatestShapeTest, UnusableAnswerGivesAReadingWithOnlyTheSite)
{
    Param p;
    p.tag = "T1";
    scriptOneSite({p});
    fake.script(latestUrl("T1"), Answer::json(GetParam().body));
    initAt(kT0);

    auto readings = latest();
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(describe(readings->front()), (std::vector<std::string>{"site=s:North"}));
}

INSTANTIATE_TEST_SUITE_P(Shapes, LatestShapeTest,
                         ::testing::Values(LatestShape{"Empty", ""}, LatestShape{"NotJson", "{oops"},
                                           LatestShape{"TopLevelArray", "[1]"}, LatestShape{"NoResult", "{}"},
                                           LatestShape{"ResultArray", "{\"result\":[]}"},
                                           LatestShape{"OtherTag", "{\"result\":{\"T2\":{\"value\":1}}}"},
                                           LatestShape{"SampleArray", "{\"result\":{\"T1\":[{\"value\":1}]}}"}),
                         [](const ::testing::TestParamInfo<LatestShape>& param) {
                             return std::string(param.param.name);
                         });

}  // namespace
}  // namespace dp
