// Cost per reading of the range path, which packs many tags into one
// request, against the latest-value path, which sends one request per
// parameter; the requests and duplicates of a steady-state poll; and the
// bounds of a one-year catch-up. All served by the simulator over TLS on
// loopback through the CONNECT proxy, as in production.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <fakeservice/fake_service.hpp>

#include "config_category.h"
#include "logger.h"
#include "nerivo.h"
#include "reading.h"
#include "sim_service.hpp"
#include "utility_model.hpp"

namespace {

constexpr int64_t SAMPLE_INTERVAL = 60;
// Two sites of four parameters per asset: tags = 8 x assets per site.
constexpr int TAGS_PER_ASSET_ROW = 8;

struct Setup {
    explicit Setup(int assetsPerSite) : Setup(nerivosim::ModelOptions{2, assetsPerSite, 4, SAMPLE_INTERVAL, 288}) {}
    // With a clock, simulator and plugin share it and the first poll starts
    // from lastPull.
    Setup(nerivosim::ModelOptions options, const int64_t* clock = nullptr, int64_t lastPull = 0)
        : model(options),
          sim(model, "bench-key", nerivosim::Faults(), clockOf(clock))
    {
        setenv("SSL_CERT_FILE", fake.caFile().c_str(), 1);
        fake.setHandler([this](const fakeservice::Request& request) { return sim.handle(request); });
        const std::string json =
            "{\"key\": {\"value\": \"bench-key\"}, \"proxy\": {\"value\": \"" + fake.hostPort() + "\"}}";
        ConfigCategory config("nerivo", json);
        client.configure(&config);
        if (clock != nullptr) {
            client.setClock(*clock);
            client.restoreState("{ \"lastPull\" : " + std::to_string(lastPull) + " }");
        }
        // The first poll discovers; keep it out of the measurement, or hand
        // it to a caller that counts every reading.
        first = client.takeReading();
        if (clock == nullptr) {
            drop(first);
            first = nullptr;
        }
    }

    static nerivosim::SimService::Clock clockOf(const int64_t* clock)
    {
        if (clock == nullptr)
            return {};
        return [clock] { return *clock; };
    }

    static void drop(std::vector<Reading*>* readings)
    {
        for (Reading* r : *readings)
            delete r;
        delete readings;
    }

    fakeservice::FakeService fake;
    nerivosim::UtilityModel model;
    nerivosim::SimService sim;
    Nerivo client;
    std::vector<Reading*>* first = nullptr;
};

// Every poll asks for the last sample interval again, so each one returns
// about one reading per tag, like one latest-value round.
void BM_RangePoll(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    Setup setup(static_cast<int>(state.range(0)) / TAGS_PER_ASSET_ROW);
    std::size_t readings = 0;
    for (auto _ : state) {
        setup.client.restoreState(
            "{ \"lastPull\" : " + std::to_string(static_cast<int64_t>(time(nullptr)) - SAMPLE_INTERVAL) + " }");
        auto* list = setup.client.takeReading();
        readings += list->size();
        Setup::drop(list);
    }
    state.counters["tags"] = static_cast<double>(setup.model.tagCount());
    state.SetItemsProcessed(static_cast<int64_t>(readings));
}

void BM_LatestPerParameter(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    Setup setup(static_cast<int>(state.range(0)) / TAGS_PER_ASSET_ROW);
    std::size_t readings = 0;
    for (auto _ : state) {
        std::vector<Reading*> list;
        setup.client.getLatestData(&list);
        readings += list.size();
        for (Reading* r : list)
            delete r;
    }
    state.counters["tags"] = static_cast<double>(setup.model.tagCount());
    state.SetItemsProcessed(static_cast<int64_t>(readings));
}

constexpr int64_t FIVE_MINUTES = 300;
// A fixed present on a sample boundary, so that every run asks the same.
constexpr int64_t T0 = 1796083200;  // 2026-12-01T00:00:00Z

// 200 tags: 2 sites of 25 assets of 4 parameters.
nerivosim::ModelOptions twoHundredTags(std::size_t maxSamples)
{
    return nerivosim::ModelOptions{2, 25, 4, FIVE_MINUTES, maxSamples};
}

std::string urlTag(const std::string& tag)
{
    std::string out;
    for (unsigned char c : tag) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ? std::string(1, static_cast<char>(c))
                                                                               : std::string(hex);
    }
    return out;
}

// Requests of the single-range design: ascending tags appended to the URL
// until it is longer than the limit, which sends it; then the closing one.
double singleRangeRequests(const nerivosim::UtilityModel& model)
{
    std::vector<std::string> tags;
    for (const auto& site : model.sites())
        for (const auto& asset : site.assets)
            for (const auto& parameter : asset.parameters)
                tags.push_back(urlTag(parameter.tag));
    std::sort(tags.begin(), tags.end());
    const std::size_t base = std::string("https://").size() + std::string(Nerivo::API_HOST).size() +
                             std::string("/api/timeseriesdata/").size() + 19 + 1 + 19 + std::string("?tags=").size();
    std::size_t length = base, requests = 1, inUrl = 0;
    for (const auto& tag : tags) {
        length += (inUrl++ == 0 ? 0 : 1) + tag.size();
        if (length > Nerivo::MAX_URL_LENGTH) {
            ++requests;
            length = base;
            inUrl = 0;
        }
    }
    return static_cast<double>(requests);
}

// Samples the simulator sent for the range requests from index first on.
std::size_t samplesSent(const Setup& setup, std::size_t first, int64_t now)
{
    const auto ranges = setup.sim.rangeRequests();
    std::size_t sent = 0;
    for (std::size_t i = first; i < ranges.size(); ++i)
        for (const auto& tag : ranges[i].tags)
            if (const auto* parameter = setup.model.findParameter(tag))
                sent += setup.model.samples(*parameter, ranges[i].fromEpoch, ranges[i].toEpoch, now).size();
    return sent;
}

// The simulator's clock moves one sample interval between polls of a
// plugin that has caught up: every tag has one new sample per poll.
void BM_SteadyStatePoll(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    int64_t clock = T0;
    Setup setup(twoHundredTags(288), &clock, T0 - 2 * 3600);
    Setup::drop(setup.first);
    Setup::drop(setup.client.takeReading());
    std::size_t requests = 0, sent = 0, readings = 0, polls = 0;
    for (auto _ : state) {
        clock += FIVE_MINUTES;
        setup.client.setClock(clock);
        const std::size_t before = setup.sim.rangeRequests().size();
        auto* list = setup.client.takeReading();
        requests += setup.sim.rangeRequests().size() - before;
        sent += samplesSent(setup, before, clock);
        readings += list->size();
        ++polls;
        Setup::drop(list);
    }
    const double tags = static_cast<double>(setup.model.tagCount());
    state.counters["tags"] = tags;
    state.counters["requests_per_poll"] = static_cast<double>(requests) / static_cast<double>(polls);
    state.counters["single_range_requests"] = singleRangeRequests(setup.model);
    state.counters["readings_per_poll"] = static_cast<double>(readings) / static_cast<double>(polls);
    state.counters["duplicates_per_tag_poll"] =
        static_cast<double>(sent - readings) / tags / static_cast<double>(polls);
}

long statusKilobytes(const char* field)
{
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, field, std::strlen(field)) == 0)
            kb = std::atol(line + std::strlen(field));
    if (status != nullptr)
        std::fclose(status);
    return kb;
}

struct CatchUp {
    double polls = 0, readings = 0, maxPerPoll = 0, outOfOrder = 0, peakMb = 0, startMb = 0;
};

// Counts a poll's readings; a reading not later than the last one of its
// tag would be a second delivery.
void tally(std::vector<Reading*>* list, std::map<std::string, int64_t>& newest, CatchUp& out)
{
    for (Reading* r : *list) {
        const auto& data = r->getReadingData();
        const std::string key = r->getAssetName() + "/" + (data.empty() ? "" : data.front()->getName());
        auto found = newest.find(key);
        if (found != newest.end() && r->getUserTimestamp() <= found->second)
            ++out.outOfOrder;
        newest[key] = r->getUserTimestamp();
    }
    out.readings += static_cast<double>(list->size());
    out.maxPerPoll = std::max(out.maxPerPoll, static_cast<double>(list->size()));
    ++out.polls;
    Setup::drop(list);
}

// Runs in a child process of its own, so its peak memory is its own.
CatchUp catchUpYear()
{
    CatchUp out;
    out.startMb = static_cast<double>(statusKilobytes("VmRSS:")) / 1024.0;
    int64_t clock = T0;
    Setup setup(twoHundredTags(10000000), &clock, T0 - Nerivo::DEFAULT_LOOKBACK);
    std::map<std::string, int64_t> newest;
    tally(setup.first, newest, out);
    for (int poll = 0; poll < 2000; ++poll) {
        auto* list = setup.client.takeReading();
        const bool empty = list->empty();
        tally(list, newest, out);
        if (empty)
            break;
    }
    out.peakMb = static_cast<double>(statusKilobytes("VmHWM:")) / 1024.0;
    return out;
}

void BM_CatchUpYear(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    CatchUp result;
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0)
            return state.SkipWithError("pipe failed");
        const pid_t child = fork();
        if (child == 0) {
            const CatchUp out = catchUpYear();
            const ssize_t written = write(fds[1], &out, sizeof out);
            _exit(written == static_cast<ssize_t>(sizeof out) ? 0 : 1);
        }
        close(fds[1]);
        const ssize_t got = read(fds[0], &result, sizeof result);
        close(fds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        if (got != static_cast<ssize_t>(sizeof result) || status != 0)
            return state.SkipWithError("catch-up failed");
    }
    const double expected = 200.0 * static_cast<double>(Nerivo::DEFAULT_LOOKBACK / FIVE_MINUTES + 1);
    state.counters["polls"] = result.polls;
    state.counters["readings"] = result.readings;
    state.counters["expected_readings"] = expected;
    state.counters["missing"] = expected - result.readings;
    state.counters["out_of_order"] = result.outOfOrder;
    state.counters["max_readings_per_poll"] = result.maxPerPoll;
    state.counters["peak_MB"] = result.peakMb;
    state.counters["start_MB"] = result.startMb;
}

}  // namespace

BENCHMARK(BM_SteadyStatePoll)->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CatchUpYear)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_RangePoll)->ArgName("tags")->Arg(40)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LatestPerParameter)->ArgName("tags")->Arg(40)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
