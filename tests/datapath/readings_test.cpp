// What one sample of a range answer becomes: the reading's datapoints in
// order and with their types, its asset name and its time.
#include "datapath_fixture.h"

namespace dp {
namespace {

using Level = Logger::Level;

class ReadingsTest : public DataPathTest {
protected:
    // Discovers one parameter, then polls once with the given samples for it.
    ReadingList pollSamples(const Param& p, const std::string& samples, const Settings& s = Settings(),
                            const std::string& zone = "(GMT+02:00) Athens", const std::string& siteName = "North")
    {
        scriptOneSite({p}, zone, siteName);
        // Early enough that the sample of every zone lies after the start.
        initAt(kT0 - 6 * 3600, s);
        rangeAnswer(Answer::json(seriesBody({{p.tag, samples}})));
        return poll();
    }
};

struct ValueCase {
    const char* name;
    std::string json;
    std::vector<std::string> datapoints;
};
void PrintTo(const ValueCase& c, std::ostream* os)
{
    *os << c.name;
}

class ValueTypeTest : public ReadingsTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ValueTypeTest, DatapointsComeInOrderWithTheValueTypedByItsJson)
{
    const ValueCase& c = GetParam();
    Param p;
    auto readings = pollSamples(p, "[{\"quality\":3,\"value\":" + c.json + ",\"timestamp\":\"2024-07-01T16:05:09\"}]");
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(readings->front()->getAssetName(), "Pump 3.Flow");
    EXPECT_EQ(describe(readings->front()), c.datapoints);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ValueTypeTest,
    ::testing::Values(
        ValueCase{"Integer", "7", {"quality=s:good", "Flow=i:7", "units=s:m3/h", "siteID=i:1", "site=s:North"}},
        ValueCase{"Negative",
                  "-2147483648",
                  {"quality=s:good", "Flow=i:-2147483648", "units=s:m3/h", "siteID=i:1", "site=s:North"}},
        ValueCase{"Fraction", "12.5", {"quality=s:good", "Flow=f:12.5", "units=s:m3/h", "siteID=i:1", "site=s:North"}},
        ValueCase{"WholeFloat", "7.0", {"quality=s:good", "Flow=f:7", "units=s:m3/h", "siteID=i:1", "site=s:North"}},
        ValueCase{"BeyondInt32",
                  "3000000000",
                  {"quality=s:good", "Flow=f:3000000000", "units=s:m3/h", "siteID=i:1", "site=s:North"}},
        ValueCase{"Exponent", "1e3", {"quality=s:good", "Flow=f:1000", "units=s:m3/h", "siteID=i:1", "site=s:North"}},
        ValueCase{"Text", "\"7\"", {"quality=s:good", "units=s:m3/h", "siteID=i:1", "site=s:North"}},
        ValueCase{"Null", "null", {"quality=s:good", "units=s:m3/h", "siteID=i:1", "site=s:North"}}),
    [](const ::testing::TestParamInfo<ValueCase>& param) { return std::string(param.param.name); });

struct QualityCase {
    const char* name;
    std::string json;
    std::vector<std::string> datapoints;
    bool warned;
};
void PrintTo(const QualityCase& c, std::ostream* os)
{
    *os << c.name;
}

class QualityTest : public ReadingsTest, public ::testing::WithParamInterface<QualityCase> {};

TEST_P(QualityTest, QualityCodeBecomesItsTextAndEverySampleGivesAReading)
{
    const QualityCase& c = GetParam();
    Param p;
    auto readings = pollSamples(p, "[{\"quality\":" + c.json + ",\"value\":1,\"timestamp\":\"2024-07-01T16:05:09\"}]");
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(describe(readings->front()), c.datapoints);
    EXPECT_EQ(log.count(Level::Warning, "quality"), c.warned ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, QualityTest,
    ::testing::Values(
        QualityCase{"Bad", "0", {"quality=s:bad", "Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}, false},
        QualityCase{
            "Uncertain", "2", {"quality=s:uncertain", "Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}, false},
        QualityCase{"Good", "3", {"quality=s:good", "Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}, false},
        QualityCase{"Unknown1", "1", {"quality=s:", "Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}, false},
        QualityCase{"Unknown4", "4", {"quality=s:", "Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}, false},
        QualityCase{"Negative", "-3", {"quality=s:", "Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}, false},
        QualityCase{"Text", "\"3\"", {"Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}, true},
        QualityCase{"Fraction", "2.5", {"Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}, true}),
    [](const ::testing::TestParamInfo<QualityCase>& param) { return std::string(param.param.name); });

struct UnitsCase {
    const char* name;
    std::string display;
    std::string storage;
    std::vector<std::string> datapoints;
};
void PrintTo(const UnitsCase& c, std::ostream* os)
{
    *os << c.name;
}

class UnitsTest : public ReadingsTest, public ::testing::WithParamInterface<UnitsCase> {};

TEST_P(UnitsTest, UnitsAreTheDisplayUnitElseTheStorageUnitElseAbsent)
{
    const UnitsCase& c = GetParam();
    Param p;
    p.displayUnit = c.display;
    p.storageUnit = c.storage;
    auto readings = pollSamples(p, "[" + sample("2024-07-01T16:05:09", "1") + "]");
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(describe(readings->front()), c.datapoints);
}

INSTANTIATE_TEST_SUITE_P(
    Units, UnitsTest,
    ::testing::Values(
        UnitsCase{
            "Display", "m3/h", "l/s", {"quality=s:good", "Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}},
        UnitsCase{"Storage", "", "kPa", {"quality=s:good", "Flow=i:1", "units=s:kPa", "siteID=i:1", "site=s:North"}},
        UnitsCase{"None", "", "", {"quality=s:good", "Flow=i:1", "siteID=i:1", "site=s:North"}}),
    [](const ::testing::TestParamInfo<UnitsCase>& param) { return std::string(param.param.name); });

struct AlarmCase {
    const char* name;
    bool includeAlarms;
    std::string lo, loLo, hi, hiHi;
    std::vector<std::string> datapoints;
};
void PrintTo(const AlarmCase& c, std::ostream* os)
{
    *os << c.name;
}

class AlarmsTest : public ReadingsTest, public ::testing::WithParamInterface<AlarmCase> {};

TEST_P(AlarmsTest, AlarmThresholdsAreAddedAsTextBetweenUnitsAndSiteId)
{
    const AlarmCase& c = GetParam();
    Param p;
    p.alarmLo = c.lo;
    p.alarmLoLo = c.loLo;
    p.alarmHi = c.hi;
    p.alarmHiHi = c.hiHi;
    Settings s;
    s.includeAlarms = c.includeAlarms;
    auto readings = pollSamples(p, "[" + sample("2024-07-01T16:05:09", "1") + "]", s);
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(describe(readings->front()), c.datapoints);
}

INSTANTIATE_TEST_SUITE_P(
    Alarms, AlarmsTest,
    ::testing::Values(AlarmCase{"AllOn",
                                true,
                                "1.5",
                                "0.5",
                                "9",
                                "12.25",
                                {"quality=s:good", "Flow=i:1", "units=s:m3/h", "alarmLow=s:1.5", "alarmVeryLow=s:0.5",
                                 "alarmHigh=s:9", "alarmVeryHigh=s:12.25", "siteID=i:1", "site=s:North"}},
                      AlarmCase{"Partial",
                                true,
                                "1.5",
                                "",
                                "",
                                "12.25",
                                {"quality=s:good", "Flow=i:1", "units=s:m3/h", "alarmLow=s:1.5",
                                 "alarmVeryHigh=s:12.25", "siteID=i:1", "site=s:North"}},
                      AlarmCase{"Off",
                                false,
                                "1.5",
                                "0.5",
                                "9",
                                "12.25",
                                {"quality=s:good", "Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}},
                      AlarmCase{"OnButNoneSet",
                                true,
                                "",
                                "",
                                "",
                                "",
                                {"quality=s:good", "Flow=i:1", "units=s:m3/h", "siteID=i:1", "site=s:North"}}),
    [](const ::testing::TestParamInfo<AlarmCase>& param) { return std::string(param.param.name); });

TEST_F(ReadingsTest, SiteNameGoesInFrontOfTheAssetNameOnlyWhenAsked)
{
    Param p;
    Settings s;
    s.separator = "/";
    s.includeSite = true;
    auto readings = pollSamples(p, "[" + sample("2024-07-01T16:05:09") + "]", s);
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(readings->front()->getAssetName(), "North/Pump 3/Flow");
    EXPECT_EQ(describe(readings->front()).back(), "site=s:North");
}

TEST_F(ReadingsTest, SiteNameIsLeftOutOfTheAssetNameByDefaultButKeptAsDatapoint)
{
    Param p;
    Settings s;
    s.separator = "/";
    auto readings = pollSamples(p, "[" + sample("2024-07-01T16:05:09") + "]", s);
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(readings->front()->getAssetName(), "Pump 3/Flow");
    EXPECT_EQ(describe(readings->front()).back(), "site=s:North");
}

TEST_F(ReadingsTest, UnnamedSiteGivesANameStartingWithTheSeparatorAndNoSiteDatapoint)
{
    Param p;
    Settings s;
    s.includeSite = true;
    auto readings = pollSamples(p, "[" + sample("2024-07-01T16:05:09") + "]", s, "(GMT+02:00) Athens", "");
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(readings->front()->getAssetName(), ".Pump 3.Flow");
    EXPECT_EQ(describe(readings->front()),
              (std::vector<std::string>{"quality=s:good", "Flow=i:1", "units=s:m3/h", "siteID=i:1"}));
}

TEST_F(ReadingsTest, LineFeedsInNamesBecomeSpaces)
{
    Param p;
    p.assetName = "Pump\nStation";
    p.parameterName = "Flow\nRate";
    auto readings = pollSamples(p, "[" + sample("2024-07-01T16:05:09", "4") + "]");
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(readings->front()->getAssetName(), "Pump Station.Flow Rate");
    EXPECT_EQ(describe(readings->front())[1], "Flow Rate=i:4");
}

struct TimeCase {
    const char* name;
    std::string zone;
    std::string timeText;
    int64_t utcSeconds;
};
void PrintTo(const TimeCase& c, std::ostream* os)
{
    *os << c.name;
}

class TimeTest : public ReadingsTest, public ::testing::WithParamInterface<TimeCase> {};

TEST_P(TimeTest, SampleTimeIsLocalWallTimeOfTheSitesZone)
{
    const TimeCase& c = GetParam();
    Param p;
    auto readings = pollSamples(p, "[" + sample("2024-07-01T16:05:09") + "]", Settings(), c.zone);
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_TRUE(log.has(Level::Debug, "Add reading for asset Pump 3.Flow at " + c.timeText));
    EXPECT_EQ(readings->front()->getUserTimestamp(), c.utcSeconds);
}

// 2024-07-01 16:05:09 read as UTC is 1719849909.
INSTANTIATE_TEST_SUITE_P(
    Offsets, TimeTest,
    ::testing::Values(TimeCase{"Plus120", "(GMT+02:00) Athens", "2024-07-01 16:05:09 +02:00", 1719842709},
                      TimeCase{"Minus270", "(GMT-04:30) Caracas", "2024-07-01 16:05:09 -04:30", 1719866109},
                      TimeCase{"Zero", "(GMT+00:00) London", "2024-07-01 16:05:09 +00:00", 1719849909},
                      TimeCase{"Plus330", "(GMT+05:30) Chennai", "2024-07-01 16:05:09 +05:30", 1719830109}),
    [](const ::testing::TestParamInfo<TimeCase>& param) { return std::string(param.param.name); });

// A time that is not a local date and time of the service would be given
// the current time, or one that is off by its own zone: it is skipped, and it
// moves nothing.
class BadTimeTest : public ReadingsTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(BadTimeTest, SampleTimeThatCannotBeReadIsSkippedWithAWarningNamingTheTag)
{
    Param p;
    auto readings = pollSamples(p, "[" + sample(GetParam()) + "," + sample("2024-07-01T16:05:09") + "]");
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(readings->front()->getUserTimestamp(), kT0);
    EXPECT_EQ(log.count(Level::Warning, "Skipping a sample of tag TAG1 whose time cannot be read"), 1u);
    EXPECT_EQ(pulls().tag("TAG1"), kT0 + 1);
}

INSTANTIATE_TEST_SUITE_P(Texts, BadTimeTest,
                         ::testing::Values("2024-07-01T16:05:09T", "2024-07-01T18:05:09Z", "2024-07-01T16:05:09+24:00",
                                           "2024-07-01 16:05:09", "2024-07-01T16:05", "2024-02-30T10:00:00",
                                           "2024-07-01T24:00:00", "2024-07-01T16:05:09.", ""));

// A clock running ahead at the service must neither stop collection nor
// hide the tag's data that arrives later.
TEST_F(ReadingsTest, SampleDatedPastItsRangeIsDeliveredOnceAndMovesNothing)
{
    Param p;
    auto readings = pollSamples(p, "[" + sample("2099-01-01T00:00:00") + "," + sample("2024-07-01T16:05:09") + "]");
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 2u);
    EXPECT_EQ(pulls().tag("TAG1"), kT0 + 1);
    auto again = poll();
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->empty());
    ASSERT_FALSE(rangeRequests().empty());
    EXPECT_EQ(splitRange(rangeRequests().back().target).from, "2024-07-01T16:05:10");
}

TEST_F(ReadingsTest, SamplesOfSeveralTagsGiveOneReadingEachUnderTheirOwnRecord)
{
    Param flow;
    flow.tag = "T-FLOW";
    Param level;
    level.tag = "T-LEVEL";
    level.parameterName = "Level";
    level.displayUnit = "m";
    scriptOneSite({flow, level});
    initAt(kT0 - 3600);
    rangeAnswer(Answer::json(seriesBody(
        {{"T-LEVEL", "[" + sample("2024-07-01T16:00:00", "2.5") + "]"},
         {"UNKNOWN", "[" + sample("2024-07-01T16:00:00", "1") + "]"},
         {"T-FLOW", "[" + sample("2024-07-01T16:00:01", "3") + "," + sample("2024-07-01T16:00:02", "4") + "]"}})));
    auto readings = poll();
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 3u);
    EXPECT_EQ((*readings)[0]->getAssetName(), "Pump 3.Level");
    EXPECT_EQ(describe((*readings)[0])[1], "Level=f:2.5");
    EXPECT_EQ(describe((*readings)[0])[2], "units=s:m");
    EXPECT_EQ((*readings)[1]->getAssetName(), "Pump 3.Flow");
    EXPECT_EQ(describe((*readings)[1])[1], "Flow=i:3");
    EXPECT_EQ(describe((*readings)[2])[1], "Flow=i:4");
    EXPECT_TRUE(log.has(Level::Warning, "Failed to find asset data for tag UNKNOWN"));
}

TEST_F(ReadingsTest, AnswerPartsOfTheWrongShapeAreSkippedAndTheRestIsUsed)
{
    Param flow;
    flow.tag = "A";
    Param level;
    level.tag = "B";
    level.parameterName = "Level";
    scriptOneSite({flow, level});
    initAt(kT0);
    rangeAnswer(Answer::json(
        seriesBody({{"A", "{\"not\":\"an array\"}"},
                    {"B", "[42,\"text\",null,[1]," +
                              std::string("{\"quality\":\"good\",\"value\":5,\"timestamp\":\"2024-07-01T17:00:00\"},") +
                              "{\"quality\":3,\"value\":6,\"timestamp\":1719842709}," +
                              sample("2024-07-01T17:00:09", "7") + "]"}})));

    auto readings = poll();
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 2u);
    // The quality that is not an integer is left out; the sample stays.
    EXPECT_EQ(describe((*readings)[0]),
              (std::vector<std::string>{"Level=i:5", "units=s:m3/h", "siteID=i:1", "site=s:North"}));
    EXPECT_EQ(describe((*readings)[1])[1], "Level=i:7");
    EXPECT_TRUE(log.has(Level::Error, "Expected an array as child of tag A"));
    EXPECT_EQ(log.count(Level::Warning, "Skipping a sample of tag B that is not an object"), 4u);
    EXPECT_EQ(log.count(Level::Warning, "quality of tag B"), 1u);
    EXPECT_EQ(log.count(Level::Warning, "Skipping a sample of tag B without a timestamp"), 1u);
    // The poll still succeeded: B moved past its newest sample, 2024-07-01
    // 17:00:09 at +02:00 (15:00:09 UTC); A, with nothing usable, did not.
    rapidjson::Document state;
    rapidjson::Document expected;
    state.Parse(shutdown().c_str());
    expected.Parse(stateText(kT0, {{"A", kT0}, {"B", 1719846009 + 1}}).c_str());
    ASSERT_TRUE(state.IsObject() && state.HasMember("tags"));
    EXPECT_TRUE(state["tags"] == expected["tags"]);
}

}  // namespace
}  // namespace dp
