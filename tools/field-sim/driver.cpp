#include "driver.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace fieldsim {

struct Driver::Poll {
    PollRecord record;
    int raisedInRow = 0;
};

Driver::Driver(const World& world, Service& service, Checks& checks)
    : m_world(world),
      m_service(service),
      m_checks(checks)
{
    for (std::size_t i = 0; i < world.tags.size(); ++i) {
        m_order.push_back(i);
    }
    std::sort(m_order.begin(), m_order.end(),
              [&world](std::size_t a, std::size_t b) { return world.tags[a].name < world.tags[b].name; });
}

void Driver::start(const std::string& state, int64_t trueNow)
{
    m_lastPull = readState(state, m_world.pluginNow(trueNow), m_progress);
    m_progress.takeNotes();
    m_discovered = false;
    m_keyWorks = false;
}

void Driver::restart(int64_t trueNow, bool cut, Rng& rng)
{
    std::string state = stateText(m_lastPull, m_progress);
    const int64_t lastPull = m_lastPull;
    if (cut) {
        state.resize(static_cast<std::size_t>(rng.range(0, static_cast<int64_t>(state.size()) - 1)));
    }
    start(state, trueNow);
    m_checks.restarted();
    if (cut) {
        // A cut through lastPull itself leaves the plugin its start.
        m_checks.cutRestart(std::min(lastPull, m_lastPull), trueNow);
    }
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

bool Driver::discoveryAnswers(int64_t trueNow) const
{
    // The discovery of a first poll answers the key, unless every request
    // fails then.
    return std::none_of(m_world.failures.begin(), m_world.failures.end(), [trueNow](const Failure& f) {
        return f.tag.empty() && f.rate >= 1.0 && f.when.holds(trueNow);
    });
}

void Driver::poll(int64_t trueNow)
{
    Poll poll;
    poll.record.trueNow = trueNow;
    poll.record.pluginNow = m_world.pluginNow(trueNow);
    poll.record.asked.assign(m_world.tags.size(), 0);
    const std::vector<std::size_t> tags = index(trueNow);
    std::vector<std::string> names;
    names.reserve(tags.size());
    for (const std::size_t i : tags) {
        names.push_back(m_world.tags[i].name);
    }
    m_keyWorks = m_keyWorks || discoveryAnswers(trueNow);
    m_progress.beginPoll(poll.record.pluginNow, names);
    bool ok = true;
    if (names.empty()) {
        nerivo::Ask closing;  // the closing request of an empty index
        closing.from = m_lastPull;
        closing.to = poll.record.pluginNow;
        ok = sendPacked(poll, closing);
    }
    if (ok) {
        sendRounds(poll);
    }
    poll.record.networkDown = poll.raisedInRow >= 2;
    m_lastPull = m_progress.earliest(names).value_or(m_lastPull);
    // Until a discovery found every list, tags not seen yet start at the
    // stored time: lastPull must not pass them.
    m_discovered = m_discovered || std::all_of(m_world.tags.begin(), m_world.tags.end(), [trueNow](const TagSeries& t) {
                       return t.listed(trueNow) || !t.present(trueNow);
                   });
    if (!m_discovered) {
        m_lastPull = std::min(m_lastPull, m_progress.start());
    }
    m_progress.takeNotes();
    m_checks.afterPoll(poll.record, m_progress, tags);
}

void Driver::sendRounds(Poll& poll)
{
    bool ok = true;
    for (int round = 0; ok && round < nerivo::MAX_POLL_REQUESTS && poll.record.delivered < MAX_POLL_READINGS; ++round) {
        const std::vector<nerivo::Ask> asks = m_progress.plan();
        const int sent = poll.record.requests;
        for (std::size_t i = 0; ok && i < asks.size() && poll.record.delivered < MAX_POLL_READINGS; ++i) {
            poll.record.atPresent = poll.record.atPresent && !asks[i].gap && asks[i].to >= poll.record.pluginNow;
            ok = sendPacked(poll, asks[i]);
        }
        if (poll.record.requests == sent) {
            break;  // nothing more to ask, or the budget is spent
        }
    }
    // A full poll may have left tags for the next: not caught up yet.
    poll.record.atPresent = poll.record.atPresent && poll.record.delivered < MAX_POLL_READINGS;
}

bool Driver::sendPacked(Poll& poll, const nerivo::Ask& ask)
{
    for (const auto& batch : packAsk(ask)) {
        nerivo::Ask one = ask;
        one.tags = batch;
        one.from = m_progress.requestStart(one);
        if (!m_progress.mayAsk(one)) {
            return true;  // the budget for such requests is spent; others may go on
        }
        if (!sendRequest(poll, one)) {
            return false;
        }
    }
    return true;
}

bool Driver::sendRequest(Poll& poll, const nerivo::Ask& ask)
{
    ++poll.record.requests;
    for (const std::string& name : ask.tags) {
        const std::size_t i = m_service.find(name);
        if (i < poll.record.asked.size()) {
            poll.record.asked[i] = 1;
        }
    }
    const Answer answer = m_service.answer(ask.tags, ask.from, ask.to, poll.record.trueNow);
    if (answer.raised || answer.status != 200) {
        m_progress.failed(ask, failure(answer.raised, answer.status, m_keyWorks));
    } else {
        m_keyWorks = true;
        take(poll, ask, answer);
        for (const std::string& name : ask.tags) {
            if (!ask.gap && ask.to < poll.record.pluginNow) {
                m_checks.windowRead(m_service.find(name), ask.from, ask.to, poll.record.trueNow);
            }
        }
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
    for (const Series& series : answer.series) {
        const std::string& name = m_world.tags[series.tag].name;
        const std::vector<int64_t>& times = series.times;
        heard.insert(name);
        samples += times.size();
        const bool warm = m_checks.warmingUp(series.tag);
        poll.record.reread += warm ? 0 : m_checks.rereads(series.tag, times, series.fractions);
        poll.record.warmAnswered += warm ? times.size() : 0;
        std::vector<std::size_t> chosen = m_progress.select(name, times, series.fractions);
        // Beyond the reading bound the oldest go first, the rest wait for a
        // later poll, as the plugin takes them.
        const std::size_t room = MAX_POLL_READINGS - std::min(MAX_POLL_READINGS, poll.record.delivered);
        if (chosen.size() > room) {
            std::stable_sort(chosen.begin(), chosen.end(),
                             [&times](std::size_t a, std::size_t b) { return times[a] < times[b]; });
            poll.record.atPresent = false;
        }
        const std::size_t count = std::min(room, chosen.size());
        for (std::size_t k = 0; k < count; ++k) {
            m_checks.delivered(series.tag, Sample{times[chosen[k]], 0, series.fractions[chosen[k]]},
                               poll.record.trueNow);
        }
        poll.record.delivered += count;
        poll.record.warmDelivered += warm ? count : 0;
        m_progress.delivered(ask, name, times, count, series.fractions);
    }
    poll.record.answered += samples;
    m_progress.answered(ask, heard, samples);
}

}  // namespace fieldsim
