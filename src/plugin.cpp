// Entry points through which the platform drives the plugin: a thin layer
// over the one client object, whose pointer is the plugin handle.
#include <string>
#include <vector>

#include "config_category.h"
#include "nerivo.h"
#include "plugin_api.h"
#include "reading.h"

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const char* const default_config =
    "{"
    "\"plugin\": {\"description\": \"Retrieve data from the Nerivo Water cloud service\", "
    "\"type\": \"string\", \"default\": \"NerivoWater\", \"readonly\": \"true\"}, "
    "\"separator\": {\"description\": \"Separator to use between components of the asset name\", "
    "\"type\": \"string\", \"default\": \".\", \"displayName\": \"Asset Name Separator\", \"order\": \"1\"}, "
    "\"includeSite\": {\"description\": \"Include site name in the asset name\", "
    "\"type\": \"boolean\", \"default\": \"false\", \"displayName\": \"Include Site Name\", \"order\": \"2\"}, "
    "\"key\": {\"description\": \"The authentication key for the Nerivo Water Quorvel API\", "
    "\"type\": \"password\", \"default\": \"xxxxxxx\", \"displayName\": \"Auth. Key\", \"mandatory\": \"true\", "
    "\"order\": \"3\"}, "
    "\"includeAlarms\": {\"description\": \"Include alarm thresholds in the data\", "
    "\"type\": \"boolean\", \"default\": \"false\", \"displayName\": \"Include Alarm Thresholds\", "
    "\"order\": \"4\"}, "
    "\"proxy\": {\"description\": \"The name or address and port of a proxy server to use. This should be "
    "formatted as <hostname>:<port> or <address:port>\", "
    "\"type\": \"string\", \"default\": \"\", \"order\": \"5\", \"displayName\": \"Proxy\"}"
    "}";

PLUGIN_INFORMATION info = {
    "NerivoWater",       // name
    NERIVO_VERSION,      // version, set by the build
    SP_PERSIST_DATA,     // options
    "south",             // type
    "2.0.0",             // interface
    default_config       // config
};

}  // namespace

PLUGIN_EXPORT PLUGIN_INFORMATION* plugin_info()
{
    return &info;
}

PLUGIN_EXPORT PLUGIN_HANDLE plugin_init(ConfigCategory* config)
{
    auto* client = new Nerivo();
    try {
        client->configure(config);
    } catch (...) {
        delete client;
        throw;
    }
    return static_cast<PLUGIN_HANDLE>(client);
}

PLUGIN_EXPORT void plugin_start(PLUGIN_HANDLE handle, const std::string& storedData)
{
    static_cast<Nerivo*>(handle)->restoreState(storedData);
}

PLUGIN_EXPORT std::vector<Reading*>* plugin_poll(PLUGIN_HANDLE handle)
{
    return static_cast<Nerivo*>(handle)->takeReading();
}

PLUGIN_EXPORT void plugin_reconfigure(PLUGIN_HANDLE* handle, const std::string& newConfig)
{
    // Parsed before the client is touched: a bad text leaves it as it was.
    ConfigCategory config("nerivo", newConfig);
    static_cast<Nerivo*>(*handle)->configure(&config);
}

PLUGIN_EXPORT std::string plugin_shutdown(PLUGIN_HANDLE handle)
{
    auto* client = static_cast<Nerivo*>(handle);
    std::string state = client->getState();
    delete client;
    return state;
}
