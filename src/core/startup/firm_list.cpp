#include "startup/firm_list.h"

#include "base/data_tree.h"
#include "base/errors.h"

namespace vornback {

namespace {

ProgramValues TreeValues(const std::string& dataTree, int firmNo) {
    ProgramValues values;
    values.AppFolder = dataTree;
    values.ProgramFolder = dataTree + "/Bkp";
    values.CurrentFirmNo = firmNo;
    return values;
}

}  // namespace

std::vector<FirmEntry> ListFirms(const std::string& dataTree) {
    const ProgramValues values = TreeValues(dataTree, 0);
    std::vector<FirmEntry> firms;
    try {
        Database db = OpenRootConnection(values);
        for (const FirmRow& row : AllFirmRows(db)) {
            firms.push_back({row.Col99, row.Col98});
        }
    } catch (const DatabaseError& e) {
        throw Error("The firm register \"" + RootDatabase(values) +
                    "\" cannot be read: " + e.what());
    }
    return firms;
}

std::vector<YearRow> ListYears(const std::string& dataTree, int firmNo) {
    try {
        Database db = OpenFirmConnection(TreeValues(dataTree, firmNo));
        return YearsInOrder(db);
    } catch (const DatabaseError& e) {
        throw Error("The year register of firm " + std::to_string(firmNo) +
                    " cannot be read: " + e.what());
    }
}

size_t CurrentYearIndex(const std::vector<YearRow>& years, const Date& today) {
    size_t current = years.size() - 1;
    for (size_t i = 0; i < years.size(); ++i) {
        if (years[i].Col98 <= today && today <= years[i].Col97) {
            current = i;
        }
    }
    return current;
}

}  // namespace vornback
