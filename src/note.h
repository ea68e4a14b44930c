#pragma once
// A line a part without I/O hands to its caller to log.
#include <string>

namespace nerivo {

struct Note {
    enum class Level { INFO, WARN, ERROR };
    Level level;
    std::string text;
};

}  // namespace nerivo
