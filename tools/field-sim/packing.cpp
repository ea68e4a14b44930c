// Packing and state text exactly as the plugin does them, from its own
// constants and encoder.
#include <cstdio>
#include <ctime>

#include "driver.h"
#include "nerivo.h"
#include "service.h"

namespace fieldsim {

namespace {

std::string formatDate(int64_t time)
{
    const auto t = static_cast<time_t>(time);
    struct tm parts {};
    char buffer[80];
    if (gmtime_r(&t, &parts) == nullptr) {
        return "1970-01-01T00:00:00";
    }
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buffer;
}

}  // namespace

std::vector<std::vector<std::string>> packAsk(const nerivo::Ask& ask)
{
    const std::string base = std::string("https://") + Nerivo::API_HOST + "/api/timeseriesdata/" +
                             formatDate(ask.from) + "/" + formatDate(ask.to) + "?tags=";
    std::vector<std::vector<std::string>> requests;
    std::vector<std::string> batch;
    std::string url = base;
    // The same loop as the plugin's, so that its edge cases come along.
    for (std::size_t i = 0; i <= ask.tags.size(); ++i) {
        const bool closing = i == ask.tags.size();
        if (!closing) {
            url += (batch.empty() ? "" : ",") + nerivo::Service::urlTag(ask.tags[i]);
            batch.push_back(ask.tags[i]);
        }
        const bool full = url.size() > Nerivo::MAX_URL_LENGTH || (ask.maxTags != 0 && batch.size() >= ask.maxTags);
        if ((!closing && !full) || (closing && batch.empty() && (ask.maxTags != 0 || ask.gap))) {
            continue;
        }
        requests.push_back(batch);
        url = base;
        batch.clear();
    }
    return requests;
}

std::string stateText(int64_t lastPull, const nerivo::Progress& progress)
{
    std::string state = "{ \"lastPull\" : " + std::to_string(static_cast<uint64_t>(lastPull));
    return state + progress.stateMembers() + " }";
}

static_assert(Nerivo::MAX_POLL_READINGS == MAX_POLL_READINGS, "the plugin's reading bound");
static_assert(Nerivo::DEFAULT_LOOKBACK == DEFAULT_LOOKBACK, "the plugin's first range");

}  // namespace fieldsim
