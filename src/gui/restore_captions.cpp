#include "gui/restore_captions.h"

namespace vornback {

namespace {

const char* StepCaption(SelectStep step) {
    switch (step) {
        case SelectStep::SelectYear:
            return "Select Year";
        case SelectStep::SelectFirm:
            return "Select Firm";
        case SelectStep::NotSet:
            break;
    }
    return "...";
}

}  // namespace

RestoreCaptions CaptionsOf(const RestoreState& state) {
    const RestoreShown& s = state.shown;
    RestoreCaptions c;
    c.LblTxtTrFNo = {s.sourceFirm ? "Source Firm No." : "Target Firm No.", s.firm};
    c.LblTargetFNo = {std::to_string(s.firmNo), s.firm};
    c.LblTxtTrYr = {"Year No.", s.yearNo};
    c.LblTargetYNo = {state.pickedYear ? std::to_string(state.pickedYear->Col99) : "0", s.yearNo};
    c.LblFinYr = {PeriodText(state.pickedYear), s.period};
    c.LblPath = {s.archive ? state.SelectedArchivePath : "Target Firm No.", s.archive};
    c.cmdSelectPath = {StepCaption(s.step), s.select};
    c.FrmDirSelEnabled = s.folderChoice;
    return c;
}

}  // namespace vornback
