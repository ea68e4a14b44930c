#pragma once
// One run of a world: the poll loop with its restarts, the checks, and the
// lines a run prints.
#include <string>
#include <vector>

#include "invariants.h"
#include "model.h"

namespace fieldsim {

struct RunResult {
    Figures figures;
    std::vector<Violation> violations;
    bool passed() const { return violations.empty(); }
    // Answered per delivered in the steady state; 0 when none was delivered.
    double steadyCost() const;
};

RunResult runWorld(const World& world);
// The world's drawn settings, for --verbose.
std::string describe(const World& world);
// What the series of a tag holds, for --verbose on a failure.
std::string describeTag(const World& world, const std::string& name);
// One line: the seed, its size and every figure of the run.
std::string summaryLine(const World& world, const RunResult& result);
// The first failing check with its example, and how to replay it; empty
// when every check held.
std::string failureLine(const World& world, const RunResult& result, const std::string& replay);

}  // namespace fieldsim
