#include "driver.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include <rapidjson/document.h>

namespace fieldsim {

struct Driver::Poll {
    PollRecord record;
    int raisedInRow = 0;
};

Driver::Driver(const World& world, Service& service, Checks& checks)
    : m_world(world), m_service(service), m_checks(checks)
{
    for (std::size_t i = 0; i < world.tags.size(); ++i) {
        m_order.push_back(i);
    }
    std::sort(m_order.begin(), m_order.end(),
              [&world](std::size_t a, std::size_t b) { return world.tags[a].name < world.tags[b].name; });
}

void Driver::start(const std::string& state, int64_t trueNow)
{
    // As the plugin reads its stored state: a text it cannot parse, or one
    // without a lastPull, counts as none, and the first range reaches back
    // a year.
    const int64_t now = m_world.pluginNow(trueNow);
    m_progress = nerivo::Progress(now - DEFAULT_LOOKBACK);
    m_lastPull = m_progress.start();
    rapidjson::Document doc;
    if (state.empty() || doc.Parse(state.c_str(), state.size()).HasParseError() || !doc.IsObject()) {
        return;
    }
    auto lastPull = doc.FindMember("lastPull");
    if (lastPull == doc.MemberEnd() || !lastPull->value.IsUint64()) {
        return;
    }
    m_lastPull = static_cast<int64_t>(lastPull->value.GetUint64());
    m_progress = nerivo::Progress(m_lastPull);
    m_progress.restore(doc, m_lastPull, now);
    m_progress.takeNotes();
}

void Driver::restart(int64_t trueNow, bool cut, Rng& rng)
{
    std::string state = stateText(m_lastPull, m_progress);
    if (cut) {
        m_checks.cutRestart(m_lastPull, trueNow);
        state.resize(static_cast<std::size_t>(rng.range(0, static_cast<int64_t>(state.size()) - 1)));
    }
    start(state, trueNow);
}

std::vector<std::size_t> Driver::index(int64_t trueNow) const
{
    std::vector<std::size_t> present;
    for (const std::size_t i : m_order) {
        if (m_world.tags[i].listed(trueNow)) {
            present.push_back(i);
        }
    }
    return present;
}

void Driver::poll(int64_t trueNow)
{
    Poll poll;
    poll.record.trueNow = trueNow;
    poll.record.pluginNow = m_world.pluginNow(trueNow);
    poll.record.asked.assign(m_world.tags.size(), 0);
    const std::vector<std::size_t> tags = index(trueNow);
    std::vector<std::string> names;
    for (const std::size_t i : tags) {
        names.push_back(m_world.tags[i].name);
    }
    m_progress.beginPoll(poll.record.pluginNow, names);
    bool ok = true;
    if (names.empty()) {
        nerivo::Ask closing;  // the closing request of an empty index
        closing.from = m_lastPull;
        closing.to = poll.record.pluginNow;
        ok = sendPacked(poll, closing);
    }
    for (int round = 0; ok && round < nerivo::MAX_POLL_REQUESTS && poll.record.delivered < MAX_POLL_READINGS;
         ++round) {
        const std::vector<nerivo::Ask> asks = m_progress.plan();
        for (std::size_t i = 0; ok && i < asks.size() && poll.record.delivered < MAX_POLL_READINGS; ++i) {
            poll.record.atPresent = poll.record.atPresent && !asks[i].gap && asks[i].to >= poll.record.pluginNow;
            ok = sendPacked(poll, asks[i]);
        }
        if (asks.empty()) {
            break;
        }
    }
    poll.record.networkDown = poll.raisedInRow >= 2;
    m_lastPull = m_progress.earliest(names).value_or(m_lastPull);
    m_progress.takeNotes();
    m_checks.afterPoll(poll.record, m_progress, tags);
}

bool Driver::sendPacked(Poll& poll, const nerivo::Ask& ask)
{
    for (const auto& batch : packAsk(ask)) {
        nerivo::Ask one = ask;
        one.tags = batch;
        if (!sendRequest(poll, one)) {
            return false;
        }
    }
    return true;
}

bool Driver::sendRequest(Poll& poll, const nerivo::Ask& ask)
{
    if (!m_progress.mayAsk(ask)) {
        return false;
    }
    ++poll.record.requests;
    for (const std::string& name : ask.tags) {
        const std::size_t i = m_service.find(name);
        poll.record.asked[i < poll.record.asked.size() ? i : 0] = 1;
    }
    const Answer answer = m_service.answer(ask.tags, ask.from, ask.to, poll.record.trueNow);
    if (answer.raised || answer.status != 200) {
        m_progress.failed(ask, nerivo::FailedRequest{answer.raised, answer.raised ? "" : statusText(answer.status)});
    } else {
        take(poll, ask, answer);
    }
    if (m_world.trace) {
        std::fprintf(stderr, "t=%+lld ask %s[%+lld, %+lld] %zu tags -> %d raised=%d answered=%zu delivered=%zu\n",
                     static_cast<long long>(poll.record.trueNow - m_world.begin), ask.gap ? "gap " : "",
                     static_cast<long long>(ask.from - m_world.begin), static_cast<long long>(ask.to - m_world.begin),
                     ask.tags.size(), answer.status, answer.raised ? 1 : 0, poll.record.answered,
                     poll.record.delivered);
    }
    poll.raisedInRow = answer.raised ? poll.raisedInRow + 1 : 0;
    // Two requests in a row that raised: the network is down.
    return poll.raisedInRow < 2;
}

void Driver::take(Poll& poll, const nerivo::Ask& ask, const Answer& answer)
{
    std::set<std::string> heard;
    std::size_t samples = 0;
    for (const auto& series : answer.series) {
        const std::string& name = m_world.tags[series.first].name;
        heard.insert(name);
        samples += series.second.size();
        std::vector<int64_t> fresh;
        for (const std::size_t i : m_progress.select(name, series.second)) {
            fresh.push_back(series.second[i]);
        }
        // A tag is taken whole or left for a later poll, as the plugin does.
        if (poll.record.delivered + fresh.size() > MAX_POLL_READINGS) {
            m_progress.deferred(name);
            poll.record.atPresent = false;
            continue;
        }
        for (const int64_t time : fresh) {
            m_checks.delivered(series.first, time, poll.record.trueNow);
        }
        poll.record.delivered += fresh.size();
        m_progress.delivered(ask, name, fresh);
    }
    poll.record.answered += samples;
    m_progress.answered(ask, heard, samples);
}

}  // namespace fieldsim
