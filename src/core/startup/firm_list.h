// What a person chooses from when the window program starts without the host: the firms of
// a data tree's root register and the years of each firm's year register, and the firm's
// current year among them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "store/registers.h"

namespace vornback {

// One firm of the root register: its number and its name (Col98).
struct FirmEntry {
    int no = 0;
    std::string name;
};

// The firms of the root register of the data tree, in number order. Throws Error naming
// the register and the cause when it cannot be read.
std::vector<FirmEntry> ListFirms(const std::string& dataTree);

// The years of firm firmNo's year register, in the order of their first days. Throws Error
// naming the firm and the cause when the register cannot be read.
std::vector<YearRow> ListYears(const std::string& dataTree, int firmNo);

// The index of the firm's current year among years: the year whose period holds today,
// else the latest. years must not be empty.
size_t CurrentYearIndex(const std::vector<YearRow>& years, const Date& today);

}  // namespace vornback
