#include "restore/year_list.h"

#include "platform/file_system.h"
#include "restore/restore_run.h"
#include "restore/staged_firm.h"
#include "store/registers.h"

namespace vornback {

namespace {

// The rows of the list for the register's years.
std::vector<YearListRow> ListRows(const std::vector<YearRow>& years) {
    std::vector<YearListRow> rows;
    for (const YearRow& year : years) {
        rows.push_back(YearListRow{std::to_string(year.Col99), DisplayDate(year.Col98),
                                   DisplayDate(year.Col97)});
    }
    return rows;
}

// The caller closes the database before the window is shown, so no connection stays open
// while the person chooses.
void ChooseAndApply(RestoreContext& ctx, const std::vector<YearRow>& years) {
    const YearPick pick = ctx.years.ChooseYear(ListRows(years));
    ApplyYearPick(ctx.state, years, pick);
}

}  // namespace

std::string PeriodText(const std::optional<YearRow>& year) {
    return year ? "From Date " + DisplayDate(year->Col98) + " To " + DisplayDate(year->Col97)
                : "XX";
}

void ApplyYearPick(RestoreState& state, const std::vector<YearRow>& years, const YearPick& pick) {
    if (pick.key == PickKey::None || pick.row >= years.size()) {
        return;
    }
    state.pickedYear = years[pick.row];
    if (pick.key == PickKey::Esc) {
        state.targetYear = years[pick.row];
    }
    state.shown.yearNo = true;
    state.shown.period = true;
}

void RetYearNo(RestoreContext& ctx) {
    Database firmDb = OpenFirmConnection(ctx.values);
    const std::vector<YearRow> years = YearsInOrder(firmDb);
    firmDb.Close();
    ChooseAndApply(ctx, years);
}

void RetYearToAdd(RestoreContext& ctx) {
    Database stagedDb = OpenStagedFirmConnection(
        ctx.values, ctx.state.SourceFirmNo, ctx.state.RestoreStagingFolder, ctx.fs, ctx.dialogs);
    const std::vector<YearRow> years = YearsInOrder(stagedDb);
    stagedDb.Close();
    ChooseAndApply(ctx, years);
}

}  // namespace vornback
