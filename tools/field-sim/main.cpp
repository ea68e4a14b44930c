// field-sim: one seed replays a whole faulty utility year against the
// progress rules; a campaign runs seeds for as long as asked.
//   field-sim --seed N | --seeds A..B | --count N [--tags N] [--verbose]
//   field-sim --preset NAME|all
//   field-sim --minutes M [--seeds A..B]   (a campaign from A on)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "presets.h"
#include "runner.h"

namespace {

struct Args {
    uint64_t first = 1;
    uint64_t last = 1;
    double minutes = 0;
    int tags = 0;
    std::string preset;
    bool verbose = false;
    bool trace = false;
};

bool parseSeeds(const char* text, Args& args)
{
    const char* dots = std::strstr(text, "..");
    args.first = std::strtoull(text, nullptr, 10);
    args.last = dots ? std::strtoull(dots + 2, nullptr, 10) : args.first;
    return args.last >= args.first;
}

bool parse(int argc, char** argv, Args& args)
{
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (opt == "--verbose" || opt == "--trace") {
            args.verbose = true;
            args.trace = args.trace || opt == "--trace";
            continue;
        }
        if (value == nullptr) {
            return false;
        }
        ++i;
        if (opt == "--seed" || opt == "--seeds") {
            if (!parseSeeds(value, args)) {
                return false;
            }
        } else if (opt == "--count") {
            args.last = args.first + std::strtoull(value, nullptr, 10) - 1;
        } else if (opt == "--minutes") {
            args.minutes = std::strtod(value, nullptr);
        } else if (opt == "--tags") {
            args.tags = std::atoi(value);
        } else if (opt == "--preset") {
            args.preset = value;
        } else {
            return false;
        }
    }
    return true;
}

// Runs one world; true when every check held.
bool runOne(const fieldsim::World& world, const std::string& replay, bool verbose, double& tagDays)
{
    const fieldsim::RunResult result = fieldsim::runWorld(world);
    tagDays += result.figures.tagDays;
    if (verbose || !result.passed()) {
        std::printf("%s\n", fieldsim::summaryLine(world, result).c_str());
    }
    if (verbose) {
        std::printf("%s\n", fieldsim::describe(world).c_str());
    }
    if (!result.passed()) {
        std::printf("  %s\n", fieldsim::failureLine(world, result, replay).c_str());
        for (const fieldsim::Violation& v : result.violations) {
            if (verbose && !v.tag.empty()) {
                std::printf("%s\n", fieldsim::describeTag(world, v.tag).c_str());
            }
        }
    }
    std::fflush(stdout);
    return result.passed();
}

int runPresets(const Args& args)
{
    int failed = 0;
    double tagDays = 0;
    for (const fieldsim::Preset& preset : fieldsim::presets()) {
        if (args.preset != "all" && args.preset != preset.name) {
            continue;
        }
        fieldsim::World world;
        fieldsim::presetWorld(preset.name, world);
        world.trace = args.trace;
        failed += runOne(world, std::string("field-sim --preset ") + preset.name, true, tagDays) ? 0 : 1;
    }
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Args args;
    if (!parse(argc, argv, args)) {
        std::fprintf(stderr, "usage: field-sim [--seed N | --seeds A..B | --count N] [--minutes M] [--tags N] "
                             "[--preset NAME|all] [--verbose] [--trace]\n");
        return 2;
    }
    if (!args.preset.empty()) {
        return runPresets(args);
    }
    fieldsim::Options options;
    options.tags = args.tags;
    const std::string tags = args.tags > 0 ? " --tags " + std::to_string(args.tags) : "";
    // The wall clock only says when a campaign stops; no result depends on it.
    const auto began = std::chrono::steady_clock::now();
    auto elapsed = [&began] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(); };
    double tagDays = 0;
    uint64_t runs = 0, failures = 0;
    for (uint64_t seed = args.first; args.minutes > 0 ? elapsed() < args.minutes * 60 : seed <= args.last; ++seed) {
        fieldsim::World world = fieldsim::drawWorld(seed, options);
        world.trace = args.trace;
        const std::string replay = "field-sim --seed " + std::to_string(seed) + tags;
        failures += runOne(world, replay, args.verbose || args.minutes <= 0, tagDays) ? 0 : 1;
        ++runs;
    }
    std::printf("runs=%llu failed=%llu tag-days=%.0f seconds=%.1f tag-days/s=%.0f\n",
                static_cast<unsigned long long>(runs), static_cast<unsigned long long>(failures), tagDays, elapsed(),
                tagDays / std::max(elapsed(), 1e-9));
    return failures == 0 ? 0 : 1;
}
