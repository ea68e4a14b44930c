// Wall time of the sites, from one fixed offset or a tz database zone's rules.
#include "zones.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>

#include <date/tz.h>

namespace nerivo {

// The names table, zone_names.txt, embedded by the build.
extern const char* const ZONE_NAMES_TEXT;

namespace {

using std::chrono::seconds;

// Rules are looked up within about 2,000 years of 1970: the calendar
// arithmetic of the zone library must not overflow, and no sample is older.
constexpr int64_t RULES_REACH = int64_t{1} << 36;

int64_t clampToRules(int64_t time)
{
    return std::min(std::max(time, -RULES_REACH), RULES_REACH);
}

date::sys_seconds sys(int64_t time)
{
    return date::sys_seconds{seconds{clampToRules(time)}};
}

int64_t count(date::sys_seconds time)
{
    return time.time_since_epoch().count();
}

int64_t saturatingAdd(int64_t a, int64_t b)
{
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? INT64_MAX : INT64_MIN;
    }
    return sum;
}

// Display name to tz zone, read once from the embedded table: one
// "display name|zone" a line, # starting a comment.
const std::map<std::string, std::string>& namesTable()
{
    static const std::map<std::string, std::string> table = [] {
        std::map<std::string, std::string> out;
        const char* line = ZONE_NAMES_TEXT;
        while (*line != '\0') {
            const char* end = std::strchr(line, '\n');
            const std::string text(line, end != nullptr ? end : line + std::strlen(line));
            const auto bar = text.rfind('|');
            if (!text.empty() && text[0] != '#' && bar != std::string::npos) {
                out.emplace(text.substr(0, bar), text.substr(bar + 1));
            }
            line = end != nullptr ? end + 1 : line + text.size();
        }
        return out;
    }();
    return table;
}

}  // namespace

std::optional<Zone> Zone::named(const std::string& name)
{
    try {
        Zone zone;
        zone.m_rules = date::locate_zone(name);
        return zone;
    } catch (const std::exception&) {
        // Unknown, or no tz database on this system.
        return std::nullopt;
    }
}

std::string Zone::key() const
{
    return m_rules != nullptr ? m_rules->name() : "fixed " + std::to_string(m_offset);
}

bool Zone::observesDaylightSaving() const
{
    if (m_rules == nullptr) {
        return false;
    }
    // Two instants half a year apart, so that either hemisphere shows it.
    const date::sys_days january = date::year{2026} / 1 / 15;
    const date::sys_days july = date::year{2026} / 7 / 15;
    return m_rules->get_info(january).offset != m_rules->get_info(july).offset;
}

int32_t Zone::offsetAt(int64_t time) const
{
    if (m_rules == nullptr) {
        return m_offset;
    }
    return static_cast<int32_t>(m_rules->get_info(sys(time)).offset.count() / 60);
}

int64_t Zone::wallOf(int64_t time) const
{
    return saturatingAdd(time, int64_t{offsetAt(time)} * 60);
}

bool Zone::repeated(int64_t wall) const
{
    if (m_rules == nullptr) {
        return false;
    }
    const date::local_seconds local{seconds{clampToRules(wall)}};
    return m_rules->get_info(local).result == date::local_info::ambiguous;
}

int64_t Zone::instantOf(int64_t wall, bool second) const
{
    if (m_rules == nullptr) {
        return saturatingAdd(wall, -int64_t{m_offset} * 60);
    }
    const date::local_seconds local{seconds{clampToRules(wall)}};
    const date::local_info info = m_rules->get_info(local);
    const bool later = second && info.result == date::local_info::ambiguous;
    return clampToRules(wall) - (later ? info.second.offset : info.first.offset).count();
}

int64_t Zone::firstInstantFrom(int64_t wall) const
{
    if (m_rules == nullptr) {
        return instantOf(wall, false);
    }
    const date::local_seconds local{seconds{clampToRules(wall)}};
    const date::local_info info = m_rules->get_info(local);
    if (info.result == date::local_info::nonexistent) {
        return count(info.first.end);  // the wall time the clocks jumped over
    }
    return clampToRules(wall) - info.first.offset.count();
}

int64_t Zone::startWall(int64_t time) const
{
    const int64_t wall = wallOf(time);
    if (m_rules == nullptr) {
        return wall;
    }
    // Before a change back, the repeated hour's second occurrence has wall
    // times earlier than this one.
    const date::sys_info now = m_rules->get_info(sys(time));
    if (count(now.end) >= RULES_REACH) {
        return wall;  // no change ahead
    }
    const date::sys_info after = m_rules->get_info(now.end);
    if (after.offset < now.offset) {
        return std::min(wall, count(now.end) + after.offset.count());
    }
    return wall;
}

int64_t Zone::endWall(int64_t time) const
{
    const int64_t wall = wallOf(time);
    if (m_rules == nullptr) {
        return wall;
    }
    // After a change back, the repeated hour's first occurrence has wall
    // times later than this one.
    const date::sys_info now = m_rules->get_info(sys(time));
    if (count(now.begin) <= -RULES_REACH) {
        return wall;  // no change behind
    }
    const date::sys_info before = m_rules->get_info(now.begin - seconds{1});
    if (before.offset > now.offset) {
        return std::max(wall, count(now.begin) + before.offset.count() - 1);
    }
    return wall;
}

std::optional<ZoneSetting> ZoneSetting::parse(const std::string& text)
{
    ZoneSetting setting;
    setting.value = text;
    if (text.empty()) {
        return setting;
    }
    if (text == "sites") {
        setting.mode = Mode::SITES;
        return setting;
    }
    setting.mode = Mode::NAMED;
    return Zone::named(text) ? std::optional<ZoneSetting>(setting) : std::nullopt;
}

const char* zoneOfDisplayName(const std::string& displayName)
{
    const auto& table = namesTable();
    const auto found = table.find(displayName);
    return found == table.end() ? nullptr : found->second.c_str();
}

std::string displayNameOf(const std::string& zoneText)
{
    const auto close = zoneText.find(')');
    if (zoneText.compare(0, 1, "(") != 0 || close == std::string::npos) {
        return std::string();
    }
    const auto start = zoneText.find_first_not_of(' ', close + 1);
    return start == std::string::npos ? std::string() : zoneText.substr(start);
}

}  // namespace nerivo
