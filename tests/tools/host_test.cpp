// south-host end to end: the host runs as a child process and hosts the real
// plugin, which reaches the simulated utility through its proxy item and
// verifies the simulator's certificate.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <fakeservice/fake_service.hpp>

#include "sample_mapping.h"
#include "sim_service.hpp"
#include "tools_support.h"
#include "utility_model.hpp"
#include "zones.h"

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

// Compressed when asked, or plain with the simulator's --no-compression:
// the same readings, fewer bytes on the wire compressed.
TEST_F(HostTest, CompressionGivesTheSameReadingsInFewerBytesOnTheWire)
{
    nerivosim::Faults plainFaults;
    plainFaults.plain = true;
    nerivosim::SimService plain(model, KEY, plainFaults);
    const std::string cfg = dir.write("config.json", config(KEY));
    const std::string stored = hourAgoState();
    std::vector<std::string> readings[2];
    unsigned long long wire[2] = {0, 0}, inflated[2] = {0, 0};
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        if (run == 1)
            service.setHandler([&plain](const fakeservice::Request& request) { return plain.handle(request); });
        service.clearRecords();
        const std::string state = dir.write("state" + std::to_string(run) + ".json", stored);
        const HostRun r =
            host({"--plugin", PLUGIN_PATH, "--config", cfg, "--state", state, "--polls", "1", "--log-level", "info"});
        ASSERT_EQ(r.status, 0) << r.err;
        readings[run] = r.readings;
        const auto traffic = r.err.find("bytes on the wire");
        ASSERT_NE(traffic, std::string::npos) << r.err;
        ASSERT_EQ(std::sscanf(r.err.c_str() + r.err.rfind("; ", traffic), "; %llu bytes on the wire, %llu inflated",
                              &wire[run], &inflated[run]),
                  2);
        ASSERT_FALSE(service.requests().empty());
        for (const auto& request : service.requests())
            EXPECT_EQ(request.answerEncoding, run == 0 ? "gzip" : "") << request.target;
    }
    service.setHandler([this](const fakeservice::Request& request) { return sim.handle(request); });
    EXPECT_EQ(readings[0].size(), model.tagCount() * model.options().maxSamplesPerTag);
    EXPECT_EQ(readings[0], readings[1]);
    EXPECT_EQ(inflated[0], inflated[1]);
    EXPECT_LT(wire[0], wire[1]);
    EXPECT_LT(wire[0], inflated[0]);
}

// The figures of one poll as its poll line and its "Catching up" line give them.
struct PollLine {
    long long readings = 0, requests = 0, failed = 0, days = -1, hours = -1;
    unsigned long long wire = 0, inflated = 0;
};

std::vector<PollLine> pollLines(const std::string& err)
{
    std::vector<PollLine> polls;
    for (const auto& line : lines(err)) {
        const auto poll = line.find("Poll returned ");
        const auto behind = line.find("Catching up: the oldest tag is ");
        PollLine p;
        if (poll != std::string::npos) {
            const auto traffic = line.rfind("; ");
            EXPECT_EQ(std::sscanf(line.c_str() + poll, "Poll returned %lld readings from %lld requests, %lld failed",
                                  &p.readings, &p.requests, &p.failed),
                      3)
                << line;
            EXPECT_EQ(
                std::sscanf(line.c_str() + traffic, "; %llu bytes on the wire, %llu inflated", &p.wire, &p.inflated), 2)
                << line;
            polls.push_back(p);
        } else if (behind != std::string::npos && !polls.empty()) {
            EXPECT_EQ(std::sscanf(line.c_str() + behind, "Catching up: the oldest tag is %lld days %lld hours",
                                  &polls.back().days, &polls.back().hours),
                      2)
                << line;
        }
    }
    return polls;
}

struct HealthRow {
    const char* name;
    int64_t stateBack;
    std::vector<std::pair<std::string, int>> failPaths;
    bool throttleFirstRange;  // answered 429 with Retry-After: 1
    int polls;
    std::size_t tags;
    int64_t missingLists;
    bool failing, behind;  // what the first poll shows
};

// One health reading against its poll's lines, the data readings before it
// and what its row makes of the service.
void expectHealth(const std::string& line, const PollLine& p, const HealthRow& row, bool first, long long data,
                  int64_t runSeconds)
{
    rapidjson::Document doc;
    doc.Parse(line.c_str());
    const auto& v = doc["readings"];
    for (const char* name : {"requests", "failed", "readings", "bytesWire", "bytesInflated", "tags", "behindSeconds",
                             "gaps", "heldSeconds", "discoveryAgeSeconds", "missingLists"})
        ASSERT_TRUE(v.HasMember(name) && v[name].IsInt64()) << name << " in " << line;
    EXPECT_EQ(v["readings"].GetInt64(), p.readings) << line;
    EXPECT_EQ(v["readings"].GetInt64(), data) << line;
    EXPECT_EQ(v["requests"].GetInt64(), p.requests) << line;
    EXPECT_EQ(v["failed"].GetInt64(), p.failed) << line;
    EXPECT_EQ(static_cast<unsigned long long>(v["bytesWire"].GetInt64()), p.wire) << line;
    EXPECT_EQ(static_cast<unsigned long long>(v["bytesInflated"].GetInt64()), p.inflated) << line;
    EXPECT_EQ(v["tags"].GetInt64(), static_cast<int64_t>(row.tags)) << line;
    const int64_t behind = v["behindSeconds"].GetInt64();
    EXPECT_EQ(behind > 0, p.days >= 0) << line;
    EXPECT_TRUE(behind == 0 || (behind / 86400 == p.days && behind % 86400 / 3600 == p.hours && behind > 7200)) << line;
    EXPECT_EQ(v["gaps"].GetInt64(), 0) << line;
    const int64_t held = v["heldSeconds"].GetInt64();
    EXPECT_TRUE(first && row.throttleFirstRange ? held >= 1 && held <= 2 : held == 0) << line;
    const int64_t age = v["discoveryAgeSeconds"].GetInt64();
    // Whole seconds of two clocks: one more at most.
    EXPECT_TRUE(row.missingLists > 0 ? age == -1 : age >= 0 && age <= runSeconds + 1) << line;
    EXPECT_EQ(v["missingLists"].GetInt64(), row.missingLists) << line;
    if (first) {
        EXPECT_EQ(v["failed"].GetInt64() > 0, row.failing) << line;
        EXPECT_EQ(behind > 0, row.behind) << line;
    }
}

// A health reading after each poll that ran, agreeing with the poll's lines,
// the readings before it and the requests the service saw.
TEST_F(HostTest, HealthReadingAfterEachPollThatRanAgreesWithItsPollLine)
{
    const HealthRow rows[] = {
        {"normal", 3600, {}, false, 2, 12, 0, false, false},
        {"failing request", 3600, {{"timeseriesdata", 500}}, false, 1, 12, 0, true, false},
        {"list missing", 3600, {{"sites/102/assets", 500}}, false, 1, 6, 1, false, false},
        {"catch-up", 3 * 86400, {}, false, 1, 12, 0, false, true},
        // Polls every 0.5 s: at least one falls in the back-off and sends nothing.
        {"back-off", 3600, {}, true, 4, 12, 0, true, false},
    };
    const std::string asset = "Gateway 7.health";
    const std::string cfg = dir.write("config.json", config(KEY, ", \"healthAsset\": \"" + asset + "\""));
    for (const HealthRow& row : rows) {
        SCOPED_TRACE(row.name);
        nerivosim::Faults faults;
        faults.failPaths = row.failPaths;
        nerivosim::SimService rowSim(model, KEY, faults);
        std::atomic<int> ranges{0};
        service.setHandler([&](const fakeservice::Request& request) {
            const bool range = request.path().rfind("/api/timeseriesdata/", 0) == 0;
            if (range && ranges++ == 0 && row.throttleFirstRange) {
                fakeservice::Answer answer = fakeservice::Answer::json("{}", 429);
                answer.headers.push_back({"Retry-After", "1"});
                return answer;
            }
            return rowSim.handle(request);
        });
        const std::string state =
            dir.write(std::string(row.name) + ".json",
                      "{ \"lastPull\" : " + std::to_string(std::time(nullptr) - row.stateBack) + " }");
        const int64_t started = std::time(nullptr);
        const HostRun run = host({"--plugin", PLUGIN_PATH, "--config", cfg, "--state", state, "--polls",
                                  std::to_string(row.polls), "--interval", "0.5", "--log-level", "info"});
        const int64_t ended = std::time(nullptr);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<PollLine> polls = pollLines(run.err);
        std::size_t health = 0;
        long long data = 0, requests = 0;
        for (const auto& line : run.readings) {
            const ParsedReading r = parse(line);
            if (r.asset != asset) {
                ++data;
                continue;
            }
            ASSERT_LT(health, polls.size()) << "a health reading without a poll line: " << line;
            expectHealth(line, polls[health], row, health == 0, data, ended - started);
            EXPECT_TRUE(r.time >= started && r.time <= ended) << line;
            requests += polls[health++].requests;
            data = 0;
        }
        EXPECT_EQ(data, 0) << "data readings after the last health reading";
        EXPECT_EQ(health, polls.size()) << run.err.substr(0, 4000);
        EXPECT_EQ(requests, ranges.load());
        const auto ran = static_cast<std::size_t>(row.polls);
        EXPECT_TRUE(row.throttleFirstRange ? health >= 2 && health < ran : health == ran) << run.err.substr(0, 4000);
    }
    service.setHandler([this](const fakeservice::Request& request) { return sim.handle(request); });
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
        {"zone with daylight saving", KEY, "-", "-", true, false,
         "INFO: Site Hartford is in America/New_York, which has daylight saving, but its times are read with one "
         "offset all year. Set the item timezone to sites"},
        {"sites in different zones", KEY, "-", "-", true, false,
         "WARNING: Sites give different time zone offsets; using -300 minutes, the last site's, for all sites. Set "
         "the item timezone to sites"},
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
    // Answers a request in place of the simulator during the given run, or
    // leaves it to the simulator.
    using Intercept = std::function<std::optional<fakeservice::Answer>(int run, const fakeservice::Request&)>;

    struct RunRecord {
        int64_t started = 0;
        int64_t ended = 0;
        std::size_t readings = 0;
        std::size_t ranges = 0;  // range requests the simulator had seen by its end
        int64_t newest = INT64_MIN;
        std::string err;
    };

    // What was delivered against what the model published.
    struct Tally {
        std::size_t expected = 0, delivered = 0, duplicated = 0, missing = 0, extra = 0;
    };

    FaultyUtility(nerivosim::ModelOptions options, nerivosim::Faults faults, Intercept intercept = Intercept())
        : model(options),
          publication(nerivosim::SimService::publicationOf(faults)),
          sim(model, KEY, std::move(faults)),
          m_intercept(std::move(intercept))
    {
        service.setHandler([this](const fakeservice::Request& request) {
            if (m_intercept)
                if (auto answer = m_intercept(m_run.load(), request))
                    return *answer;
            return sim.handle(request);
        });
    }

    std::string config() const
    {
        return dir.write("config.json", "{\"key\": \"" + std::string(KEY) + "\", \"proxy\": \"" + service.hostPort() +
                                            "\"" + items + "}");
    }

    // Runs the host on the state file; false on a failed run.
    bool run(const std::string& state, const std::vector<std::string>& extra)
    {
        std::vector<std::string> args{"--plugin", PLUGIN_PATH, "--config", config(), "--state", state};
        args.insert(args.end(), extra.begin(), extra.end());
        RunRecord record;
        record.started = std::time(nullptr);
        const HostRun r = runHost(dir, args, service.caFile());
        record.ended = std::time(nullptr);
        EXPECT_EQ(r.status, 0) << r.err;
        record.readings = r.readings.size();
        record.ranges = sim.rangeRequests().size();
        record.err = r.err;
        for (const auto& line : r.readings) {
            const ParsedReading reading = parse(line);
            record.newest = std::max(record.newest, reading.time);
            if (!delivered[reading.asset].insert(reading.time).second && duplicates++ < 3)
                ADD_FAILURE() << "delivered twice: " << line;
        }
        runs.push_back(std::move(record));
        ++m_run;
        return r.status == 0;
    }

    // Every sample dated in [start, cutoff] and published by cutoff must have
    // been delivered; anything else delivered must be a sample the simulator
    // could have answered by now, and nothing of the tags starting with
    // excluded.
    Tally tally(int64_t start, int64_t cutoff, const std::string& excluded = std::string()) const
    {
        Tally t;
        t.duplicated = duplicates;
        const int64_t step = model.options().sampleInterval;
        const int64_t end = std::time(nullptr) + publication.overshoot;
        const std::set<int64_t> none;
        std::set<std::string> known;
        for (const auto& site : model.sites())
            for (const auto& asset : site.assets)
                for (const auto& p : asset.parameters) {
                    const std::string name = asset.name + "." + p.name;
                    known.insert(name);
                    const auto found = delivered.find(name);
                    const std::set<int64_t>& got = found == delivered.end() ? none : found->second;
                    // What came after the cutoff (a live series goes on) is
                    // checked below, not counted against the expected.
                    t.delivered += static_cast<std::size_t>(
                        std::count_if(got.begin(), got.end(), [cutoff](int64_t s) { return s <= cutoff; }));
                    const bool silent = !excluded.empty() && p.tag.rfind(excluded, 0) == 0;
                    for (int64_t s = (start + step - 1) / step * step; !silent && s <= cutoff; s += step)
                        if (model.publishedAt(p.tag, s, publication) <= cutoff) {
                            ++t.expected;
                            if (got.count(s) == 0 && t.missing++ < 3)
                                ADD_FAILURE() << name << " lacks its sample of " << s;
                        }
                    for (const int64_t s : got)
                        if ((silent || s < start || s % step != 0 || s > end ||
                             model.publishedAt(p.tag, s, publication) > end) &&
                            t.extra++ < 3)
                            ADD_FAILURE() << name << " got a sample of " << s << " it should not have";
                }
        for (const auto& entry : delivered)
            if (known.count(entry.first) == 0)
                t.extra += entry.second.size();
        return t;
    }

    TempDir dir;
    nerivosim::UtilityModel model;
    nerivosim::Publication publication;
    nerivosim::SimService sim;
    fakeservice::FakeService service;
    std::map<std::string, std::set<int64_t>> delivered;  // reading asset -> times
    std::size_t duplicates = 0;
    std::vector<RunRecord> runs;
    std::string items;  // more configuration items, e.g. ", \"timezone\": \"sites\""

private:
    Intercept m_intercept;
    std::atomic<int> m_run{0};  // read by the service's threads
};

std::string stateAt(int64_t lastPull)
{
    return "{ \"lastPull\" : " + std::to_string(lastPull) + " }";
}

// Moves every time of a stored state by the given seconds, as a run whose
// clock was that far ahead would have stored it.
void shiftStoredTimes(const std::string& path, int64_t seconds)
{
    rapidjson::Document doc;
    doc.Parse(readText(path).c_str());
    ASSERT_FALSE(doc.HasParseError());
    std::function<void(rapidjson::Value&)> shift = [&](rapidjson::Value& v) {
        if (v.IsObject())
            for (auto& m : v.GetObject())
                shift(m.value);
        else if (v.IsArray())
            for (auto& e : v.GetArray())
                shift(e);
        else if (v.IsInt64() && v.GetInt64() > 1000000000)  // a time, not an interval or a count
            v.SetInt64(v.GetInt64() + seconds);
    };
    shift(doc);
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    doc.Accept(writer);
    std::ofstream(path, std::ios::binary) << buffer.GetString();
}

bool asks(const nerivosim::RangeRequest& range, const std::string& prefix)
{
    return std::any_of(range.tags.begin(), range.tags.end(),
                       [&prefix](const std::string& tag) { return tag.rfind(prefix, 0) == 0; });
}

// One delivery case: a utility with faults, the runs of south-host on one
// state file, and what must come of it.
struct DeliveryCase {
    struct Shape {
        int sites, assets, parameters;
        int64_t sampleInterval;
    };
    struct Run {
        int polls;
        double interval;
        int64_t at = 0;  // not before this many seconds after the case began
        std::function<void(const std::string& state)> before = {};
    };
    struct Line {
        std::string text;  // a log line's text, and how often it must appear in all runs
        std::size_t min = 0, max = SIZE_MAX;
    };
    const char* name;
    Shape shape;
    int64_t stateBack;                // the stored lastPull, this many seconds back
    std::vector<std::string> faults;  // nerivo-sim's options; times relative to the case's start
    std::vector<Run> runs;
    // That the fault came into play, so the case tests what it names.
    std::function<bool(const FaultyUtility&, int64_t t0)> exercised;
    std::string silent = {};  // a tag the service never answers: it gets nothing
    Line line = {};
    int completeBy = -1;  // complete up to the start of this run (-1: the last)
    FaultyUtility::Intercept intercept = {};
};

// The simulator's fault options as nerivo-sim reads them.
nerivosim::Faults faultsOf(const std::vector<std::string>& args, int64_t t0)
{
    nerivosim::Faults f;
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        const std::string& option = args[i];
        const std::string& value = args[i + 1];
        bool read = true;
        if (option == "--offline") {
            f.offline.emplace_back();
            read = nerivosim::SimService::parseOffline(value, t0, f.offline.back());
        } else if (option == "--late-tag") {
            f.lateTags.emplace_back();
            read = nerivosim::SimService::parseLateTag(value, f.lateTags.back());
        } else if (option == "--reject-tag") {
            f.rejectTags.push_back(value);
        } else if (option == "--reset-tag") {
            f.resetTags.push_back(value);
        } else if (option == "--newest-first") {
            f.newestFirst = std::stoll(value);
        } else if (option == "--max-range") {
            f.maxRange = std::stoll(value);
        } else if (option == "--overshoot") {
            f.overshoot = std::stoll(value);
        } else if (option == "--throttle") {
            f.throttles.emplace_back();
            read = nerivosim::SimService::parseOffline(value, t0, f.throttles.back());
        } else {
            read = false;
        }
        EXPECT_TRUE(read) << option << " " << value;
    }
    return f;
}

std::vector<nerivosim::RangeRequest> rangesOfRun(const FaultyUtility& u, std::size_t run)
{
    const auto all = u.sim.rangeRequests();
    const std::size_t from = run == 0 ? 0 : u.runs[run - 1].ranges;
    return std::vector<nerivosim::RangeRequest>(all.begin() + static_cast<std::ptrdiff_t>(from),
                                                all.begin() + static_cast<std::ptrdiff_t>(u.runs[run].ranges));
}

void play(const DeliveryCase& c)
{
    SCOPED_TRACE(c.name);
    const auto began = std::chrono::steady_clock::now();
    const int64_t t0 = std::time(nullptr);
    nerivosim::ModelOptions options;
    options.sites = c.shape.sites;
    options.assetsPerSite = c.shape.assets;
    options.parametersPerAsset = c.shape.parameters;
    options.sampleInterval = c.shape.sampleInterval;
    options.maxSamplesPerTag = 1000000;
    FaultyUtility u(options, faultsOf(c.faults, t0), c.intercept);
    const int64_t start = t0 - c.stateBack;
    const std::string state = u.dir.write("state.json", stateAt(start));
    int64_t cutoff = t0;
    int polls = 0;
    for (std::size_t i = 0; i < c.runs.size(); ++i) {
        const DeliveryCase::Run& run = c.runs[i];
        std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(static_cast<time_t>(t0 + run.at)));
        if (run.before)
            run.before(state);
        if (c.completeBy < 0 || static_cast<std::size_t>(c.completeBy) >= i)
            cutoff = std::time(nullptr);
        polls += run.polls;
        ASSERT_TRUE(u.run(state, {"--polls", std::to_string(run.polls), "--interval", std::to_string(run.interval)}));
    }
    const FaultyUtility::Tally t = u.tally(start, cutoff, c.silent);
    EXPECT_GT(t.expected, 0u);
    EXPECT_EQ(t.duplicated, 0u);
    EXPECT_EQ(t.missing, 0u);
    EXPECT_EQ(t.extra, 0u);
    std::string err;
    for (const auto& run : u.runs)
        err += run.err;
    if (!c.line.text.empty()) {
        std::size_t count = 0;
        for (const auto& l : lines(err))
            count += l.find(c.line.text) != std::string::npos;
        EXPECT_TRUE(count >= c.line.min && count <= c.line.max) << count << " times " << c.line.text << "\n"
                                                                << err.substr(0, 4000);
    }
    EXPECT_TRUE(c.exercised(u, t0)) << "the fault did not come into play\n" << err.substr(0, 4000);
    std::printf("[ delivery ] %-26s expected %6zu delivered %6zu duplicated %zu missing %zu extra %zu; %zu runs, "
                "%d polls, %.1f s\n",
                c.name, t.expected, t.delivered, t.duplicated, t.missing, t.extra, u.runs.size(), polls,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
}

// Every sample once, end to end, whatever the service does: each case runs
// in a thread of its own, as most of their time is spent waiting for the
// clock.
TEST(Delivery, EverySampleOnceWhateverTheServiceDoes)
{
    using Ranges = std::vector<nerivosim::RangeRequest>;
    const int64_t hour = 3600, day = 86400;
    const std::string gateway = "NW.AMS.10101.";  // the tags of one asset
    auto any = [](const Ranges& ranges, auto test) { return std::any_of(ranges.begin(), ranges.end(), test); };
    auto endsAlone = [](const std::string& tag) {
        return [tag](const FaultyUtility& u, int64_t) {
            const Ranges ranges = u.sim.rangeRequests();
            return !ranges.empty() && ranges.back().tags == std::vector<std::string>{tag};
        };
    };
    auto askedWhileOffline = [&](const FaultyUtility& u, int64_t t0) {
        return u.runs[0].ended < t0 + 10 && any(rangesOfRun(u, 0), [&](const auto& r) { return asks(r, gateway); });
    };
    auto gapAskedAgain = [&](const FaultyUtility& u, int64_t t0) {
        return u.runs[0].ended < t0 + 7 && any(rangesOfRun(u, 1), [&](const auto& r) {
                   return asks(r, gateway) && r.fromEpoch >= t0 - 110 && r.toEpoch < t0 - 1;
               });
    };
    auto overWeekAsked = [&](const FaultyUtility& u, int64_t) {
        return any(u.sim.rangeRequests(), [&](const auto& r) { return r.toEpoch - r.fromEpoch > 7 * day; });
    };
    auto siteMissed = [&](const FaultyUtility& u, int64_t) {
        // Its polls may all fall in the second of the last sample stored, with
        // nothing to ask yet: the warning says the list was missed.
        return u.runs[1].err.find("missing the asset list of site 102") != std::string::npos &&
               !any(rangesOfRun(u, 1), [](const auto& r) { return asks(r, "NW.HFD."); });
    };
    // The asset list of one site fails while the second run discovers.
    auto siteListFails = [](fakeservice::Answer answer) {
        return [answer](int run, const fakeservice::Request& request) -> std::optional<fakeservice::Answer> {
            if (run == 1 && request.path() == "/api/sites/102/assets")
                return answer;
            return std::nullopt;
        };
    };
    auto aheadDelivered = [](const FaultyUtility& u, int64_t) {
        return std::any_of(u.runs.begin(), u.runs.end(), [](const auto& r) { return r.newest > r.ended; });
    };
    // Range requests were answered 429, and others after them.
    auto throttled = [](const FaultyUtility& u, int64_t) {
        std::size_t asked = 0;
        for (const auto& r : u.service.requests())
            asked += r.path().rfind("/api/timeseriesdata/", 0) == 0;
        return !u.sim.rangeRequests().empty() && asked > u.sim.rangeRequests().size();
    };
    auto nothingAfterShift = [](const FaultyUtility& u, int64_t) {
        return u.runs[0].readings > 0 && u.runs[1].readings == 0;
    };
    const std::vector<DeliveryCase::Run> restartOnce{{5, 0.3}, {6, 0.3}};
    const std::vector<DeliveryCase::Run> siteRuns{{2, 0.5}, {2, 0.5}, {3, 0.5}};
    // A row a case, kept as a table.
    // clang-format off
    const std::vector<DeliveryCase> cases{
        {"late and rejected tags", {1, 2, 3, 1}, 5,
         {"--late-tag", "NW.AMS.10101.FT=2", "--reject-tag", "NW.AMS.10102.FT"}, {{4, 0.7}, {4, 0.7}},
         endsAlone("NW.AMS.10102.FT"), "NW.AMS.10102.FT", {"rejects tag NW.AMS.10102.FT", 1, 2}},
        // 200 tags; one gateway offline 30 hours comes back between the runs.
        {"gateway offline 30 h", {5, 10, 4, 300}, 31 * hour, {"--offline", gateway + "=-108000+108010"},
         {{2, 0.5}, {2, 0.5, 11}}, askedWhileOffline},
        // Back just before the first poll with its newest sample, the backlog
        // 7 s later: a gap in a regular series, asked again after a minute.
        {"newest first", {1, 2, 3, 10}, 400, {"--offline", gateway + "=-100+99", "--newest-first", "8"},
         {{1, 0}, {3, 1, 61}}, gapAskedAgain},
        {"connection reset by a tag", {2, 2, 3, 5}, 600, {"--reset-tag", "NW.AMS.10101.FT"}, restartOnce,
         endsAlone("NW.AMS.10101.FT"), "NW.AMS.10101.FT"},
        {"ranges over 7 days refused", {1, 2, 3, hour}, 60 * day, {"--max-range", std::to_string(7 * day)},
         {{6, 0.2}, {2, 0.2}}, overWeekAsked},
        {"site missed: 500", {3, 1, 3, 5}, 60, {}, siteRuns, siteMissed, "", {}, -1,
         siteListFails(fakeservice::Answer::json("{\"error\":\"busy\"}", 500))},
        {"site missed: {}", {3, 1, 3, 5}, 60, {}, siteRuns, siteMissed, "", {}, -1,
         siteListFails(fakeservice::Answer::json("{}"))},
        {"overshoot 30 s", {1, 2, 3, 5}, 120, {"--overshoot", "30"}, {{6, 0.5}, {6, 0.5}}, aheadDelivered},
        // Ranges answered 429 with a Retry-After for 3 s, then as usual.
        {"throttled 3 s", {1, 2, 3, 5}, 60, {"--throttle", "timeseriesdata=+0+3"}, {{6, 0.8}}, throttled, "",
         {"WARNING: The service answered 429 Too Many Requests; requests to it are held for", 1, 1}},
        // The second run finds the progress stored 2 days ahead of its clock.
        {"clock 2 days behind", {1, 2, 3, 60}, hour, {},
         {{1, 0}, {2, 0.3, 0, [&](const std::string& state) { shiftStoredTimes(state, 2 * day); }}},
         nothingAfterShift, "", {"WARNING: The clock is behind the stored progress", 1, 1}, 0},
    };
    // clang-format on
    std::vector<std::thread> threads;
    for (const auto& c : cases)
        threads.emplace_back([&c] { play(c); });
    for (auto& thread : threads)
        thread.join();
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
    const std::string state = utility.dir.write("state.json", stateAt(start));
    // One poll per run, until a run finds nothing left to read.
    for (int run = 0; run < 8 && (utility.runs.empty() || utility.runs.back().readings != 0); ++run)
        ASSERT_TRUE(utility.run(state, {"--polls", "1"}));
    ASSERT_EQ(utility.runs.back().readings, 0u) << "still behind after " << utility.runs.size() << " runs";
    EXPECT_GE(utility.runs.size(), 4u) << "219,000 readings in three polls at least";
    for (const auto& run : utility.runs)
        EXPECT_LE(run.readings, 100000u);
    const FaultyUtility::Tally t = utility.tally(start, utility.runs.back().started);
    EXPECT_GE(t.expected, 200u * 365 * 3);
    EXPECT_EQ(t.missing + t.extra + t.duplicated, 0u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    rusage usage{};
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "peak resident kilobytes of a run";
#endif
}

// How a run with the item timezone set to item reads the site's times.
nerivo::Zone readingZone(const std::string& item, const nerivosim::UtilityModel& model, const nerivosim::Site& site)
{
    if (item.empty())
        return nerivo::Zone(model.serviceOffsetMinutes());
    const char* name = item == "sites" ? nerivo::zoneOfDisplayName(nerivo::displayNameOf(site.timezone)) : item.c_str();
    return nerivo::Zone::named(name).value();
}

// The true instants of what a run read in another zone than the service
// writes: the same wall time in the service's zone.
void toTrueInstants(FaultyUtility& u, const std::string& item)
{
    for (const auto& site : u.model.sites()) {
        const nerivo::Zone read = readingZone(item, u.model, site);
        const nerivo::Zone served = nerivo::Zone::named(u.model.zoneOf(site)).value();
        for (const auto& asset : site.assets)
            for (const auto& p : asset.parameters) {
                std::set<int64_t>& times = u.delivered[asset.name + "." + p.name];
                std::set<int64_t> moved;
                for (const int64_t t : times)
                    moved.insert(read.offsetAt(t) == served.offsetAt(t) ? t : served.firstInstantFrom(read.wallOf(t)));
                times = moved;
            }
    }
}

// Changes of season in a zone with daylight saving, each site's own zone,
// and a change of the item on a stored state: every sample once, at its
// true instant; every request in one zone, no date in a skipped hour.
TEST(Zones, EverySampleOnceAtItsTrueInstantInEveryZoneAndSeason)
{
    struct Case {
        const char* name;
        nerivosim::Zones zones;
        int sites;
        const char* start;              // of the series, UTC; null: 20 minutes ago
        int64_t seconds;                // of the series; 60 s samples (5 s when live)
        std::size_t perAnswer;          // samples of a tag in one answer: the next asks from where it stopped
        std::vector<std::string> runs;  // the item timezone of each run
    };
    using Z = nerivosim::Zones;
    // clang-format off
    const std::vector<Case> cases{
        {"New York, spring", Z::Rules, 2, "2026-03-08T05:00:00", 4 * 3600, 1000000, {"America/New_York"}},
        {"New York, autumn", Z::Rules, 2, "2026-11-01T04:00:00", 4 * 3600, 100, {"America/New_York"}},
        {"Amsterdam, spring", Z::Rules, 1, "2026-03-29T00:00:00", 2 * 3600, 1000000, {"Europe/Amsterdam"}},
        {"Amsterdam, autumn", Z::Rules, 1, "2026-10-24T23:30:00", 5 * 1800, 70, {"Europe/Amsterdam"}},
        {"six sites, European autumn", Z::Sites, 6, "2026-10-24T23:00:00", 4 * 3600, 1000000, {"sites"}},
        {"switch to sites", Z::Sites, 2, nullptr, 0, 1000000, {"Europe/Amsterdam", "sites"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto began = std::chrono::steady_clock::now();
        const bool live = c.start == nullptr;
        nerivosim::ModelOptions options;
        options.sites = c.sites;
        options.assetsPerSite = 1;
        options.parametersPerAsset = 3;
        options.sampleInterval = live ? 5 : 60;
        options.maxSamplesPerTag = c.perAnswer;
        options.zones = c.zones;
        options.seriesStart = live ? std::time(nullptr) - 1200 : *nerivosim::parseWallTime(c.start);
        if (!live)
            options.seriesEnd = options.seriesStart + c.seconds;
        FaultyUtility u(options, nerivosim::Faults());
        // Stored by a run in the first run's setting, early enough for every
        // site's series in every reading.
        const std::string state =
            u.dir.write("state.json", "{ \"lastPull\" : " + std::to_string(options.seriesStart - 7 * 3600) +
                                          ", \"timezone\" : \"" + c.runs[0] + "\" }");
        int64_t cutoff = options.seriesEnd;
        for (const std::string& item : c.runs) {
            if (live && !u.runs.empty())
                std::this_thread::sleep_for(6s);  // new samples for the second run
            cutoff = std::min<int64_t>(options.seriesEnd, std::time(nullptr));
            u.items = ", \"timezone\": \"" + item + "\"";
            ASSERT_TRUE(u.run(state, {"--polls", "6", "--interval", "0"}));
            toTrueInstants(u, item);
        }
        const FaultyUtility::Tally t = u.tally(options.seriesStart, cutoff);
        EXPECT_GT(t.expected, 0u);
        EXPECT_EQ(t.delivered, t.expected);
        EXPECT_EQ(t.duplicated + t.missing + t.extra, 0u);
        // Each request in one zone of the run's reading, its dates real wall
        // times of that zone.
        std::set<std::string> zones;
        for (std::size_t run = 0; run < c.runs.size(); ++run)
            for (const auto& range : rangesOfRun(u, run)) {
                std::map<std::string, nerivo::Zone> of;
                for (const auto& tag : range.tags) {
                    const auto zone = readingZone(c.runs[run], u.model, u.model.siteOf(*u.model.findParameter(tag)));
                    of.emplace(zone.key(), zone);
                }
                EXPECT_LE(of.size(), 1u) << range.from << " " << range.to;
                for (const auto& zone : of) {
                    zones.insert(zone.first);
                    for (const std::string& text : {range.from, range.to}) {
                        const int64_t wall = *nerivosim::parseWallTime(text);
                        EXPECT_EQ(zone.second.wallOf(zone.second.firstInstantFrom(wall)), wall)
                            << text << " lies in the skipped hour of " << zone.first;
                    }
                }
            }
        EXPECT_EQ(zones.size(), static_cast<std::size_t>(c.runs.back() == "sites" ? c.sites + live : 1));
        std::printf("[ zones ] %-28s expected %5zu delivered %5zu; %zu runs, %.1f s\n", c.name, t.expected, t.delivered,
                    u.runs.size(), std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    }
}

}  // namespace
}  // namespace toolstest
