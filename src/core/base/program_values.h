// The five program-wide values, set once at launch and passed by reference afterwards.
#pragma once

#include <cstdint>
#include <string>

namespace vornback {

struct ProgramValues {
    int32_t CurrentFirmNo = 0;
    std::string CurrentYearNo;  // as given, used in "Yr" names
    std::string LaunchMode;     // "B" backup, "R" restore, compared exactly
    std::string ProgramFolder;  // folder of the running program, no trailing separator
    std::string AppFolder;      // ProgramFolder less its last four characters: the data root
    // Where the history and the firms' locks are kept when the program folder cannot take
    // them (a data tree whose program folder this user may not write to); "" keeps them in
    // the program folder.
    std::string StateFolder{};
};

}  // namespace vornback
