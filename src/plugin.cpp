// Entry points through which the platform drives the plugin: a thin layer
// over the one client object, whose pointer is the plugin handle.
#include <string>
#include <vector>

#include "config_category.h"
#include "config_items.h"
#include "nerivo.h"
#include "plugin_api.h"
#include "reading.h"

#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

PLUGIN_EXPORT PLUGIN_INFORMATION* plugin_info()
{
    // Built once; the platform keeps the pointers for the life of the library.
    static const std::string config = nerivo::defaultConfiguration();
    static PLUGIN_INFORMATION info = {
        nerivo::itemDefault("plugin"),  // name
        NERIVO_VERSION,                 // version, set by the build
        SP_PERSIST_DATA,                // options
        "south",                        // type
        "2.0.0",                        // interface
        config.c_str()                  // config
    };
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
