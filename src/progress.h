#pragma once
// Per-tag progress of the range requests: reading a sample's time, and
// grouping tags whose next-pull times lie close together so that one range
// serves them all.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nerivo {

// "YYYY-MM-DDTHH:MM:SS" with an optional fraction ".d...", local wall time
// offsetMinutes east of UTC, to whole epoch seconds. Anything else (a zone
// of its own, a trailing text, a field out of range) gives false.
bool parseSampleTime(const char* text, std::size_t length, int32_t offsetMinutes, int64_t& seconds);

// Tags whose next-pull times lie within this many seconds of their group's
// earliest share one range.
constexpr int64_t GROUP_SPAN = 3600;

struct TagGroup {
    int64_t from = 0;               // the earliest next-pull time of its tags
    std::vector<std::string> tags;  // ascending
};

// Groups (tag, next-pull time) pairs: sorted by time, a new group wherever a
// time is more than GROUP_SPAN after its group's earliest.
std::vector<TagGroup> groupTags(std::vector<std::pair<std::string, int64_t>> pulls);

}  // namespace nerivo
