// The last-pull time handed to the platform at shutdown and back at start.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "config_category.h"
#include "entry_points.h"
#include "log_capture.h"
#include "nerivo.h"
#include "pull_times.h"

namespace {

using Level = Logger::Level;

const char* const NO_LAST_PULL = "Persisted state of plugin does not contain a last pull time";

std::string stateText(uint64_t value)
{
    return "{ \"lastPull\" : " + std::to_string(value) + " }";
}

struct RoundTripCase {
    const char* name;
    int64_t time;
    const char* text;
};

class StateRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(StateRoundTrip, TextCarriesTheTimeAsUnsignedAndComesBackUnchanged)
{
    const RoundTripCase& c = GetParam();
    LogCapture log;

    Nerivo writer;
    writer.restoreState(c.text);
    const std::string state = writer.getState();
    EXPECT_EQ(state, c.text);
    ASSERT_EQ(pullTimes(state).lastPull, c.time);

    Nerivo reader;
    reader.restoreState(state);
    EXPECT_EQ(reader.getState(), state);
    EXPECT_TRUE(log.at(Level::Warning).empty());
}

INSTANTIATE_TEST_SUITE_P(Times, StateRoundTrip,
                         ::testing::Values(RoundTripCase{"Recent", 1719842709, "{ \"lastPull\" : 1719842709 }"},
                                           RoundTripCase{"Epoch", 0, "{ \"lastPull\" : 0 }"},
                                           RoundTripCase{"Negative", -5, "{ \"lastPull\" : 18446744073709551611 }"},
                                           RoundTripCase{"MinusOne", -1, "{ \"lastPull\" : 18446744073709551615 }"},
                                           RoundTripCase{"Smallest", std::numeric_limits<int64_t>::min(),
                                                         "{ \"lastPull\" : 9223372036854775808 }"}),
                         [](const ::testing::TestParamInfo<RoundTripCase>& param) {
                             return std::string(param.param.name);
                         });

TEST(State, DefaultTimeIsRenderedExactly)
{
    const time_t before = time(nullptr);
    Nerivo client;
    const time_t after = time(nullptr);
    const std::string state = client.getState();

    // The text must be one of the few that the bracketing clock allows.
    bool matched = false;
    for (int64_t t = before - Nerivo::DEFAULT_LOOKBACK; t <= after - Nerivo::DEFAULT_LOOKBACK; ++t) {
        matched = matched || state == stateText(static_cast<uint64_t>(t));
    }
    EXPECT_TRUE(matched) << state;
}

TEST(State, ShutdownStraightAfterInitReturnsTheDefaultTime)
{
    ConfigCategory empty("nerivo", "{}");
    const time_t before = time(nullptr);
    PLUGIN_HANDLE handle = plugin_init(&empty);
    const time_t after = time(nullptr);
    ASSERT_NE(handle, nullptr);
    const std::string state = plugin_shutdown(handle);

    bool matched = false;
    for (int64_t t = before - Nerivo::DEFAULT_LOOKBACK; t <= after - Nerivo::DEFAULT_LOOKBACK; ++t) {
        matched = matched || state == stateText(static_cast<uint64_t>(t));
    }
    EXPECT_TRUE(matched) << state;
}

TEST(State, StartThenShutdownHandsTheStateBack)
{
    ConfigCategory empty("nerivo", "{}");
    PLUGIN_HANDLE handle = plugin_init(&empty);
    ASSERT_NE(handle, nullptr);
    const std::string stored = "{ \"lastPull\" : 18446744073709551611 }";
    plugin_start(handle, stored);
    const std::string state = plugin_shutdown(handle);
    EXPECT_EQ(state, stored);
    EXPECT_EQ(pullTimes(state).lastPull, -5);
}

TEST(State, AcceptsCompactTextExtraMembersAndAnyMemberOrder)
{
    struct Case {
        const char* text;
        int64_t time;
    } cases[] = {
        {"{\"lastPull\":42}", 42},
        {"{ \"lastPull\" : 42, \"other\" : \"x\" }", 42},
        {"{\"a\": [1, 2], \"b\": {\"lastPull\": 7}, \"lastPull\": 43}", 43},
        {"\n\t{ \"lastPull\" :\n 44 }\n", 44},
        {"{\"lastPull\": 18446744073709551615}", -1},
    };
    LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Nerivo client;
        client.restoreState(c.text);
        EXPECT_EQ(pullTimes(client.getState()).lastPull, c.time);
    }
    EXPECT_TRUE(log.at(Level::Warning).empty());
}

// A text that cannot be read whole is read for its lastPull, when that was
// stored whole: every tag is asked from there (some samples may come twice,
// none is lost).
TEST(State, TextCutShortIsReadForItsLastPull)
{
    const std::string whole = "{ \"lastPull\" : 1719842709, \"tags\" : {\"A\":1719846010,\"B\":1719846020} }";
    struct Case {
        std::string text;
        int64_t lastPull;  // 1000: kept from before
    } cases[] = {
        {whole.substr(0, whole.size() - 12), 1719842709},
        {whole.substr(0, 40), 1719842709},
        {whole.substr(0, 22), 1000},  // inside the number
        {"{ \"lastPull\" : 12 } x", 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Nerivo client;
        client.restoreState("{ \"lastPull\" : 1000 }");
        LogCapture log;
        client.restoreState(c.text);
        EXPECT_EQ(client.getState(), "{ \"lastPull\" : " + std::to_string(c.lastPull) + " }");
        EXPECT_EQ(log.count(Level::Warning, "Persisted state of plugin is invalid"), 1u);
        EXPECT_EQ(log.count(Level::Warning, "Every tag is asked again from the stored last pull time"),
                  c.lastPull != 1000 ? 1u : 0u);
    }
}

struct InvalidCase {
    const char* name;
    std::string text;
    std::string warning;
};

std::ostream& operator<<(std::ostream& out, const InvalidCase& c)
{
    return out << c.name << " \"" << c.text << "\"";
}

class InvalidState : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(InvalidState, LogsOneWarningAndChangesNoTime)
{
    const InvalidCase& c = GetParam();
    Nerivo client;
    // A time that no fallback could produce, so a change of any kind shows.
    client.restoreState("{ \"lastPull\" : 1000 }");
    ASSERT_EQ(pullTimes(client.getState()).lastPull, 1000);

    LogCapture log;
    client.restoreState(c.text);
    EXPECT_EQ(client.getState(), "{ \"lastPull\" : 1000 }");
    EXPECT_EQ(log.at(Level::Warning), std::vector<std::string>{c.warning});
    // No state at all is a first start, and says so before the warning.
    EXPECT_EQ(log.entries().size(), c.text.empty() ? 2u : 1u);
    if (c.text.empty()) {
        EXPECT_EQ(log.count(Level::Info, "No stored state: the first range starts one year back"), 1u);
    }
}

TEST_P(InvalidState, LeavesTheDefaultOfAFreshClient)
{
    const InvalidCase& c = GetParam();
    Nerivo client;
    const std::string before = client.getState();
    client.restoreState(c.text);
    EXPECT_EQ(client.getState(), before);
}

std::string invalid(const std::string& text)
{
    return "Persisted state of plugin is invalid: " + text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, InvalidState,
    ::testing::Values(InvalidCase{"Empty", "", invalid("")}, InvalidCase{"Blank", " \t ", invalid(" \t ")},
                      InvalidCase{"NotJson", "lastPull=5", invalid("lastPull=5")},
                      InvalidCase{"Truncated", "{ \"lastPull\" : 12", invalid("{ \"lastPull\" : 12")},
                      InvalidCase{"SingleQuotes", "{ 'lastPull' : 12 }", invalid("{ 'lastPull' : 12 }")},
                      InvalidCase{"Negative", "{ \"lastPull\" : -5 }", NO_LAST_PULL},
                      InvalidCase{"Fraction", "{ \"lastPull\" : 12.5 }", NO_LAST_PULL},
                      InvalidCase{"WholeFraction", "{ \"lastPull\" : 12.0 }", NO_LAST_PULL},
                      InvalidCase{"Exponent", "{ \"lastPull\" : 1e3 }", NO_LAST_PULL},
                      InvalidCase{"BeyondUnsigned64", "{ \"lastPull\" : 18446744073709551616 }", NO_LAST_PULL},
                      InvalidCase{"Text", "{ \"lastPull\" : \"1719842709\" }", NO_LAST_PULL},
                      InvalidCase{"Boolean", "{ \"lastPull\" : true }", NO_LAST_PULL},
                      InvalidCase{"Null", "{ \"lastPull\" : null }", NO_LAST_PULL},
                      InvalidCase{"Object", "{ \"lastPull\" : { \"value\" : 5 } }", NO_LAST_PULL},
                      InvalidCase{"Missing", "{ \"other\" : 5 }", NO_LAST_PULL},
                      InvalidCase{"EmptyObject", "{}", NO_LAST_PULL},
                      InvalidCase{"OtherCase", "{ \"LastPull\" : 5 }", NO_LAST_PULL},
                      InvalidCase{"NestedOnly", "{ \"state\" : { \"lastPull\" : 5 } }", NO_LAST_PULL},
                      InvalidCase{"TopLevelArray", "[ { \"lastPull\" : 5 } ]", NO_LAST_PULL},
                      InvalidCase{"TopLevelNumber", "5", NO_LAST_PULL},
                      InvalidCase{"TopLevelString", "\"{ \\\"lastPull\\\" : 5 }\"", NO_LAST_PULL}),
    [](const ::testing::TestParamInfo<InvalidCase>& param) { return std::string(param.param.name); });

}  // namespace

namespace {

// Per-tag next-pull times survive a restart; a tag the state does not name
// starts at "lastPull", and a "tags" member that cannot be used is ignored.
// A time ahead of the clock is kept, with a warning: its tag waits for the
// clock, and nothing is delivered again.
TEST(State, PerTagTimesComeBackAndUnusableOnesAreIgnored)
{
    struct Case {
        const char* text;
        int64_t a, b;
        std::size_t warnings;
        std::size_t clockBehind;
    } cases[] = {
        {"{ \"lastPull\" : 100, \"tags\" : {\"A\":150,\"B\":120} }", 150, 120, 0, 0},
        {"{ \"lastPull\" : 100, \"tags\" : {\"A\":150} }", 150, 100, 0, 0},
        {"{ \"lastPull\" : 100, \"tags\" : [150] }", 100, 100, 1, 0},
        {"{ \"lastPull\" : 100, \"tags\" : {\"A\":150,\"B\":\"120\"} }", 100, 100, 1, 0},
        {"{ \"lastPull\" : 100, \"tags\" : {\"A\":99999999999999} }", 99999999999999, 100, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        LogCapture log;
        Nerivo client;
        client.restoreState(c.text);
        // A tag the state text leaves out starts at "lastPull".
        const auto next = [](const PullTimes& p, const char* tag) {
            return p.tags.count(tag) ? p.tag(tag) : p.lastPull;
        };
        const PullTimes pulls = pullTimes(client.getState());
        EXPECT_EQ(pulls.lastPull, 100);
        EXPECT_EQ(next(pulls, "A"), c.a);
        EXPECT_EQ(next(pulls, "B"), c.b);
        EXPECT_EQ(next(pulls, "C"), 100);
        EXPECT_EQ(log.count(Level::Warning, "per-tag pull times that cannot be used"), c.warnings);
        EXPECT_EQ(log.count(Level::Warning, "The clock is behind the stored progress"), c.clockBehind);
        // Before any discovery the restored times are handed back as they came.
        Nerivo again;
        again.restoreState(client.getState());
        EXPECT_EQ(next(pullTimes(again.getState()), "A"), c.a);
        EXPECT_EQ(next(pullTimes(again.getState()), "B"), c.b);
    }
}

}  // namespace
