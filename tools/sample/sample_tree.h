// Builds a realistic, deterministic host data tree: the root register, firms with their
// registers and years, year databases (some protected, some not), image folders and the
// three-character program folder. The headless tool's make-sample and every test that
// needs a data tree use this same code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vornback {

struct SampleOptions {
    int firms = 2;         // firms 1..firms, plus the reserved 1001 in the root register
    int years = 3;         // years 1..years per firm, April to March periods
    double scale = 1.0;    // multiplies file sizes (benchmarks)
    uint64_t seed = 1;     // same seed, same tree, byte for byte
    int firstYear = 2021;  // calendar year in which year 1 begins (1 April)
    // Files copied into <root>/Bkp (the program folder), keeping their names and modes.
    std::vector<std::string> programFiles;
};

// Creates the tree at root (created when missing; must be empty or missing). Throws
// Error on failure. Returns the program folder (<root>/Bkp).
std::string MakeSampleTree(const std::string& root, const SampleOptions& options);

// Whether year k of a sample firm has the year password on its year database.
bool SampleYearProtected(int firmNo, int yearNo);

}  // namespace vornback
