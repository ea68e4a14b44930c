// Packing and state text exactly as the plugin does them, from its own
// constants and encoder.

#include "driver.h"
#include "nerivo.h"
#include "progress_codec.h"
#include "service.h"

namespace fieldsim {

std::vector<std::vector<std::string>> packAsk(const nerivo::Ask& ask)
{
    const std::string base = std::string("https://") + Nerivo::API_HOST + "/api/timeseriesdata/" +
                             Nerivo::formatWall(ask.from) + "/" + Nerivo::formatWall(ask.to) + "?tags=";
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
    return state + nerivo::progressMembers(progress) + " }";
}

int64_t readState(const std::string& state, int64_t now, nerivo::Progress& progress)
{
    // A text it cannot parse, or one without a lastPull, counts as none, and
    // the first range reaches back a year; a text cut short gives back its
    // lastPull when that was stored whole.
    progress = nerivo::Progress(now - DEFAULT_LOOKBACK);
    rapidjson::Document doc;
    if (state.empty()) {
        return progress.start();
    }
    if (doc.Parse(state.c_str(), state.size()).HasParseError()) {
        if (const auto salvaged = nerivo::salvageLastPull(state)) {
            progress.load(*salvaged, {}, std::nullopt, now);
        }
        return progress.start();
    }
    auto lastPull = doc.IsObject() ? doc.FindMember("lastPull") : doc.MemberEnd();
    if (!doc.IsObject() || lastPull == doc.MemberEnd() || !lastPull->value.IsUint64()) {
        return progress.start();
    }
    const auto restored = static_cast<int64_t>(lastPull->value.GetUint64());
    progress = nerivo::Progress(restored);
    nerivo::restoreProgress(progress, doc, restored, now);
    return restored;
}

nerivo::FailedRequest failure(bool raised, int status, bool keyWorks)
{
    // The plugin's service access reads a failure so; its reading is a
    // member of a connected service, so the sim repeats the table.
    const std::string text = raised ? std::string() : statusText(status);
    const int code = raised ? 0 : nerivo::statusCode(text);
    nerivo::Refusal refusal =
        code >= 400 && code < 500 && code != 408 ? nerivo::Refusal::TAGS : nerivo::Refusal::RAISED;
    if (code == 400 || code == 413 || code == 414 || code == 416 || code == 422) {
        refusal = nerivo::Refusal::RANGE;
    } else if (code == 429) {
        refusal = nerivo::Refusal::THROTTLED;
    } else if (code == 503) {
        refusal = nerivo::Refusal::SERVER;
    } else if (code == 401 || code == 403 || code == 407) {
        // A key the service has answered refuses what was asked, not itself.
        refusal = keyWorks ? nerivo::Refusal::TAGS : nerivo::Refusal::KEY;
    }
    return nerivo::FailedRequest{refusal, text};
}

static_assert(Nerivo::MAX_POLL_READINGS == MAX_POLL_READINGS, "the plugin's reading bound");
static_assert(Nerivo::DEFAULT_LOOKBACK == DEFAULT_LOOKBACK, "the plugin's first range");

}  // namespace fieldsim
