// What turning a range answer into readings costs against a bare parse of
// the same body: the plugin's real makeRequest over the in-memory client, so
// the network is out of it. Counters: the ratio to the parse, samples per
// second of the thread's CPU time, and allocations and bytes per sample from a
// counting operator new.
//
// The floor the platform's API sets per sample, with the default options
// (no alarms; the "site" datapoint comes whenever discovery named the site),
// counted on the stand-in: one Reading, its copy of the asset name (longer
// than a short string holds), its vector of datapoints, five Datapoints
// (quality, value, units, siteID, site) and the heap copy of each of the three
// text values (quality, units, site) a DatapointValue keeps = 11.
// RapidJSON allocates through malloc, not operator new, so the parse's
// counters show only what the standard library allocates around it.
// The counting operator new hands out malloc memory that operator delete frees;
// GCC sees both inlined and cannot tell they pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include "config_category.h"
#include "logger.h"
#include "memory_client.hpp"
#include "nerivo.h"
#include "nerivo_probe.h"
#include "reading.h"
#include "sim_service.hpp"
#include "utility_model.hpp"

namespace {

std::atomic<bool> g_counting{false};
std::atomic<std::size_t> g_allocations{0};
std::atomic<std::size_t> g_bytes{0};

}  // namespace

void* operator new(std::size_t size)
{
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
        g_bytes.fetch_add(size, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    ::operator delete(p);
}

namespace {

// CPU time of this thread: on a machine shared with other work, the time a
// conversion takes on its core, without the time it waited for one.
double threadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

constexpr int64_t NOW = 1767225600;  // 2026-01-01, so every run reads the same bodies
constexpr int64_t INTERVAL = 60;
// One makeRequest delivers at most Nerivo::MAX_POLL_READINGS; bigger loads
// are split into bodies of this many tags.
constexpr int TAGS_PER_BODY = 100;

// A body as the simulator serves it, for tags x samples, split into bodies
// one request each can deliver whole.
struct Load {
    Load(int tags, int samples)
        : model(nerivosim::ModelOptions{tags / 100 > 0 ? tags / 100 : 1, 25, 4, INTERVAL,
                                        static_cast<std::size_t>(samples)}),
          sim(model, "bench-key", nerivosim::Faults(), [] { return NOW; })
    {
        nerivo_https_memory::setHandler([this](const nerivo_https_memory::Exchange& e) { return answer(e); });
        ConfigCategory config("nerivo", "{\"key\": {\"value\": \"bench-key\"}}");
        NerivoProbe probe(client);
        probe.setClock(NOW);
        client.configure(&config);
        client.connect();
        // The model's sites differ in zone on purpose; that warning is not the measurement.
        Logger::getLogger()->setMinLevel(Logger::Level::Error);
        client.populateAssetInformation();
        Logger::getLogger()->setMinLevel(Logger::Level::Warning);
        from = NOW - samples * INTERVAL;
        std::vector<std::string> all;
        for (const auto& entry : probe.tagIndex())
            all.push_back(entry.first);
        all.resize(std::min<std::size_t>(all.size(), static_cast<std::size_t>(tags)));
        const std::size_t per = static_cast<std::size_t>(samples) > 288 ? TAGS_PER_BODY : all.size();
        for (std::size_t i = 0; i < all.size(); i += per) {
            std::vector<std::string> part(all.begin() + i, all.begin() + std::min(all.size(), i + per));
            bodies.push_back(model.rangeBody(from, NOW, part, NOW));
        }
        nerivo_https_memory::setHandler([this](const nerivo_https_memory::Exchange&) {
            nerivo_https_memory::Reply reply;
            reply.body = *current;
            return reply;
        });
    }
    ~Load() { nerivo_https_memory::setHandler({}); }

    nerivo_https_memory::Reply answer(const nerivo_https_memory::Exchange& e)
    {
        fakeservice::Request request;
        request.method = e.method;
        request.target = e.target;
        for (const auto& f : e.fields)
            request.headers.push_back({f.first, f.second});
        const fakeservice::Answer a = sim.handle(request);
        nerivo_https_memory::Reply reply;
        reply.status = std::to_string(a.status) + (a.status == 200 ? " OK" : " Error");
        reply.body = a.body;
        return reply;
    }

    double parseSeconds(int rounds) const
    {
        const double start = threadSeconds();
        for (int n = 0; n < rounds; ++n)
            for (const std::string& body : bodies) {
                rapidjson::Document doc;
                doc.Parse(body.c_str(), body.size());
                benchmark::DoNotOptimize(doc.IsObject());
            }
        return (threadSeconds() - start) / rounds;
    }

    nerivosim::UtilityModel model;
    nerivosim::SimService sim;
    Nerivo client{nerivo_https_memory::connector()};
    int64_t from = 0;
    std::vector<std::string> bodies;
    const std::string* current = nullptr;
};

void BM_Parse(benchmark::State& state)
{
    Load load(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::size_t samples = 0;
    for (auto _ : state) {
        for (const std::string& body : load.bodies) {
            rapidjson::Document doc;
            g_counting = true;
            doc.Parse(body.c_str(), body.size());
            g_counting = false;
            benchmark::DoNotOptimize(doc.IsObject());
        }
        samples += static_cast<std::size_t>(state.range(0) * state.range(1));
    }
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
    state.counters["allocs/sample"] = static_cast<double>(g_allocations.exchange(0)) / samples;
    state.counters["bytes/sample"] = static_cast<double>(g_bytes.exchange(0)) / samples;
}

// Logs at the given level into a sink that discards, so that info's cost is
// the formatting and not a terminal.
void BM_Convert(benchmark::State& state)
{
    Load load(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    Logger* logger = Logger::getLogger();
    std::ostream discard(nullptr);
    logger->setSink([&discard](Logger::Level, const std::string& m) { discard << m << '\n'; });
    logger->setMinLevel(state.range(2) ? Logger::Level::Info : Logger::Level::Warning);
    std::size_t samples = 0;
    double converting = 0;
    for (auto _ : state) {
        state.PauseTiming();
        load.client.restoreState("{ \"lastPull\" : " + std::to_string(load.from) + " }");
        state.ResumeTiming();
        for (const std::string& body : load.bodies) {
            load.current = &body;
            std::vector<Reading*> readings;
            Nerivo::RangeBatch batch;
            batch.ask.from = load.from;
            batch.ask.to = NOW;
            const double start = threadSeconds();
            g_counting = true;
            load.client.makeRequest(&readings, "https://api.nerivowater.com/api/timeseriesdata/x", batch);
            g_counting = false;
            converting += threadSeconds() - start;
            state.PauseTiming();
            samples += readings.size();
            for (Reading* r : readings)
                delete r;
            state.ResumeTiming();
        }
    }
    logger->setMinLevel(Logger::Level::Warning);
    logger->setSink({});
    const double parse = load.parseSeconds(3);
    const double expected = static_cast<double>(state.range(0) * state.range(1)) * state.iterations();
    state.counters["parse_ratio"] = converting / state.iterations() / parse;
    state.counters["samples/s"] = samples / converting;
    state.counters["delivered"] = samples / expected;  // 1: every sample became a reading
    state.counters["allocs/sample"] = static_cast<double>(g_allocations.exchange(0)) / samples;
    state.counters["bytes/sample"] = static_cast<double>(g_bytes.exchange(0)) / samples;
}

}  // namespace

// tags, samples per tag (, info logging)
BENCHMARK(BM_Parse)->ArgNames({"tags", "samples"})->Args({200, 288})->Args({1000, 1000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert)
    ->ArgNames({"tags", "samples", "info"})
    ->Args({200, 288, 0})
    ->Args({200, 288, 1})
    ->Args({1000, 1000, 0})
    ->Args({1000, 1000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
