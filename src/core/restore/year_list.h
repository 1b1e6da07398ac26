// The year list: lists one firm's financial years (oldest first day first) and lets the
// person pick one with Enter, Esc or a double click. The pick is written into the restore
// window's year labels and the restore state; closing without a pick writes nothing.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "restore/restore_state.h"

namespace vornback {

struct RestoreContext;

// One row of the list: the year number (hidden column) and the two days as DD/MM/YYYY.
struct YearListRow {
    std::string no;
    std::string from;
    std::string to;
};

enum class PickKey {
    None,   // closed without a pick
    Enter,  // Enter or a double click
    Esc,    // Esc: a pick that also sets the target year
};

struct YearPick {
    PickKey key = PickKey::None;
    size_t row = 0;  // index into the rows given
};

// Shows the year list window modally and returns the pick. The window opens with the
// first row current; an empty list opens empty.
class YearChooser {
  public:
    virtual ~YearChooser() = default;
    virtual YearPick ChooseYear(const std::vector<YearListRow>& rows) = 0;
};

// Applies a pick among the register's years (in the order listed) to the state: the picked
// year, for Esc the target year too; the year's number and period show. A pick of None,
// or a row out of range, changes nothing.
void ApplyYearPick(RestoreState& state, const std::vector<YearRow>& years, const YearPick& pick);

// RetYearNo: the years of the current firm (its firm database) in the list. Opens and closes the
// firm connection before the window is shown. Database failures throw DatabaseError.
void RetYearNo(RestoreContext& ctx);

// RetYearToAdd: the years of the unpacked archive's firm database (the staged connection, which may
// move the staging folder one level down, or end the program with "Invalid Backup File").
void RetYearToAdd(RestoreContext& ctx);

}  // namespace vornback
