#pragma once
// How the plugin fares, one poll at a time: the figures an operator watches
// to see that data flows, and the reading that carries them when the
// configuration names an asset for it.
#include <cstdint>
#include <string>

class Reading;

namespace nerivo {

struct Health {
    int64_t requests = 0;  // range requests sent
    int64_t failed = 0;    // of them, failed
    int64_t readings = 0;  // data readings the poll returned
    uint64_t bytesWire = 0;
    uint64_t bytesInflated = 0;
    int64_t tags = 0;           // in the index
    int64_t behindSeconds = 0;  // the oldest tag being caught up; 0 when none is
    int64_t gaps = 0;           // open gaps, still to be asked again
    int64_t heldSeconds = 0;    // a back-off's time left; 0 when none
    // Since the last complete discovery; -1 before any completed.
    int64_t discoveryAgeSeconds = -1;
    int64_t missingLists = 0;  // lists the last discovery could not read

    // The reading under asset, timed at time (epoch seconds, UTC); the
    // caller owns it.
    Reading* reading(const std::string& asset, int64_t time) const;
};

// How far the oldest tag is behind now, when it is being caught up: a tag
// within two shared ranges of the clock is not, and gives 0. Saturates, as a
// stored time may lie anywhere in the 64-bit range.
int64_t catchUpBehind(int64_t now, int64_t oldest);

}  // namespace nerivo
