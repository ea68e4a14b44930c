// Discovery as the first poll runs it: which requests, in which order, with
// which key, and what the site list's zone texts do to the range dates.
#include <chrono>
#include <set>

#include "datapath_fixture.h"

namespace dp {
namespace {

using Level = Logger::Level;

TEST_F(DataPathTest, DiscoveryWalksSitesThenEachSitesAssetsThenEachAssetsParameters)
{
    scriptSites({site(1, "North", "(GMT+00:00) London"), site(2, "South", "(GMT+00:00) London")});
    // Site 1's assets come last: the walk reads them first all the same.
    Answer late = Answer::json(listBody({asset(1, 10), asset(1, 11)}));
    late.delay = std::chrono::milliseconds(150);
    fake.script(apiUrl("sites/1/assets"), late);
    scriptAssets(2, {asset(2, 20)});
    Param p10;
    p10.assetId = 10;
    p10.tag = "T10";
    Param p11;
    p11.assetId = 11;
    p11.tag = "T11";
    Param p20;
    p20.assetId = 20;
    p20.tag = "T20";
    scriptParameters(1, 10, {p10});
    scriptParameters(1, 11, {p11});
    scriptParameters(2, 20, {p20});
    Settings s;
    s.key = "secret-key-42";
    initAt(kT0, s);

    auto readings = poll();
    ASSERT_TRUE(readings);

    const auto requests = fake.requests();
    // 1 site list + 2 asset lists + 3 parameter lists, each kind sent over
    // several connections at once, then the range.
    ASSERT_EQ(requests.size(), 7u);
    const std::vector<std::set<std::string>> kinds = {
        {apiUrl("sites")},
        {apiUrl("sites/1/assets"), apiUrl("sites/2/assets")},
        {apiUrl("sites/1/assets/10/parameters"), apiUrl("sites/1/assets/11/parameters"),
         apiUrl("sites/2/assets/20/parameters")},
    };
    std::size_t i = 0;
    for (const auto& kind : kinds) {
        std::set<std::string> sent;
        for (std::size_t k = 0; k < kind.size(); ++k) {
            sent.insert(requests[i++].target);
        }
        EXPECT_EQ(sent, kind);
    }
    const RangeUrl range = splitRange(requests[6].target);
    ASSERT_TRUE(range.valid) << requests[6].target;
    EXPECT_EQ(range.tags, "T10,T11,T20");
    // The log reads as the walk: each site's assets, then their parameters.
    std::vector<std::string> walk;
    for (const auto& line : log.at(Level::Info)) {
        if (line.find(" list for site ") != std::string::npos) {
            walk.push_back(line.substr(0, line.find(':')));
        }
    }
    EXPECT_EQ(walk, (std::vector<std::string>{"Asset list for site 1", "Parameter list for site 1, asset 10",
                                              "Parameter list for site 1, asset 11", "Asset list for site 2",
                                              "Parameter list for site 2, asset 20"}));

    for (const auto& r : requests) {
        EXPECT_EQ(r.method, "GET") << r.target;
        EXPECT_EQ(r.header("X-Api-Key").value_or("<none>"), "secret-key-42") << r.target;
        EXPECT_EQ(r.header("Content-Type").value_or("<none>"), "application/json") << r.target;
        EXPECT_EQ(r.header("Accept-Encoding").value_or("<none>"), "gzip, deflate") << r.target;
        EXPECT_TRUE(r.viaTunnel) << r.target;
    }
    // Several connections, every one a tunnel through the proxy.
    const auto connections = fake.connections();
    EXPECT_GT(connections.size(), 1u);
    for (const auto& c : connections) {
        EXPECT_EQ(c.proxyRequestLine.rfind("CONNECT api.nerivowater.com:443 ", 0), 0u) << c.proxyRequestLine;
        EXPECT_TRUE(c.viaTunnel) << c.id;
    }
    EXPECT_EQ(shutdown(), stateText(kT0, {{"T10", kT0}, {"T11", kT0}, {"T20", kT0}}));
}

TEST_F(DataPathTest, ParametersAreAskedUnderTheSiteIdOfTheAssetElement)
{
    scriptSites({site(1, "North", "")});
    // The asset list of site 1 names an asset filed under site 7.
    scriptAssets(1, {asset(7, 70)});
    Param p;
    p.assetId = 70;
    p.tag = "T70";
    scriptParameters(7, 70, {p});
    initAt(kT0);

    rangeAnswer(Answer::json(seriesBody({{"T70", "[" + sample("2024-07-01T15:00:00") + "]"}})));
    auto readings = poll();
    ASSERT_TRUE(readings);
    EXPECT_EQ(countTarget(apiUrl("sites/7/assets/70/parameters")), 1u);
    ASSERT_EQ(readings->size(), 1u);
    // Site 7 was never named, so the reading carries its id but no site name.
    const auto dps = describe(readings->front());
    EXPECT_EQ(std::count(dps.begin(), dps.end(), "siteID=i:7"), 1);
    for (const auto& d : dps)
        EXPECT_NE(d.rfind("site=", 0), 0u) << d;
}

struct ZoneCase {
    std::vector<std::string> zones;  // one site per entry, in list order
    std::string expectedFrom;        // range start for lastPull
    int64_t lastPull = kT0;
};
void PrintTo(const ZoneCase& c, std::ostream* os)
{
    *os << c.expectedFrom;
}

class ZoneOffsetTest : public DataPathTest, public ::testing::WithParamInterface<ZoneCase> {};

TEST_P(ZoneOffsetTest, RangeStartIsTheLastPullInTheZoneOfTheLastSiteThatGaveOne)
{
    const ZoneCase& c = GetParam();
    std::vector<std::string> sites;
    for (std::size_t i = 0; i < c.zones.size(); ++i) {
        sites.push_back(site(static_cast<long>(i + 1), "S" + std::to_string(i + 1), c.zones[i]));
        scriptAssets(static_cast<long>(i + 1), {});
    }
    scriptSites(sites);
    init();
    // Stored as unsigned, as the plugin stores it.
    plugin_start(handle, "{ \"lastPull\" : " + std::to_string(static_cast<uint64_t>(c.lastPull)) + " }");
    ASSERT_EQ(pulls().lastPull, c.lastPull);

    auto readings = poll();
    const auto ranges = rangeRequests();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(splitRange(ranges[0].target).from, c.expectedFrom);
    // A stored time that far ahead is refused, but shifting it by any zone
    // must still not overflow.
    EXPECT_EQ(client()->formatDate(INT64_MAX), "1970-01-01T00:00:00");
}

// kT0 is 2024-07-01 14:05:09 UTC.
INSTANTIATE_TEST_SUITE_P(
    Zones, ZoneOffsetTest,
    ::testing::Values(ZoneCase{{"(GMT+01:00) Paris", "(GMT-03:30) Newfoundland"}, "2024-07-01T10:35:09"},
                      ZoneCase{{"(GMT-03:30) Newfoundland", "(GMT+01:00) Paris"}, "2024-07-01T15:05:09"},
                      ZoneCase{{"(GMT+05:30) Chennai"}, "2024-07-01T19:35:09"},
                      ZoneCase{{"(GMT-05:00) Eastern"}, "2024-07-01T09:05:09"},
                      ZoneCase{{"(GMT+00:00) London"}, "2024-07-01T14:05:09"},
                      // Texts that give no offset leave the one before them.
                      ZoneCase{{"(GMT+01:00) Paris", "(UTC+03:00) Moscow"}, "2024-07-01T15:05:09"},
                      ZoneCase{{"(GMT+01:00) Paris", "(GMT) Nowhere"}, "2024-07-01T15:05:09"},
                      ZoneCase{{"(GMT+01:00) Paris", ""}, "2024-07-01T15:05:09"},
                      ZoneCase{{"(UTC+03:00) Moscow"}, "2024-07-01T14:05:09"},
                      // Shifting the ends of the 64-bit range would overflow.
                      ZoneCase{{"(GMT-05:00) Eastern"}, "1970-01-01T00:00:00", INT64_MIN},
                      // A year before 1000 is zero-padded: a space would break the request line.
                      ZoneCase{{"(GMT+00:00) London"}, "0702-06-15T00:53:20", -40000000000}));

TEST_F(DataPathTest, UnauthorizedSiteListLeavesAnEmptyIndexAndIsRetriedAtTheNextPoll)
{
    fake.script(apiUrl("sites"), Answer::json("{\"message\":\"bad key\"}", 401));
    initAt(kT0);

    auto first = poll();
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->empty());
    EXPECT_TRUE(log.has(Level::Error, "Failed to retrieve list of sites: 401 Unauthorized"));
    EXPECT_GE(log.count(Level::Error, "check the configuration item \"key\""), 1u);
    EXPECT_GE(log.count(Level::Warning, "missing the site list"), 1u);

    auto second = poll();
    ASSERT_TRUE(second);
    const auto t = targets();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0], apiUrl("sites"));
    EXPECT_EQ(t[2], apiUrl("sites"));
    // An empty index still asks for the range, with nothing after "?tags=":
    // no site, asset or tag was indexed.
    for (std::size_t i : {1u, 3u}) {
        const RangeUrl r = splitRange(t[i]);
        ASSERT_TRUE(r.valid) << t[i];
        EXPECT_EQ(r.tags, "") << t[i];
        EXPECT_EQ(r.from, "2024-07-01T14:05:09");
    }
}

struct HealCase {
    int list;              // 0: the site list, 1: site 2's assets, 2: asset 20's parameters
    std::size_t failures;  // polls it fails for
    Answer fault;
};
void PrintTo(const HealCase& c, std::ostream* os)
{
    *os << "list " << c.list << " x" << c.failures;
}

class DiscoveryHealsTest : public DataPathTest, public ::testing::WithParamInterface<HealCase> {};

// A list that fails is asked again at the next polls; once it answers its
// tags are read from the same starting time as the first tags.
TEST_P(DiscoveryHealsTest, FailedListIsRetriedAndItsTagsReadFromTheStart)
{
    const HealCase& c = GetParam();
    const std::string sites =
        listBody({site(1, "North", "(GMT+00:00) London"), site(2, "South", "(GMT+00:00) London")});
    scriptAssets(1, {asset(1, 10)});
    const std::string assets2 = listBody({asset(2, 20)});
    Param p10;
    p10.assetId = 10;
    p10.tag = "T10";
    Param p20;
    p20.assetId = 20;
    p20.tag = "T20";
    scriptParameters(1, 10, {p10});
    const std::string params20 = listBody({p20.json()});
    const std::vector<std::pair<std::string, std::string>> lists = {{apiUrl("sites"), sites},
                                                                    {apiUrl("sites/2/assets"), assets2},
                                                                    {apiUrl("sites/2/assets/20/parameters"), params20}};
    for (int i = 0; i < 3; ++i) {
        std::vector<Answer> answers(i == c.list ? c.failures : 0, c.fault);
        answers.push_back(Answer::json(lists[i].second));
        fake.script(lists[i].first, answers);
    }
    rangeAnswer(Answer::json(seriesBody(
        {{"T10", "[" + sample("2024-07-01T15:00:00") + "]"}, {"T20", "[" + sample("2024-07-01T15:00:00") + "]"}})));
    initAt(kT0);

    // Until then the lists that answered are used, before any discovery completed.
    const char* const missing[] = {"the site list", "the asset list of site 2", "the parameter list of asset 20"};
    for (std::size_t i = 0; i < c.failures; ++i) {
        auto readings = poll();
        ASSERT_TRUE(readings);
        EXPECT_LT(readings->size(), 2u) << "poll " << i;
        EXPECT_EQ(splitRange(rangeRequests().back().target).tags, c.list == 0 ? "" : "T10") << "poll " << i;
    }
    EXPECT_EQ(log.count(Level::Warning, std::string("Discovery incomplete, missing ") + missing[c.list] + ";"),
              c.failures);
    auto healed = poll();
    ASSERT_TRUE(healed);
    EXPECT_GE(log.count(Level::Info, "Discovery completed after"), 1u);
    // The tag found now from the start; T10 from past its sample once it had
    // one (unless, asked again and again for nothing new, it rests a poll).
    const auto ranges = rangeRequests();
    const auto starts = startsByTag(std::vector<Request>(ranges.begin() + long(c.failures), ranges.end()));
    ASSERT_EQ(starts.count("T20"), 1u);
    EXPECT_EQ(starts.at("T20"), "2024-07-01T14:05:09");
    if (c.list == 0 || starts.count("T10") != 0) {
        EXPECT_EQ(starts.at("T10"), c.list == 0 ? "2024-07-01T14:05:09" : "2024-07-01T15:00:01");
    }
    EXPECT_EQ(countTarget(lists[c.list].first), c.failures + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DiscoveryHealsTest,
    ::testing::Values(HealCase{0, 2, Answer::json("", 500)}, HealCase{0, 1, Answer::json("{}", 404)},
                      HealCase{1, 1, Answer::json("{\"message\":\"bad key\"}", 403)},
                      HealCase{1, 2, Answer::json("{\"result\":[", 200)}, HealCase{2, 3, Answer::json("", 500)},
                      // A list without a usable result is missing too.
                      HealCase{1, 1, Answer::json("{}")}, HealCase{1, 1, Answer::json("{\"result\":null}")},
                      HealCase{2, 1, Answer::json("")}, HealCase{2, 1, Answer::json("{\"result\":{}}")}));

// A refresh finds a parameter added in the service and reads it from the
// start; a refresh that fails keeps the index in use.
TEST_F(DataPathTest, RefreshAddsNewTagsFromTheStartAndAFailedOneKeepsTheIndex)
{
    Param first;
    first.tag = "T1";
    Param added;
    added.tag = "T2";
    added.parameterName = "Level";
    const std::string sites = listBody({site(1, "North", "(GMT+02:00) Athens")});
    fake.script(apiUrl("sites"), {Answer::json(sites), Answer::json(sites), Answer::json("", 500)});
    scriptAssets(1, {asset(1, 10)});
    const std::string url = apiUrl("sites/1/assets/10/parameters");
    fake.script(url, {Answer::json(listBody({first.json()})), Answer::json(listBody({first.json(), added.json()}))});
    rangeAnswer(Answer::json(seriesBody({{"T1", "[" + sample("2024-07-01T17:00:00") + "]"}})));
    initAt(kT0);
    probe().setDiscoveryRefresh(0);

    auto one = poll();
    ASSERT_EQ(splitRange(rangeRequests().back().target).tags, "T1");
    auto two = poll();
    // The new tag, never asked, goes first, from where the first tags started.
    ASSERT_EQ(splitRange(rangeRequests()[1].target).tags, "T2");
    EXPECT_EQ(pulls().tag("T2"), kT0) << "the new tag starts where the first tags started";
    EXPECT_EQ(splitRange(rangeRequests()[1].target).from, "2024-07-01T16:05:09");

    rangeAnswer(Answer::json(seriesBody({{"T2", "[" + sample("2024-07-01T17:00:00") + "]"}})));
    auto three = poll();
    EXPECT_GE(log.count(Level::Warning, "the previous index stays in use"), 1u);
    const auto ranges = rangeRequests();
    ASSERT_GT(ranges.size(), 3u);
    EXPECT_EQ(startsByTag(std::vector<Request>(ranges.begin() + 3, ranges.end())).size(), 2u)
        << "the kept index asks both tags";
    // The site of the kept index still names the readings.
    ASSERT_EQ(three->size(), 1u);
    EXPECT_EQ(describe(three->front()).back(), "site=s:North");
}

TEST_F(DataPathTest, DiscoveryAnswersOfTheWrongShapeAreSkippedAndTheRestIsUsed)
{
    // A non-object site, a site whose id is a text, then a good site.
    fake.script(apiUrl("sites"),
                Answer::json("{\"result\":[42,{\"SITE_ID\":\"1\",\"SITE_NAME\":\"Text\"},"
                             "{\"SITE_ID\":2,\"SITE_NAME\":\"South\",\"TIMEZONE\":\"(GMT+00:00) UTC\"}]}"));
    // A non-object asset, an asset whose id is a text, then a good asset.
    fake.script(
        apiUrl("sites/2/assets"),
        Answer::json("{\"result\":[\"x\",{\"SITE_ID\":2,\"ASSET_ID\":\"20\"},{\"SITE_ID\":2,\"ASSET_ID\":21}]}"));
    Param good;
    good.assetId = 21;
    good.tag = "GOOD";
    fake.script(apiUrl("sites/2/assets/21/parameters"), Answer::json("{\"result\":[null,7," + good.json() + "]}"));
    rangeAnswer(Answer::json(seriesBody({{"GOOD", "[" + sample("2024-07-01T15:00:00") + "]"}})));
    initAt(kT0);

    auto readings = poll();
    ASSERT_TRUE(readings);
    EXPECT_EQ(countTarget(apiUrl("sites/1/assets")), 0u);
    EXPECT_EQ(countTarget(apiUrl("sites/2/assets")), 1u);
    EXPECT_EQ(countTarget(apiUrl("sites/2/assets/21/parameters")), 1u);
    EXPECT_EQ(countTarget(apiUrl("sites/2/assets/20/parameters")), 0u);
    const auto ranges = rangeRequests();
    ASSERT_EQ(ranges.size(), 1u);
    EXPECT_EQ(splitRange(ranges[0].target).tags, "GOOD");
    ASSERT_EQ(readings->size(), 1u);
    EXPECT_EQ(describe(readings->front()).back(), "site=s:South");
    // Each skipped element says so.
    EXPECT_EQ(log.count(Level::Warning, "Skipping a site list element that is not an object"), 1u);
    EXPECT_EQ(log.count(Level::Warning, "Skipping a site whose SITE_ID is not an integer"), 1u);
    EXPECT_EQ(log.count(Level::Warning, "Skipping an asset of site 2 that is not an object"), 1u);
    EXPECT_EQ(log.count(Level::Warning, "Skipping an asset of site 2 whose ids are not integers"), 1u);
    EXPECT_EQ(log.count(Level::Warning, "Skipping a parameter of asset 21 that is not an object"), 2u);
}

TEST_F(DataPathTest, WholeSiteListOfTheWrongShapeEndsDiscoveryQuietly)
{
    fake.script(apiUrl("sites"), Answer::json("[{\"SITE_ID\":1}]"));
    initAt(kT0);
    auto readings = poll();
    ASSERT_TRUE(readings);
    EXPECT_EQ(countTarget(apiUrl("sites/1/assets")), 0u);
    ASSERT_EQ(rangeRequests().size(), 1u);
    EXPECT_EQ(splitRange(rangeRequests()[0].target).tags, "");
}

TEST_F(DataPathTest, LargeIdsAreRequestedAndLoggedWhole)
{
    const long big = 5000000000L;
    scriptSites({site(big, "Big", "")});
    fake.script(apiUrl("sites/5000000000/assets"), Answer::json("", 200));
    initAt(kT0);
    auto readings = poll();
    EXPECT_EQ(countTarget(apiUrl("sites/5000000000/assets")), 1u);
    EXPECT_TRUE(log.has(Level::Warning, "Site 5000000000 has no assets defined"));
    EXPECT_EQ(log.count(Level::Info, "Asset list for site 5000000000: "), 1u);
}

}  // namespace
}  // namespace dp
