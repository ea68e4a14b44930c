// south-host end to end: the host runs as a child process and hosts the real
// plugin, which reaches the simulated utility through its proxy item and
// verifies the simulator's certificate.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <fakeservice/fake_service.hpp>

#include "sample_mapping.h"
#include "sim_service.hpp"
#include "tools_support.h"
#include "utility_model.hpp"

namespace toolstest {
namespace {

using namespace std::chrono_literals;

// The simulated utility served in-process, so the test sees what the plugin
// asked for.
class HostTest : public ::testing::Test {
protected:
    static nerivosim::ModelOptions smallUtility()
    {
        nerivosim::ModelOptions options;
        options.sites = 2;
        options.assetsPerSite = 2;
        options.parametersPerAsset = 3;
        options.sampleInterval = 300;
        options.maxSamplesPerTag = 6;
        return options;
    }

    HostTest() : model(smallUtility()), sim(model, KEY)
    {
        service.setHandler([this](const fakeservice::Request& request) { return sim.handle(request); });
    }

    std::string config(const std::string& key, const std::string& extra = std::string()) const
    {
        return "{\"key\": \"" + key + "\", \"proxy\": \"" + service.hostPort() + "\", \"includeSite\": true" + extra +
               "}";
    }

    HostRun host(const std::vector<std::string>& args) { return runHost(dir, args, service.caFile()); }

    // A stored state an hour back: one range reaches the present.
    static std::string hourAgoState() { return "{ \"lastPull\" : " + std::to_string(std::time(nullptr) - 3600) + " }"; }

    // The parameter a reading belongs to, looked up by its asset name.
    const nerivosim::Parameter* parameterOf(const std::string& assetCode) const
    {
        for (const auto& site : model.sites())
            for (const auto& asset : site.assets)
                for (const auto& p : asset.parameters)
                    if (assetCode == site.name + "." + asset.name + "." + p.name)
                        return &p;
        return nullptr;
    }

    TempDir dir;
    nerivosim::UtilityModel model;
    nerivosim::SimService sim;
    fakeservice::FakeService service;
};

TEST_F(HostTest, PollsPrintEveryTagsSamplesUnderTheExpectedAssetNames)
{
    const std::string cfg = dir.write("config.json", config(KEY, ", \"includeAlarms\": \"true\""));
    const std::string state = dir.write("state.json", hourAgoState());
    const HostRun run =
        host({"--plugin", PLUGIN_PATH, "--config", cfg, "--state", state, "--polls", "2", "--interval", "0.1"});
    ASSERT_EQ(run.status, 0) << run.err;

    // The range reaches back an hour, so every answer is full.
    const std::size_t perPoll = model.tagCount() * model.options().maxSamplesPerTag;
    ASSERT_EQ(run.readings.size(), 2 * perPoll) << run.err;

    const auto expectedNames = model.readingAssetNames(".", true);
    std::set<std::string> seen;
    int64_t newest = 0;
    int64_t firstPollNewest = 0;
    for (std::size_t i = 0; i < run.readings.size(); ++i) {
        const std::string& line = run.readings[i];
        const ParsedReading r = parse(line);
        if (i < perPoll)
            firstPollNewest = std::max(firstPollNewest, r.time);
        seen.insert(r.asset);
        const nerivosim::Parameter* p = parameterOf(r.asset);
        ASSERT_NE(p, nullptr) << "unexpected asset name in " << line;
        // The time went out as the service's wall time and came back as UTC:
        // the sample at that instant must carry this value and quality.
        const nerivosim::Sample expected = model.sampleAt(*p, r.time);
        const auto& data = r.doc["readings"];
        ASSERT_TRUE(data.HasMember(p->name.c_str())) << line;
        EXPECT_NEAR(data[p->name.c_str()].GetDouble(), expected.value, 1e-9) << line;
        EXPECT_STREQ(data["quality"].GetString(), nerivo::qualityText(expected.quality)) << line;
        EXPECT_EQ(data["units"].GetString(), p->displayUnit.empty() ? p->storageUnit : p->displayUnit) << line;
        EXPECT_EQ(data["alarmHigh"].GetString(), *p->alarmHi) << line;
        EXPECT_EQ(data["site"].GetString(), model.siteOf(*p).name) << line;
        EXPECT_EQ(r.time % model.options().sampleInterval, 0) << line;
        newest = std::max(newest, r.time);
    }
    EXPECT_EQ(seen, std::set<std::string>(expectedNames.begin(), expectedNames.end()));

    // The second poll asked from one second past the first poll's newest
    // sample, and the stored state continues from the second's.
    const auto ranges = sim.rangeRequests();
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[1].fromEpoch, firstPollNewest + 1);
    EXPECT_EQ(ranges[0].tags.size(), model.tagCount());
    EXPECT_EQ(lastPullOf(state), newest + 1);
}

TEST_F(HostTest, SecondRunWithTheStoredStateAsksFromWhereTheFirstStopped)
{
    const std::string cfg = dir.write("config.json", config(KEY));
    const std::string state = dir.write("state.json", hourAgoState());
    const std::vector<std::string> args{"--plugin", PLUGIN_PATH, "--config", cfg, "--state", state, "--polls", "1"};

    const HostRun first = host(args);
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_FALSE(first.readings.empty()) << first.err;
    const int64_t firstPull = lastPullOf(state);
    int64_t firstNewest = 0;
    std::set<std::pair<std::string, int64_t>> firstSamples;
    for (const auto& line : first.readings) {
        const ParsedReading r = parse(line);
        firstNewest = std::max(firstNewest, r.time);
        firstSamples.insert({r.asset, r.time});
    }
    EXPECT_EQ(firstPull, firstNewest + 1);

    const HostRun second = host(args);
    ASSERT_EQ(second.status, 0) << second.err;
    const auto ranges = sim.rangeRequests();
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[1].fromEpoch, firstPull) << ranges[1].from;
    EXPECT_EQ(ranges[1].from, model.formatServiceTime(firstPull));

    // No sample twice, none left out: the second run starts at the next one.
    int64_t secondOldest = INT64_MAX;
    for (const auto& line : second.readings) {
        const ParsedReading r = parse(line);
        EXPECT_EQ(firstSamples.count({r.asset, r.time}), 0u) << "delivered twice: " << line;
        secondOldest = std::min(secondOldest, r.time);
    }
    EXPECT_EQ(secondOldest, firstNewest + model.options().sampleInterval);
    EXPECT_GT(lastPullOf(state), firstPull);
}

TEST_F(HostTest, WrongKeyGivesErrorLinesAndNoReadings)
{
    const std::string cfg = dir.write("config.json", config("not-the-key"));
    const HostRun run = host({"--plugin", PLUGIN_PATH, "--config", cfg, "--polls", "2", "--interval", "0.1"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.readings.empty());
    EXPECT_NE(run.err.find("ERROR: Failed to retrieve list of sites: 401 Unauthorized"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("ERROR: The service refused the request (401 Unauthorized): check the configuration item"),
              std::string::npos)
        << run.err;
    // Only the site list and the empty range requests: no asset was found.
    for (const auto& request : service.requests())
        EXPECT_EQ(request.path().find("/api/sites/"), std::string::npos) << request.target;
}

// What an operator reads for the usual mistakes: one line each, at its level.
TEST_F(HostTest, OperatorMessagesSayWhatToDo)
{
    struct Case {
        const char* name;
        std::string key, proxy, state;  // proxy "-": the fake's; state "-": no file
        bool trustCa, refuseTunnels;
        const char* line;  // "LEVEL: " and a fragment of the text
    };
    const std::string future = "{ \"lastPull\" : " + std::to_string(std::time(nullptr) + 3 * 86400) + " }";
    const Case cases[] = {
        {"placeholder key", "xxxxxxx", "-", "-", true, false,
         "WARNING: Configuration item key is empty or the placeholder"},
        {"proxy without port", KEY, "127.0.0.1", "-", true, false,
         "WARNING: Proxy server 127.0.0.1 is written without a port"},
        {"first start", KEY, "-", "-", true, false, "INFO: No stored state: the first range starts one year back"},
        {"state ahead", KEY, "-", future, true, false, "WARNING: The clock is behind the stored progress"},
        {"private CA", KEY, "-", "-", false, false, "SSL_CERT_FILE"},
        {"tunnel refused", KEY, "-", "-", true, true, "refused the tunnel to api.nerivowater.com:443"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string proxy = c.proxy == "-" ? service.hostPort() : c.proxy;
        const std::string cfg = dir.write("config.json", "{\"key\": \"" + c.key + "\", \"proxy\": \"" + proxy + "\"}");
        // A file of its own per case: each run stores its state at the end.
        const std::string stateName = std::string(c.name) + ".json";
        const std::string state = c.state == "-" ? dir.file(stateName) : dir.write(stateName, c.state);
        service.setRefuseTunnels(c.refuseTunnels);
        const HostRun run = runHost(
            dir, {"--plugin", PLUGIN_PATH, "--config", cfg, "--state", state, "--polls", "1", "--log-level", "info"},
            c.trustCa ? service.caFile() : std::string());
        service.setRefuseTunnels(false);
        EXPECT_EQ(run.status, 0) << run.err;
        const std::string line = c.line;
        const bool levelled = line.find(": ") != std::string::npos && line.find(": ") < 8;
        std::size_t count = 0;
        for (const auto& l : lines(run.err))
            count += l.find(line) != std::string::npos && (levelled || l.find(" ERROR: ") != std::string::npos);
        EXPECT_GE(count, 1u) << run.err.substr(0, 4000);
    }
}

// A key that would write a header of its own is refused by name and never
// sent; a proxy password shows in no line at any level.
TEST_F(HostTest, KeyWithALineBreakIsRefusedAndAProxyPasswordIsNeverLogged)
{
    const std::string cfg = dir.write("config.json", "{\"key\": \"test-key\\r\\nX-Injected: yes\", \"proxy\": "
                                                     "\"http://user:s3cret@" +
                                                         service.hostPort() + "\"}");
    const HostRun run = host({"--plugin", PLUGIN_PATH, "--config", cfg, "--polls", "1", "--log-level", "debug"});
    EXPECT_EQ(run.status, 0) << run.err;
    std::size_t refused = 0;
    for (const auto& line : lines(run.err)) {
        EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
        EXPECT_EQ(line.find("X-Injected"), std::string::npos) << line;
        refused += line.find(" ERROR: ") != std::string::npos && line.find("item key") != std::string::npos;
    }
    EXPECT_EQ(refused, 1u) << run.err;
    EXPECT_NE(run.err.find(" INFO: Using proxy server user:***@" + service.hostPort()), std::string::npos) << run.err;
    ASSERT_FALSE(service.requests().empty());
    for (const auto& request : service.requests()) {
        EXPECT_FALSE(request.header("X-Injected").has_value()) << request.target;
        EXPECT_EQ(request.header("X-Api-Key").value_or("?"), "") << request.target;
    }
}

TEST_F(HostTest, ReconfigurationWithANewKeyRunsDiscoveryAgain)
{
    const std::string cfg = dir.write("config.json", config("old-key"));
    const std::string fixed = dir.write("fixed.json", config(KEY));
    const std::string state = dir.write("state.json", hourAgoState());
    const HostRun run = host({"--plugin", PLUGIN_PATH, "--config", cfg, "--state", state, "--polls", "2", "--interval",
                              "0.1", "--reconfigure-at", "1", "--reconfigure", fixed});
    ASSERT_EQ(run.status, 0) << run.err;

    std::vector<std::string> siteListKeys;
    for (const auto& request : service.requests())
        if (request.path() == "/api/sites")
            siteListKeys.push_back(request.header("X-Api-Key").value_or(""));
    EXPECT_EQ(siteListKeys, (std::vector<std::string>{"old-key", KEY}));

    // Only the poll after the reconfiguration delivered.
    EXPECT_EQ(run.readings.size(), model.tagCount() * model.options().maxSamplesPerTag) << run.err;
    const auto expectedNames = model.readingAssetNames(".", true);
    for (const auto& line : run.readings)
        EXPECT_NE(std::find(expectedNames.begin(), expectedNames.end(), parse(line).asset), expectedNames.end())
            << line;
}

TEST_F(HostTest, StopSignalEndsThePollingAndStoresTheState)
{
    const std::string cfg = dir.write("config.json", config(KEY));
    const std::string state = dir.file("state.json");
    const Child child =
        spawn(dir, "south-host",
              {SOUTH_HOST_PATH, "--plugin", PLUGIN_PATH, "--config", cfg, "--state", state, "--interval", "0.1"},
              {{"SSL_CERT_FILE", service.caFile()}});
    // Wait for the first readings, bounded.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (readText(child.out).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    kill(child.pid, SIGTERM);
    ASSERT_EQ(waitFor(child, 30s), 0) << readText(child.err);
    EXPECT_NE(readText(child.err).find("stopping after the current poll"), std::string::npos) << readText(child.err);
    const auto readings = lines(readText(child.out));
    ASSERT_FALSE(readings.empty());
    int64_t newest = 0;
    for (const auto& line : readings)
        newest = std::max(newest, parse(line).time);
    EXPECT_EQ(lastPullOf(state), newest + 1);
}

// Readings that cannot be written must not be skipped by the next run.
TEST_F(HostTest, WriteFailureOnStandardOutputKeepsTheStoredStateAndExitsOne)
{
    const std::string cfg = dir.write("config.json", config(KEY));
    const std::string stored = "{ \"lastPull\" : " + std::to_string(std::time(nullptr) - 3600) + " }";
    const std::string state = dir.write("state.json", stored);
    const Child child = spawn(dir, "south-host",
                              {SOUTH_HOST_PATH, "--plugin", PLUGIN_PATH, "--config", cfg, "--state", state, "--polls",
                               "3", "--interval", "0"},
                              {{"SSL_CERT_FILE", service.caFile()}}, "/dev/full");
    EXPECT_EQ(waitFor(child), 1);
    std::vector<std::string> errLines;
    for (const auto& line : lines(readText(child.err)))
        if (line.find(" WARNING: ") == std::string::npos)
            errLines.push_back(line);
    ASSERT_EQ(errLines.size(), 1u) << readText(child.err);
    EXPECT_NE(errLines[0].find("cannot write readings to standard output"), std::string::npos) << errLines[0];
    EXPECT_EQ(readText(state), stored);
    EXPECT_EQ(sim.rangeRequests().size(), 1u) << "polling went on after the failed write";
}

// A second stop signal during a slow poll ends the host at once, storing nothing.
TEST(HostSignals, SecondStopSignalExitsAtOnceWithoutStoringAState)
{
    TempDir dir;
    nerivosim::ModelOptions options;
    options.sites = 1;
    options.assetsPerSite = 1;
    options.parametersPerAsset = 3;
    const nerivosim::UtilityModel model(options);
    nerivosim::Faults faults;
    faults.delay = 3s;
    nerivosim::SimService sim(model, KEY, faults);
    fakeservice::FakeService service;
    service.setHandler([&sim](const fakeservice::Request& request) { return sim.handle(request); });
    const std::string cfg =
        dir.write("config.json", "{\"key\": \"" + std::string(KEY) + "\", \"proxy\": \"" + service.hostPort() + "\"}");
    const std::string stored = "{ \"lastPull\" : " + std::to_string(std::time(nullptr) - 3600) + " }";
    const std::string state = dir.write("state.json", stored);
    const Child child =
        spawn(dir, "south-host", {SOUTH_HOST_PATH, "--plugin", PLUGIN_PATH, "--config", cfg, "--state", state},
              {{"SSL_CERT_FILE", service.caFile()}});
    // Signalled while its first range request waits for the delayed answer.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (sim.rangeRequests().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_FALSE(sim.rangeRequests().empty());
    kill(child.pid, SIGTERM);
    while (readText(child.err).find("stopping after the current poll") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    const auto secondAt = std::chrono::steady_clock::now();
    kill(child.pid, SIGTERM);
    EXPECT_EQ(waitFor(child), 128 + SIGTERM) << readText(child.err);
    EXPECT_LT(std::chrono::steady_clock::now() - secondAt, 2s);
    EXPECT_NE(readText(child.err).find("without storing a state"), std::string::npos) << readText(child.err);
    EXPECT_EQ(readText(state), stored);
}

TEST(HostArguments, BadInvocationsGiveOneErrorLineAndStatusTwo)
{
    TempDir dir;
    const std::string good = dir.write("good.json", "{\"key\": \"k\"}");
    const std::string array = dir.write("array.json", "[\"key\", \"k\"]");
    const std::string nested = dir.write("nested.json", "{\"key\": {\"value\": \"k\"}}");
    const std::string broken = dir.write("broken.json", "{\"key\": ");
    const std::string text = dir.write("text.so", "not a shared object\n");
    const std::vector<std::vector<std::string>> cases{
        {},
        {"--polls", "3"},
        {"--plugin", PLUGIN_PATH, "--polls", "three"},
        {"--plugin", PLUGIN_PATH, "--interval", "-1"},
        {"--plugin", PLUGIN_PATH, "--log-level", "verbose"},
        {"--plugin", PLUGIN_PATH, "--frobnicate", "1"},
        {"--plugin", PLUGIN_PATH, "--reconfigure-at", "1"},
        {"--plugin", PLUGIN_PATH, "--reconfigure", good},
        {"--plugin", PLUGIN_PATH, "--config"},
        {"--plugin", PLUGIN_PATH, "--config", array},
        {"--plugin", PLUGIN_PATH, "--config", nested},
        {"--plugin", PLUGIN_PATH, "--config", broken},
        {"--plugin", PLUGIN_PATH, "--config", dir.file("missing.json")},
        {"--plugin", PLUGIN_PATH, "--config", good, "--reconfigure-at", "1", "--reconfigure", array},
        {"--plugin", dir.file("missing.so")},
        {"--plugin", text},
        {"--plugin", NOT_A_PLUGIN_PATH, "--config", good},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args)
            shown += a + " ";
        const HostRun run = runHost(dir, args);
        EXPECT_EQ(run.status, 2) << shown << "\n" << run.err;
        EXPECT_TRUE(run.readings.empty()) << shown;
        const auto errLines = lines(run.err);
        ASSERT_EQ(errLines.size(), 1u) << shown << "\n" << run.err;
        EXPECT_EQ(errLines[0].rfind("south-host: ", 0), 0u) << errLines[0];
    }
    // An unknown option is named with the way to the help, which, like the
    // version, answers on standard output with status 0.
    const HostRun bogus = runHost(dir, {"--plugin", PLUGIN_PATH, "--bogus"});
    EXPECT_EQ(bogus.err, "south-host: unknown option --bogus (try --help)\n");
    for (const char* tool : {SOUTH_HOST_PATH, NERIVO_SIM_PATH}) {
        for (const std::string flag : {"--help", "--version"}) {
            const Child child = spawn(dir, "tool", {tool, flag}, {});
            EXPECT_EQ(waitFor(child), 0) << tool << " " << flag;
            const std::string out = readText(child.out);
            if (flag == "--version")
                EXPECT_NE(out.find(NERIVO_VERSION), std::string::npos) << out;
            else
                for (const char* word : {"--interval", "SSL_CERT_FILE", "default", "Exit status"})
                    EXPECT_NE(out.find(word), std::string::npos) << tool << " help lacks " << word;
        }
        const Child child = spawn(dir, "tool", {tool, "--bogus"}, {});
        EXPECT_EQ(waitFor(child), 2);
        EXPECT_NE(readText(child.err).find("unknown option --bogus (try --help)"), std::string::npos);
    }
    // The missing entry point is named.
    const HostRun missing = runHost(dir, {"--plugin", NOT_A_PLUGIN_PATH});
    EXPECT_NE(missing.err.find("plugin_info"), std::string::npos) << missing.err;
}

// A simulated utility served in-process with faults, and the readings of
// several south-host runs on one state file.
struct FaultyUtility {
    FaultyUtility(nerivosim::ModelOptions options, nerivosim::Faults faults)
        : model(options),
          sim(model, KEY, std::move(faults))
    {
        service.setHandler([this](const fakeservice::Request& request) { return sim.handle(request); });
    }

    std::string config() const
    {
        return dir.write("config.json",
                         "{\"key\": \"" + std::string(KEY) + "\", \"proxy\": \"" + service.hostPort() + "\"}");
    }

    // Runs the host on the state file; false on a failed run.
    bool run(const std::string& state, const std::vector<std::string>& extra)
    {
        std::vector<std::string> args{"--plugin", PLUGIN_PATH, "--config", config(), "--state", state};
        args.insert(args.end(), extra.begin(), extra.end());
        const HostRun r = runHost(dir, args, service.caFile());
        EXPECT_EQ(r.status, 0) << r.err;
        perRun.push_back(r.readings.size());
        err += r.err;
        for (const auto& line : r.readings) {
            const ParsedReading reading = parse(line);
            if (!delivered[reading.asset].insert(reading.time).second)
                ADD_FAILURE() << "delivered twice: " << line;
        }
        return r.status == 0;
    }

    // Every sample of the asset from start up to its newest delivered one.
    void expectComplete(const std::string& asset, int64_t start) const
    {
        auto found = delivered.find(asset);
        ASSERT_NE(found, delivered.end()) << asset << " delivered nothing\n" << err;
        const int64_t step = model.options().sampleInterval;
        const int64_t first = (start + step - 1) / step * step;
        const std::size_t expected = static_cast<std::size_t>((*found->second.rbegin() - first) / step + 1);
        EXPECT_EQ(found->second.size(), expected) << asset << " has gaps";
        EXPECT_EQ(*found->second.begin(), first) << asset;
    }

    TempDir dir;
    nerivosim::UtilityModel model;
    nerivosim::SimService sim;
    fakeservice::FakeService service;
    std::map<std::string, std::set<int64_t>> delivered;  // reading asset -> times
    std::vector<std::size_t> perRun;
    std::string err;
};

// A tag whose samples arrive late gets all of them, once; a tag the service
// rejects is isolated while the others progress; a restart in the middle
// loses and repeats nothing.
TEST(Delivery, LateAndRejectedTagsHoldBackNothingAcrossARestart)
{
    nerivosim::ModelOptions options;
    options.sites = 1;
    options.assetsPerSite = 2;
    options.parametersPerAsset = 3;
    options.sampleInterval = 1;
    options.maxSamplesPerTag = 100000;
    const nerivosim::UtilityModel names(options);
    const auto& assets = names.sites()[0].assets;
    const std::string late = assets[0].parameters[0].tag;
    const std::string rejected = assets[1].parameters[2].tag;
    nerivosim::Faults faults;
    faults.lateTags.push_back({late, 2});
    faults.rejectTags.push_back(rejected);
    FaultyUtility utility(options, faults);

    const int64_t start = std::time(nullptr) - 5;
    const std::string state = utility.dir.write("state.json", "{ \"lastPull\" : " + std::to_string(start) + " }");
    ASSERT_TRUE(utility.run(state, {"--polls", "4", "--interval", "0.7"}));
    ASSERT_TRUE(utility.run(state, {"--polls", "4", "--interval", "0.7"}));

    for (const auto& site : utility.model.sites())
        for (const auto& asset : site.assets)
            for (const auto& p : asset.parameters) {
                const std::string name = asset.name + "." + p.name;
                if (p.tag == rejected) {
                    EXPECT_EQ(utility.delivered.count(name), 0u);
                    continue;
                }
                utility.expectComplete(name, start);
            }
    // Named once an hour at most, so once per run here.
    std::size_t named = 0;
    for (std::size_t at = utility.err.find("rejects tag " + rejected); at != std::string::npos;
         at = utility.err.find("rejects tag " + rejected, at + 1))
        ++named;
    EXPECT_GE(named, 1u) << utility.err;
    EXPECT_LE(named, 2u) << utility.err;
    const auto ranges = utility.sim.rangeRequests();
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges.back().tags, std::vector<std::string>{rejected}) << "the rejected tag ends up alone";
}

// A year of 200 tags arrives complete and once, at most 100,000 readings a
// poll, whatever the runs it takes.
TEST(Delivery, OneYearCatchUpOf200TagsIsBoundedPerPollAndComplete)
{
    nerivosim::ModelOptions options;
    options.sites = 5;
    options.assetsPerSite = 10;
    options.parametersPerAsset = 4;
    options.sampleInterval = 8 * 3600;
    options.maxSamplesPerTag = 1000000;
    FaultyUtility utility(options, nerivosim::Faults());
    ASSERT_EQ(utility.model.tagCount(), 200u);

    const int64_t start = std::time(nullptr) - 365 * 86400;
    const std::string state = utility.dir.write("state.json", "{ \"lastPull\" : " + std::to_string(start) + " }");
    // One poll per run, until a run finds nothing left to read.
    for (int run = 0; run < 8 && (utility.perRun.empty() || utility.perRun.back() != 0); ++run)
        ASSERT_TRUE(utility.run(state, {"--polls", "1"}));
    ASSERT_EQ(utility.perRun.back(), 0u) << "still behind after " << utility.perRun.size() << " runs";
    EXPECT_GE(utility.perRun.size(), 4u) << "219,000 readings in three polls at least";
    for (std::size_t readings : utility.perRun)
        EXPECT_LE(readings, 100000u);
    for (const auto& name : utility.model.readingAssetNames(".", false))
        utility.expectComplete(name, start);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    rusage usage{};
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "peak resident kilobytes of a run";
#endif
}

}  // namespace
}  // namespace toolstest
