// The poll cycle's range requests: how the tag list is split into URLs, and
// how the last-pull and next-pull times move with what the service answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "datapath_fixture.h"

namespace dp {
namespace {

using Level = Logger::Level;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// "https://api.nerivowater.com/api/timeseriesdata/" + date + "/" + date + "?tags="
constexpr std::size_t kBaseLength = 47 + 19 + 1 + 19 + 6;
constexpr std::size_t kLimit = 4000;

// A tag starting with lead whose length brings a base URL to exactly length.
std::string tagFilling(char lead, std::size_t urlLength)
{
    return std::string(1, lead) + std::string(urlLength - kBaseLength - 1, 'x');
}

std::vector<Param> paramsFor(const std::vector<std::string>& tags)
{
    std::vector<Param> params;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        Param p;
        p.tag = tags[i];
        p.parameterName = "P" + std::to_string(i);
        params.push_back(p);
    }
    return params;
}

// 2024-07-01 15:00:00 UTC, written as the service does at +02:00.
constexpr int64_t kSampleUtc = 1719846000;
const char* const kSampleLocal = "2024-07-01T17:00:00";

struct SplitCase {
    const char* name;
    std::vector<std::string> tags;              // in discovery order
    std::vector<std::string> expectedTagLists;  // one per request, in order
};
void PrintTo(const SplitCase& c, std::ostream* os)
{
    *os << c.name;
}

class BatchingTest : public DataPathTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(BatchingTest, TagListIsSplitAfterTheTagThatTakesTheUrlPast4000Characters)
{
    const SplitCase& c = GetParam();
    scriptOneSite(paramsFor(c.tags));
    initAt(kT0);

    auto readings = poll();
    ASSERT_TRUE(readings);

    const auto ranges = rangeRequests();
    ASSERT_EQ(ranges.size(), c.expectedTagLists.size());
    const RangeUrl first = splitRange(ranges[0].target);
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const RangeUrl r = splitRange(ranges[i].target);
        ASSERT_TRUE(r.valid) << ranges[i].target.substr(0, 120);
        EXPECT_EQ(r.tags, c.expectedTagLists[i]) << "request " << i;
        // Every request of a cycle asks for the same range.
        EXPECT_EQ(r.from, "2024-07-01T16:05:09");
        EXPECT_EQ(r.to, first.to);
        EXPECT_EQ(ranges[i].target.size(), kBaseLength + c.expectedTagLists[i].size());
        // Only the request that carried the crossing tag may pass the limit.
        if (i + 1 < ranges.size()) {
            EXPECT_GT(ranges[i].target.size(), kLimit) << "request " << i;
        } else {
            EXPECT_LE(ranges[i].target.size(), kLimit) << "the closing request never passed the limit";
        }
    }
    EXPECT_EQ(first.to, localText(probe().now(), 120));
}

const std::string kA = tagFilling('a', kLimit);       // base + A is exactly 4000: not yet sent
const std::string kA1 = tagFilling('a', kLimit + 1);  // base + A is 4001: sent at once
const std::string kC = tagFilling('c', kLimit);

INSTANTIATE_TEST_SUITE_P(
    Splits, BatchingTest,
    ::testing::Values(SplitCase{"AllFit", {"zeta", "mid", "alpha"}, {"alpha,mid,zeta"}},
                      SplitCase{"EmptyIndex", {}, {""}}, SplitCase{"ExactlyAtLimitIsNotSent", {kA}, {kA}},
                      SplitCase{"TagCrossing", {"c1", "b1", kA}, {kA + ",b1", "c1"}},
                      SplitCase{"LastTagCrossing", {"b1", kA}, {kA + ",b1", ""}},
                      SplitCase{"FirstTagAloneCrossing", {"b1", kA1}, {kA1, "b1"}},
                      SplitCase{"TwoCrossings", {"e1", kC, "b1", kA, "d1"}, {kA + ",b1", kC + ",d1", "e1"}}),
    [](const ::testing::TestParamInfo<SplitCase>& param) { return std::string(param.param.name); });

// A range request that does not succeed, with how its failure is reported.
struct BadAnswer {
    const char* name;
    Answer answer;
    const char* errorFragment;   // empty: the error line must name the URL
    bool raises = false;         // no answer at all
    bool namesUrl = false;       // an error status: the line names the URL besides the fragment
    Answer (*make)() = nullptr;  // builds the answer instead, when it costs too much to build for every test
};
void PrintTo(const BadAnswer& c, std::ostream* os)
{
    *os << c.name;
}

Answer closedAnswer()
{
    Answer a;
    a.closeBeforeAnswer = true;
    return a;
}

// 8 bytes every 20 ms: far below 1 KiB in the window the test sets.
Answer trickledAnswer()
{
    Answer a = Answer::json(std::string(4096, ' '));
    a.compress = false;  // compressed, it would be too short to trickle
    a.trickleBytes = 8;
    a.tricklePause = std::chrono::milliseconds(20);
    return a;
}

// 64 MiB and one byte of digits in about 64 KiB of gzip: past the client's
// limit once inflated.
Answer bombAnswer()
{
    static const std::string gzip =
        fakeservice::compressed(std::string(64 * 1024 * 1024 + 1, '0'), fakeservice::Coding::GZIP);
    Answer a = Answer::json(gzip);
    a.headers = {{"Content-Encoding", "gzip"}};
    return a;
}

Answer codedAnswer(const std::string& encoding)
{
    Answer a = Answer::json("\x8b\x1f\x08 not what it claims");
    a.headers = {{"Content-Encoding", encoding}};
    return a;
}

// The whole body, then neither its last chunk nor anything else.
Answer endlessAnswer()
{
    Answer a = Answer::json(seriesBody({{"d1", "[" + sample("2024-07-01T18:00:00") + "]"}}));
    a.framing = fakeservice::Framing::CHUNKED;
    a.neverEnd = true;
    return a;
}

const BadAnswer kBadAnswers[] = {
    // Data under an error status is not trusted either.
    {"Status500", Answer::json(seriesBody({{"b1", "[" + sample("2024-07-01T18:00:00") + "]"}}), 500),
     "500 Internal Server Error", false, true},
    {"Status404", Answer::json("{\"result\":{}}", 404), "404 Not Found", false, true},
    {"Unparsable", Answer::json("not json"), "Failed to parse timeseries data response: not json"},
    // Cut off after strings were read: the line shows the body as it came.
    {"UnparsableAfterStrings", Answer::json("{\"result\":{\"e1\":[{\"timestamp\":\"2024"),
     "Failed to parse timeseries data response: {\"result\":{\"e1\":[{\"timestamp\":\"2024"},
    {"TopLevelArray", Answer::json("[{\"result\":{}}]"), ""},
    {"ResultArray", Answer::json("{\"result\":[]}"), ""},
    {"Status202", Answer::json(seriesBody({{"d1", "[" + sample("2024-07-01T18:00:00") + "]"}}), 202), "202 Accepted",
     false, true},
    {"NoResult", Answer::json("{\"status\":\"ok\"}"), "holds no result"},
    {"ConnectionDropped", closedAnswer(), "API request failed", true},
    {"Trickled", trickledAnswer(), "fewer than 1024 bytes arrived in 300 ms", true},
    {"Bomb", Answer(), "the body exceeds the limit of 67108864 bytes once inflated", true, false, bombAnswer},
    {"UnknownEncoding", codedAnswer("br"), "Content-Encoding \"br\" is not supported", true},
    {"NeverEnds", endlessAnswer(), "fewer than 1024 bytes arrived in 300 ms", true},
};

class FailedBatchTest : public DataPathTest, public ::testing::WithParamInterface<std::tuple<bool, BadAnswer>> {};

// Three batches (mid failure) or two (closing failure); the first one always
// brings a sample, so its tag has moved when the failure comes. The failed
// request holds back its own tags only, and nothing is delivered twice.
TEST_P(FailedBatchTest, FailureHoldsBackOnlyItsOwnTagsAndDeliversNothingTwice)
{
    const bool midList = std::get<0>(GetParam());
    const BadAnswer& bad = std::get<1>(GetParam());
    std::vector<std::string> tags = {kA, "b1", "e1"};
    if (midList) {
        tags = {kA, "b1", kC, "d1", "e1"};
    }
    const char badLead = midList ? 'c' : 'e';
    const std::string heldTag = midList ? "d1" : "e1";
    scriptOneSite(paramsFor(tags));
    initAt(kT0);
    // The plugin's low-speed window, shortened so that a trickle fails fast;
    // only there, as inflating a bomb under a sanitizer may pause reading
    // longer than that.
    if (std::string(bad.errorFragment).find("arrived in 300 ms") != std::string::npos) {
        probe().setLowSpeedWindow(std::chrono::milliseconds(300));
    }
    bool recovered = false;
    onRange([&bad, &recovered, badLead, heldTag](const Request& req) {
        const std::string tagList = splitRange(req.target).tags;
        if (!recovered && !tagList.empty() && tagList[0] == badLead) {
            return bad.make ? bad.make() : bad.answer;
        }
        // Whatever the grouping, each asked tag's own samples.
        std::vector<std::pair<std::string, std::string>> series;
        for (const std::string& tag : {std::string("b1"), heldTag}) {
            const bool asked = ("," + tagList + ",").find("," + tag + ",") != std::string::npos;
            if (asked && (tag == "b1" || recovered)) {
                series.emplace_back(tag, "[" + sample(kSampleLocal) + "]");
            }
        }
        return Answer::json(seriesBody(series));
    });

    auto readings = poll();
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(readings->front()->getUserTimestamp(), kSampleUtc);
    EXPECT_EQ(pulls().tag("b1"), kSampleUtc + 1);
    EXPECT_EQ(pulls().tag(heldTag), kT0);

    std::vector<std::string> sent;
    for (const auto& r : rangeRequests()) {
        const std::string tagList = splitRange(r.target).tags;
        if (sent.empty() || sent.back() != tagList)
            sent.push_back(tagList);
    }
    std::vector<std::string> expected = {kA + ",b1"};
    expected.push_back(midList ? kC + ",d1" : "e1");
    // The poll goes on with the next request, also after one that raised.
    if (midList)
        expected.push_back("e1");
    EXPECT_EQ(sent, expected);

    const std::string failedUrl = splitRange(rangeRequests()[1].target).tags;
    if (*bad.errorFragment) {
        EXPECT_GE(log.count(Level::Error, bad.errorFragment), 1u);
    }
    if (bad.namesUrl || !*bad.errorFragment) {
        EXPECT_GE(log.count(Level::Error, failedUrl), 1u) << "the error line names the URL";
    }

    // The failed tags are asked again from where they were; b1's sample,
    // received again, is not delivered again.
    fake.clearRecords();
    auto again = poll();
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->empty());
    // The held tag from where it was, b1 from past its sample.
    const auto starts = startsByTag(rangeRequests());
    ASSERT_EQ(starts.count(heldTag), 1u);
    EXPECT_EQ(starts.at(heldTag), "2024-07-01T16:05:09");
    EXPECT_EQ(pulls().tag(heldTag), kT0);

    // A restart in the middle of the failure loses and repeats nothing.
    const std::string state = shutdown();
    init();
    plugin_start(handle, state);
    recovered = true;
    auto third = poll();
    ASSERT_TRUE(third);
    ASSERT_EQ(third->size(), 1u);
    EXPECT_EQ((*third)[0]->getAssetName().find("Pump 3.P"), 0u);
    EXPECT_EQ(pulls().tag(heldTag), kSampleUtc + 1);
    EXPECT_EQ(pulls().tag("b1"), kSampleUtc + 1);
}

INSTANTIATE_TEST_SUITE_P(Answers, FailedBatchTest,
                         ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(kBadAnswers)),
                         [](const ::testing::TestParamInfo<std::tuple<bool, BadAnswer>>& param) {
                             return std::string(std::get<0>(param.param) ? "Mid" : "Closing") +
                                    std::get<1>(param.param).name;
                         });

// A key the service has answered is not what a 403 of one request refuses:
// its tags are. The request is split until the refused tag stands alone, and
// the others flow again.
TEST_F(DataPathTest, ForbiddenForOneTagOnceTheKeyWorksHoldsBackOnlyThatTag)
{
    scriptOneSite(paramsFor({"t1", "t2", "t3", "t4"}));
    initAt(kT0);
    onRange([](const Request& req) {
        if (splitRange(req.target).tags.find("t3") != std::string::npos) {
            return Answer::json("{}", 403);
        }
        return Answer::json(seriesBody({{"t4", "[" + sample("2024-07-01T18:00:00") + "]"}}));
    });
    for (int i = 1; i <= 8; ++i) {
        probe().setClock(kT0 + 3600 * i);
        poll();
    }
    EXPECT_GT(pulls().tag("t4"), kT0);
    EXPECT_EQ(pulls().tag("t3"), kT0);
    EXPECT_GE(log.count(Level::Error, "The service rejects tag t3 (403 Forbidden)"), 1u);
}

struct Ending {
    const char* name;
    Answer answer;
    Level level;           // of the line the answer gives
    const char* fragment;  // of that line
    bool advances;         // whether the closing request's window counts as asked
};
void PrintTo(const Ending& c, std::ostream* os)
{
    *os << c.name;
}

class EndingTest : public DataPathTest, public ::testing::WithParamInterface<Ending> {};

// A window answered with a full result is asked no more, and the backlog
// goes on with the next window; but a silent tag's next pull moves only past
// the horizon, however old the window, so a late sample is still delivered.
TEST_P(EndingTest, OnlyAFullResultCountsAWindowAsAsked)
{
    const Ending& c = GetParam();
    scriptOneSite(paramsFor({kA, "b1", "e1"}));
    initAt(kT0);
    probe().setClock(kT0 + 3 * 86400);
    onRange([&c](const Request& req) {
        const std::string tagList = splitRange(req.target).tags;
        if (!tagList.empty() && tagList[0] == 'a') {
            return Answer::json(seriesBody({{"b1", "[" + sample(kSampleLocal) + "]"}}));
        }
        return tagList == "e1" ? c.answer : Answer::json("{\"result\":{}}");
    });

    auto readings = poll();
    ASSERT_TRUE(readings);
    EXPECT_EQ(readings->size(), 1u);
    const auto ranges = rangeRequests();
    ASSERT_GE(ranges.size(), 2u);
    EXPECT_EQ(splitRange(ranges[1].target).tags, "e1");
    EXPECT_GE(log.count(c.level, std::string(c.fragment)), 1u) << c.fragment;
    EXPECT_EQ(log.count(Level::Warning, "No available date range") != 0, c.level == Level::Warning);
    std::size_t laterWindows = 0;  // of e1, in this poll
    const std::string firstEnd = splitRange(ranges[1].target).to;
    for (std::size_t i = 2; i < ranges.size(); ++i) {
        const RangeUrl r = splitRange(ranges[i].target);
        laterWindows += r.tags.find("e1") != std::string::npos && r.to > firstEnd ? 1 : 0;
    }
    EXPECT_EQ(laterWindows != 0, c.advances);
    // Three days is within the horizon: no silent tag moved, b1 moved with
    // its sample alone.
    EXPECT_EQ(pulls().tag(kA), kT0);
    EXPECT_EQ(pulls().tag("e1"), kT0);
    EXPECT_EQ(pulls().tag("b1"), kSampleUtc + 1);
    EXPECT_EQ(pulls().lastPull, kT0);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, EndingTest,
    ::testing::Values(Ending{"EmptyBody", Answer::json(""), Level::Warning, "No available date range", false},
                      Ending{"EmptyBody204", Answer::json("", 204), Level::Error, "204 No Content", false},
                      Ending{"Accepted202", Answer::json("{\"result\":{}}", 202), Level::Error, "202 Accepted", false},
                      Ending{"NoResult", Answer::json("{\"status\":\"ok\"}"), Level::Error, "holds no result", false},
                      Ending{"EmptyResult", Answer::json("{\"result\":{}}"), Level::Info, "Poll returned", true}),
    [](const ::testing::TestParamInfo<Ending>& param) { return std::string(param.param.name); });

TEST_F(DataPathTest, NextPullIsOneSecondPastTheNewestSampleWhateverTheirOrder)
{
    Param p;
    p.tag = "T";
    scriptOneSite({p}, "(GMT+00:00) London");
    const int64_t start = 1719824400;  // 2024-07-01 09:00:00 UTC
    initAt(start);
    rangeAnswer(
        Answer::json(seriesBody({{"T", "[" + sample("2024-07-01T10:00:00") + "," + sample("2024-07-01T10:00:05") + "," +
                                           sample("2024-07-01T09:30:00") + "]"}})));

    auto readings = poll();
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 3u);
    EXPECT_EQ((*readings)[0]->getUserTimestamp(), 1719828000);
    EXPECT_EQ((*readings)[1]->getUserTimestamp(), 1719828005);
    EXPECT_EQ((*readings)[2]->getUserTimestamp(), 1719826200);
    EXPECT_EQ(pulls().tag("T"), 1719828006);

    fake.clearRecords();
    auto again = poll();
    ASSERT_EQ(rangeRequests().size(), 1u);
    EXPECT_EQ(splitRange(rangeRequests()[0].target).from, "2024-07-01T10:00:06");
}

// A series written with fractions of a second may send a second sample of a
// second later: each is delivered once, and the newest second is asked again.
TEST_F(DataPathTest, SamplesOfOneSecondPublishedApartAreEachDeliveredOnce)
{
    Param p;
    p.tag = "T";
    scriptOneSite({p}, "(GMT+00:00) London");
    initAt(1719824400);  // 2024-07-01 09:00:00 UTC
    const std::string first = sample("2024-07-01T10:00:00.250");
    const std::string second = sample("2024-07-01T10:00:00.75");
    const std::vector<std::pair<std::string, std::size_t>> polls = {
        {"[" + first + "]", 1}, {"[" + first + "," + second + "]", 1}, {"[" + second + "," + first + "]", 0}};
    for (const auto& answer : polls) {
        fake.clearRecords();
        rangeAnswer(Answer::json(seriesBody({{"T", answer.first}})));
        auto readings = poll();
        ASSERT_TRUE(readings);
        EXPECT_EQ(readings->size(), answer.second) << answer.first;
    }
    EXPECT_EQ(splitRange(rangeRequests()[0].target).from, "2024-07-01T10:00:00");
    EXPECT_NE(shutdown().find("\"edge\":[251,751]"), std::string::npos);
}

// Re-reading a range is harmless: what is older than its tag's next pull was
// delivered before (or precedes the start) and is not delivered again.
TEST_F(DataPathTest, SampleOlderThanItsTagsNextPullIsNotDelivered)
{
    Param p;
    p.tag = "T";
    scriptOneSite({p}, "(GMT+00:00) London");
    initAt(kT0);
    rangeAnswer(Answer::json(seriesBody({{"T", "[" + sample("2024-07-01T12:00:00") + "]"}})));

    auto readings = poll();
    ASSERT_TRUE(readings);
    EXPECT_TRUE(readings->empty());
    EXPECT_EQ(shutdown(), stateText(kT0, {{"T", kT0}}));
}

TEST_F(DataPathTest, SampleWithoutTimestampIsSkippedWithAWarningAndDoesNotMoveTheNextPull)
{
    Param p;
    p.tag = "T";
    scriptOneSite({p});
    initAt(kT0);
    rangeAnswer(Answer::json(seriesBody({{"T", "[{\"quality\":3,\"value\":5}]"}})));

    auto readings = poll();
    ASSERT_TRUE(readings);
    EXPECT_TRUE(readings->empty());
    EXPECT_EQ(log.count(Level::Warning, "without a timestamp"), 1u);
    EXPECT_EQ(shutdown(), stateText(kT0, {{"T", kT0}}));
}

TEST_F(DataPathTest, SamplesAroundOneWithoutTimestampKeepTheirOwnTimes)
{
    Param p;
    p.tag = "T";
    scriptOneSite({p});
    initAt(kT0);
    rangeAnswer(Answer::json(seriesBody({{"T", "[" + sample("2024-07-01T17:00:00", "1") + ",{\"value\":2}," +
                                                   sample("2024-07-01T17:00:10", "3") + "]"}})));

    auto readings = poll();
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 2u);
    EXPECT_EQ((*readings)[0]->getUserTimestamp(), kSampleUtc);
    EXPECT_EQ((*readings)[1]->getUserTimestamp(), kSampleUtc + 10);
    EXPECT_EQ(describe((*readings)[1])[1], "Flow=i:3");
    EXPECT_TRUE(log.has(Level::Debug, "Add reading for asset Pump 3.Flow at 2024-07-01 17:00:00 +02:00"));
    EXPECT_TRUE(log.has(Level::Debug, "Add reading for asset Pump 3.Flow at 2024-07-01 17:00:10 +02:00"));
    EXPECT_EQ(log.count(Level::Warning, "without a timestamp"), 1u);
    EXPECT_EQ(pulls().tag("T"), kSampleUtc + 11);
}

TEST_F(DataPathTest, SecondPollAsksFromTheNewLastPullAndDoesNotRediscover)
{
    Param p;
    p.tag = "T";
    scriptOneSite({p});
    initAt(kT0);
    rangeAnswer(Answer::json(seriesBody({{"T", "[" + sample(kSampleLocal) + "]"}})));

    auto first = poll();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 1u);
    const auto firstRanges = rangeRequests();
    ASSERT_EQ(firstRanges.size(), 1u);
    EXPECT_EQ(splitRange(firstRanges[0].target).from, "2024-07-01T16:05:09");

    fake.clearRecords();
    auto second = poll();
    ASSERT_TRUE(second);
    // The same answer again is filtered: nothing is delivered twice.
    EXPECT_TRUE(second->empty());
    const auto t = targets();
    ASSERT_EQ(t.size(), 1u);
    const RangeUrl r = splitRange(t[0]);
    ASSERT_TRUE(r.valid) << t[0];
    EXPECT_EQ(r.from, "2024-07-01T17:00:01");
    EXPECT_EQ(r.tags, "T");
    EXPECT_GE(r.to, splitRange(firstRanges[0].target).to);
    EXPECT_EQ(pulls().tag("T"), kSampleUtc + 1);
}

TEST_F(DataPathTest, RestartResumesFromTheStoredLastPullInTheSitesZone)
{
    Param p;
    p.tag = "T";
    scriptOneSite({p}, "(GMT-04:30) Caracas");
    initAt(kT0);
    // 2024-07-01 15:00:00 UTC at -04:30.
    rangeAnswer(Answer::json(seriesBody({{"T", "[" + sample("2024-07-01T10:30:00") + "]"}})));
    auto first = poll();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 1u);
    const std::string state = shutdown();
    // Stored in UTC, as is the sample kept with where its tag was read from.
    const std::string pulls = stateText(kSampleUtc + 1, {{"T", kSampleUtc + 1}});
    EXPECT_EQ(state, pulls.substr(0, pulls.size() - 2) +
                         ", \"progress\" : {\"T\":{\"last\":" + std::to_string(kSampleUtc) +
                         ",\"interval\":0,\"run\":0,\"prior\":" + std::to_string(kT0 - 1) + "}} }");

    fake.clearRecords();
    init();
    plugin_start(handle, state);
    auto second = poll();
    const auto t = targets();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t[0], apiUrl("sites"));
    const auto ranges = rangeRequests();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(splitRange(ranges[0].target).from, "2024-07-01T10:30:01");
}

TEST_F(DataPathTest, WithoutStoredStateTheFirstRangeReachesBackOneYear)
{
    Param p;
    p.tag = "T";
    scriptOneSite({p}, "(GMT+00:00) London");
    const int64_t before = time(nullptr);
    init();
    probe().setClock(0);
    const int64_t after = time(nullptr);
    auto readings = poll();
    const auto ranges = rangeRequests();
    ASSERT_FALSE(ranges.empty());
    const std::string from = splitRange(ranges[0].target).from;
    EXPECT_GE(from, localText(before - Nerivo::DEFAULT_LOOKBACK, 0));
    EXPECT_LE(from, localText(after - Nerivo::DEFAULT_LOOKBACK, 0));
}

}  // namespace
}  // namespace dp

namespace dp {
namespace {

// Tags are the service's own text: a space, a comma or a line break in one
// must neither split the tag list nor break the request line.
TEST_F(DataPathTest, TagsOutsideTheUrlAlphabetArePercentEncoded)
{
    Param odd;
    odd.tag = "Pump 3,Flow&x=%\n\xC3\xBC/";
    Param plain;
    plain.tag = "AMS-1.Flow_2~";
    plain.parameterName = "Level";
    scriptOneSite({odd, plain}, "(GMT+00:00) London");
    initAt(1719824400);
    rangeAnswer(Answer::json(seriesBody({{"AMS-1.Flow_2~", "[" + sample("2024-07-01T10:00:00") + "]"},
                                         {odd.tag, "[" + sample("2024-07-01T10:00:01") + "]"}})));

    auto readings = poll();
    ASSERT_EQ(rangeRequests().size(), 1u);
    EXPECT_EQ(splitRange(rangeRequests()[0].target).tags, "AMS-1.Flow_2~,Pump%203%2CFlow%26x%3D%25%0A%C3%BC%2F");
    // The answer names the tag as it is, and it finds its record.
    ASSERT_TRUE(readings);
    ASSERT_EQ(readings->size(), 2u);
    EXPECT_EQ((*readings)[1]->getAssetName(), "Pump 3.Flow");
}

}  // namespace
}  // namespace dp

namespace dp {
namespace {

// The two numbers that end the last poll line: bytes on the wire, inflated.
std::pair<unsigned long long, unsigned long long> pollTraffic(const LogCapture& log)
{
    std::pair<unsigned long long, unsigned long long> traffic{0, 0};
    for (const auto& line : log.at(Level::Info)) {
        const auto at = line.rfind("; ");
        if (line.rfind("Poll returned", 0) == 0 && at != std::string::npos)
            std::sscanf(line.c_str() + at, "; %llu bytes on the wire, %llu inflated", &traffic.first, &traffic.second);
    }
    return traffic;
}

// gzip, deflate in both its forms, or plain: the same readings, and the poll
// line counts the compressed bytes on the wire and the inflated ones.
TEST_F(DataPathTest, CompressedAnswersGiveTheSameReadingsAndTheirWireBytesAreCounted)
{
    using fakeservice::Coding;
    struct Case {
        const char* name;
        std::function<Answer(const std::string&)> answer;
        const char* fakeEncoding;  // the coding the fake chose itself
        bool smaller;              // fewer bytes on the wire than inflated
    };
    auto scripted = [](Coding coding, const char* encoding) {
        return [coding, encoding](const std::string& body) {
            Answer a = Answer::json(fakeservice::compressed(body, coding));
            a.headers = {{"Content-Encoding", encoding}};
            return a;
        };
    };
    const Case cases[] = {
        {"the fake's own", [](const std::string& body) { return Answer::json(body); }, "gzip", true},
        {"gzip", scripted(Coding::GZIP, "gzip"), "", true},
        {"zlib deflate", scripted(Coding::ZLIB, "deflate"), "", true},
        {"raw deflate", scripted(Coding::RAW_DEFLATE, "deflate"), "", true},
        {"plain",
         [](const std::string& body) {
             Answer a = Answer::json(body);
             a.compress = false;
             return a;
         },
         "", false},
    };
    Param p;
    p.tag = "T";
    scriptOneSite({p});
    initAt(kT0);
    auto discovered = poll();  // discovery's traffic is counted in its own poll
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        // Padded, so that compression shows on the wire.
        const std::string body =
            seriesBody(
                {{"T",
                  "[" + sample(localText(kSampleUtc + static_cast<int64_t>(i), 120), std::to_string(i + 1)) + "]"}}) +
            std::string(4000, ' ');
        rangeAnswer(cases[i].answer(body));
        fake.clearRecords();
        log.clear();
        auto readings = poll();
        ASSERT_TRUE(readings);
        ASSERT_EQ(readings->size(), 1u);
        EXPECT_EQ(readings->front()->getUserTimestamp(), kSampleUtc + static_cast<int64_t>(i));
        EXPECT_EQ(describe(readings->front())[1], "Flow=i:" + std::to_string(i + 1));
        const auto ranges = rangeRequests();
        ASSERT_EQ(ranges.size(), 1u);
        EXPECT_EQ(ranges[0].answerEncoding, cases[i].fakeEncoding);
        const auto traffic = pollTraffic(log);
        EXPECT_EQ(traffic.second, body.size());
        EXPECT_EQ(traffic.first < traffic.second, cases[i].smaller) << traffic.first;
    }
}

std::string httpDate(int64_t epoch)
{
    const time_t t = static_cast<time_t>(epoch);
    struct tm parts {};
    gmtime_r(&t, &parts);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return buffer;
}

// The service asks for a pause in its first range answer.
struct Pause {
    const char* name;
    int status;
    std::string (*retryAfter)();  // null: no Retry-After
    std::chrono::milliseconds minHold, maxHold;
    const char* warning;
};
void PrintTo(const Pause& c, std::ostream* os)
{
    *os << c.name;
}

class PauseTest : public DataPathTest, public ::testing::WithParamInterface<Pause> {};

// The next poll sends nothing and returns at once; the first poll after the
// hold sends again and delivers what was held, once, and the end of the
// back-off is said once.
TEST_P(PauseTest, PollsSendNothingUntilTheHoldIsOverThenDeliverWhatWasHeldOnce)
{
    const Pause& c = GetParam();
    Param p;
    p.tag = "T";
    scriptOneSite({p});
    initAt(kT0);
    std::atomic<bool> paused{true};  // the fake's threads answer
    onRange([&c, &paused](const Request&) {
        if (paused.exchange(false)) {
            Answer a = Answer::json("{\"error\":\"slow down\"}", c.status);
            if (c.retryAfter)
                a.headers = {{"Retry-After", c.retryAfter()}};
            return a;
        }
        return Answer::json(seriesBody({{"T", "[" + sample(kSampleLocal) + "]"}}));
    });

    const auto before = Clock::now();
    auto first = poll();
    const auto after = Clock::now();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->empty());
    ASSERT_EQ(rangeRequests().size(), 1u);
    EXPECT_EQ(log.count(Level::Warning, c.warning), 1u);
    EXPECT_EQ(pulls().tag("T"), kT0);

    fake.clearRecords();
    auto held = poll();
    EXPECT_LT(Clock::now() - after, 300ms);
    ASSERT_TRUE(held);
    EXPECT_TRUE(held->empty());
    EXPECT_TRUE(fake.requests().empty());

    ReadingList resumed;
    while (fake.requests().empty() && Clock::now() < before + 10s) {
        std::this_thread::sleep_for(20ms);
        resumed = poll();
    }
    const auto sent = Clock::now();
    ASSERT_EQ(rangeRequests().size(), 1u);
    EXPECT_GE(sent - before, c.minHold);
    EXPECT_LE(sent - after, c.maxHold + 500ms);
    ASSERT_TRUE(resumed);
    ASSERT_EQ(resumed->size(), 1u);
    EXPECT_EQ(resumed->front()->getUserTimestamp(), kSampleUtc);
    EXPECT_EQ(splitRange(rangeRequests()[0].target).from, "2024-07-01T16:05:09");
    EXPECT_EQ(log.count(Level::Info, "The service answers again after a back-off of "), 1u);

    auto again = poll();
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->empty());
    EXPECT_EQ(log.count(Level::Info, "The service answers again"), 1u);
    EXPECT_EQ(log.count(Level::Warning, "requests to it are held"), 1u);
    EXPECT_EQ(pulls().tag("T"), kSampleUtc + 1);
}

const char* const kHeld429 = "The service answered 429 Too Many Requests; requests to it are held for 1 s";

INSTANTIATE_TEST_SUITE_P(
    Pauses, PauseTest,
    ::testing::Values(Pause{"RetryAfterSeconds", 429, [] { return std::string("1"); }, 1000ms, 1000ms, kHeld429},
                      Pause{"RetryAfterDate", 503, [] { return httpDate(std::time(nullptr) + 2); }, 1000ms, 2000ms,
                            "The service answered 503 Service Unavailable; requests to it are held for "},
                      // About a second, with jitter.
                      Pause{"NoRetryAfter", 429, nullptr, 500ms, 1000ms, kHeld429}),
    [](const ::testing::TestParamInfo<Pause>& param) { return std::string(param.param.name); });

// A proxy nobody listens on: connections cannot be opened and the requests
// are held; another proxy ends the hold at once.
TEST_F(DataPathTest, RefusedConnectionsHoldRequestsUntilTheProxyChanges)
{
    // Bound and never listening: connections to it are refused.
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(socket, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string dead = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    Param p;
    p.tag = "T";
    scriptOneSite({p});
    rangeAnswer(Answer::json(seriesBody({{"T", "[" + sample(kSampleLocal) + "]"}})));
    initAt(kT0);
    std::string config = configJson(Settings());
    config.replace(config.find(fake.hostPort()), fake.hostPort().size(), dead);
    plugin_reconfigure(&handle, config);

    auto first = poll();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->empty());
    EXPECT_EQ(log.count(Level::Warning, "Connections to the service cannot be opened ("), 1u);
    const std::size_t failed = log.count(Level::Error, "API request failed");
    const std::size_t polls = log.count(Level::Info, "Poll returned");
    EXPECT_GE(failed, 1u);

    const auto heldAt = Clock::now();
    auto held = poll();
    EXPECT_LT(Clock::now() - heldAt, 300ms);
    ASSERT_TRUE(held);
    EXPECT_TRUE(held->empty());
    EXPECT_EQ(log.count(Level::Error, "API request failed"), failed) << "nothing was tried";
    EXPECT_EQ(log.count(Level::Info, "Poll returned"), polls);

    // The reconfiguration rediscovers through the new proxy before it returns.
    plugin_reconfigure(&handle, configJson(Settings()));
    EXPECT_EQ(countTarget(apiUrl("sites")), 1u);
    auto after = poll();
    ASSERT_TRUE(after);
    ASSERT_EQ(after->size(), 1u);
    EXPECT_EQ(after->front()->getUserTimestamp(), kSampleUtc);
    EXPECT_EQ(log.count(Level::Warning, "Connections to the service cannot be opened"), 1u);
    ::close(socket);
}

}  // namespace
}  // namespace dp
