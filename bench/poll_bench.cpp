// Cost per reading of the range path, which packs many tags into one
// request, against the latest-value path, which sends one request per
// parameter; both served by the simulator over TLS on loopback through the
// CONNECT proxy, as in production.
#include <cstdlib>
#include <ctime>
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

struct Setup {
    explicit Setup(int assetsPerSite)
        : model(nerivosim::ModelOptions{2, assetsPerSite, 4, SAMPLE_INTERVAL, 288}),
          sim(model, "bench-key")
    {
        setenv("SSL_CERT_FILE", fake.caFile().c_str(), 1);
        fake.setHandler([this](const fakeservice::Request& request) { return sim.handle(request); });
        const std::string json = "{\"key\": {\"value\": \"bench-key\"}, \"proxy\": {\"value\": \"" +
                                 fake.hostPort() + "\"}}";
        ConfigCategory config("nerivo", json);
        client.configure(&config);
        // The first poll discovers; keep it out of the measurement.
        drop(client.takeReading());
    }

    static void drop(std::vector<Reading*>* readings)
    {
        for (Reading* r : *readings) delete r;
        delete readings;
    }

    fakeservice::FakeService fake;
    nerivosim::UtilityModel model;
    nerivosim::SimService sim;
    Nerivo client;
};

// Every poll asks for the last sample interval again, so each one returns
// about one reading per tag, like one latest-value round.
void BM_RangePoll(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    Setup setup(static_cast<int>(state.range(0)));
    std::size_t readings = 0;
    for (auto _ : state) {
        setup.client.restoreState("{ \"lastPull\" : " +
                                  std::to_string(static_cast<int64_t>(time(nullptr)) - SAMPLE_INTERVAL) + " }");
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
    Setup setup(static_cast<int>(state.range(0)));
    std::size_t readings = 0;
    for (auto _ : state) {
        std::vector<Reading*> list;
        setup.client.getLatestData(&list);
        readings += list.size();
        for (Reading* r : list) delete r;
    }
    state.counters["tags"] = static_cast<double>(setup.model.tagCount());
    state.SetItemsProcessed(static_cast<int64_t>(readings));
}

}  // namespace

BENCHMARK(BM_RangePoll)->Arg(5)->Arg(25)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LatestPerParameter)->Arg(5)->Arg(25)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
