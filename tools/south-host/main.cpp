// south-host: hosts a south plugin the way the platform's south service does:
// load it, build its configuration category, start it with the stored state,
// poll it and print every reading as one JSON line, then shut it down and
// store the state it hands back.
#include <dlfcn.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "config_category.h"
#include "logger.h"
#include "plugin_api.h"
#include "reading.h"

namespace {

// The entry points' types, taken from their one declaration.
using InfoFn = decltype(&plugin_info);
using InitFn = decltype(&plugin_init);
using StartFn = decltype(&plugin_start);
using PollFn = decltype(&plugin_poll);
using ReconfigureFn = decltype(&plugin_reconfigure);
using ShutdownFn = decltype(&plugin_shutdown);

const char* const USAGE =
    "usage: south-host --plugin PATH [--config FILE] [--state FILE] [--polls N] [--interval SECONDS]\n"
    "                  [--log-level debug|info|warning|error] [--reconfigure-at K --reconfigure FILE]\n"
    "\n"
    "Hosts a south plugin as the platform does and prints every reading as one JSON line.\n"
    "\n"
    "  --plugin PATH         the plugin's shared object (required)\n"
    "  --config FILE         JSON object of item names to values; items left out keep\n"
    "                        the plugin's defaults (default: all defaults)\n"
    "  --state FILE          state read at start and stored at shutdown; a missing file\n"
    "                        means a first start (default: no state kept)\n"
    "  --polls N             polls to run (default: until a stop signal)\n"
    "  --interval SECONDS    pause between polls (default: 1)\n"
    "  --log-level LEVEL     least level logged to standard error (default: warning)\n"
    "  --reconfigure-at K    after poll K, reconfigure with --reconfigure FILE\n"
    "  --reconfigure FILE    configuration file of the reconfiguration\n"
    "  --help, -h            this text\n"
    "  --version             the plugin build's version\n"
    "\n"
    "A first SIGINT or SIGTERM ends polling after the current poll and stores the state;\n"
    "a second one exits at once without storing it.\n"
    "\n"
    "Environment:\n"
    "  SSL_CERT_FILE         CA certificates (PEM) that verify the service, for a private CA\n"
    "\n"
    "Exit status: 0 done; 1 the plugin failed, or readings or the state could not be written\n"
    "(the stored state is then left as it was); 2 bad invocation; 128+N stopped at once by signal N.\n";

volatile sig_atomic_t g_stop = 0;

// Only async-signal-safe calls here: the first signal asks for a stop after
// the current poll, a second one ends the process at once, storing nothing.
void onStopSignal(int number)
{
    if (g_stop) {
        const char text[] = "south-host: second stop signal; exiting without storing a state\n";
        (void)!write(STDERR_FILENO, text, sizeof text - 1);
        _exit(128 + number);
    }
    g_stop = 1;
    const char text[] = "south-host: stop signal; stopping after the current poll\n";
    (void)!write(STDERR_FILENO, text, sizeof text - 1);
}

// Thrown for anything the user has to fix: reported on one line, exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Arguments {
    std::string plugin;
    std::string config;
    std::string state;
    long polls = -1;  // run until a signal
    double interval = 1.0;
    std::string logLevel = "warning";
    long reconfigureAt = -1;
    std::string reconfigure;
};

bool isOption(const std::string& arg)
{
    static const char* const names[] = {"--plugin",   "--config",    "--state",          "--polls",
                                        "--interval", "--log-level", "--reconfigure-at", "--reconfigure"};
    for (const char* name : names)
        if (arg == name)
            return true;
    return false;
}

Arguments parseArguments(int argc, char** argv)
{
    Arguments args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!isOption(arg))
            throw UsageError(arg.rfind('-', 0) == 0 ? "unknown option " + arg + " (try --help)"
                                                    : "unexpected argument " + arg + " (try --help)");
        if (i + 1 >= argc)
            throw UsageError("missing value for " + arg + " (try --help)");
        const std::string value = argv[++i];
        char* end = nullptr;
        errno = 0;
        if (arg == "--plugin") {
            args.plugin = value;
        } else if (arg == "--config") {
            args.config = value;
        } else if (arg == "--state") {
            args.state = value;
        } else if (arg == "--polls") {
            args.polls = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || errno != 0 || *end != '\0' || args.polls < 0)
                throw UsageError("--polls needs a whole number of at least 0, not '" + value + "'");
        } else if (arg == "--interval") {
            args.interval = std::strtod(value.c_str(), &end);
            if (value.empty() || errno != 0 || *end != '\0' || !std::isfinite(args.interval) || args.interval < 0 ||
                args.interval > 86400.0 * 365)
                throw UsageError("--interval needs a number of seconds of at least 0, not '" + value + "'");
        } else if (arg == "--log-level") {
            if (value != "debug" && value != "info" && value != "warning" && value != "error")
                throw UsageError("--log-level needs debug, info, warning or error, not '" + value + "'");
            args.logLevel = value;
        } else if (arg == "--reconfigure-at") {
            args.reconfigureAt = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || errno != 0 || *end != '\0' || args.reconfigureAt < 1)
                throw UsageError("--reconfigure-at needs a poll number of at least 1, not '" + value + "'");
        } else if (arg == "--reconfigure") {
            args.reconfigure = value;
        }
    }
    if (args.plugin.empty())
        throw UsageError("--plugin PATH is required");
    if ((args.reconfigureAt > 0) != !args.reconfigure.empty())
        throw UsageError("--reconfigure-at and --reconfigure go together");
    return args;
}

bool readFile(const std::string& path, std::string& text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return false;
    text = content.str();
    return true;
}

// The user's values of a config file, checked before the plugin is loaded.
using UserValues = std::vector<std::pair<std::string, std::string>>;

UsageError badItemValue(const std::string& path, const std::string& name)
{
    return UsageError("config file " + path + ": item '" + name + "' needs a text, number or boolean value");
}

UserValues readUserValues(const std::string& path)
{
    std::string text;
    if (!readFile(path, text))
        throw UsageError("cannot read config file " + path);
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError() || !doc.IsObject())
        throw UsageError("config file " + path + " is not a JSON object of item names to values");
    UserValues values;
    for (const auto& member : doc.GetObject()) {
        const std::string name(member.name.GetString(), member.name.GetStringLength());
        const rapidjson::Value& v = member.value;
        std::string value;
        if (v.IsString()) {
            value.assign(v.GetString(), v.GetStringLength());
        } else if (v.IsBool()) {
            value = v.GetBool() ? "true" : "false";
        } else if (v.IsNumber()) {
            // Category values are text; a number keeps its JSON spelling.
            rapidjson::StringBuffer buffer;
            rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
            v.Accept(writer);
            value = buffer.GetString();
        } else {
            throw badItemValue(path, name);
        }
        values.emplace_back(name, value);
    }
    return values;
}

// The category text: the descriptor's default items, each given a "value",
// the user's where named and the default elsewhere.
std::string buildCategory(const char* defaults, const UserValues& values, Logger* logger)
{
    rapidjson::Document doc;
    doc.Parse(defaults);
    if (doc.HasParseError() || !doc.IsObject())
        throw UsageError("the plugin's default configuration is not a JSON object");
    auto& alloc = doc.GetAllocator();
    for (auto& item : doc.GetObject()) {
        if (!item.value.IsObject())
            continue;
        auto def = item.value.FindMember("default");
        rapidjson::Value value;
        if (def != item.value.MemberEnd())
            value.CopyFrom(def->value, alloc);
        else
            value.SetString("", alloc);
        auto existing = item.value.FindMember("value");
        if (existing != item.value.MemberEnd())
            existing->value = value;
        else
            item.value.AddMember("value", value, alloc);
    }
    for (const auto& entry : values) {
        auto item = doc.FindMember(entry.first.c_str());
        if (item == doc.MemberEnd() || !item->value.IsObject()) {
            logger->warn("Configuration item '%s' is not one of the plugin's; ignored", entry.first.c_str());
            continue;
        }
        item->value["value"].SetString(entry.second.c_str(), static_cast<rapidjson::SizeType>(entry.second.size()),
                                       alloc);
    }
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    doc.Accept(writer);
    return buffer.GetString();
}

void* symbol(void* library, const char* name, const std::string& path)
{
    dlerror();
    void* address = dlsym(library, name);
    const char* failure = dlerror();
    if (failure != nullptr || address == nullptr)
        throw UsageError("plugin " + path + " lacks the entry point " + name);
    return address;
}

// Sleeps in short steps so that a stop signal ends the wait promptly.
void sleepUnlessStopped(double seconds)
{
    const double step = 0.05;
    while (seconds > 0 && !g_stop) {
        const double chunk = seconds < step ? seconds : step;
        timespec request{static_cast<time_t>(chunk), static_cast<long>((chunk - std::floor(chunk)) * 1e9)};
        nanosleep(&request, nullptr);
        seconds -= chunk;
    }
}

bool writeState(const std::string& path, const std::string& state)
{
    // Written aside and renamed, so an interrupted write never leaves half a
    // state for the next start.
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << state;
        out.close();
        if (!out)
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// The loaded plugin: its entry points, and the texts and state it starts with.
struct HostedPlugin {
    InitFn init = nullptr;
    StartFn start = nullptr;
    PollFn poll = nullptr;
    ReconfigureFn reconfigure = nullptr;
    ShutdownFn shutdown = nullptr;
    std::string categoryName;
    std::string categoryText;
    std::string reconfigureText;
    std::string storedState;
};

// Every file is read and checked before the plugin is loaded, and the
// plugin's entry points and descriptor before it is started.
HostedPlugin loadPlugin(const Arguments& args, Logger* logger)
{
    UserValues userValues;
    if (!args.config.empty())
        userValues = readUserValues(args.config);
    UserValues reconfigureValues;
    if (!args.reconfigure.empty())
        reconfigureValues = readUserValues(args.reconfigure);

    HostedPlugin plugin;
    if (!args.state.empty() && access(args.state.c_str(), F_OK) == 0 && !readFile(args.state, plugin.storedState))
        throw UsageError("cannot read state file " + args.state);

    void* library = dlopen(args.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* failure = dlerror();
        throw UsageError("cannot load plugin " + args.plugin + ": " + (failure ? failure : "unknown error"));
    }
    // The library stays loaded until exit: leak and error reports then still
    // resolve its symbols.
    auto info = reinterpret_cast<InfoFn>(symbol(library, "plugin_info", args.plugin));
    plugin.init = reinterpret_cast<InitFn>(symbol(library, "plugin_init", args.plugin));
    plugin.start = reinterpret_cast<StartFn>(symbol(library, "plugin_start", args.plugin));
    plugin.poll = reinterpret_cast<PollFn>(symbol(library, "plugin_poll", args.plugin));
    plugin.reconfigure = reinterpret_cast<ReconfigureFn>(symbol(library, "plugin_reconfigure", args.plugin));
    plugin.shutdown = reinterpret_cast<ShutdownFn>(symbol(library, "plugin_shutdown", args.plugin));

    const PLUGIN_INFORMATION* descriptor = info();
    if (descriptor == nullptr || descriptor->name == nullptr || descriptor->config == nullptr)
        throw UsageError("plugin " + args.plugin + " gives no descriptor with a name and a configuration");
    plugin.categoryName = descriptor->name;
    plugin.categoryText = buildCategory(descriptor->config, userValues, logger);
    if (!args.reconfigure.empty())
        plugin.reconfigureText = buildCategory(descriptor->config, reconfigureValues, logger);
    return plugin;
}

void installStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader that goes away (south-host | head) must not kill the host
    // before the state is stored: the failed write stops the polling instead.
    signal(SIGPIPE, SIG_IGN);
}

// Creates and starts the plugin; null, after its error line, when that fails.
// A failed start still leaves a handle, which is shut down.
PLUGIN_HANDLE startPlugin(const HostedPlugin& plugin, int& status)
{
    PLUGIN_HANDLE handle = nullptr;
    try {
        ConfigCategory category(plugin.categoryName, plugin.categoryText);
        handle = plugin.init(&category);
    } catch (const std::exception& e) {
        std::cerr << "south-host: plugin_init failed: " << e.what() << std::endl;
        return nullptr;
    }
    if (handle == nullptr) {
        std::cerr << "south-host: plugin_init returned no handle" << std::endl;
        return nullptr;
    }
    try {
        plugin.start(handle, plugin.storedState);
    } catch (const std::exception& e) {
        std::cerr << "south-host: plugin_start failed: " << e.what() << std::endl;
        status = 1;
    }
    return handle;
}

// One poll, its readings printed one JSON line each; false when they could
// not be written.
bool pollOnce(const HostedPlugin& plugin, PLUGIN_HANDLE handle, Logger* logger)
{
    std::vector<Reading*>* readings = nullptr;
    try {
        readings = plugin.poll(handle);
    } catch (const std::exception& e) {
        // The platform carries on after a failed poll; so do we.
        logger->error("plugin_poll failed: %s", e.what());
    }
    if (readings != nullptr) {
        for (Reading* reading : *readings) {
            if (reading == nullptr)
                continue;
            const std::string line = reading->toJSON();
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fputc('\n', stdout);
            delete reading;
        }
        delete readings;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        // The plugin's state is now past readings nobody received: keep
        // the stored one, so the next run reads them again.
        std::cerr << "south-host: cannot write readings to standard output: " << std::strerror(errno)
                  << "; stopped, state file left as it was" << std::endl;
        return false;
    }
    return true;
}

// Polls until done or stopped, reconfiguring after the poll asked for;
// false when readings could not be written.
bool pollPlugin(const Arguments& args, const HostedPlugin& plugin, PLUGIN_HANDLE& handle, Logger* logger)
{
    for (long done = 0; !g_stop && (args.polls < 0 || done < args.polls);) {
        if (!pollOnce(plugin, handle, logger))
            return false;
        ++done;

        if (done == args.reconfigureAt) {
            try {
                plugin.reconfigure(&handle, plugin.reconfigureText);
            } catch (const std::exception& e) {
                // The plugin keeps its previous configuration.
                logger->error("plugin_reconfigure failed: %s", e.what());
            }
        }
        if (args.polls < 0 || done < args.polls)
            sleepUnlessStopped(args.interval);
    }
    return true;
}

// Shuts the plugin down and stores the state it hands back, unless readings
// were lost; returns the exit status.
int storeState(const Arguments& args, const HostedPlugin& plugin, PLUGIN_HANDLE handle, bool written, int status)
{
    std::string state;
    try {
        state = plugin.shutdown(handle);
    } catch (const std::exception& e) {
        std::cerr << "south-host: plugin_shutdown failed: " << e.what() << std::endl;
        return 1;
    }
    if (!written)
        return 1;
    if (!args.state.empty() && !writeState(args.state, state)) {
        std::cerr << "south-host: cannot write state file " << args.state << std::endl;
        return 1;
    }
    return status;
}

int run(const Arguments& args)
{
    Logger* logger = Logger::getLogger();
    logger->setMinLevel(args.logLevel);

    const HostedPlugin plugin = loadPlugin(args, logger);
    installStopSignals();

    int status = 0;
    PLUGIN_HANDLE handle = startPlugin(plugin, status);
    if (handle == nullptr)
        return 1;
    const bool written = status != 0 || pollPlugin(args, plugin, handle, logger);
    return storeState(args, plugin, handle, written, status);
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << USAGE;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "south-host " << NERIVO_VERSION << std::endl;
            return 0;
        }
    }
    try {
        return run(parseArguments(argc, argv));
    } catch (const UsageError& e) {
        std::cerr << "south-host: " << e.what() << std::endl;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "south-host: " << e.what() << std::endl;
        return 1;
    }
}
