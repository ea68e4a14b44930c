#pragma once
// The configuration items, written once: the default configuration the
// platform reads and the values configure falls back to both come from here.
#include <string>

namespace nerivo {

// The default configuration as one line of JSON.
std::string defaultConfiguration();

// The item's default value; the item must be one of the table.
const char* itemDefault(const std::string& name);

}  // namespace nerivo
