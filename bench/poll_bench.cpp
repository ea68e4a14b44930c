// Cost per reading of the range path, which packs many tags into one
// request, against the latest-value path, which sends one request per
// parameter; the requests and repeats of a steady-state poll; no sample
// lost or delivered twice through a gateway's outage and through gaps
// filled later, with the requests the gaps cost; and the bounds of a
// one-year catch-up. All served by the simulator over TLS on loopback
// through the CONNECT proxy, as in production.
//
// Then the service's side of the bargain: bytes a day on the wire at
// several poll rates, with and without compression; discovery of 1,000
// assets at 50 ms an answer, one request at a time and over the plugin's
// connections; and a throttled service, whose holds must be honoured.
//
// Goals the counters are read against: requests_vs_single_range 1 (no more
// requests than one range over all tags would need); received_again_per_tag_poll
// at most 1; gap_requests_max_vs_limit at most 1; every lost_* and
// duplicates 0; compressed_vs_plain at most 0.33 at one poll a second;
// discovery_parallel_s at most 15; requests_during_holds 0.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <fakeservice/fake_service.hpp>

#include "config_category.h"
#include "logger.h"
#include "nerivo.h"
#include "nerivo_probe.h"
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
    // from lastPull. The plugin's connections come from the connector.
    Setup(nerivosim::ModelOptions options, const int64_t* clock = nullptr, int64_t lastPull = 0,
          const nerivosim::Faults& faults = nerivosim::Faults(),
          nerivo::Connector connector = nerivo::httpsConnector(Nerivo::API_HOST))
        : model(options),
          publication(nerivosim::SimService::publicationOf(faults)),
          sim(model, "bench-key", faults, clockOf(clock)),
          client(std::move(connector))
    {
        setenv("SSL_CERT_FILE", fake.caFile().c_str(), 1);
        fake.setHandler([this](const fakeservice::Request& request) { return sim.handle(request); });
        const std::string json =
            "{\"key\": {\"value\": \"bench-key\"}, \"proxy\": {\"value\": \"" + fake.hostPort() + "\"}}";
        ConfigCategory config("nerivo", json);
        client.configure(&config);
        if (clock != nullptr) {
            probe().setClock(*clock);
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

    NerivoProbe probe() { return NerivoProbe(client); }

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
    explicit Ledger(Setup& setup)
    {
        const auto names = setup.model.readingAssetNames(setup.probe().separator(), setup.probe().includeSite());
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
        m_setup.probe().setClock(now);
        std::map<std::string, int64_t> nextPull;
        for (const auto& entry : m_publications)
            nextPull[entry.first] = m_setup.probe().tagPull(entry.first);
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

// A first poll that catches up to T0, then one timed poll per iteration,
// the clocks one sample interval further each time.
void pollEveryFiveMinutes(benchmark::State& state, Run& run)
{
    run.poll(T0);
    run.restartTally();
    int64_t now = T0;
    for (auto _ : state)
        run.poll(now += FIVE_MINUTES, &state);
    reportPolls(state, run);
}

// The simulator's clock moves one sample interval between polls of a
// plugin that has caught up: every tag has one new sample per poll.
void BM_SteadyStatePoll(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    Run run(twoHundredTags(288), T0 - 2 * HOUR);
    pollEveryFiveMinutes(state, run);
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
    pollEveryFiveMinutes(state, run);
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

// Connector wrappers: each wraps every transport its connector opens.
using TransportWrap = std::function<nerivo::Transport(nerivo::Transport)>;

nerivo::Connector wrapped(nerivo::Connector inner, TransportWrap wrap)
{
    return [inner, wrap](std::chrono::milliseconds window) { return wrap(inner(window)); };
}

// Bytes of the answers, summed over every connection: as read from the TLS
// layer (status line, fields, framed body), the body alone as it came, and
// the body inflated.
struct Meter {
    std::atomic<uint64_t> answers{0}, wire{0}, bodyWire{0}, body{0};
};

nerivo::Connector metered(nerivo::Connector inner, std::shared_ptr<Meter> meter)
{
    return wrapped(std::move(inner), [meter](nerivo::Transport transport) -> nerivo::Transport {
        return [meter, transport](const std::string& target, const SimpleWeb::CaseInsensitiveMultimap& header,
                                  const std::string& proxy) {
            auto response = transport(target, header, proxy);
            meter->answers += 1;
            meter->wire += response->wire_bytes;
            meter->bodyWire += response->body_wire_bytes;
            meter->body += response->body_bytes;
            return response;
        };
    });
}

// Without compression: the offer taken out of every request, so that the
// service answers as is.
nerivo::Connector plain(nerivo::Connector inner)
{
    return wrapped(std::move(inner), [](nerivo::Transport transport) -> nerivo::Transport {
        return [transport](const std::string& target, const SimpleWeb::CaseInsensitiveMultimap& header,
                           const std::string& proxy) {
            SimpleWeb::CaseInsensitiveMultimap stripped = header;
            stripped.erase("Accept-Encoding");
            return transport(target, stripped, proxy);
        };
    });
}

// One request at a time over all connections: the serial baseline.
nerivo::Connector serial(nerivo::Connector inner)
{
    auto one = std::make_shared<std::mutex>();
    return wrapped(std::move(inner), [one](nerivo::Transport transport) -> nerivo::Transport {
        return [one, transport](const std::string& target, const SimpleWeb::CaseInsensitiveMultimap& header,
                                const std::string& proxy) {
            std::lock_guard<std::mutex> lock(*one);
            return transport(target, header, proxy);
        };
    });
}

// A request as it went into the tunnel: request line, fields, blank line
// and body (the TLS records' own overhead left out, as for the answers).
double requestBytes(const fakeservice::Request& request)
{
    std::size_t bytes = request.method.size() + 1 + request.target.size() + std::string(" HTTP/").size() +
                        request.version.size() + 2 + 2 + request.body.size();
    for (const auto& field : request.headers)
        bytes += field.name.size() + 2 + field.value.size() + 2;
    return static_cast<double>(bytes);
}

// What a steady state of polls sent and received over the window.
struct Traffic {
    double polls = 0, readings = 0, requests = 0, requestBytes = 0, answerWire = 0, bodyWire = 0, inflated = 0;

    double perPoll(double bytes) const { return bytes / std::max(polls, 1.0); }
    double wirePerPoll() const { return perPoll(requestBytes + answerWire); }
};

// Long enough for every rate to see whole sample intervals: 6 per tag.
constexpr int64_t TRAFFIC_WINDOW = 6 * FIVE_MINUTES;
constexpr double DAY = 86400;

// 200 tags at 5-minute samples, caught up at T0, then polled every rate
// seconds of the shared clock: each poll sees rate seconds of new data.
Traffic steadyTraffic(int64_t rate, bool compress)
{
    int64_t clock = T0;
    auto meter = std::make_shared<Meter>();
    const nerivo::Connector connector = metered(nerivo::httpsConnector(Nerivo::API_HOST), meter);
    Setup setup(twoHundredTags(288), &clock, T0 - 2 * HOUR, nerivosim::Faults(),
                compress ? connector : plain(connector));
    Setup::drop(setup.first);
    setup.first = nullptr;
    setup.fake.clearRecords();
    const Meter before{meter->answers.load(), meter->wire.load(), meter->bodyWire.load(), meter->body.load()};
    Traffic out;
    for (clock = T0 + rate; clock <= T0 + TRAFFIC_WINDOW; clock += rate) {
        setup.probe().setClock(clock);
        auto* list = setup.client.takeReading();
        out.readings += static_cast<double>(list->size());
        out.polls += 1;
        Setup::drop(list);
    }
    for (const auto& request : setup.fake.requests()) {
        out.requests += 1;
        out.requestBytes += requestBytes(request);
    }
    out.answerWire = static_cast<double>(meter->wire - before.wire);
    out.bodyWire = static_cast<double>(meter->bodyWire - before.bodyWire);
    out.inflated = static_cast<double>(meter->body - before.body);
    return out;
}

// Argument: seconds between polls. Bytes both ways: requests and answers.
void BM_BytesPerDay(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    const int64_t rate = state.range(0);
    Traffic gzip, raw;
    for (auto _ : state) {
        gzip = steadyTraffic(rate, true);
        raw = steadyTraffic(rate, false);
    }
    const double pollsPerDay = DAY / static_cast<double>(rate);
    state.counters["polls_per_day"] = pollsPerDay;
    state.counters["requests_per_poll"] = gzip.perPoll(gzip.requests);
    state.counters["request_bytes_per_poll"] = gzip.perPoll(gzip.requestBytes);
    state.counters["answer_wire_bytes_per_poll"] = gzip.perPoll(gzip.answerWire);
    state.counters["answer_wire_bytes_per_poll_plain"] = raw.perPoll(raw.answerWire);
    state.counters["inflated_bytes_per_poll"] = gzip.perPoll(gzip.inflated);
    state.counters["wire_bytes_per_poll"] = gzip.wirePerPoll();
    state.counters["wire_bytes_per_poll_plain"] = raw.wirePerPoll();
    state.counters["bytes_per_day"] = pollsPerDay * gzip.wirePerPoll();
    state.counters["bytes_per_day_plain"] = pollsPerDay * raw.wirePerPoll();
    state.counters["compressed_vs_plain"] = gzip.wirePerPoll() / std::max(raw.wirePerPoll(), 1.0);
    state.counters["answers_compressed_vs_plain"] = gzip.answerWire / std::max(raw.answerWire, 1.0);
    state.counters["readings_per_day"] = gzip.readings * DAY / static_cast<double>(TRAFFIC_WINDOW);
}

using Steady = std::chrono::steady_clock;

double secondsSince(Steady::time_point start)
{
    return std::chrono::duration<double>(Steady::now() - start).count();
}

// 1,000 assets: 20 sites of 50 assets of 4 parameters.
nerivosim::ModelOptions thousandAssets()
{
    return nerivosim::ModelOptions{20, 50, 4, FIVE_MINUTES, 288};
}

constexpr std::chrono::milliseconds ANSWER_DELAY{50};

struct Discovered {
    double seconds = 0, answers = 0, complete = 0, tags = 0;
};

// A discovery timed with every answer ANSWER_DELAY late, as the simulator's
// delay fault makes it; the setup's own first one, untimed, goes without,
// so that only one is waited for.
Discovered timedDiscovery(const nerivo::Connector& connector)
{
    int64_t clock = T0;
    Setup setup(thousandAssets(), &clock, T0 - FIVE_MINUTES, nerivosim::Faults(), connector);
    Setup::drop(setup.first);
    setup.first = nullptr;
    setup.fake.setHandler([&setup](const fakeservice::Request& request) {
        fakeservice::Answer answer = setup.sim.handle(request);
        answer.delay = ANSWER_DELAY;
        return answer;
    });
    setup.fake.clearRecords();
    const auto start = Steady::now();
    Discovered out;
    out.complete = setup.client.populateAssetInformation() ? 1 : 0;
    out.seconds = secondsSince(start);
    out.answers = static_cast<double>(setup.fake.requests().size());
    out.tags = static_cast<double>(setup.probe().tagIndex().size());
    return out;
}

void BM_Discovery1000Assets(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    Discovered one, parallel;
    for (auto _ : state) {
        one = timedDiscovery(serial(nerivo::httpsConnector(Nerivo::API_HOST)));
        parallel = timedDiscovery(nerivo::httpsConnector(Nerivo::API_HOST));
    }
    state.counters["assets"] = 1000;
    state.counters["tags"] = parallel.tags;
    state.counters["answers"] = parallel.answers;
    state.counters["answer_delay_ms"] = static_cast<double>(ANSWER_DELAY.count());
    state.counters["connections"] = static_cast<double>(nerivo::Service::MAX_CONNECTIONS);
    state.counters["discovery_serial_s"] = one.seconds;
    state.counters["discovery_parallel_s"] = parallel.seconds;
    state.counters["parallel_vs_serial"] = parallel.seconds / std::max(one.seconds, 1e-9);
    state.counters["complete"] = std::min(one.complete, parallel.complete);
}

constexpr std::chrono::seconds THROTTLE_FOR{30};
constexpr std::chrono::seconds RETRY_AFTER{5};

struct Holds {
    double during = 0, duringBeyondMs = 0, shortest = -1;
};

// The service of a setup answering 429 with a Retry-After for THROTTLE_FOR
// from start, then as the simulator does; every arrival noted.
class Throttled {
public:
    Throttled(Setup& setup, Steady::time_point start) : m_setup(setup), m_start(start)
    {
        setup.fake.setHandler([this](const fakeservice::Request& request) { return answer(request); });
    }
    ~Throttled() { m_setup.fake.setHandler({}); }
    Throttled(const Throttled&) = delete;
    Throttled& operator=(const Throttled&) = delete;

    double refusals() const { return static_cast<double>(m_refused.size()); }
    double arrivals() const { return static_cast<double>(m_arrivals.size()); }

    // Requests that arrived while a 429 before them still held: all of
    // them, and those more than a millisecond early (the resolution of the
    // plugin's hold); and the shortest wait from a 429 to the next request.
    Holds holds() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Holds out;
        for (const auto refused : m_refused) {
            const auto next = std::upper_bound(m_arrivals.begin(), m_arrivals.end(), refused);
            for (auto at = next; at != m_arrivals.end() && *at < refused + RETRY_AFTER; ++at) {
                out.during += 1;
                out.duringBeyondMs += *at < refused + RETRY_AFTER - std::chrono::milliseconds(1) ? 1 : 0;
            }
            const double wait = next == m_arrivals.end() ? -1 : std::chrono::duration<double>(*next - refused).count();
            if (wait >= 0 && (out.shortest < 0 || wait < out.shortest))
                out.shortest = wait;
        }
        return out;
    }

private:
    fakeservice::Answer answer(const fakeservice::Request& request)
    {
        const auto at = Steady::now();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_arrivals.push_back(at);
            if (at - m_start < THROTTLE_FOR)
                m_refused.push_back(at);
        }
        if (at - m_start >= THROTTLE_FOR)
            return m_setup.sim.handle(request);
        fakeservice::Answer refusal = fakeservice::Answer::json("{\"error\":\"Too Many Requests\"}", 429);
        refusal.headers.push_back({"Retry-After", std::to_string(RETRY_AFTER.count())});
        return refusal;
    }

    Setup& m_setup;
    Steady::time_point m_start;
    mutable std::mutex m_mutex;
    std::vector<Steady::time_point> m_arrivals, m_refused;
};

// Polls once a second until the first reading after the throttling, for at
// most a minute; seconds from its end to that reading, -1 when none came.
// The polls fall half-way between whole seconds of the throttling, so that
// none races its end.
double firstReadingAfter(Setup& setup, Steady::time_point start)
{
    for (int second = 0; second < 60; ++second) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(500) + std::chrono::seconds(second));
        auto* list = setup.client.takeReading();
        const bool got = !list->empty();
        Setup::drop(list);
        if (got)
            return std::chrono::duration<double>(Steady::now() - (start + THROTTLE_FOR)).count();
    }
    return -1;
}

// 200 tags on the real clock, ten minutes behind when the throttling
// starts, so that the first answer after it holds readings.
void BM_ThrottledService(benchmark::State& state)
{
    Logger::getLogger()->setMinLevel(Logger::Level::Error);
    // The back-off's warnings are the plugin's to log, not this program's.
    Logger::getLogger()->setSink([](Logger::Level, const std::string&) {});
    double afterEnd = -1, refusals = 0, arrivals = 0;
    Holds holds;
    for (auto _ : state) {
        Setup setup(twoHundredTags(288));
        setup.client.restoreState("{ \"lastPull\" : " + std::to_string(static_cast<int64_t>(time(nullptr)) - 600) +
                                  " }");
        const auto start = Steady::now();
        Throttled service(setup, start);
        afterEnd = firstReadingAfter(setup, start);
        holds = service.holds();
        refusals = service.refusals();
        arrivals = service.arrivals();
    }
    Logger::getLogger()->setSink({});
    state.counters["throttled_s"] = static_cast<double>(THROTTLE_FOR.count());
    state.counters["retry_after_s"] = static_cast<double>(RETRY_AFTER.count());
    state.counters["requests"] = arrivals;
    state.counters["answers_429"] = refusals;
    state.counters["requests_during_holds"] = holds.during;
    state.counters["requests_during_holds_over_1ms_early"] = holds.duringBeyondMs;
    state.counters["min_s_from_429_to_next_request"] = holds.shortest;
    state.counters["first_reading_after_throttle_s"] = afterEnd;
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
BENCHMARK(BM_BytesPerDay)
    ->ArgName("poll_s")
    ->Arg(1)
    ->Arg(10)
    ->Arg(60)
    ->Arg(300)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_Discovery1000Assets)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_ThrottledService)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
