#pragma once
// The plugin's entry points as the platform's loader sees them; the tests call
// them directly from the static library.
#include <string>
#include <vector>

#include "plugin_api.h"

class ConfigCategory;
class Reading;

extern "C" {
PLUGIN_INFORMATION* plugin_info();
PLUGIN_HANDLE plugin_init(ConfigCategory* config);
void plugin_start(PLUGIN_HANDLE handle, const std::string& storedData);
std::vector<Reading*>* plugin_poll(PLUGIN_HANDLE handle);
void plugin_reconfigure(PLUGIN_HANDLE* handle, const std::string& newConfig);
std::string plugin_shutdown(PLUGIN_HANDLE handle);
}
