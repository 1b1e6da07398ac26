#include "restore/year_restores.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>

#include "archive/archive.h"
#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/text.h"
#include "platform/file_system.h"
#include "restore/folder_walks.h"
#include "restore/restore_run.h"
#include "restore/staged_firm.h"
#include "store/registers.h"

namespace vornback {

namespace {

constexpr const char* kRestoreTitle = "Restore";

// Characters of a caption counted from 1, as the period caption is read; a start beyond
// the end gives "".
std::string Mid(const std::string& text, size_t start, size_t length) {
    if (start < 1 || start > text.size()) {
        return {};
    }
    return text.substr(start - 1, length);
}

void Tell(RestoreContext& ctx, const std::string& text, Icon icon) {
    ctx.dialogs.Show(Message{text, kRestoreTitle, Buttons::Ok, icon, Answer::Ok});
}

// Deletes a staging folder when it is there (not forcing read-only files).
void DeleteIfThere(FileSystem& fs, const std::string& folder) {
    if (!folder.empty() && fs.FolderExists(folder)) {
        fs.DeleteFolder(folder, false);
    }
}

// The clean-up of the two year restores: the staging root of the current firm goes when it
// exists (it holds the staging folder whatever layout the archive had), else the staging
// folder itself.
void CleanUpYearStaging(RestoreContext& ctx) {
    const std::string currentFirmStaging = StagingFirmFolder(ctx.values, ctx.values.CurrentFirmNo);
    if (ctx.fs.FolderExists(currentFirmStaging)) {
        ctx.fs.DeleteFolder(currentFirmStaging, false);
    } else {
        DeleteIfThere(ctx.fs, ctx.state.RestoreStagingFolder);
    }
}

// A refusal: the message, the clean-up (when one is given), and the end of the program.
template <typename CleanUp>
[[noreturn]] void Refuse(RestoreContext& ctx, const std::string& text, CleanUp cleanUp) {
    Tell(ctx, text, Icon::Exclamation);
    cleanUp();
    throw ProgramEnd();
}

[[noreturn]] void RefuseYear(RestoreContext& ctx, const std::string& text) {
    Refuse(ctx, text, [&ctx] { CleanUpYearStaging(ctx); });
}

// A year number as the year list left it in a caption: the plain decimal text of a
// number that fits the 16-bit register column. Anything else could not have come from a
// register, and it would enter folder names.
std::optional<int16_t> YearNumberOf(const std::string& caption) {
    const std::optional<int64_t> n =
        RoundHalfEven(LeadingNumber(caption), std::numeric_limits<int16_t>::min(),
                      std::numeric_limits<int16_t>::max());
    if (!n || std::to_string(*n) != caption) {
        return std::nullopt;
    }
    return static_cast<int16_t>(*n);
}

std::string NotAYearNumber(const std::string& caption, const char* outcome) {
    return "The year number \"" + caption +
           "\" is not a 16-bit register year number (-32768 to 32767); " + outcome;
}

std::string DoesNotFit(const std::string& what, int64_t value) {
    return what + " " + std::to_string(value) +
           " does not fit a 16-bit register number (-32768 to 32767); nothing was changed";
}

}  // namespace

// ---- Selected Year ----

void SelectedYear(RestoreContext& ctx) {
    FileSystem& fs = ctx.fs;
    RestoreState& st = ctx.state;
    const std::string s = st.labels.LblTargetYNo.caption;
    const std::string period = st.labels.LblFinYr.caption;
    const std::string t = st.TargetYearNo;
    const std::string staging = st.RestoreStagingFolder;

    const std::string sourceYear = JoinPath(staging, "Yr" + s);
    const std::string sourceDatabase = JoinPath(sourceYear, "DVorn" + s + ".mdb");
    if (staging.empty() || !fs.FolderExists(sourceYear)) {
        RefuseYear(ctx, "File Not Found For the Year " + period);
    }
    if (!fs.FileExists(sourceDatabase)) {
        RefuseYear(ctx, "File Not Found For the Year" + period);
    }
    if (Mid(period, 11, 10) != st.TargetYearFrom || Mid(period, 25, 10) != st.TargetYearTo) {
        RefuseYear(ctx, "Financial Year Not Match Please Try Again");
    }
    const std::optional<int16_t> sourceNo = YearNumberOf(s);
    if (!sourceNo || !YearNumberOf(t)) {
        RefuseYear(ctx, NotAYearNumber(sourceNo ? t : s, "nothing was restored"));
    }

    // Everything up to the question changes the staging folder only.
    DeleteExtraFold(fs, staging, *sourceNo);
    const std::string stagedYear = JoinPath(staging, "Yr" + t);
    // A source year that already bears the target's number stays where it is.
    if (s != t) {
        fs.MoveFile(sourceDatabase, JoinPath(sourceYear, "DVorn" + t + ".mdb"));
        fs.MoveFolder(sourceYear, stagedYear);
    }

    const std::string liveYear = YearFolder(ctx.values, ctx.values.CurrentFirmNo, t);
    if (fs.FolderExists(liveYear)) {
        const Answer answer =
            ctx.dialogs.Show(Message{"Old data will be Overwrite Are You Sure", "Backup",
                                     Buttons::YesNo, Icon::Question, Answer::No});
        if (answer != Answer::Yes) {
            CleanUpYearStaging(ctx);
            throw ProgramEnd();
        }
    }
    // Files of the live year that the archive lacks stay; those it holds are replaced.
    fs.CopyFolder(stagedYear, liveYear, true);
    CleanUpYearStaging(ctx);
}

// ---- Add Firm ----

void AddFirm(RestoreContext& ctx) {
    FileSystem& fs = ctx.fs;
    RestoreState& st = ctx.state;
    const ProgramValues& v = ctx.values;
    if (st.SelectedArchivePath.empty()) {
        return;
    }

    int16_t sourceNo = 0;
    try {
        sourceNo = SourceFirmNoFromName(st.SelectedArchivePath);
    } catch (const Error& e) {
        Refuse(ctx, e.what(), [] {});
    }
    st.SourceFirmNo = sourceNo;
    const std::string outer = StagingFirmFolder(v, sourceNo);
    st.RestoreStagingFolder = outer;
    const std::string sourceName = "Firm" + std::to_string(sourceNo);

    // A staging folder left by an interrupted run must not mix its files into this firm.
    DeleteIfThere(fs, outer);
    try {
        UnpackOptions options;
        options.progress = [&ctx](const ArchiveProgress& p) { ctx.view.ShowProgress(p); };
        UnpackArchive(st.SelectedArchivePath, outer, options);
    } catch (const ArchiveError&) {
        // A damaged or hostile archive is no backup: nothing of it stays.
        Refuse(ctx, "Invalid Backup File", [&fs, &outer] { DeleteIfThere(fs, outer); });
    }

    if (!fs.FileExists(JoinPath(outer, sourceName + ".mdb"))) {
        st.RestoreStagingFolder = JoinPath(outer, sourceName);
        if (!fs.FileExists(JoinPath(st.RestoreStagingFolder, sourceName + ".mdb"))) {
            Refuse(ctx, "Invalid Backup File", [] {});
        }
    }

    FirmRow kept;
    {
        Database staged =
            OpenStagedFirmConnection(v, sourceNo, st.RestoreStagingFolder, fs, ctx.dialogs);
        std::optional<FirmRow> first = FirstFirmRow(staged);
        if (!first) {
            throw DatabaseError("The firm register TALVERNR01 of the archive's database \"" +
                                staged.Path() + "\" holds no row");
        }
        kept = *first;
        staged.Close();
    }

    int64_t candidate = sourceNo;
    {
        Database root = OpenRootConnection(v);
        if (FirmNumberTaken(root, sourceNo)) {
            // A register holding no firm besides 1001 counts as highest 0.
            candidate = int64_t{HighestFirmNumber(root).value_or(0)} + 1;
        }
        root.Close();
    }
    if (candidate > std::numeric_limits<int16_t>::max()) {
        Refuse(ctx, DoesNotFit("The new firm number", candidate),
               [&fs, &outer] { DeleteIfThere(fs, outer); });
    }
    int16_t newNo = static_cast<int16_t>(candidate);
    if (newNo == kReservedFirmNo) {
        newNo = kReservedFirmNo + 1;
    }
    newNo = NextFreeFirmFolderNo(fs, v.AppFolder, newNo);
    const std::string newName = "Firm" + std::to_string(newNo);

    // The staged firm folder that goes into the data tree: the folder holding the firm
    // database, so that an archive packed one level down keeps the tree's layout.
    std::string stagedFirm = st.RestoreStagingFolder;
    // Renumbered whenever the number changes, also when only the folder walk moved it, so
    // that the data always carry the number of their register row.
    if (newNo != sourceNo) {
        {
            Database staged =
                OpenStagedFirmConnection(v, sourceNo, st.RestoreStagingFolder, fs, ctx.dialogs);
            RenumberFirmRows(staged, newNo);
            staged.Close();
        }
        fs.MoveFile(JoinPath(stagedFirm, sourceName + ".mdb"),
                    JoinPath(stagedFirm, newName + ".mdb"));
        const std::string renamed = StagingFirmFolder(v, newNo);
        DeleteIfThere(fs, renamed);  // left over from an interrupted run
        fs.MoveFolder(stagedFirm, renamed);
        stagedFirm = renamed;
        st.RestoreStagingFolder = renamed;
    }

    // The folder is tested before the register row is written, so a refusal leaves no row.
    const std::string target = FirmFolder(v, newNo);
    if (fs.FolderExists(target)) {
        Refuse(ctx, "Can't Add Firm This Time Please Try Again", [] {});
    }
    // The folder goes into the data tree first; a register that then fails gets it back,
    // so that no row ever stands for a missing folder.
    fs.MoveFolder(stagedFirm, target);
    {
        std::optional<Database> root;
        try {
            root.emplace(OpenRootConnection(v));
            AddFirmRow(*root, FirmRow{newNo, kept.Col98, kept.ColL, "", kept.ColF});
        } catch (const std::exception& e) {
            try {
                fs.MoveFolder(target, stagedFirm);
            } catch (const std::exception& back) {
                throw Error(std::string(e.what()) + "; the firm folder \"" + target +
                            "\" could not be moved back to \"" + stagedFirm +
                            "\" and has no register row: " + back.what());
            }
            throw;
        }
        root->Close();
    }
    Tell(ctx, "Firm Added New Firm No Is " + std::to_string(newNo), Icon::Information);

    const std::string renamedStaging = StagingFirmFolder(v, newNo);
    if (fs.FolderExists(renamedStaging)) {
        fs.DeleteFolder(renamedStaging, false);
    } else {
        DeleteIfThere(fs, outer);
    }
}

// ---- Add Year ----

void AddYear(RestoreContext& ctx) {
    FileSystem& fs = ctx.fs;
    RestoreState& st = ctx.state;
    const ProgramValues& v = ctx.values;
    const std::string y = st.labels.LblTargetYNo.caption;
    const std::string period = st.labels.LblFinYr.caption;
    const std::string staging = st.RestoreStagingFolder;

    const std::string sourceYear = JoinPath(staging, "Yr" + y);
    const std::string sourceDatabase = JoinPath(sourceYear, "DVorn" + y + ".mdb");
    if (staging.empty() || !fs.FolderExists(sourceYear) || !fs.FileExists(sourceDatabase)) {
        RefuseYear(ctx, "File Not Found For the Year" + period);
    }
    const std::optional<int16_t> pickedNo = YearNumberOf(y);
    if (!pickedNo) {
        RefuseYear(ctx, NotAYearNumber(y, "nothing was added"));
    }
    const std::optional<Date> first = ParseDisplayDate(st.PickedYearFrom);
    const std::optional<Date> last = ParseDisplayDate(st.PickedYearTo);
    if (!first || !last) {
        RefuseYear(ctx, "The period \"" + st.PickedYearFrom + "\" to \"" + st.PickedYearTo +
                            "\" of the picked year is not two days DD/MM/YYYY; nothing was added");
    }

    DeleteExtraFold(fs, staging, *pickedNo);

    bool taken = false;
    {
        Database firm = OpenFirmConnection(v);
        taken = YearPeriodTaken(firm, *first, *last);
        firm.Close();
    }
    if (taken) {
        RefuseYear(ctx,
                   "Financial Year Already Exists If You Want To Overwrite Then Select - Selected "
                   "Year");
    }

    int64_t candidate = 0;
    {
        Database firm = OpenFirmConnection(v);
        candidate = int64_t{HighestYearNumber(firm).value_or(0)} + 1;
        firm.Close();
    }
    if (candidate > std::numeric_limits<int16_t>::max()) {
        RefuseYear(ctx, DoesNotFit("The new year number", candidate));
    }
    const std::string firmFolder = FirmFolder(v, v.CurrentFirmNo);
    const int16_t newNo = NextFreeYearFolderNo(fs, firmFolder, static_cast<int16_t>(candidate));
    st.NewYearNo = newNo;
    const std::string newText = std::to_string(newNo);

    const std::string stagedYear = JoinPath(staging, "Yr" + newText);
    // A picked year that already bears the new number stays where it is.
    if (y != newText) {
        fs.MoveFile(sourceDatabase, JoinPath(sourceYear, "DVorn" + newText + ".mdb"));
        fs.MoveFolder(sourceYear, stagedYear);
    }

    // A folder that appeared since the walk would be taken for this year's data.
    const std::string target = JoinPath(firmFolder, "Yr" + newText);
    if (fs.FolderExists(target)) {
        RefuseYear(ctx, "Year folder " + target + " exists already; nothing was added");
    }
    // The folder reaches the firm before its row; a register that then fails gets it back,
    // so that no row ever stands for a missing folder.
    fs.MoveFolder(stagedYear, target);
    {
        std::optional<Database> firm;
        try {
            firm.emplace(OpenFirmConnection(v));
            AddYearRow(*firm, YearRow{newNo, *first, *last});
        } catch (const std::exception& e) {
            try {
                fs.MoveFolder(target, stagedYear);
            } catch (const std::exception& back) {
                throw Error(std::string(e.what()) + "; the year folder \"" + target +
                            "\" could not be moved back to \"" + stagedYear +
                            "\" and has no register row: " + back.what());
            }
            throw;
        }
        firm->Close();
    }
    CleanUpYearStaging(ctx);
    Tell(ctx, "Year Added New Year No Is " + newText, Icon::Information);
}

}  // namespace vornback
