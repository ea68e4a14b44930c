// nerivo-sim as a program: its first line, port and CA file, the plugin's
// readings through it, and a clean stop.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools_support.h"
#include "utility_model.hpp"

namespace toolstest {
namespace {

using namespace std::chrono_literals;

// The simulator program itself: first line, port, CA file, readings, and a
// clean stop.
TEST(Simulator, ServesThePluginAndStopsOnSignal)
{
    TempDir dir;
    const std::string ca = dir.file("ca.pem");
    const std::vector<std::string> argv{NERIVO_SIM_PATH, "--port", "0", "--key", "sim-key", "--sites", "1", "--assets",
                                        "1", "--parameters", "5", "--max-samples", "4", "--ca-file", ca,
                                        // Faults of tags it does not have: accepted, nothing changes.
                                        "--offline", "NW.NONE=-3600+600", "--newest-first", "60", "--max-range",
                                        "604800", "--throttle", "sites/999=+0+60",
                                        // Plain answers: more bytes on the wire than inflated.
                                        "--no-compression"};
    // Standard output through a pipe: its first line is read as it comes.
    Child sim;
    ASSERT_NO_THROW(sim = spawn(dir, "nerivo-sim", argv, {}, std::string(), true));
    const int out = sim.outPipe;

    // Its first line says where it listens; wait for it, bounded.
    std::string first;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (first.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buffer[256];
            const ssize_t n = read(out, buffer, sizeof buffer);
            if (n <= 0)
                break;
            first.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(out);
    unsigned port = 0;
    char caSeen[512] = {0};
    const bool understood =
        std::sscanf(first.c_str(), "nerivo-sim listening on 127.0.0.1:%u ca-file=%511s", &port, caSeen) == 2;
    if (!understood) {
        kill(sim.pid, SIGKILL);
        waitFor(sim, 10s);
        FAIL() << "unexpected first line: " << first;
    }
    EXPECT_EQ(std::string(caSeen), ca);

    const std::string cfg =
        dir.write("config.json", "{\"key\": \"sim-key\", \"proxy\": \"127.0.0.1:" + std::to_string(port) +
                                     "\", \"separator\": \"/\"}");
    // An hour back, so that one answer of four samples per tag is the poll.
    const std::string state =
        dir.write("state.json", "{ \"lastPull\" : " + std::to_string(std::time(nullptr) - 3600) + " }");
    const HostRun run = runHost(
        dir, {"--plugin", PLUGIN_PATH, "--config", cfg, "--state", state, "--polls", "1", "--log-level", "info"}, ca);
    kill(sim.pid, SIGTERM);
    EXPECT_EQ(waitFor(sim, 30s), 0);

    ASSERT_EQ(run.status, 0) << run.err;
    nerivosim::ModelOptions options;
    options.sites = 1;
    options.assetsPerSite = 1;
    options.parametersPerAsset = 5;
    const nerivosim::UtilityModel model(options);
    const auto names = model.readingAssetNames("/", false);
    ASSERT_EQ(run.readings.size(), names.size() * 4) << run.err;
    std::set<std::string> seen;
    for (const auto& line : run.readings)
        seen.insert(parse(line).asset);
    EXPECT_EQ(seen, std::set<std::string>(names.begin(), names.end()));
    unsigned long long wire = 0, inflated = 0;
    const auto traffic = run.err.find("bytes on the wire");
    ASSERT_NE(traffic, std::string::npos) << run.err;
    ASSERT_EQ(std::sscanf(run.err.c_str() + run.err.rfind("; ", traffic), "; %llu bytes on the wire, %llu inflated",
                          &wire, &inflated),
              2);
    EXPECT_GT(wire, inflated);
}

// A malformed fault stops it before it listens, with the usage status.
TEST(Simulator, RefusesMalformedFaults)
{
    TempDir dir;
    const std::vector<std::vector<std::string>> rows{
        {"--offline", "NW=-3600"},          {"--backfill", "NW=-60:-120@0"},
        {"--newest-first", "-1"},           {"--max-range", "week"},
        {"--overshoot", "99999999999"},     {"--reset-tag"},
        {"--throttle", "timeseriesdata=+0"}};
    for (const auto& row : rows) {
        std::vector<std::string> argv{NERIVO_SIM_PATH};
        argv.insert(argv.end(), row.begin(), row.end());
        const Child child = spawn(dir, "nerivo-sim", argv, {});
        EXPECT_EQ(waitFor(child, 30s), 2) << row[0];
        EXPECT_NE(readText(child.err).find(row[0]), std::string::npos) << readText(child.err);
    }
}

}  // namespace
}  // namespace toolstest
