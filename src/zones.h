#pragma once
// The sites' wall time: the service writes sample times and reads range
// dates as local time without a zone. A Zone turns instants into that wall
// time and back, with one fixed offset or with a tz database zone's rules.
// Wall times are seconds since 1970-01-01T00:00:00 of the wall clock.
#include <cstdint>
#include <optional>
#include <string>

namespace date {
class time_zone;
}

namespace nerivo {

class Zone {
public:
    // One offset all year, minutes east of UTC.
    explicit Zone(int32_t offsetMinutes = 0) : m_offset(offsetMinutes) {}
    // A zone of the tz database by name ("Europe/Amsterdam"); none when the
    // database does not know it.
    static std::optional<Zone> named(const std::string& name);

    // Equal zones read every wall time the same way.
    std::string key() const;
    bool hasRules() const { return m_rules != nullptr; }
    // Whether its offset changes with the seasons.
    bool observesDaylightSaving() const;

    int32_t offsetAt(int64_t time) const;
    // Saturates at the ends of the 64-bit range.
    int64_t wallOf(int64_t time) const;
    // Whether the wall time occurs twice (the autumn's repeated hour).
    bool repeated(int64_t wall) const;
    // The instant of a sample's wall time: of a repeated one, its second
    // occurrence when second is set, else its first; a skipped one (the
    // spring's hour) is read with the offset before the change.
    int64_t instantOf(int64_t wall, bool second) const;
    // The earliest instant whose wall time is not before the wall time.
    int64_t firstInstantFrom(int64_t wall) const;
    // Range bounds: the earliest wall time of any instant from time on, and
    // the latest of any instant up to time, so that a range whose bound falls
    // in a repeated hour still covers both of its occurrences.
    int64_t startWall(int64_t time) const;
    int64_t endWall(int64_t time) const;

private:
    const date::time_zone* m_rules = nullptr;
    int32_t m_offset = 0;
};

// How the item timezone reads the service's wall times.
struct ZoneSetting {
    enum class Mode { FIXED, NAMED, SITES };
    Mode mode = Mode::FIXED;
    std::string value;  // the item's text: "", a zone name or "sites"

    // None when the text is neither empty, "sites" nor a known zone.
    static std::optional<ZoneSetting> parse(const std::string& text);
    bool operator==(const ZoneSetting& other) const { return value == other.value; }
    bool operator!=(const ZoneSetting& other) const { return value != other.value; }
};

// The tz database zone of a zone display name as the service's site list
// writes it after the offset ("Eastern Time (US & Canada)"); null when the
// names table lacks it.
const char* zoneOfDisplayName(const std::string& displayName);
// The display name of a site's zone text: what follows "(GMT+01:00) ".
std::string displayNameOf(const std::string& zoneText);

}  // namespace nerivo
