#pragma once
// The plugin's entry points as the platform's loader sees them; the tests call
// them directly from the static library.
#include "plugin_api.h"
