// A reconfiguration arriving on another thread while the poll thread works:
// both take the client's mutex, a waiting reconfiguration is given way, and a
// reconfiguration of a running client rediscovers with its new key.
#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "datapath_fixture.h"

namespace dp {
namespace {

using Level = Logger::Level;
using namespace std::chrono_literals;

const char* const kYieldStart = "Nerivo::takeReading(): m_reconfPending is SET, so yielding poll thread";
const char* const kYieldEnd = "Nerivo::takeReading(): back after yielding poll thread";

class ConcurrencyTest : public DataPathTest {
protected:
    void scriptTwoTags()
    {
        Param flow;
        flow.tag = "T1";
        Param level;
        level.tag = "T2";
        level.parameterName = "Level";
        scriptOneSite({flow, level});
        rangeAnswer(Answer::json(seriesBody(
            {{"T1", "[" + sample("2024-07-01T17:00:00") + "]"}, {"T2", "[" + sample("2024-07-01T17:00:00") + "]"}})));
    }
    std::size_t sitesRequestsSoFar() const { return countTarget(apiUrl("sites")); }
};

TEST_F(ConcurrencyTest, PollingWhileReconfiguringRepeatedly)
{
    scriptTwoTags();
    initAt(kT0);

    constexpr int kPolls = 5;
    constexpr int kReconfigurations = 8;
    std::atomic<int> readingsSeen{0};
    std::atomic<int> listsSeen{0};
    std::set<std::string> names;
    std::thread poller([&] {
        for (int i = 0; i < kPolls; ++i) {
            ReadingList list(plugin_poll(handle));
            if (!list)
                continue;
            ++listsSeen;
            readingsSeen += static_cast<int>(list->size());
            for (const Reading* r : *list)
                names.insert(r->getAssetName());
        }
    });
    std::thread reconfigurer([&] {
        for (int i = 0; i < kReconfigurations; ++i) {
            Settings s;
            s.key = "key-" + std::to_string(i % 3);
            s.separator = i % 2 ? "/" : ".";
            s.includeSite = i % 2 == 0;
            plugin_reconfigure(&handle, configJson(s));
        }
    });
    poller.join();
    reconfigurer.join();

    EXPECT_EQ(listsSeen.load(), kPolls);
    // The fake answers every range with both samples: each is delivered once
    // in all, whatever the reconfigurations between the polls.
    EXPECT_EQ(readingsSeen.load(), 2);
    const std::set<std::string> allowed = {"Pump 3.Flow",       "Pump 3.Level",      "Pump 3/Flow",
                                           "Pump 3/Level",      "North.Pump 3.Flow", "North.Pump 3.Level",
                                           "North/Pump 3/Flow", "North/Pump 3/Level"};
    for (const auto& n : names)
        EXPECT_EQ(allowed.count(n), 1u) << n;

    const std::set<std::string> keys = {"key-A", "key-0", "key-1", "key-2"};
    for (const auto& r : fake.requests()) {
        EXPECT_EQ(keys.count(r.header("X-Api-Key").value_or("")), 1u) << r.target;
    }
    // The last reconfiguration's key is the one used from now on.
    fake.clearRecords();
    // Tags answered nothing new rest a few polls.
    for (int i = 0; i < 10 && fake.requests().empty(); ++i)
        poll();
    ASSERT_FALSE(fake.requests().empty());
    for (const auto& r : fake.requests())
        EXPECT_EQ(r.header("X-Api-Key").value_or(""), "key-1");
}

TEST_F(ConcurrencyTest, PollGivesWayToAReconfigurationWaitingForTheMutex)
{
    scriptTwoTags();
    initAt(kT0);
    auto first = poll();
    ASSERT_TRUE(first);
    // No reconfiguration was pending: no yield.
    EXPECT_FALSE(log.has(Level::Debug, kYieldStart));
    EXPECT_FALSE(log.has(Level::Debug, kYieldEnd));
    fake.clearRecords();

    // The next poll is slow, so a reconfiguration must wait for the mutex;
    // the reconfiguration's own site list is slow too, so that the flag is
    // still raised when the poll after that begins.
    Answer slowRange = Answer::json(seriesBody({{"T1", "[" + sample("2024-07-01T17:00:05") + "]"}}));
    slowRange.delay = 600ms;
    rangeAnswer(slowRange);
    std::string sitesBody = listBody({site(1, "North", "(GMT+02:00) Athens")});
    Answer slowSites = Answer::json(sitesBody);
    slowSites.delay = 1500ms;
    fake.script(apiUrl("sites"), slowSites);

    auto slowPoll = std::async(std::launch::async, [this] { return ReadingList(plugin_poll(handle)); });
    ASSERT_TRUE(fake.waitForRequests(1, 20s));  // the slow poll holds the mutex now

    Settings s;
    s.key = "key-B";
    auto reconfiguration = std::async(std::launch::async, [this, s] { plugin_reconfigure(&handle, configJson(s)); });
    // Its site list request proves it took the mutex after the slow poll.
    ASSERT_TRUE(fake.waitForRequests(2, 20s));
    ASSERT_EQ(fake.requests()[1].target, apiUrl("sites"));

    rangeAnswer(Answer::json("{\"result\":{}}"));
    auto yieldingPoll = poll();
    reconfiguration.get();
    auto slowReadings = slowPoll.get();

    ASSERT_TRUE(slowReadings);
    EXPECT_EQ(slowReadings->size(), 1u);
    ASSERT_TRUE(yieldingPoll);
    EXPECT_EQ(log.count(Level::Debug, kYieldStart), 1u);
    EXPECT_EQ(log.count(Level::Debug, kYieldEnd), 1u);

    // The yielding poll ran after the whole rediscovery, with the new key.
    const auto requests = fake.requests();
    ASSERT_GE(requests.size(), 5u);
    EXPECT_TRUE(isRangeTarget(requests[0].target));
    EXPECT_EQ(requests[1].target, apiUrl("sites"));
    EXPECT_EQ(requests[2].target, apiUrl("sites/1/assets"));
    EXPECT_EQ(requests[3].target, apiUrl("sites/1/assets/10/parameters"));
    EXPECT_TRUE(isRangeTarget(requests.back().target));
    EXPECT_EQ(requests.back().header("X-Api-Key").value_or(""), "key-B");
    EXPECT_EQ(requests[0].header("X-Api-Key").value_or(""), "key-A");
}

TEST_F(ConcurrencyTest, ReconfigurationAfterTheFirstPollRediscoversWithTheNewKeyBeforeReturning)
{
    scriptTwoTags();
    initAt(kT0);
    auto first = poll();
    ASSERT_TRUE(first);
    fake.clearRecords();

    // A different answer now: the rebuilt index must reflect it.
    Param renamed;
    renamed.tag = "T9";
    scriptParameters(1, 10, {renamed});
    Settings s;
    s.key = "key-NEW";
    plugin_reconfigure(&handle, configJson(s));

    const auto requests = fake.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].target, apiUrl("sites"));
    EXPECT_EQ(requests[1].target, apiUrl("sites/1/assets"));
    EXPECT_EQ(requests[2].target, apiUrl("sites/1/assets/10/parameters"));
    for (const auto& r : requests)
        EXPECT_EQ(r.header("X-Api-Key").value_or(""), "key-NEW") << r.target;
    auto second = poll();
    EXPECT_EQ(splitRange(rangeRequests().back().target).tags, "T9");
}

TEST_F(ConcurrencyTest, ReconfigurationBeforeTheFirstPollSendsNothing)
{
    scriptTwoTags();
    init();
    Settings s;
    s.key = "key-NEW";
    plugin_reconfigure(&handle, configJson(s));
    EXPECT_TRUE(fake.requests().empty());
    auto readings = poll();
    ASSERT_FALSE(fake.requests().empty());
    for (const auto& r : fake.requests())
        EXPECT_EQ(r.header("X-Api-Key").value_or(""), "key-NEW") << r.target;
}

// The first discovery, of 3 sites of 3 assets each, runs over several
// connections while a reconfiguration waits for the poll; then the
// reconfiguration rediscovers with its key. Both find the whole index.
TEST_F(ConcurrencyTest, DiscoveryOverSeveralConnectionsWhileAReconfigurationWaits)
{
    std::vector<std::string> sites;
    std::string allTags;
    for (long s = 1; s <= 3; ++s) {
        sites.push_back(site(s, "S" + std::to_string(s), "(GMT+02:00) Athens"));
        std::vector<std::string> assets;
        for (long a = s * 10; a < s * 10 + 3; ++a) {
            assets.push_back(asset(s, a));
            Param p;
            p.assetId = a;
            p.tag = "T" + std::to_string(a);
            allTags += (allTags.empty() ? "" : ",") + p.tag;
            // Answers finish out of the order they were asked in.
            Answer answer = Answer::json(listBody({p.json()}));
            answer.delay = std::chrono::milliseconds(15 * ((s + a) % 3));
            fake.script(apiUrl("sites/" + std::to_string(s) + "/assets/" + std::to_string(a) + "/parameters"), answer);
        }
        scriptAssets(s, assets);
    }
    // A slow site list: the reconfiguration comes while the poll holds the mutex.
    Answer slowSites = Answer::json(listBody(sites));
    slowSites.delay = 300ms;
    fake.script(apiUrl("sites"), slowSites);
    rangeAnswer(Answer::json(seriesBody({{"T21", "[" + sample("2024-07-01T17:00:00") + "]"}})));
    initAt(kT0);

    auto firstPoll = std::async(std::launch::async, [this] { return ReadingList(plugin_poll(handle)); });
    ASSERT_TRUE(fake.waitForRequests(1, 20s));
    Settings s;
    s.key = "key-B";
    auto reconfiguration = std::async(std::launch::async, [this, s] { plugin_reconfigure(&handle, configJson(s)); });
    auto first = firstPoll.get();
    reconfiguration.get();
    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 1u);
    EXPECT_EQ(first->front()->getUserTimestamp(), 1719846000);

    // 1 site list, 3 asset lists, 9 parameter lists and the range with the
    // first key; the same lists again with the new one.
    std::multiset<std::string> firstLists, secondLists;
    for (const auto& r : fake.requests()) {
        const std::string key = r.header("X-Api-Key").value_or("");
        if (isRangeTarget(r.target)) {
            EXPECT_EQ(key, "key-A");
            EXPECT_EQ(splitRange(r.target).tags, allTags);
        } else {
            (key == "key-A" ? firstLists : secondLists).insert(r.target);
        }
    }
    EXPECT_EQ(firstLists.size(), 13u);
    EXPECT_EQ(secondLists, firstLists);
    const auto connections = fake.connections();
    EXPECT_GT(connections.size(), 1u);
    for (const auto& c : connections)
        EXPECT_TRUE(c.viaTunnel) << c.id;

    fake.clearRecords();
    auto after = poll();
    ASSERT_TRUE(after);
    EXPECT_TRUE(after->empty()) << "delivered twice";
    // Every tag is asked with the new key (T21, read before, from past its sample).
    std::string asked;
    for (const auto& r : rangeRequests()) {
        EXPECT_EQ(r.header("X-Api-Key").value_or(""), "key-B");
    }
    for (const auto& start : startsByTag(rangeRequests())) {
        asked += (asked.empty() ? "" : ",") + start.first;
    }
    EXPECT_EQ(asked, allTags);
}

}  // namespace
}  // namespace dp
