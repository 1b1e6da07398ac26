#include "restore/year_list.h"

#include "platform/file_system.h"
#include "restore/restore_run.h"
#include "restore/staged_firm.h"
#include "store/registers.h"

namespace vornback {

namespace {

// The rows of the list, read from an open firm database; the caller closes it before the
// window is shown, so no connection stays open while the person chooses.
std::vector<YearListRow> ListRows(Database& firmDb) {
    std::vector<YearListRow> rows;
    for (const YearRow& year : YearsInOrder(firmDb)) {
        rows.push_back(YearListRow{std::to_string(year.Col99), DisplayDate(year.Col98),
                                   DisplayDate(year.Col97)});
    }
    return rows;
}

void ChooseAndApply(RestoreContext& ctx, const std::vector<YearListRow>& rows) {
    const YearPick pick = ctx.years.ChooseYear(rows);
    ApplyYearPick(ctx.state, rows, pick);
}

}  // namespace

void ApplyYearPick(RestoreState& state, const std::vector<YearListRow>& rows,
                   const YearPick& pick) {
    if (pick.key == PickKey::None || pick.row >= rows.size()) {
        return;
    }
    const YearListRow& row = rows[pick.row];
    state.PickedYearNo = row.no;
    state.PickedYearFrom = row.from;
    state.PickedYearTo = row.to;
    if (pick.key == PickKey::Esc) {
        state.TargetYearNo = row.no;
        state.TargetYearFrom = row.from;
        state.TargetYearTo = row.to;
    }
    RestoreLabels& labels = state.labels;
    labels.LblTxtTrYr.visible = true;
    labels.LblTargetYNo = LabelState{row.no, true};
    labels.LblFinYr = LabelState{"From Date " + row.from + " To " + row.to, true};
}

void RetYearNo(RestoreContext& ctx) {
    Database firmDb = OpenFirmConnection(ctx.values);
    const std::vector<YearListRow> rows = ListRows(firmDb);
    firmDb.Close();
    ChooseAndApply(ctx, rows);
}

void RetYearToAdd(RestoreContext& ctx) {
    Database stagedDb = OpenStagedFirmConnection(
        ctx.values, ctx.state.SourceFirmNo, ctx.state.RestoreStagingFolder, ctx.fs, ctx.dialogs);
    const std::vector<YearListRow> rows = ListRows(stagedDb);
    stagedDb.Close();
    ChooseAndApply(ctx, rows);
}

}  // namespace vornback
