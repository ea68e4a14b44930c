#pragma once
// The per-tag progress as state text: every tag's next-pull time under
// "tags" (what an older version reads), and under "progress" what a tag needs
// besides to deliver nothing twice and lose nothing across a restart.
#include <cstdint>
#include <optional>
#include <string>

#include <rapidjson/document.h>

#include "progress.h"

namespace nerivo {

// ", \"tags\" : {...}" and, for tags with more than a next-pull time,
// ", \"progress\" : {...}"; empty when no tag has progress.
std::string progressMembers(const Progress& progress);
// Takes a stored state whose lastPull was read already; false when its
// per-tag progress cannot be used (every tag then starts at lastPull).
bool restoreProgress(Progress& progress, const rapidjson::Value& state, int64_t lastPull, int64_t now);
// The lastPull of a state text that cannot be read whole (cut short), when
// that member itself was stored whole.
std::optional<int64_t> salvageLastPull(const std::string& text);

}  // namespace nerivo
