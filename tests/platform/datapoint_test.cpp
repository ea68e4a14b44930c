#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <string>

#include "datapoint.h"

namespace {

struct DoubleCase {
    double value;
    const char* json;
};

const DoubleCase kDoubleCases[] = {
    {12.0, "12.0"},
    {0.0, "0.0"},
    {-0.0, "-0.0"},
    {-3.0, "-3.0"},
    {0.1, "0.1"},
    {-0.5, "-0.5"},
    {2.75, "2.75"},
    {123456.789, "123456.789"},
    {0.1 + 0.2, "0.30000000000000004"},
    {1e20, "1e+20"},
    {1e-7, "1e-07"},
    {1.5e300, "1.5e+300"},
    {std::numeric_limits<double>::quiet_NaN(), "null"},
    {std::numeric_limits<double>::infinity(), "null"},
    {-std::numeric_limits<double>::infinity(), "null"},
};

void PrintTo(const DoubleCase& c, std::ostream* os)
{
    *os << "expecting " << c.json;
}

class DatapointDouble : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(DatapointDouble, RendersAsJsonNumber)
{
    const DoubleCase& c = GetParam();
    DatapointValue value(c.value);
    EXPECT_EQ(value.getType(), DatapointValue::T_FLOAT);
    EXPECT_EQ(value.toString(), c.json);
}

INSTANTIATE_TEST_SUITE_P(Datapoint, DatapointDouble, ::testing::ValuesIn(kDoubleCases));

TEST(Datapoint, DoubleTextRoundTripsAndLooksFloating)
{
    const double values[] = {12.0,
                             1.0 / 3.0,
                             2.0 / 3.0,
                             1e-300,
                             4.9e-324,
                             1.7976931348623157e308,
                             123456789012345678.0,
                             9007199254740993.0,
                             -271.15,
                             100.0};
    for (double v : values) {
        const std::string text = DatapointValue(v).toString();
        EXPECT_NE(text.find_first_of(".e"), std::string::npos) << text;
        EXPECT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    }
}

TEST(Datapoint, IntegersRenderAsDecimal)
{
    EXPECT_EQ(DatapointValue(static_cast<int64_t>(3000000000LL)).toString(), "3000000000");
    EXPECT_EQ(DatapointValue(static_cast<int64_t>(0)).toString(), "0");
    EXPECT_EQ(DatapointValue(static_cast<int64_t>(-42)).toString(), "-42");
    EXPECT_EQ(DatapointValue(std::numeric_limits<int64_t>::min()).toString(), "-9223372036854775808");
    DatapointValue big(static_cast<int64_t>(3000000000LL));
    EXPECT_EQ(big.getType(), DatapointValue::T_INTEGER);
    EXPECT_EQ(big.toInt(), 3000000000LL);
}

struct TextCase {
    std::string text;
    const char* json;
};

void PrintTo(const TextCase& c, std::ostream* os)
{
    *os << "expecting " << c.json;
}

class DatapointText : public ::testing::TestWithParam<TextCase> {};

TEST_P(DatapointText, QuotesAndEscapes)
{
    DatapointValue value(GetParam().text);
    EXPECT_EQ(value.getType(), DatapointValue::T_STRING);
    EXPECT_EQ(value.toString(), GetParam().json);
    EXPECT_EQ(value.toStringValue(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Datapoint, DatapointText,
                         ::testing::Values(TextCase{"", "\"\""}, TextCase{"plain", "\"plain\""},
                                           TextCase{"say \"hi\"", "\"say \\\"hi\\\"\""},
                                           TextCase{"C:\\dir", "\"C:\\\\dir\""},
                                           TextCase{"a\nb\tc\rd", "\"a\\nb\\tc\\rd\""}, TextCase{"\b\f", "\"\\b\\f\""},
                                           TextCase{"bell\x01\x1f", "\"bell\\u0001\\u001f\""},
                                           TextCase{std::string("nul\0x", 5), "\"nul\\u0000x\""},
                                           TextCase{"m\xc2\xb3/h", "\"m\xc2\xb3/h\""}, TextCase{"a/b", "\"a/b\""}));

TEST(Datapoint, AccessorsOfOtherTypesAreNeutral)
{
    DatapointValue text(std::string("12"));
    DatapointValue integer(static_cast<int64_t>(12));
    DatapointValue floating(12.5);
    EXPECT_EQ(text.toInt(), 0);
    EXPECT_EQ(text.toDouble(), 0.0);
    EXPECT_EQ(integer.toDouble(), 0.0);
    EXPECT_EQ(integer.toStringValue(), "");
    EXPECT_EQ(floating.toInt(), 0);
    EXPECT_EQ(floating.toStringValue(), "");
    EXPECT_EQ(floating.toDouble(), 12.5);
}

TEST(Datapoint, CopyIsIndependent)
{
    DatapointValue original(std::string("first"));
    DatapointValue copy(original);
    original = DatapointValue(std::string("second"));
    EXPECT_EQ(copy.toStringValue(), "first");
    EXPECT_EQ(original.toStringValue(), "second");

    {
        DatapointValue scoped(std::string("short-lived text that outgrows any small buffer"));
        copy = scoped;
    }
    EXPECT_EQ(copy.toStringValue(), "short-lived text that outgrows any small buffer");
}

TEST(Datapoint, AssignmentAcrossTypes)
{
    DatapointValue value(std::string("text"));
    value = DatapointValue(static_cast<int64_t>(7));
    EXPECT_EQ(value.getType(), DatapointValue::T_INTEGER);
    EXPECT_EQ(value.toString(), "7");
    value = DatapointValue(std::string("back"));
    EXPECT_EQ(value.getType(), DatapointValue::T_STRING);
    EXPECT_EQ(value.toString(), "\"back\"");
    value = DatapointValue(1.0);
    EXPECT_EQ(value.getType(), DatapointValue::T_FLOAT);
    EXPECT_EQ(value.toString(), "1.0");
}

TEST(Datapoint, SelfAssignmentKeepsValue)
{
    DatapointValue value(std::string("self"));
    DatapointValue& alias = value;
    value = alias;
    EXPECT_EQ(value.toStringValue(), "self");
    EXPECT_EQ(value.toString(), "\"self\"");
}

TEST(Datapoint, DatapointCopiesItsValue)
{
    DatapointValue value(std::string("v1"));
    Datapoint dp("level", value);
    value = DatapointValue(std::string("v2"));
    EXPECT_EQ(dp.getData().toStringValue(), "v1");
    EXPECT_EQ(dp.getName(), "level");
}

TEST(Datapoint, JsonProperty)
{
    DatapointValue flow(12.0);
    EXPECT_EQ(Datapoint("flow", flow).toJSONProperty(), "\"flow\": 12.0");
    DatapointValue text(std::string("x\"y"));
    EXPECT_EQ(Datapoint("odd \"name\"\n", text).toJSONProperty(), "\"odd \\\"name\\\"\\n\": \"x\\\"y\"");
    DatapointValue count(static_cast<int64_t>(-5));
    EXPECT_EQ(Datapoint("count", count).toJSONProperty(), "\"count\": -5");
}

}  // namespace
