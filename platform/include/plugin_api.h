#pragma once
// What a south plugin exports to the platform.
#include <string>
#include <vector>

typedef void* PLUGIN_HANDLE;

// The plugin takes its stored state at start and returns it at shutdown.
#define SP_PERSIST_DATA 0x0008

typedef struct {
    const char* name;
    const char* version;
    unsigned int options;
    const char* type;
    const char* interface;
    const char* config;
} PluginDescriptor;

typedef PluginDescriptor PLUGIN_INFORMATION;

class ConfigCategory;
class Reading;

// The entry points a south plugin exports. Declared once here: the plugin's
// definitions are checked against them and the hosts take their types from them.
// Both sides are C++: the platform's contract passes std::string across the
// C linkage, which clang would otherwise warn about.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" {
PLUGIN_INFORMATION* plugin_info();
PLUGIN_HANDLE plugin_init(ConfigCategory* config);
void plugin_start(PLUGIN_HANDLE handle, const std::string& storedData);
std::vector<Reading*>* plugin_poll(PLUGIN_HANDLE handle);
void plugin_reconfigure(PLUGIN_HANDLE* handle, const std::string& newConfig);
std::string plugin_shutdown(PLUGIN_HANDLE handle);
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
