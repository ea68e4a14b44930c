#pragma once
// The pull times a state text (getState(), plugin_shutdown) hands the
// platform: "lastPull" and each tag's next-pull time under "tags".
#include <cstdint>
#include <limits>
#include <map>
#include <string>

#include <rapidjson/document.h>

struct PullTimes {
    // A value no plugin writes, so that a missing member fails the comparison.
    static constexpr int64_t NONE = std::numeric_limits<int64_t>::max();
    int64_t lastPull = NONE;
    std::map<std::string, int64_t> tags;

    int64_t tag(const std::string& name) const
    {
        const auto found = tags.find(name);
        return found == tags.end() ? NONE : found->second;
    }
};

inline PullTimes pullTimes(const std::string& state)
{
    PullTimes out;
    rapidjson::Document doc;
    doc.Parse(state.c_str(), state.size());
    if (doc.HasParseError() || !doc.IsObject())
        return out;
    const auto last = doc.FindMember("lastPull");
    // Written unsigned, so that a time before 1970 keeps its bits.
    if (last != doc.MemberEnd() && last->value.IsUint64())
        out.lastPull = static_cast<int64_t>(last->value.GetUint64());
    const auto tags = doc.FindMember("tags");
    if (tags != doc.MemberEnd() && tags->value.IsObject()) {
        for (const auto& t : tags->value.GetObject()) {
            if (t.value.IsInt64())
                out.tags[t.name.GetString()] = t.value.GetInt64();
        }
    }
    return out;
}
