#include "health.h"

#include <ctime>
#include <iterator>
#include <limits>
#include <utility>
#include <vector>

#include "datapoint.h"
#include "progress.h"
#include "reading.h"

namespace nerivo {

namespace {

std::string utcText(int64_t time)
{
    const time_t seconds = static_cast<time_t>(time);
    struct tm parts {};
    char buffer[48];
    if (gmtime_r(&seconds, &parts) == nullptr ||
        std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +00:00", &parts) == 0) {
        // No usable date: the platform gives the reading the current time.
        return std::string();
    }
    return buffer;
}

void add(std::vector<Datapoint*>& datapoints, const char* name, int64_t value)
{
    DatapointValue datapoint(value);
    datapoints.push_back(new Datapoint(name, datapoint));
}

int64_t clamped(uint64_t value)
{
    constexpr auto most = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return static_cast<int64_t>(value > most ? most : value);
}

}  // namespace

Reading* Health::reading(const std::string& asset, int64_t time) const
{
    // In the order the reading shows them.
    const std::pair<const char*, int64_t> figures[] = {
        {"requests", requests},
        {"failed", failed},
        {"readings", readings},
        {"bytesWire", clamped(bytesWire)},
        {"bytesInflated", clamped(bytesInflated)},
        {"tags", tags},
        {"behindSeconds", behindSeconds},
        {"gaps", gaps},
        {"heldSeconds", heldSeconds},
        {"discoveryAgeSeconds", discoveryAgeSeconds},
        {"missingLists", missingLists},
    };
    std::vector<Datapoint*> datapoints;
    datapoints.reserve(std::size(figures));
    for (const auto& figure : figures) {
        add(datapoints, figure.first, figure.second);
    }
    return new Reading(asset, std::move(datapoints), utcText(time));
}

int64_t catchUpBehind(int64_t now, int64_t oldest)
{
    int64_t behind = 0;
    if (__builtin_sub_overflow(now, oldest, &behind)) {
        behind = std::numeric_limits<int64_t>::max();
    }
    return behind <= 2 * GROUP_SPAN ? 0 : behind;
}

}  // namespace nerivo
