#pragma once
// Named worlds, one per fault met in the field, each a fixed mix with a
// fixed seed; the suite runs them as a table and field-sim --preset NAME
// replays one.
#include <string>
#include <vector>

#include "model.h"

namespace fieldsim {

struct Preset {
    const char* name;
    World (*build)();
};

const std::vector<Preset>& presets();
// false when no preset has the name.
bool presetWorld(const std::string& name, World& world);

}  // namespace fieldsim
