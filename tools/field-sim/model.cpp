#include "model.h"

#include <algorithm>
#include <cmath>

namespace fieldsim {

uint64_t Rng::next()
{
    m_state += 0x9e3779b97f4a7c15ULL;
    uint64_t z = m_state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

int64_t Rng::range(int64_t lo, int64_t hi)
{
    if (hi <= lo) {
        return lo;
    }
    const uint64_t width = static_cast<uint64_t>(hi - lo) + 1;
    return lo + static_cast<int64_t>(next() % width);
}

int64_t Rng::logRange(int64_t lo, int64_t hi)
{
    const double value = std::exp(std::log(double(lo)) + unit() * (std::log(double(hi)) - std::log(double(lo))));
    return std::clamp(static_cast<int64_t>(value), lo, hi);
}

double Rng::unit()
{
    return static_cast<double>(next() >> 11) / static_cast<double>(1ULL << 53);
}

bool TagSeries::present(int64_t t) const
{
    return std::none_of(absent.begin(), absent.end(), [t](const Window& w) { return w.holds(t); });
}

bool TagSeries::listed(int64_t t) const
{
    return present(t) && std::none_of(unlisted.begin(), unlisted.end(), [t](const Window& w) { return w.holds(t); });
}

int64_t TagSeries::leaves(int64_t t) const
{
    int64_t at = INT64_MAX;
    for (const auto* windows : {&absent, &unlisted}) {
        for (const Window& w : *windows) {
            at = w.to > t ? std::min(at, std::max(w.from, t)) : at;
        }
    }
    return at;
}

bool World::isDisturbed(int64_t t) const
{
    return std::any_of(disturbed.begin(), disturbed.end(), [t](const Window& w) { return w.holds(t); });
}

std::size_t World::sampleCount() const
{
    std::size_t count = 0;
    for (const TagSeries& tag : tags) {
        count += tag.samples.size();
    }
    return count;
}

void addRegular(TagSeries& tag, int64_t from, int64_t to, int64_t interval, int64_t skew)
{
    tag.regular = true;
    // Aligned to the interval, as loggers sample on the clock.
    for (int64_t t = (from / interval + 1) * interval; t < to; t += interval) {
        tag.samples.push_back(Sample{t, t - skew});
    }
}

void addIrregular(TagSeries& tag, Rng& rng, int64_t from, int64_t to, int64_t meanGap, int64_t skew)
{
    for (int64_t t = from + rng.range(1, meanGap); t < to; t += rng.range(1, 2 * meanGap)) {
        tag.samples.push_back(Sample{t, t - skew});
    }
}

void jitter(TagSeries& tag, Rng& rng, double share)
{
    for (Sample& s : tag.samples) {
        if (rng.chance(share)) {
            const int64_t by = rng.chance(0.5) ? 1 : -1;
            s.time += by;
            s.published += by;
        }
    }
}

void fractions(TagSeries& tag, Rng& rng, double twice)
{
    std::vector<Sample> extra;
    for (Sample& s : tag.samples) {
        s.fraction = static_cast<int32_t>(rng.range(1, 500));
        if (rng.chance(twice)) {
            extra.push_back(Sample{s.time, s.published + 1, static_cast<int32_t>(rng.range(501, 1000))});
        }
    }
    tag.samples.insert(tag.samples.end(), extra.begin(), extra.end());
    sortSeries(tag);
}

void offline(TagSeries& tag, Window when, bool newestFirst, int64_t delay)
{
    std::vector<std::size_t> held;
    for (std::size_t i = 0; i < tag.samples.size(); ++i) {
        if (when.holds(tag.samples[i].published)) {
            held.push_back(i);
        }
    }
    for (std::size_t k = 0; k < held.size(); ++k) {
        Sample& s = tag.samples[held[k]];
        if (newestFirst) {
            s.published = k + 1 == held.size() ? when.to : when.to + delay;
        } else {
            // Oldest first: the upload takes about a minute per hour of backlog.
            s.published = when.to + (s.time - when.from) / 60;
        }
    }
}

void backfill(TagSeries& tag, Window hole, int64_t publishedAt)
{
    for (Sample& s : tag.samples) {
        if (hole.holds(s.time)) {
            s.published = std::max(s.published, publishedAt);
        }
    }
}

void late(TagSeries& tag, Rng& rng, double share, int64_t lateBy)
{
    for (Sample& s : tag.samples) {
        if (rng.chance(share)) {
            s.published += lateBy;
        }
    }
}

void remove(TagSeries& tag, Window when)
{
    tag.absent.push_back(when);
    tag.samples.erase(std::remove_if(tag.samples.begin(), tag.samples.end(),
                                     [&when](const Sample& s) { return when.holds(s.published); }),
                      tag.samples.end());
}

void sortSeries(TagSeries& tag)
{
    auto& s = tag.samples;
    std::sort(s.begin(), s.end(), earlier);
    // One sample an instant: a second and its fraction name a sample.
    s.erase(std::unique(s.begin(), s.end(),
                        [](const Sample& a, const Sample& b) { return a.time == b.time && a.fraction == b.fraction; }),
            s.end());
}

std::string tagName(Rng& rng, int index, std::size_t length)
{
    static const char plain[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-.";
    static const char odd[] = " /,#%&+";
    std::string name = "NW." + std::to_string(index) + ".";
    while (name.size() < length) {
        const bool rare = rng.chance(0.03);
        name += rare ? odd[rng.range(0, sizeof odd - 2)] : plain[rng.range(0, sizeof plain - 2)];
    }
    return name;
}

}  // namespace fieldsim
