// nerivo-sim: a simulated Nerivo Water service on a loopback port, for demos,
// benchmarks and tests. It serves HTTPS with its own CA and answers CONNECT,
// so the plugin reaches it through its proxy item.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <fakeservice/fake_service.hpp>

#include "sim_service.hpp"
#include "utility_model.hpp"

namespace {

const char* const USAGE =
    "usage: nerivo-sim [--port N] [--key KEY] [--sites N] [--assets N] [--parameters 3..5]\n"
    "                  [--interval SECONDS] [--max-samples N] [--ca-file PATH]\n"
    "                  [--fail-path PREFIX=STATUS]... [--malformed PREFIX]... [--drop PREFIX]...\n"
    "                  [--delay-ms N] [--late-tag PREFIX=SECONDS]... [--reject-tag PREFIX]...\n"
    "                  [--offline PREFIX=START+SECONDS]... [--newest-first SECONDS]\n"
    "                  [--backfill PREFIX=FROM:TO@AT]... [--max-range SECONDS]\n"
    "                  [--reset-tag PREFIX]... [--overshoot SECONDS]\n"
    "                  [--throttle PREFIX=START+SECONDS]... [--no-compression]\n"
    "                  [--zones fixed|rules|sites] [--start YYYY-MM-DD[THH:MM]] [--hours N]\n"
    "\n"
    "Serves a simulated water utility over HTTPS on 127.0.0.1 with its own CA, and answers\n"
    "CONNECT, so a plugin reaches it through its proxy item. The first line on standard\n"
    "output names the port, the CA file, the key, the sites and the tags.\n"
    "\n"
    "  --port N              port to listen on; 0 picks a free one (default: 0)\n"
    "  --key KEY             the one key it accepts (default: demo-key)\n"
    "  --sites N             sites, 1..99 (default: 2)\n"
    "  --assets N            assets per site, 1..99 (default: 3)\n"
    "  --parameters N        parameters per asset, 3..5 (default: 4)\n"
    "  --interval SECONDS    seconds between samples, 1..86400 (default: 300)\n"
    "  --max-samples N       samples per tag in one answer, 1..1000000 (default: 288)\n"
    "  --ca-file PATH        also write the CA certificate to PATH (default: a temporary file)\n"
    "  --fail-path P=STATUS  answer requests whose path starts with P with STATUS (repeatable)\n"
    "  --malformed P         answer paths starting with P with broken JSON (repeatable)\n"
    "  --drop P              close the connection on paths starting with P (repeatable)\n"
    "  --delay-ms N          wait N ms before each answer, 0..600000 (default: 0)\n"
    "  --late-tag P=SECONDS  samples of tags starting with P arrive SECONDS late (repeatable)\n"
    "  --reject-tag P        answer 400 to range requests naming a tag starting with P (repeatable)\n"
    "  --offline P=START+SECONDS\n"
    "                        the gateway of the tags starting with P is offline for SECONDS from\n"
    "                        START: their samples of that time are published when it is back\n"
    "                        (repeatable)\n"
    "  --newest-first SECONDS  a gateway back from --offline publishes its newest sample (the last\n"
    "                        before its return) at once and the rest SECONDS later (default: 0)\n"
    "  --backfill P=FROM:TO@AT  samples of tags starting with P dated in [FROM, TO) are published\n"
    "                        only at AT (repeatable)\n"
    "  --max-range SECONDS   answer 400 to a range whose end is more than SECONDS after its start\n"
    "                        (default: 0, no limit; 604800 is a week)\n"
    "  --reset-tag P         close the connection on range requests naming a tag starting with P\n"
    "                        (repeatable)\n"
    "  --overshoot SECONDS   answer samples up to SECONDS past the end of each range, the clock\n"
    "                        SECONDS ahead (default: 0)\n"
    "  --throttle P=START+SECONDS\n"
    "                        answer requests whose path starts with P with 429 and a Retry-After\n"
    "                        of the seconds left, from START for SECONDS (repeatable)\n"
    "  --no-compression      answer plain whatever Accept-Encoding asks (default: gzip or\n"
    "                        deflate when the request offers it)\n"
    "  --zones MODE          how sample times and range dates are written: fixed, one offset, the\n"
    "                        last site's, all year (default); rules, the last site's zone with its\n"
    "                        daylight saving; sites, each site's own zone with its daylight saving\n"
    "  --start DATE          the series begin at DATE (UTC, YYYY-MM-DD or YYYY-MM-DDTHH:MM), so\n"
    "                        that a change of season can be replayed (default: no beginning)\n"
    "  --hours N             the series end N hours after --start, 1..100000 (default: no end)\n"
    "  --help, -h            this text\n"
    "  --version             the version of the plugin build it belongs to\n"
    "\n"
    "START, FROM, TO and AT are epoch seconds, or with a sign seconds from the simulator's start:\n"
    "--offline NW.AMS=-3600+1800 takes the tags NW.AMS* offline from an hour before the start for\n"
    "half an hour; --backfill NW.HFD=-7200:-5400@+600 holds back the samples of the tags NW.HFD*\n"
    "of 2 to 1.5 hours before the start until 10 minutes after it.\n"
    "\n"
    "It runs until SIGINT or SIGTERM. Point the plugin's SSL_CERT_FILE at the CA file.\n"
    "Exit status: 0 stopped by a signal; 1 could not start or write the CA file; 2 bad invocation.\n";

bool isOption(const std::string& arg)
{
    static const char* const names[] = {"--port",     "--key",          "--sites",     "--assets",     "--parameters",
                                        "--interval", "--max-samples",  "--ca-file",   "--fail-path",  "--malformed",
                                        "--drop",     "--delay-ms",     "--late-tag",  "--reject-tag", "--offline",
                                        "--backfill", "--newest-first", "--max-range", "--reset-tag",  "--overshoot",
                                        "--throttle", "--zones",        "--start",     "--hours"};
    for (const char* name : names)
        if (arg == name)
            return true;
    return false;
}

bool parseLong(const char* text, long low, long high, long& out)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high)
        return false;
    out = value;
    return true;
}

int usageError(const std::string& message)
{
    std::cerr << "nerivo-sim: " << message << " (try --help)" << std::endl;
    return 2;
}

struct SimArguments {
    nerivosim::ModelOptions model;
    nerivosim::Faults faults;
    std::string key = "demo-key";
    std::string caCopy;
    long port = 0;
    int64_t start = 0;  // what relative times count from
    long hours = 0;     // of the series from its start; 0: no end
};

// The options that shape the service and its utility; an out-of-range value
// leaves its message in error. Options of the other group pass untouched.
bool modelOption(const std::string& arg, const char* value, SimArguments& args, std::string& error)
{
    long number = 0;
    nerivosim::ModelOptions& model = args.model;
    if (arg == "--port") {
        if (!parseLong(value, 0, 65535, args.port))
            error = "--port needs 0..65535";
    } else if (arg == "--key") {
        args.key = value;
    } else if (arg == "--sites") {
        if (!parseLong(value, 1, 99, number))
            error = "--sites needs 1..99";
        model.sites = static_cast<int>(number);
    } else if (arg == "--assets") {
        if (!parseLong(value, 1, 99, number))
            error = "--assets needs 1..99";
        model.assetsPerSite = static_cast<int>(number);
    } else if (arg == "--parameters") {
        if (!parseLong(value, 3, 5, number))
            error = "--parameters needs 3..5";
        model.parametersPerAsset = static_cast<int>(number);
    } else if (arg == "--interval") {
        if (!parseLong(value, 1, 86400, number))
            error = "--interval needs 1..86400 seconds";
        model.sampleInterval = number;
    } else if (arg == "--max-samples") {
        if (!parseLong(value, 1, 1000000, number))
            error = "--max-samples needs 1..1000000";
        model.maxSamplesPerTag = static_cast<std::size_t>(number);
    } else if (arg == "--ca-file") {
        args.caCopy = value;
    }
    return error.empty();
}

// The options of the service's zones and of the series' span, as modelOption.
bool zoneOption(const std::string& arg, const char* value, SimArguments& args, std::string& error)
{
    nerivosim::ModelOptions& model = args.model;
    long number = 0;
    if (arg == "--zones") {
        const std::string mode = value;
        model.zones = mode == "rules"   ? nerivosim::Zones::Rules
                      : mode == "sites" ? nerivosim::Zones::Sites
                                        : nerivosim::Zones::Fixed;
        if (mode != "fixed" && mode != "rules" && mode != "sites")
            error = "--zones needs fixed, rules or sites";
    } else if (arg == "--start") {
        std::string text = value;
        if (text.size() == 10)
            text += "T00:00";
        const std::optional<int64_t> start =
            text.size() == 16 ? nerivosim::parseWallTime(text + ":00") : std::optional<int64_t>();
        if (!start)
            error = "--start needs YYYY-MM-DD or YYYY-MM-DDTHH:MM";
        model.seriesStart = start.value_or(0);
    } else if (arg == "--hours") {
        if (!parseLong(value, 1, 100000, number))
            error = "--hours needs 1..100000";
        args.hours = number;
    }
    return error.empty();
}

// The options that make the service misbehave, as modelOption.
bool faultOption(const std::string& arg, const char* value, nerivosim::Faults& faults, std::string& error)
{
    long number = 0;
    if (arg == "--fail-path") {
        std::pair<std::string, int> fail;
        if (!nerivosim::SimService::parseFailPath(value, fail))
            error = "--fail-path needs PREFIX=STATUS with a status of 100..599";
        faults.failPaths.push_back(fail);
    } else if (arg == "--malformed") {
        faults.malformed.emplace_back(value);
    } else if (arg == "--drop") {
        faults.drop.emplace_back(value);
    } else if (arg == "--late-tag") {
        std::pair<std::string, int64_t> late;
        if (!nerivosim::SimService::parseLateTag(value, late))
            error = "--late-tag needs PREFIX=SECONDS with 0..31622400 seconds";
        faults.lateTags.push_back(late);
    } else if (arg == "--reject-tag") {
        faults.rejectTags.emplace_back(value);
    } else if (arg == "--delay-ms") {
        if (!parseLong(value, 0, 600000, number))
            error = "--delay-ms needs 0..600000";
        faults.delay = std::chrono::milliseconds(number);
    }
    return error.empty();
}

// The options that change what has been published when, and which ranges
// are answered, as modelOption.
bool publicationOption(const std::string& arg, const char* value, SimArguments& args, std::string& error)
{
    nerivosim::Faults& faults = args.faults;
    long seconds = 0;
    const long year = 366L * 86400;
    if (arg == "--offline") {
        faults.offline.emplace_back();
        if (!nerivosim::SimService::parseOffline(value, args.start, faults.offline.back()))
            error = "--offline needs PREFIX=START+SECONDS with 1..31622400 seconds";
    } else if (arg == "--backfill") {
        faults.backfills.emplace_back();
        if (!nerivosim::SimService::parseBackfill(value, args.start, faults.backfills.back()))
            error = "--backfill needs PREFIX=FROM:TO@AT with FROM before TO";
    } else if (arg == "--newest-first") {
        if (!parseLong(value, 0, year, seconds))
            error = "--newest-first needs 0..31622400 seconds";
        faults.newestFirst = seconds;
    } else if (arg == "--max-range") {
        if (!parseLong(value, 0, 10 * year, seconds))
            error = "--max-range needs 0..316224000 seconds";
        faults.maxRange = seconds;
    } else if (arg == "--overshoot") {
        if (!parseLong(value, 0, year, seconds))
            error = "--overshoot needs 0..31622400 seconds";
        faults.overshoot = seconds;
    } else if (arg == "--reset-tag") {
        faults.resetTags.emplace_back(value);
    } else if (arg == "--throttle") {
        faults.throttles.emplace_back();
        if (!nerivosim::SimService::parseOffline(value, args.start, faults.throttles.back()))
            error = "--throttle needs PREFIX=START+SECONDS with 1..31622400 seconds";
    }
    return error.empty();
}

// -1 when the service is to run; otherwise the exit status, after the help,
// the version or a usage error was printed.
int parseArguments(int argc, char** argv, SimArguments& args)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << USAGE;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "nerivo-sim " << NERIVO_VERSION << std::endl;
            return 0;
        }
        if (arg == "--no-compression") {
            args.faults.plain = true;
            continue;
        }
        if (!isOption(arg))
            return usageError("unknown option " + arg);
        if (i + 1 >= argc)
            return usageError("missing value for " + arg);
        const char* value = argv[++i];
        std::string error;
        if (!modelOption(arg, value, args, error) || !faultOption(arg, value, args.faults, error) ||
            !publicationOption(arg, value, args, error) || !zoneOption(arg, value, args, error))
            return usageError(error);
    }
    if (args.hours > 0 && args.model.seriesStart == INT64_MIN)
        return usageError("--hours needs --start");
    if (args.hours > 0)
        args.model.seriesEnd = args.model.seriesStart + args.hours * 3600;
    return -1;
}

// Serves until a stop signal; the exit status.
int serve(const SimArguments& args)
{
    // Every thread the service starts inherits this mask, so the signals
    // reach only the sigwait below and shutdown runs on the main thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        const nerivosim::UtilityModel utility(args.model);
        nerivosim::SimService sim(utility, args.key, args.faults);
        fakeservice::Options options;
        options.port = static_cast<std::uint16_t>(args.port);
        fakeservice::FakeService service(options);
        service.setHandler([&sim](const fakeservice::Request& request) { return sim.handle(request); });

        std::string caFile = service.caFile();
        if (!args.caCopy.empty()) {
            std::ofstream out(args.caCopy, std::ios::binary | std::ios::trunc);
            out << service.caPem();
            out.close();
            if (!out) {
                std::cerr << "nerivo-sim: cannot write the CA certificate to " << args.caCopy << std::endl;
                return 1;
            }
            caFile = args.caCopy;
        }
        std::cout << "nerivo-sim listening on " << service.hostPort() << " ca-file=" << caFile << " key=" << args.key
                  << " sites=" << args.model.sites << " tags=" << utility.tagCount() << std::endl;

        int received = 0;
        sigwait(&stopSignals, &received);
        std::cerr << "nerivo-sim: stopping on signal " << received << std::endl;
        service.stop();
    } catch (const std::exception& e) {
        std::cerr << "nerivo-sim: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    SimArguments args;
    args.start = static_cast<int64_t>(std::time(nullptr));
    const int status = parseArguments(argc, argv, args);
    return status >= 0 ? status : serve(args);
}
