// Cost per reading of the range path, which packs many tags into one
// request, against the latest-value path, which sends one request per
// parameter; the requests and repeats of a steady-state poll; no sample
// lost or delivered twice through a gateway's outage and through gaps
// filled later, with the requests the gaps cost; and the bounds of a
// one-year catch-up. All served by the simulator over TLS on loopback
// through the CONNECT proxy, as in production.
//
// Goals the counters are read against: requests_vs_single_range 1 (no more
// requests than one range over all tags would need); received_again_per_tag_poll
// at most 1; gap_requests_max_vs_limit at most 1; every lost_* and
// duplicates 0.
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
#include <set>
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

// The rules the simulator makes of its faults, for counting what it sent.
nerivosim::Publication publicationOf(const nerivosim::Faults& faults)
{
    nerivosim::Publication publication;
    publication.lag = faults.lateTags;
    publication.outages = faults.offline;
    publication.newestFirst = faults.newestFirst;
    publication.backfills = faults.backfills;
    publication.overshoot = faults.overshoot;
    return publication;
}

struct Setup {
    explicit Setup(int assetsPerSite) : Setup(nerivosim::ModelOptions{2, assetsPerSite, 4, SAMPLE_INTERVAL, 288}) {}
    // With a clock, simulator and plugin share it and the first poll starts
    // from lastPull.
    Setup(nerivosim::ModelOptions options, const int64_t* clock = nullptr, int64_t lastPull = 0,
          const nerivosim::Faults& faults = nerivosim::Faults())
        : model(options),
          publication(publicationOf(faults)),
          sim(model, "bench-key", faults, clockOf(clock))
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
    nerivosim::Publication publication;
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
constexpr int64_t HOUR = 3600;
// A fixed present on a sample boundary, so that every run asks the same.
constexpr int64_t T0 = 1796083200;  // 2026-12-01T00:00:00Z

// 200 tags: 2 sites of 25 assets of 4 parameters.
nerivosim::ModelOptions twoHundredTags(std::size_t maxSamples)
{
    return nerivosim::ModelOptions{2, 25, 4, FIVE_MINUTES, maxSamples};
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The tags in model order, the order of readingAssetNames.
std::vector<std::string> modelTags(const nerivosim::UtilityModel& model)
{
    std::vector<std::string> tags;
    for (const auto& site : model.sites())
        for (const auto& asset : site.assets)
            for (const auto& parameter : asset.parameters)
                tags.push_back(parameter.tag);
    return tags;
}

// The rules of one tag: the model tries every rule on every sample, which
// a rule per tag would make the bulk of the count.
nerivosim::Publication publicationFor(const nerivosim::Publication& all, const std::string& tag)
{
    nerivosim::Publication out = all;
    out.lag.clear();
    out.outages.clear();
    out.backfills.clear();
    for (const auto& late : all.lag)
        if (startsWith(tag, late.first))
            out.lag.push_back(late);
    for (const auto& outage : all.outages)
        if (startsWith(tag, outage.prefix))
            out.outages.push_back(outage);
    for (const auto& gap : all.backfills)
        if (startsWith(tag, gap.prefix))
            out.backfills.push_back(gap);
    return out;
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
    std::vector<std::string> tags = modelTags(model);
    std::transform(tags.begin(), tags.end(), tags.begin(), urlTag);
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

// Every sample delivered, by tag and time.
class Ledger {
public:
    explicit Ledger(const Setup& setup)
    {
        const auto names = setup.model.readingAssetNames(setup.client.separator(), setup.client.includeSite());
        const auto tags = modelTags(setup.model);
        for (std::size_t i = 0; i < tags.size() && i < names.size(); ++i)
            m_tagOf[names[i]] = tags[i];
    }

    // Checks off a poll's readings and frees them; returns how many samples
    // were delivered for the first time.
    std::size_t take(std::vector<Reading*>* list)
    {
        std::size_t fresh = 0;
        for (Reading* r : *list) {
            const auto found = m_tagOf.find(r->getAssetName());
            const std::string& tag = found == m_tagOf.end() ? r->getAssetName() : found->second;
            if (m_delivered[tag].insert(r->getUserTimestamp()).second)
                ++fresh;
            else
                ++m_duplicates;
        }
        Setup::drop(list);
        return fresh;
    }

    bool delivered(const std::string& tag, int64_t time) const
    {
        const auto found = m_delivered.find(tag);
        return found != m_delivered.end() && found->second.count(time) != 0;
    }
    std::size_t duplicates() const { return m_duplicates; }

private:
    std::map<std::string, std::string> m_tagOf;  // reading asset name to tag
    std::map<std::string, std::set<int64_t>> m_delivered;
    std::size_t m_duplicates = 0;
};

// What the polls since the last restart asked and got.
struct Tally {
    double polls = 0, requests = 0, maxRequests = 0, gapRequests = 0, maxGapRequests = 0;
    double sent = 0;              // samples in the answers
    double maxReceivedAgain = 0;  // samples delivered before, in one poll's answers
    double fresh = 0;             // samples delivered for the first time
    double readings = 0;
};

// Samples the service had published by the end of a run, and of them those
// never delivered; late: published after their own time (backlog, gaps).
struct Count {
    double published = 0, lost = 0, late = 0, lateLost = 0;
};

// Polls at a clock the benchmark moves, shared by simulator and plugin;
// every reading is checked off by tag and time, and each poll's range
// requests are read back from the simulator.
class Run {
public:
    Run(nerivosim::ModelOptions options, int64_t lastPull, const nerivosim::Faults& faults = nerivosim::Faults())
        : m_setup(options, &m_clock, lastPull, faults),
          m_ledger(m_setup)
    {
        m_ledger.take(m_setup.first);
        m_setup.first = nullptr;
        for (const auto& tag : modelTags(m_setup.model))
            m_publications[tag] = publicationFor(m_setup.publication, tag);
        m_seenRanges = m_setup.sim.rangeRequests().size();
    }

    // One poll at now; with a state, only the plugin's poll is timed.
    void poll(int64_t now, benchmark::State* state = nullptr)
    {
        if (state != nullptr)
            state->PauseTiming();
        m_clock = now;
        m_setup.client.setClock(now);
        std::map<std::string, int64_t> nextPull;
        for (const auto& entry : m_publications)
            nextPull[entry.first] = m_setup.client.tagPull(entry.first);
        if (state != nullptr)
            state->ResumeTiming();
        auto* list = m_setup.client.takeReading();
        if (state != nullptr)
            state->PauseTiming();
        m_tally.readings += static_cast<double>(list->size());
        const double fresh = static_cast<double>(m_ledger.take(list));
        const double sent = countRequests(nextPull);
        m_tally.fresh += fresh;
        m_tally.sent += sent;
        m_tally.maxReceivedAgain = std::max(m_tally.maxReceivedAgain, sent - fresh);
        if (state != nullptr)
            state->ResumeTiming();
    }

    void restartTally() { m_tally = Tally(); }
    const Tally& tally() const { return m_tally; }
    const nerivosim::UtilityModel& model() const { return m_setup.model; }
    double tags() const { return static_cast<double>(m_publications.size()); }
    double duplicates() const { return static_cast<double>(m_ledger.duplicates()); }

    // The samples of the tags starting with prefix from from on.
    Count count(const std::string& prefix, int64_t from) const
    {
        Count out;
        const int64_t step = m_setup.model.options().sampleInterval;
        for (const auto& entry : m_publications) {
            if (!startsWith(entry.first, prefix))
                continue;
            for (int64_t t = (from + step - 1) / step * step; t <= m_clock; t += step) {
                const int64_t at = m_setup.model.publishedAt(entry.first, t, entry.second);
                if (at > m_clock)
                    continue;
                const double lost = m_ledger.delivered(entry.first, t) ? 0 : 1;
                out.published += 1;
                out.lost += lost;
                out.late += at > t ? 1 : 0;
                out.lateLost += at > t ? lost : 0;
            }
        }
        return out;
    }

private:
    // A request for gaps asks only for what lies before the next pull of
    // each of its tags; any other request reaches at least one next pull.
    // Returns the samples the poll's answers held.
    double countRequests(const std::map<std::string, int64_t>& nextPull)
    {
        const auto ranges = m_setup.sim.rangeRequests();
        double requests = 0, gaps = 0, sent = 0;
        for (std::size_t i = m_seenRanges; i < ranges.size(); ++i) {
            const auto& range = ranges[i];
            const bool gap = !range.tags.empty() && std::all_of(range.tags.begin(), range.tags.end(), [&](auto& tag) {
                const auto found = nextPull.find(tag);
                return found != nextPull.end() && range.toEpoch < found->second;
            });
            ++requests;
            gaps += gap ? 1 : 0;
            for (const auto& tag : range.tags)
                if (const auto* parameter = m_setup.model.findParameter(tag))
                    sent += static_cast<double>(
                        m_setup.model
                            .samples(*parameter, range.fromEpoch, range.toEpoch, m_clock, m_publications.at(tag))
                            .size());
        }
        m_seenRanges = ranges.size();
        m_tally.polls += 1;
        m_tally.requests += requests;
        m_tally.maxRequests = std::max(m_tally.maxRequests, requests);
        m_tally.gapRequests += gaps;
        m_tally.maxGapRequests = std::max(m_tally.maxGapRequests, gaps);
        return sent;
    }

    int64_t m_clock = T0;  // before m_setup, which reads it
    Setup m_setup;
    Ledger m_ledger;
    std::map<std::string, nerivosim::Publication> m_publications;  // by tag
    std::size_t m_seenRanges = 0;
    Tally m_tally;
};

// The counters every polling run reports.
void reportPolls(benchmark::State& state, const Run& run)
{
    const Tally& tally = run.tally();
    const double polls = std::max(tally.polls, 1.0);
    state.counters["polls"] = tally.polls;
    state.counters["requests_per_poll"] = tally.requests / polls;
    state.counters["requests_max_per_poll"] = tally.maxRequests;
    state.counters["requests_vs_single_range"] = tally.requests / polls / singleRangeRequests(run.model());
    state.counters["gap_requests_max_per_poll"] = tally.maxGapRequests;
    state.counters["received_again_per_tag_poll"] = (tally.sent - tally.fresh) / run.tags() / polls;
    state.counters["received_again_max_per_tag_poll"] = tally.maxReceivedAgain / run.tags();
    state.counters["duplicates"] = run.duplicates();
}

// The simulator's clock moves one sample interval between polls of a
// plugin that has caught up: every tag has one new sample per poll.
void BM_SteadyStatePoll(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    Run run(twoHundredTags(288), T0 - 2 * HOUR);
    run.poll(T0);
    run.restartTally();
    int64_t now = T0;
    for (auto _ : state)
        run.poll(now += FIVE_MINUTES, &state);
    reportPolls(state, run);
    state.counters["tags"] = run.tags();
    state.counters["single_range_requests"] = singleRangeRequests(run.model());
    state.counters["readings_per_poll"] = run.tally().readings / std::max(run.tally().polls, 1.0);
}

// 204 tags (3 sites of 17 assets of 4 parameters), 5-minute samples; the
// gateway of the first asset goes offline for 30 hours an hour in, and the
// polls go on 12 hours past its return, one every 5 minutes.
constexpr int64_t OUTAGE_START = T0 + HOUR;
constexpr int64_t OUTAGE_END = OUTAGE_START + 30 * HOUR;
constexpr int64_t OUTAGE_RUN_END = OUTAGE_END + 12 * HOUR;
constexpr int64_t OUTAGE_POLLS = (OUTAGE_RUN_END - T0) / FIVE_MINUTES;

nerivosim::ModelOptions outageTags()
{
    return nerivosim::ModelOptions{3, 17, 4, FIVE_MINUTES, 288};
}

// The tags of the first asset, behind one gateway.
std::string firstGateway(const nerivosim::UtilityModel& model)
{
    const std::string& tag = model.sites().front().assets.front().parameters.front().tag;
    return tag.substr(0, tag.rfind('.') + 1);
}

// Argument: seconds between the newest sample of the return and the backlog.
void BM_OutagePoll(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    const std::string gateway = firstGateway(nerivosim::UtilityModel(outageTags()));
    nerivosim::Faults faults;
    faults.offline.push_back(nerivosim::Outage{gateway, OUTAGE_START, OUTAGE_END});
    faults.newestFirst = state.range(0);
    Run run(outageTags(), T0 - HOUR, faults);
    int64_t now = T0;
    for (auto _ : state)
        run.poll(now += FIVE_MINUTES, &state);
    reportPolls(state, run);
    const Count offline = run.count(gateway, T0 - HOUR);
    const Count all = run.count("", T0 - HOUR);
    const auto tags = modelTags(run.model());
    state.counters["offline_tags"] = static_cast<double>(std::count_if(
        tags.begin(), tags.end(), [&gateway](const std::string& tag) { return startsWith(tag, gateway); }));
    state.counters["offline_backlog_samples"] = offline.late;
    state.counters["lost_offline"] = offline.lost;
    state.counters["lost_other"] = all.lost - offline.lost;
}

// 200 regular tags at 5-minute samples, 10 gaps each: gap k of tag i lies in
// the k-th 100-minute slot from an hour in, holds 1 to 4 samples and is
// filled 10 minutes to 6 hours after it ends. A slot leaves at least 5
// samples after its gap, so that the series is regular again before the
// next one. The polls go on 36 hours, one every 5 minutes.
constexpr int GAPS_PER_TAG = 10;
constexpr int64_t GAP_SLOT = 20 * FIVE_MINUTES;
constexpr int64_t GAP_RUN_END = T0 + 36 * HOUR;
constexpr int64_t GAP_POLLS = (GAP_RUN_END - T0) / FIVE_MINUTES;

nerivosim::Faults gapFaults(const nerivosim::UtilityModel& model)
{
    nerivosim::Faults faults;
    int64_t i = 0;
    for (const auto& tag : modelTags(model)) {
        for (int64_t k = 0; k < GAPS_PER_TAG; ++k) {
            const int64_t from = T0 + HOUR + k * GAP_SLOT + (i * 7 % 12) * FIVE_MINUTES;
            const int64_t to = from + ((i + k) % 4 + 1) * FIVE_MINUTES;
            const int64_t at = to + 600 * (1 + (i * 3 + k * 5) % 36);
            faults.backfills.push_back(nerivosim::Backfill{tag, from, to, at});
        }
        ++i;
    }
    return faults;
}

void BM_GapPoll(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    Run run(twoHundredTags(288), T0 - 2 * HOUR, gapFaults(nerivosim::UtilityModel(twoHundredTags(288))));
    run.poll(T0);
    run.restartTally();
    int64_t now = T0;
    for (auto _ : state)
        run.poll(now += FIVE_MINUTES, &state);
    reportPolls(state, run);
    const Count all = run.count("", T0 - 2 * HOUR);
    const double polls = std::max(run.tally().polls, 1.0);
    state.counters["gap_requests_per_poll"] = run.tally().gapRequests / polls;
    state.counters["gap_request_limit"] = nerivo::MAX_GAP_REQUESTS;
    state.counters["gap_requests_max_vs_limit"] = run.tally().maxGapRequests / nerivo::MAX_GAP_REQUESTS;
    state.counters["backfilled_samples"] = all.late;
    state.counters["backfilled_delivered"] = all.late - all.lateLost;
    state.counters["lost_backfilled"] = all.lateLost;
    state.counters["lost_other"] = all.lost - all.lateLost;
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
BENCHMARK(BM_OutagePoll)
    ->ArgName("newest_first_s")
    ->Arg(0)
    ->Arg(HOUR)
    ->Iterations(OUTAGE_POLLS)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GapPoll)->Iterations(GAP_POLLS)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CatchUpYear)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_RangePoll)->ArgName("tags")->Arg(40)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LatestPerParameter)->ArgName("tags")->Arg(40)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
