#pragma once
// What a south plugin exports to the platform.

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
