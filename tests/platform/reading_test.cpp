#include <gtest/gtest.h>

#include <ctime>
#include <ostream>
#include <string>
#include <vector>

#include "reading.h"

namespace {

struct TimeCase {
    const char* text;
    int64_t seconds;
    int32_t micros;
    const char* utcText;
};

// Expected epoch values were computed independently with `date -u -d ... +%s`.
const TimeCase kTimeCases[] = {
    {"2024-07-01 16:05:09 +02:00", 1719842709, 0, "2024-07-01 14:05:09.000000+00:00"},
    {"2024-07-01 16:05:09.5 +02:00", 1719842709, 500000, "2024-07-01 14:05:09.500000+00:00"},
    {"2024-07-01 16:05:09.123456 -04:30", 1719866109, 123456, "2024-07-01 20:35:09.123456+00:00"},
    {"2024-07-01 14:05:09.1234567 +00:00", 1719842709, 123456, "2024-07-01 14:05:09.123456+00:00"},
    {"2024-07-01 14:05:09.000001 -00:00", 1719842709, 1, "2024-07-01 14:05:09.000001+00:00"},
    {"2024-07-01 14:05:09", 1719842709, 0, "2024-07-01 14:05:09.000000+00:00"},
    {"2024-07-01 14:05:09.25", 1719842709, 250000, "2024-07-01 14:05:09.250000+00:00"},
    {"2024-07-01 00:30:00 +01:00", 1719790200, 0, "2024-06-30 23:30:00.000000+00:00"},
    {"2024-12-31 22:00:00 -03:00", 1735693200, 0, "2025-01-01 01:00:00.000000+00:00"},
    {"2024-02-29 12:00:00 +00:00", 1709208000, 0, "2024-02-29 12:00:00.000000+00:00"},
    {"1970-01-01 00:00:00 +00:00", 0, 0, "1970-01-01 00:00:00.000000+00:00"},
    {"1969-12-31 23:59:59 +00:00", -1, 0, "1969-12-31 23:59:59.000000+00:00"},
    {"1969-07-20 20:17:40.75 +00:00", -14182940, 750000, "1969-07-20 20:17:40.750000+00:00"},
    {"1900-01-01 01:00:00 +01:00", -2208988800LL, 0, "1900-01-01 00:00:00.000000+00:00"},
    {"2000-01-01 05:30:00 +0530", 946684800, 0, "2000-01-01 00:00:00.000000+00:00"},
};

void PrintTo(const TimeCase& c, std::ostream* os)
{
    *os << '"' << c.text << '"';
}

class ReadingTimeText : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ReadingTimeText, HonoursOffsetAndFraction)
{
    const TimeCase& c = GetParam();
    Reading reading("asset", {}, c.text);
    EXPECT_EQ(reading.getUserTimestamp(), c.seconds) << c.text;
    EXPECT_EQ(reading.getUserTimestampMicros(), c.micros) << c.text;
    EXPECT_EQ(reading.getAssetDateUserTime(), c.utcText) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Reading, ReadingTimeText, ::testing::ValuesIn(kTimeCases));

// Texts without a usable date: the reading is stamped with the current time.
const char* const kNoDateTexts[] = {
    "",
    " +02:00",
    "+02:00",
    "   ",
    "garbage",
    "2024-02-30 10:00:00 +00:00",  // no Feb 30
    "2023-02-29 10:00:00 +00:00",  // not a leap year
    "2024-04-31 10:00:00 +00:00",
    "2024-13-01 10:00:00 +00:00",
    "2024-00-10 10:00:00 +00:00",
    "2024-07-00 10:00:00 +00:00",
    "2024-07-01 25:00:00 +00:00",
    "2024-07-01 10:60:00 +00:00",
    "2024-07-01 10:00:61 +00:00",
    "2024-07-01 10:00:00. +00:00",
    "2024-07-01 10:00:00 +25:00",
    "2024-07-01 10:00:00 +02:",
    "2024-07-01 10:00:00 +02:00 extra",
    "2024-7-1 10:00:00 +00:00",
    "2024-07-01",
    "2024-07-01 10:00",
};

class ReadingNoDate : public ::testing::TestWithParam<const char*> {};

TEST_P(ReadingNoDate, GetsCurrentTime)
{
    const int64_t before = static_cast<int64_t>(time(nullptr));
    Reading reading("asset", {}, GetParam());
    const int64_t after = static_cast<int64_t>(time(nullptr));
    EXPECT_GE(reading.getUserTimestamp(), before - 2) << '"' << GetParam() << '"';
    EXPECT_LE(reading.getUserTimestamp(), after + 2) << '"' << GetParam() << '"';
    EXPECT_GE(reading.getUserTimestampMicros(), 0);
    EXPECT_LT(reading.getUserTimestampMicros(), 1000000);
}

INSTANTIATE_TEST_SUITE_P(Reading, ReadingNoDate, ::testing::ValuesIn(kNoDateTexts));

TEST(Reading, CurrentTimeCarriesMicroseconds)
{
    // A clock read only to whole seconds would always leave micros at zero;
    // twenty reads all landing on an exact second is practically impossible.
    bool sawMicros = false;
    for (int i = 0; i < 20 && !sawMicros; ++i) {
        Reading reading("asset", {}, " +02:00");
        sawMicros = reading.getUserTimestampMicros() != 0;
    }
    EXPECT_TRUE(sawMicros);
}

TEST(Reading, ToJsonExactText)
{
    DatapointValue flow(12.0);
    DatapointValue count(static_cast<int64_t>(3000000000LL));
    DatapointValue label(std::string("ok \"fine\""));
    std::vector<Datapoint*> values{new Datapoint("flow", flow), new Datapoint("count", count),
                                   new Datapoint("label", label)};
    Reading reading("pump \"A\"\\1", values, "2024-07-01 16:05:09.25 +02:00");
    EXPECT_EQ(reading.toJSON(),
              "{\"asset_code\": \"pump \\\"A\\\"\\\\1\", \"user_ts\": \"2024-07-01 14:05:09.250000+00:00\", "
              "\"readings\": {\"flow\": 12.0, \"count\": 3000000000, \"label\": \"ok \\\"fine\\\"\"}}");
}

TEST(Reading, ToJsonWithoutDatapoints)
{
    Reading reading("tank", {}, "1970-01-01 00:00:00");
    EXPECT_EQ(reading.toJSON(),
              "{\"asset_code\": \"tank\", \"user_ts\": \"1970-01-01 00:00:00.000000+00:00\", \"readings\": {}}");
}

TEST(Reading, KeepsDatapointsInOrder)
{
    DatapointValue a(static_cast<int64_t>(1));
    DatapointValue b(2.5);
    std::vector<Datapoint*> values{new Datapoint("a", a), new Datapoint("b", b)};
    Datapoint* first = values[0];
    Reading reading("asset", values, "");
    ASSERT_EQ(reading.getReadingData().size(), 2u);
    EXPECT_EQ(reading.getReadingData()[0], first);
    EXPECT_EQ(reading.getReadingData()[1]->getName(), "b");
    EXPECT_EQ(reading.getAssetName(), "asset");
    // The reading deletes the datapoints; the sanitizer build reports a leak
    // or a double free if ownership is wrong.
}

}  // namespace
