// The client's life through the entry points: construction, init,
// reconfiguration and a first poll. Every test that lets the client open a
// connection points its proxy at a refusing loopback port, so no request can
// leave this machine.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "config_category.h"
#include "entry_points.h"
#include "log_capture.h"
#include "nerivo.h"
#include "plugin_test_support.h"

namespace {

using Level = Logger::Level;

const char* const YIELDING = "Nerivo::takeReading(): m_reconfPending is SET, so yielding poll thread";
const char* const BACK = "Nerivo::takeReading(): back after yielding poll thread";

Nerivo* client(PLUGIN_HANDLE handle)
{
    return static_cast<Nerivo*>(handle);
}

TEST(Construction, LastAndNextPullStartOneYearBack)
{
    const time_t before = time(nullptr);
    Nerivo nerivo;
    const time_t after = time(nullptr);
    EXPECT_GE(nerivo.lastPull(), static_cast<int64_t>(before) - Nerivo::DEFAULT_LOOKBACK);
    EXPECT_LE(nerivo.lastPull(), static_cast<int64_t>(after) - Nerivo::DEFAULT_LOOKBACK);
    EXPECT_EQ(nerivo.nextPull(), nerivo.lastPull());
    EXPECT_FALSE(nerivo.initialised());
    EXPECT_EQ(nerivo.timezoneOffset(), 0);
    EXPECT_TRUE(nerivo.tagIndex().empty());
    EXPECT_TRUE(nerivo.assetParameters().empty());
    EXPECT_TRUE(nerivo.siteNames().empty());
    EXPECT_EQ(nerivo.lowSpeedWindow(), std::chrono::seconds(60));
}

TEST(PluginInit, CategoryLackingEveryItem)
{
    LogCapture log;
    ConfigCategory empty("nerivo", "{}");
    PLUGIN_HANDLE handle = plugin_init(&empty);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(client(handle)->key(), "");
    EXPECT_EQ(client(handle)->separator(), ".");
    EXPECT_FALSE(client(handle)->includeSite());
    EXPECT_FALSE(client(handle)->includeAlarms());
    EXPECT_EQ(client(handle)->proxy(), "");
    EXPECT_FALSE(client(handle)->initialised());
    EXPECT_TRUE(log.entries().empty());
    plugin_shutdown(handle);
}

TEST(PluginInit, DefaultConfigurationOfTheDescriptor)
{
    LogCapture log;
    ConfigCategory defaults("nerivo", plugin_info()->config);
    PLUGIN_HANDLE handle = plugin_init(&defaults);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(client(handle)->key(), "xxxxxxx");
    EXPECT_EQ(client(handle)->separator(), ".");
    EXPECT_FALSE(client(handle)->includeSite());
    EXPECT_FALSE(client(handle)->includeAlarms());
    EXPECT_EQ(client(handle)->proxy(), "");
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
        m_handle = plugin_init(&initial);
        ASSERT_NE(m_handle, nullptr);
    }
    void TearDown() override
    {
        if (m_handle != nullptr)
            plugin_shutdown(m_handle);
    }

    void expectUnchanged() const
    {
        EXPECT_EQ(client(m_handle)->key(), "old-key");
        EXPECT_EQ(client(m_handle)->separator(), "-");
        EXPECT_TRUE(client(m_handle)->includeSite());
        EXPECT_TRUE(client(m_handle)->includeAlarms());
        EXPECT_EQ(client(m_handle)->proxy(), m_oldProxy.authority());
    }

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
        expectUnchanged();
        EXPECT_TRUE(log.entries().empty());
    }
}

TEST_F(Reconfigure, MissingItemsFollowTheFallbacks)
{
    PLUGIN_HANDLE before = m_handle;
    plugin_reconfigure(&m_handle, categoryJson({{"key", "new-key"}}));
    EXPECT_EQ(m_handle, before);
    EXPECT_EQ(client(m_handle)->key(), "new-key");
    EXPECT_EQ(client(m_handle)->separator(), ".");
    EXPECT_FALSE(client(m_handle)->includeSite());
    EXPECT_FALSE(client(m_handle)->includeAlarms());
    EXPECT_EQ(client(m_handle)->proxy(), m_oldProxy.authority());
}

TEST_F(Reconfigure, AppliesEveryItem)
{
    LogCapture log;
    plugin_reconfigure(&m_handle, categoryJson({{"key", "new-key"},
                                                {"separator", ""},
                                                {"includeSite", "TRUE"},
                                                {"includeAlarms", "True"},
                                                {"proxy", "https://" + m_newProxy.authority() + "/x"}}));
    EXPECT_EQ(client(m_handle)->key(), "new-key");
    EXPECT_EQ(client(m_handle)->separator(), "");
    EXPECT_TRUE(client(m_handle)->includeSite());
    EXPECT_FALSE(client(m_handle)->includeAlarms());
    EXPECT_EQ(client(m_handle)->proxy(), m_newProxy.authority());
    EXPECT_EQ(log.at(Level::Warning), (std::vector<std::string>{"Expected proxy address without protocol prefix",
                                                                "Stripped of URL components to use '" +
                                                                    m_newProxy.authority() + "' as proxy"}));
    EXPECT_EQ(log.at(Level::Info), std::vector<std::string>{"Using proxy server " + m_newProxy.authority()});
}

TEST_F(Reconfigure, BeforeTheFirstPollStartsNoExchange)
{
    LogCapture log;
    plugin_reconfigure(&m_handle, categoryJson({{"key", "new-key"}, {"proxy", m_newProxy.authority()}}));
    EXPECT_FALSE(client(m_handle)->initialised());
    EXPECT_TRUE(client(m_handle)->tagIndex().empty());
    // Any attempted request would have failed on the refusing port and said so.
    EXPECT_TRUE(log.at(Level::Error).empty());
    EXPECT_EQ(log.count(Level::Debug, "Get list"), 0u);
}

TEST_F(Reconfigure, PollRightAfterDoesNotYield)
{
    // Through a proxy with credentials, whose password no line may show.
    LogCapture log;
    plugin_reconfigure(&m_handle,
                       categoryJson({{"key", "new-key"}, {"proxy", "user:s3cret@" + m_newProxy.authority()}}));
    EXPECT_TRUE(log.has(Level::Info, "Using proxy server user:***@" + m_newProxy.authority()));
    const int64_t lastPull = client(m_handle)->lastPull();
    std::vector<Reading*>* readings = plugin_poll(m_handle);
    ASSERT_NE(readings, nullptr);
    EXPECT_TRUE(readings->empty());
    delete readings;

    EXPECT_FALSE(log.has(Level::Debug, YIELDING));
    EXPECT_FALSE(log.has(Level::Debug, BACK));
    EXPECT_TRUE(client(m_handle)->initialised());
    // Every request was refused on loopback, so the range did not move.
    EXPECT_GE(log.count(Level::Error, "API request failed"), 1u);
    EXPECT_GE(log.count(Level::Error, m_newProxy.authority()), 1u);
    for (const auto& entry : log.entries())
        EXPECT_EQ(entry.second.find("s3cret"), std::string::npos) << entry.second;
    EXPECT_EQ(client(m_handle)->lastPull(), lastPull);
    EXPECT_EQ(client(m_handle)->nextPull(), lastPull);
}

TEST_F(Reconfigure, AfterTheFirstPollRediscoversThroughTheNewProxy)
{
    std::vector<Reading*>* readings = plugin_poll(m_handle);
    ASSERT_NE(readings, nullptr);
    delete readings;
    ASSERT_TRUE(client(m_handle)->initialised());

    LogCapture log;
    plugin_reconfigure(&m_handle, categoryJson({{"key", "new-key"}, {"proxy", m_newProxy.authority()}}));
    EXPECT_TRUE(client(m_handle)->initialised());
    EXPECT_EQ(client(m_handle)->proxy(), m_newProxy.authority());
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
