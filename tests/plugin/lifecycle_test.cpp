// The client's life through the entry points: construction, init,
// reconfiguration and a first poll. Every connection the client opens is
// answered from memory or goes through a refusing loopback port, so no
// request can leave this machine.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "config_category.h"
#include "entry_points.h"
#include "log_capture.h"
#include "nerivo.h"
#include "nerivo_probe.h"
#include "plugin_test_support.h"
#include "pull_times.h"

namespace {

using Level = Logger::Level;

const char* const YIELDING = "Nerivo::takeReading(): m_reconfPending is SET, so yielding poll thread";
const char* const BACK = "Nerivo::takeReading(): back after yielding poll thread";

Nerivo* client(PLUGIN_HANDLE handle)
{
    return static_cast<Nerivo*>(handle);
}

NerivoProbe probeOf(PLUGIN_HANDLE handle)
{
    return NerivoProbe(*client(handle));
}

TEST(Construction, LastAndNextPullStartOneYearBack)
{
    const time_t before = time(nullptr);
    Probe probe;
    Nerivo nerivo(probe.connector());
    const time_t after = time(nullptr);
    const int64_t lastPull = pullTimes(nerivo.getState()).lastPull;
    EXPECT_GE(lastPull, static_cast<int64_t>(before) - Nerivo::DEFAULT_LOOKBACK);
    EXPECT_LE(lastPull, static_cast<int64_t>(after) - Nerivo::DEFAULT_LOOKBACK);

    // The first poll discovers; with nothing found, its one range starts at
    // the last pull in UTC and names no tag.
    probe.listSites = false;
    probe.poll(nerivo);
    EXPECT_EQ(probe.window, std::chrono::seconds(60));
    ASSERT_EQ(probe.sent.size(), 2u);
    EXPECT_EQ(probe.sent[0].target, kApi + "sites");
    const time_t start = static_cast<time_t>(lastPull);
    char from[32];
    std::strftime(from, sizeof from, "%Y-%m-%dT%H:%M:%S", std::gmtime(&start));
    const std::string range = probe.sent[1].target;
    EXPECT_EQ(range.rfind(kApi + "timeseriesdata/" + from + "/", 0), 0u) << range;
    EXPECT_EQ(range.substr(range.size() - 6), "?tags=") << range;
}

TEST(PluginInit, CategoryLackingEveryItem)
{
    LogCapture log;
    ConfigCategory empty("nerivo", "{}");
    PLUGIN_HANDLE handle = plugin_init(&empty);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(probeOf(handle).key(), "");
    EXPECT_EQ(probeOf(handle).separator(), ".");
    EXPECT_FALSE(probeOf(handle).includeSite());
    EXPECT_FALSE(probeOf(handle).includeAlarms());
    EXPECT_EQ(probeOf(handle).proxy(), "");
    EXPECT_FALSE(probeOf(handle).initialised());
    EXPECT_TRUE(log.entries().empty());
    plugin_shutdown(handle);
}

TEST(PluginInit, DefaultConfigurationOfTheDescriptor)
{
    LogCapture log;
    ConfigCategory defaults("nerivo", plugin_info()->config);
    PLUGIN_HANDLE handle = plugin_init(&defaults);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(probeOf(handle).key(), "xxxxxxx");
    EXPECT_EQ(probeOf(handle).separator(), ".");
    EXPECT_FALSE(probeOf(handle).includeSite());
    EXPECT_FALSE(probeOf(handle).includeAlarms());
    EXPECT_EQ(log.at(Level::Info), std::vector<std::string>{"Using proxy server "});
    // The placeholder key is taken, with one word that it will be refused.
    const auto warnings = log.at(Level::Warning);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("until the item key is set"), std::string::npos) << warnings[0];
    plugin_shutdown(handle);
}

TEST(PluginInit, RepeatedInitAndShutdownReleaseEverything)
{
    // Run under the address sanitizer, a leak of the client or of anything it
    // owns fails the suite at exit.
    for (int i = 0; i < 3; ++i) {
        ConfigCategory full = category({{"key", "k"},
                                        {"separator", "/"},
                                        {"includeSite", "true"},
                                        {"includeAlarms", "true"},
                                        {"proxy", "http://proxy.test:3128/"}});
        PLUGIN_HANDLE handle = plugin_init(&full);
        ASSERT_NE(handle, nullptr);
        EXPECT_FALSE(plugin_shutdown(handle).empty());
    }
}

class Reconfigure : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConfigCategory initial = category({{"key", "old-key"},
                                           {"separator", "-"},
                                           {"includeSite", "true"},
                                           {"includeAlarms", "true"},
                                           {"proxy", m_oldProxy.authority()}});
        m_handle = new Nerivo(m_probe.connector());
        client(m_handle)->configure(&initial);
    }
    void TearDown() override
    {
        if (m_handle != nullptr)
            plugin_shutdown(m_handle);
    }

    void expectUnchanged()
    {
        EXPECT_EQ(m_probe.poll(*client(m_handle)),
                  (Seen{"old-key", m_oldProxy.authority(), "North-Pump 3-Flow", true}));
    }

    // Answers from memory unless a test turns it to the refusing proxies.
    Probe m_probe;
    RefusingPort m_oldProxy;
    RefusingPort m_newProxy;
    PLUGIN_HANDLE m_handle = nullptr;
};

TEST_F(Reconfigure, InvalidJsonRaisesAndLeavesTheClientAlone)
{
    const std::vector<std::string> texts = {
        "",
        "{",
        "not json",
        "{\"key\": {\"value\": \"new-key\"}",
        "{\"key\": {\"value\": \"new-key\"}} trailing",
        "{\"key\": {\"value\": \"new-key\",}}",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        LogCapture log;
        PLUGIN_HANDLE before = m_handle;
        EXPECT_THROW(plugin_reconfigure(&m_handle, text), ConfigCategoryException);
        EXPECT_EQ(m_handle, before);
        EXPECT_TRUE(log.entries().empty());
        expectUnchanged();
    }
}

TEST_F(Reconfigure, MissingItemsFollowTheFallbacks)
{
    PLUGIN_HANDLE before = m_handle;
    plugin_reconfigure(&m_handle, categoryJson({{"key", "new-key"}}));
    EXPECT_EQ(m_handle, before);
    EXPECT_EQ(m_probe.poll(*client(m_handle)), (Seen{"new-key", m_oldProxy.authority(), "Pump 3.Flow", false}));
}

TEST_F(Reconfigure, AppliesEveryItem)
{
    LogCapture log;
    plugin_reconfigure(&m_handle, categoryJson({{"key", "new-key"},
                                                {"separator", ""},
                                                {"includeSite", "TRUE"},
                                                {"includeAlarms", "True"},
                                                {"proxy", "https://" + m_newProxy.authority() + "/x"}}));
    EXPECT_EQ(log.at(Level::Warning), (std::vector<std::string>{"Expected proxy address without protocol prefix",
                                                                "Stripped of URL components to use '" +
                                                                    m_newProxy.authority() + "' as proxy"}));
    EXPECT_EQ(log.at(Level::Info), std::vector<std::string>{"Using proxy server " + m_newProxy.authority()});
    EXPECT_EQ(m_probe.poll(*client(m_handle)), (Seen{"new-key", m_newProxy.authority(), "NorthPump 3Flow", false}));
}

TEST_F(Reconfigure, BeforeTheFirstPollStartsNoExchange)
{
    LogCapture log;
    plugin_reconfigure(&m_handle, categoryJson({{"key", "new-key"}, {"proxy", m_newProxy.authority()}}));
    EXPECT_TRUE(m_probe.sent.empty());
    EXPECT_TRUE(log.at(Level::Error).empty());
    EXPECT_EQ(log.count(Level::Debug, "Get list"), 0u);
}

TEST_F(Reconfigure, PollRightAfterDoesNotYield)
{
    // Through a proxy with credentials, whose password no line may show.
    m_probe.answering = false;
    LogCapture log;
    plugin_reconfigure(&m_handle,
                       categoryJson({{"key", "new-key"}, {"proxy", "user:s3cret@" + m_newProxy.authority()}}));
    EXPECT_TRUE(log.has(Level::Info, "Using proxy server user:***@" + m_newProxy.authority()));
    const std::string state = client(m_handle)->getState();
    std::vector<Reading*>* readings = plugin_poll(m_handle);
    ASSERT_NE(readings, nullptr);
    EXPECT_TRUE(readings->empty());
    delete readings;

    EXPECT_FALSE(log.has(Level::Debug, YIELDING));
    EXPECT_FALSE(log.has(Level::Debug, BACK));
    ASSERT_FALSE(m_probe.sent.empty());
    EXPECT_EQ(m_probe.sent[0].target, kApi + "sites");
    // Every request was refused on loopback, so the range did not move.
    EXPECT_GE(log.count(Level::Error, "API request failed"), 1u);
    EXPECT_GE(log.count(Level::Error, m_newProxy.authority()), 1u);
    for (const auto& entry : log.entries())
        EXPECT_EQ(entry.second.find("s3cret"), std::string::npos) << entry.second;
    EXPECT_EQ(client(m_handle)->getState(), state);
}

TEST_F(Reconfigure, AfterTheFirstPollRediscoversThroughTheNewProxy)
{
    m_probe.answering = false;
    std::vector<Reading*>* readings = plugin_poll(m_handle);
    ASSERT_NE(readings, nullptr);
    delete readings;
    ASSERT_FALSE(m_probe.sent.empty());
    ASSERT_EQ(m_probe.sent[0].target, kApi + "sites");

    m_probe.sent.clear();
    LogCapture log;
    plugin_reconfigure(&m_handle, categoryJson({{"key", "new-key"}, {"proxy", m_newProxy.authority()}}));
    ASSERT_EQ(m_probe.sent.size(), 1u);
    EXPECT_EQ(m_probe.sent[0].target, kApi + "sites");
    EXPECT_EQ(m_probe.sent[0].proxy, m_newProxy.authority());
    // The rediscovery ran under this reconfiguration, through the proxy it
    // set: a corrected proxy is in use at once.
    EXPECT_EQ(log.count(Level::Debug, "Get list of site"), 1u);
    const auto errors = log.at(Level::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("API request failed ", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find(m_newProxy.authority()), std::string::npos) << errors[0];
    EXPECT_EQ(errors[0].find(m_oldProxy.authority()), std::string::npos) << errors[0];
}

}  // namespace
