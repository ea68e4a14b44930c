#pragma once
// The service as the plugin meets it: answers hold the samples of a range
// that were published by the service's clock, oldest first and capped per
// tag; long ranges are refused; requests fail for one tag or at random.
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model.h"

namespace fieldsim {

// One tag's samples in an answer.
struct Series {
    std::size_t tag = 0;
    std::vector<int64_t> times;
    std::vector<int32_t> fractions;  // as the plugin reads them from the time texts
};

struct Answer {
    bool raised = false;  // no answer at all
    int status = 200;
    std::vector<Series> series;
};

class Service {
public:
    Service(const World& world, uint64_t seed);
    // The tag's position in the world; the world's size when unknown.
    std::size_t find(const std::string& name) const;
    Answer answer(const std::vector<std::string>& tags, int64_t from, int64_t to, int64_t trueNow);

private:
    bool fails(const std::vector<std::string>& tags, int64_t trueNow, int& status);
    Series samples(const TagSeries& tag, int64_t from, int64_t to, int64_t trueNow) const;

    const World& m_world;
    Rng m_rng;
    std::unordered_map<std::string, std::size_t> m_byName;  // lookups only, never iterated
};

std::string statusText(int status);

}  // namespace fieldsim
