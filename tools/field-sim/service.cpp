#include "service.h"

#include <algorithm>

namespace fieldsim {

std::string statusText(int status)
{
    switch (status) {
    case 400: return "400 Bad Request";
    case 403: return "403 Forbidden";
    case 404: return "404 Not Found";
    case 500: return "500 Internal Server Error";
    case 503: return "503 Service Unavailable";
    default: return std::to_string(status) + " Error";
    }
}

Service::Service(const World& world, uint64_t seed) : m_world(world), m_rng(seed)
{
    for (std::size_t i = 0; i < world.tags.size(); ++i) {
        m_byName.emplace(world.tags[i].name, i);
    }
}

std::size_t Service::find(const std::string& name) const
{
    auto found = m_byName.find(name);
    return found == m_byName.end() ? m_world.tags.size() : found->second;
}

bool Service::fails(const std::vector<std::string>& tags, int64_t trueNow, int& status)
{
    for (const Failure& f : m_world.failures) {
        if (!f.when.holds(trueNow)) {
            continue;
        }
        const bool named = !f.tag.empty() && std::find(tags.begin(), tags.end(), f.tag) != tags.end();
        // The draw is made for every request in the window, so that a run
        // replays whatever the requests held.
        const bool chance = f.tag.empty() && m_rng.chance(f.rate);
        if (named || chance) {
            status = f.status;
            return true;
        }
    }
    return false;
}

Series Service::samples(const TagSeries& tag, int64_t from, int64_t to, int64_t trueNow) const
{
    // A service clock ahead answers past the end of the range.
    const int64_t last = to + std::max<int64_t>(m_world.skew, 0);
    auto it = std::lower_bound(tag.samples.begin(), tag.samples.end(), from,
                               [](const Sample& s, int64_t t) { return s.time < t; });
    Series out;
    for (; it != tag.samples.end() && it->time <= last; ++it) {
        if (it->published <= trueNow) {
            out.times.push_back(it->time);
            out.fractions.push_back(it->fraction);
            if (m_world.cap != 0 && out.times.size() >= m_world.cap) {
                break;
            }
        }
    }
    return out;
}

Answer Service::answer(const std::vector<std::string>& tags, int64_t from, int64_t to, int64_t trueNow)
{
    Answer a;
    int status = 0;
    if (m_world.maxRange != 0 && to - from > m_world.maxRange) {
        a.status = 400;
    } else if (fails(tags, trueNow, status)) {
        a.raised = status == 0;
        a.status = status;
    }
    if (a.raised || a.status != 200) {
        return a;
    }
    for (const std::string& name : tags) {
        const std::size_t i = find(name);
        if (i == m_world.tags.size() || !m_world.tags[i].present(trueNow)) {
            continue;
        }
        Series found = samples(m_world.tags[i], from, to, trueNow);
        if (!found.times.empty()) {
            found.tag = i;
            a.series.push_back(std::move(found));
        }
    }
    return a;
}

}  // namespace fieldsim
