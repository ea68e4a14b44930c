#include "invariants.h"

#include <algorithm>

#include "driver.h"

namespace fieldsim {

Checks::Checks(const World& world)
    : m_world(world),
      m_count(world.tags.size()),
      m_firstAt(world.tags.size()),
      m_newest(world.tags.size(), SIZE_MAX),
      m_distinct(world.tags.size(), 0),
      m_windows(world.tags.size()),
      m_unasked(world.tags.size(), 0)
{
    for (std::size_t i = 0; i < world.tags.size(); ++i) {
        m_count[i].assign(world.tags[i].samples.size(), 0);
        m_firstAt[i].assign(world.tags[i].samples.size(), INT64_MAX);
    }
    m_figures.tags = world.tags.size();
    m_caughtUpBy = world.begin + readingTime(world.start, world.begin);
}

int64_t Checks::readingTime(int64_t since, int64_t until) const
{
    // A backlog is read at most a poll's reading bound at a time: a tag
    // removed before the catch-up reached it loses its part.
    std::size_t backlog = 0;
    for (const TagSeries& tag : m_world.tags) {
        backlog += std::count_if(tag.samples.begin(), tag.samples.end(),
                                 [&](const Sample& s) { return s.time >= since && s.published <= until; });
    }
    return int64_t(backlog / MAX_POLL_READINGS) * m_world.pollInterval;
}

void Checks::fail(const std::string& check, std::size_t tag, int64_t time, const std::string& detail)
{
    for (Violation& v : m_violations) {
        if (v.check == check) {
            ++v.count;
            return;
        }
    }
    const std::string name = tag < m_world.tags.size() ? m_world.tags[tag].name : std::string();
    m_violations.push_back(Violation{check, name, time, detail, 1});
}

void Checks::delivered(std::size_t tag, const Sample& sample, int64_t trueNow)
{
    const auto& samples = m_world.tags[tag].samples;
    const int64_t time = sample.time;
    auto it = std::lower_bound(samples.begin(), samples.end(), sample, earlier);
    if (it == samples.end() || it->time != time || it->fraction != sample.fraction) {
        fail("exactly-once", tag, time, "delivered a time the service never sent");
        return;
    }
    const auto i = static_cast<std::size_t>(it - samples.begin());
    ++m_figures.delivered;
    m_firstAt[tag][i] = std::min(m_firstAt[tag][i], trueNow);
    m_newest[tag] = m_newest[tag] == SIZE_MAX ? i : std::max(m_newest[tag], i);
    if (++m_count[tag][i] < 2) {
        ++m_distinct[tag];
        return;
    }
    if (m_cut && trueNow >= m_cut->at && time >= m_cut->lastPull) {
        ++m_figures.twiceAfterCut;
    } else {
        ++m_figures.twice;
        fail("exactly-once", tag, time, "delivered twice");
    }
}

std::size_t Checks::rereads(std::size_t tag, const std::vector<int64_t>& times,
                            const std::vector<int32_t>& fractions) const
{
    if (m_newest[tag] == SIZE_MAX) {
        return 0;
    }
    const auto& samples = m_world.tags[tag].samples;
    const Sample& newest = samples[m_newest[tag]];
    if (newest.fraction == 0) {
        return 0;
    }
    std::size_t count = 0;
    for (std::size_t k = 0; k < times.size() && k < fractions.size(); ++k) {
        if (times[k] != newest.time) {
            continue;
        }
        const Sample s{times[k], 0, fractions[k]};
        auto it = std::lower_bound(samples.begin(), samples.end(), s, earlier);
        if (it != samples.end() && it->time == s.time && it->fraction == s.fraction &&
            m_count[tag][static_cast<std::size_t>(it - samples.begin())] != 0) {
            ++count;
        }
    }
    return count;
}

void Checks::windowRead(std::size_t tag, int64_t from, int64_t to, int64_t trueNow)
{
    if (tag < m_windows.size() && (!m_world.tags[tag].regular || m_distinct[tag] < FIRST_RHYTHM_SAMPLES)) {
        m_windows[tag].push_back(Read{from, to, trueNow});
    }
}

void Checks::cutRestart(int64_t lastPull, int64_t trueNow)
{
    // Everything since lastPull is read again.
    m_cut = Cut{lastPull, trueNow, trueNow + readingTime(lastPull, trueNow)};
}

double Checks::failingShare(int64_t t) const
{
    // Failures that overlap fail a request when any of them does.
    double passing = 1.0;
    for (const Failure& f : m_world.failures) {
        passing *= f.tag.empty() && f.when.holds(t) ? 1.0 - f.rate : 1.0;
    }
    return 1.0 - passing;
}

bool Checks::failingAtRandom(int64_t t) const
{
    return std::any_of(m_world.failures.begin(), m_world.failures.end(),
                       [t](const Failure& f) { return f.tag.empty() && f.rate >= 0.25 && f.when.holds(t); });
}

void Checks::trackUnasked(const PollRecord& poll, const nerivo::Progress& progress,
                          const std::vector<std::size_t>& index)
{
    std::vector<char> indexed(m_world.tags.size(), 0);
    for (const std::size_t i : index) {
        indexed[i] = 1;
        // A clock behind the tag's stored progress may hold it back (looked
        // up only for tags not asked: it is a search by name).
        const bool asked = poll.asked[i] != 0;
        if ((poll.networkDown || failingAtRandom(poll.trueNow)) && !asked) {
            // A poll the network cut short does not count against the tags
            // it did not reach; nor does one in which the service fails a
            // large share of all requests: splitting them narrows requests.
            continue;
        }
        const bool waits = !asked && progress.next(m_world.tags[i].name) > poll.pluginNow + 1;
        m_unasked[i] = asked || waits ? 0 : m_unasked[i] + 1;
        m_figures.longestUnasked = std::max(m_figures.longestUnasked, m_unasked[i]);
        if (m_unasked[i] >= MAX_UNASKED_POLLS) {
            fail("asked-every-10-polls", i, poll.trueNow,
                 "unasked for " + std::to_string(m_unasked[i]) + " polls in a row");
        }
    }
    for (std::size_t i = 0; i < indexed.size(); ++i) {
        m_unasked[i] = indexed[i] != 0 ? m_unasked[i] : 0;
    }
}

void Checks::afterPoll(const PollRecord& poll, const nerivo::Progress& progress, const std::vector<std::size_t>& index)
{
    ++m_figures.polls;
    m_answered += poll.answered;
    m_figures.maxRequests = std::max(m_figures.maxRequests, poll.requests);
    if (poll.requests > nerivo::MAX_POLL_REQUESTS) {
        fail("request-budget", m_world.tags.size(), poll.trueNow, std::to_string(poll.requests) + " requests");
    }
    // A poll the network cut short still asked the tags it named before
    // it stopped: those were asked, and count so.
    trackUnasked(poll, progress, index);
    // The polls of the promise that follow catching up still learn the
    // tags' rhythms: the steady state begins after them.
    const bool steady = m_caughtUp && m_figures.polls > m_caughtUpPoll + nerivo::RESTING_POLLS;
    if (steady && !m_world.isDisturbed(poll.trueNow)) {
        // The newest second of a series written with fractions is asked
        // again at every ask by design (a second sample of that second may
        // still come): those answers are the price of not missing it, not
        // waste, so they are left out; the rest of the tag's traffic counts.
        // So are the answers of a tag whose first samples are still coming:
        // until its rhythm shows, it cannot rest nor share a start cheaply.
        m_figures.steadyAnswered += poll.answered - std::min(poll.answered, poll.reread + poll.warmAnswered);
        m_figures.steadyDelivered += poll.delivered - std::min(poll.delivered, poll.warmDelivered);
    }
    if (!m_caughtUp && poll.atPresent && !readingBacklog(poll)) {
        m_caughtUp = true;
        m_caughtUpPoll = m_figures.polls;
    }
}

bool Checks::readingBacklog(const PollRecord& poll) const
{
    // Asks that all reached the present say nothing of the tags a spent
    // budget left for later: one still holding a sample newer than any it
    // was given, published long before, is still reading its backlog.
    const int64_t wait = 2 * nerivo::RESTING_POLLS * m_world.pollInterval;
    for (std::size_t t = 0; t < m_world.tags.size(); ++t) {
        const TagSeries& tag = m_world.tags[t];
        const auto first = std::partition_point(tag.samples.begin(), tag.samples.end(),
                                                [this](const Sample& s) { return s.time < m_world.start; });
        const auto next =
            m_newest[t] == SIZE_MAX ? first : tag.samples.begin() + static_cast<std::ptrdiff_t>(m_newest[t] + 1);
        if (next != tag.samples.end() && tag.listed(poll.trueNow) && next->published + wait < poll.trueNow &&
            next->time <= poll.pluginNow && next->published - next->time <= nerivo::HORIZON) {
            return true;
        }
    }
    return false;
}

void Checks::stateSize(std::size_t bytes, std::size_t tags)
{
    const std::size_t perTag = bytes / std::max<std::size_t>(tags, 1);
    m_figures.maxStatePerTag = std::max(m_figures.maxStatePerTag, perTag);
    if (perTag > MAX_STATE_PER_TAG) {
        fail("cost", m_world.tags.size(), 0, std::to_string(perTag) + " bytes of state a tag");
    }
}

int64_t Checks::splitting(int64_t published, int64_t settle) const
{
    // A request naming a failing tag is split over the next polls: the
    // other tags of it may wait that long. A request failing at random
    // waits for its tags' next turn, and may fail again.
    int64_t turns = 0;
    for (const Failure& f : m_world.failures) {
        if (f.when.from <= published + settle && f.when.to > published) {
            turns += f.tag.empty() ? 2 : 1;
        }
    }
    return turns * nerivo::RESTING_POLLS * m_world.pollInterval;
}

bool Checks::expected(const TagSeries& tag, const Sample& s, int64_t lastPoll) const
{
    // A sample late by L is asked again within about L (gap retries double),
    // so it must have been published that long before the last poll.
    const int64_t lateness = std::max<int64_t>(0, s.published - (s.time - m_world.skew));
    const int64_t settle = std::min(lateness, DAY) + 10 * MINUTE + 2 * m_world.pollInterval;
    // A tag must be listed when the sample comes (or at the first poll, for
    // a backlog) and still a while after: one gone before the plugin ran is
    // not seen, nor one gone before the ten polls within which every tag is
    // asked, nor one gone before a catch-up could reach it.
    const int64_t seen = std::max(s.published, m_world.begin);
    // A backlog is read oldest first, and so is what comes while it is read.
    int64_t reached = std::max(seen, m_caughtUpBy);
    if (m_cut && s.time >= m_cut->lastPull) {
        reached = std::max(reached, m_cut->readAgainBy);
    }
    // A restart from a cut state after the clock went back may leave the
    // plugin nothing that says its clock is behind: a sample waits until
    // that clock passes it.
    if (m_cut && m_world.jumpBy < 0 && m_cut->at >= m_world.jumpAt) {
        reached = std::max(reached, s.time - m_world.jumpBy);
    }
    // A tag the service refuses can be read only once it stops refusing.
    for (const Failure& f : m_world.failures) {
        if (f.tag == tag.name && f.when.from <= reached + settle && f.when.to > reached) {
            reached = f.when.to;
        }
    }
    // Requests of the tag that still fail near the end (all of them, or
    // half or more, however many failures overlap) may hold it back; for a
    // tag that leaves the lists, the end is when it leaves.
    const int64_t last = std::min(lastPoll, tag.leaves(s.published));
    const bool heldBack = std::any_of(m_world.failures.begin(), m_world.failures.end(), [&](const Failure& f) {
        const bool near = f.when.to > s.published && f.when.from < last && f.when.to + settle > last;
        return near && (f.tag.empty() ? failingShare(std::min(f.when.to, last) - 1) >= 0.5 : f.tag == tag.name);
    });
    return s.time >= m_world.start && s.published - s.time <= nerivo::HORIZON && s.published <= m_world.end &&
           s.published + settle <= lastPoll && s.time <= m_world.pluginNow(m_world.end) && tag.listed(seen) &&
           tag.listed(std::min(lastPoll, reached + settle + splitting(s.published, settle) +
                                             nerivo::RESTING_POLLS * m_world.pollInterval)) &&
           !heldBack;
}

bool Checks::unmarked(std::size_t tag, std::size_t sample) const
{
    // A later sample of its second, and the sample before that second, came
    // first: to the rhythm, nothing is missing.
    const std::vector<Sample>& samples = m_world.tags[tag].samples;
    const std::vector<int64_t>& firstAt = m_firstAt[tag];
    const int64_t time = samples[sample].time;
    const int64_t published = samples[sample].published;
    bool laterFirst = false;
    for (std::size_t j = sample + 1; j < samples.size() && samples[j].time == time; ++j) {
        laterFirst = laterFirst || firstAt[j] < published;
    }
    std::size_t before = sample;
    while (before > 0 && samples[before - 1].time == time) {
        --before;
    }
    return laterFirst && (before == 0 || firstAt[before - 1] < published);
}

void Checks::finishTag(std::size_t t, int64_t lastPoll)
{
    const TagSeries& tag = m_world.tags[t];
    // The earliest delivery of a newer sample, from the newest back.
    std::vector<int64_t> newerAt(tag.samples.size() + 1, INT64_MAX);
    for (std::size_t i = tag.samples.size(); i > 0; --i) {
        newerAt[i - 1] = std::min(newerAt[i], m_firstAt[t][i - 1]);
    }
    for (std::size_t i = 0; i < tag.samples.size(); ++i) {
        const Sample& s = tag.samples[i];
        if (!expected(tag, s, lastPoll)) {
            continue;
        }
        ++m_figures.expected;
        if (m_count[t][i] != 0) {
            continue;
        }
        // A sample of the same second delivered before counts as newer: the
        // series has moved past that second; so has a window read past it.
        int64_t passedAt = newerAt[i + 1];
        for (std::size_t j = i; j > 0 && tag.samples[j - 1].time == s.time; --j) {
            passedAt = std::min(passedAt, m_firstAt[t][j - 1]);
        }
        for (const Read& read : m_windows[t]) {
            passedAt = read.from <= s.time && s.time <= read.to ? std::min(passedAt, read.at) : passedAt;
        }
        // A series that had shown one step or none when the sample was passed
        // showed no rhythm to miss it by: to the plugin it was a series by
        // exception.
        const auto shown =
            std::count_if(m_firstAt[t].begin(), m_firstAt[t].end(), [passedAt](int64_t at) { return at <= passedAt; });
        const bool rhythmless = !tag.regular || std::size_t(shown) < FIRST_RHYTHM_SAMPLES || unmarked(t, i);
        if (rhythmless && passedAt < s.published) {
            ++m_figures.irregularLate;
        } else {
            ++m_figures.lost;
            fail("exactly-once", t, s.time,
                 "never delivered (published " + std::to_string(s.published - s.time) + " s after its time)");
        }
    }
}

void Checks::finish(int64_t lastPoll, bool complete)
{
    m_figures.stoppedEarly = !complete;
    if (!complete) {
        fail("cost", m_world.tags.size(), lastPoll,
             "answers held more than " + std::to_string(WORK_BUDGET) + " samples: the run stopped early");
    }
    for (std::size_t t = 0; complete && t < m_world.tags.size(); ++t) {
        finishTag(t, lastPoll);
    }
    m_figures.tagDays = double(m_world.tags.size()) * double(lastPoll - m_world.begin) / double(DAY);
    const auto answered = double(m_figures.steadyAnswered);
    const auto delivered = double(m_figures.steadyDelivered);
    if (answered >= 200 && answered > MAX_COST * delivered) {
        fail("cost", m_world.tags.size(), 0,
             std::to_string(m_figures.steadyAnswered) + " samples answered for " +
                 std::to_string(m_figures.steadyDelivered) + " delivered in the steady state");
    }
}

}  // namespace fieldsim
