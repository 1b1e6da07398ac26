#include "restore/year_restores.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "archive/archive.h"
#include "base/data_tree.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "platform/file_system.h"
#include "restore/folder_walks.h"
#include "restore/restore_run.h"
#include "restore/safe_swap.h"
#include "restore/staged_firm.h"
#include "store/registers.h"

namespace vornback {

namespace {

constexpr const char* kRestoreTitle = "Restore";

void Tell(RestoreContext& ctx, const std::string& text, Icon icon) {
    ctx.dialogs.Show(Message{text, kRestoreTitle, Buttons::Ok, icon, Answer::Ok});
}

// The clean-up of the two year restores: the staging root of the current firm (stale when
// the archive is another firm's: this run holds its lock) and the whole staging folder the
// archive went into, whatever its layout.
void CleanUpYearStaging(RestoreContext& ctx) {
    DeleteIfThere(ctx.fs, StagingFirmFolder(ctx.values, ctx.values.CurrentFirmNo));
    if (!ctx.state.RestoreStagingFolder.empty()) {
        DeleteIfThere(ctx.fs, StagingFirmFolder(ctx.values, ctx.state.SourceFirmNo));
        DeleteIfThere(ctx.fs, ctx.state.RestoreStagingFolder);
    }
}

// The locks of the firms a year restore touches: the current firm and the archive's.
void LockYearRestore(RestoreContext& ctx) {
    HoldFirm(ctx, ctx.values.CurrentFirmNo);
    if (!ctx.state.RestoreStagingFolder.empty()) {
        HoldFirm(ctx, ctx.state.SourceFirmNo);
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

// The picked year as a year restore starts: its period as the messages word it, and its
// folder and database in the staging folder, found in any letter case as the data tree is
// read (number, folder and database empty without a pick or a staging folder).
struct StagedYear {
    std::string period, number, folder, database;
};

// The start of both year restores: the locks of the firms they touch, what an interrupted
// run of the current firm left finished first, then the picked year.
StagedYear StartYearRestore(RestoreContext& ctx) {
    LockYearRestore(ctx);
    RecoverFirstOrRefuse(ctx, ctx.values.CurrentFirmNo);
    const std::optional<YearRow>& picked = ctx.state.pickedYear;
    const std::string& staging = ctx.state.RestoreStagingFolder;
    StagedYear year;
    year.period = PeriodText(picked);
    if (!picked || staging.empty()) {
        return year;
    }
    year.number = std::to_string(picked->Col99);
    year.folder = LookupNoCase(ctx.fs, staging, {YearFolderName(year.number)});
    year.database = LookupNoCase(ctx.fs, year.folder, {YearDatabaseName(year.number)});
    return year;
}

// Gives the staged year folder and its database the number k (Yr<k>, DVorn<k>.mdb); a
// name that is already right stays where it is.
void NameYear(FileSystem& fs, const std::string& year, const std::string& database,
              const std::string& renamedYear, const std::string& k) {
    const std::string renamedDatabase = JoinPath(year, YearDatabaseName(k));
    if (database != renamedDatabase) {
        fs.MoveFile(database, renamedDatabase);
    }
    if (year != renamedYear) {
        fs.MoveFolder(year, renamedYear);
    }
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
    const auto [period, s, sourceYear, sourceDatabase] = StartYearRestore(ctx);
    const std::optional<YearRow>& picked = st.pickedYear;
    const std::string& staging = st.RestoreStagingFolder;
    if (sourceYear.empty() || !fs.FolderExists(sourceYear)) {
        RefuseYear(ctx, "File Not Found For the Year " + period);
    }
    if (!fs.FileExists(sourceDatabase)) {
        RefuseYear(ctx, "File Not Found For the Year" + period);
    }
    const std::optional<YearRow>& target = st.targetYear;
    if (!target || picked->Col98 != target->Col98 || picked->Col97 != target->Col97) {
        RefuseYear(ctx, "Financial Year Not Match Please Try Again");
    }
    const std::string t = std::to_string(target->Col99);

    // Everything up to the question changes the staging folder only.
    DeleteExtraFold(fs, staging, picked->Col99);
    const std::string stagedYear = JoinPath(staging, YearFolderName(t));
    NameYear(fs, sourceYear, sourceDatabase, stagedYear, t);

    const int64_t n = ctx.values.CurrentFirmNo;
    const std::string liveYear =
        FindNoCase(fs, LiveFirmFolder(ctx.values, fs, n), YearFolderName(t), true)
            .value_or(YearFolder(ctx.values, n, t));
    const bool hadLive = fs.FolderExists(liveYear);
    if (hadLive) {
        const Answer answer =
            ctx.dialogs.Show(Message{"Old data will be Overwrite Are You Sure", "Backup",
                                     Buttons::YesNo, Icon::Question, Answer::No});
        if (answer != Answer::Yes) {
            CleanUpYearStaging(ctx);
            throw RunDeclined();
        }
    }
    // The merged year is built beside the live one (files of the live year that the archive
    // lacks stay, those it holds are replaced) and swapped in whole.
    std::string merged = stagedYear;
    if (hadLive) {
        merged = JoinPath(StagingFirmFolder(ctx.values, st.SourceFirmNo), MergedYearName(t));
        DeleteIfThere(fs, merged);
        fs.CopyFolder(liveYear, merged, false);
        fs.CopyFolder(stagedYear, merged, true);
    }
    SyncTree(fs, merged);
    const std::string aside = YearAside(ctx.values, n, t);
    SwapIntoPlace(fs, ctx.values, merged, liveYear, aside, YearSwapMarker(ctx.values, n, t));
    DeleteIfThere(fs, aside);
    CleanUpYearStaging(ctx);
    st.restoredDetail = "Year " + t + " of firm " + std::to_string(n) + " was restored from year " +
                        s + " of \"" + st.SelectedArchivePath + "\".";
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
    HoldFirm(ctx, sourceNo);
    const std::string outer = StagingFirmFolder(v, sourceNo);
    st.RestoreStagingFolder = outer;
    const auto removeOuter = [&fs, &outer] { DeleteIfThere(fs, outer); };

    UnpackIntoStaging(ctx, st.SelectedArchivePath, outer);
    const std::optional<StagedFirm> staged = FindStagedFirm(fs, outer, sourceNo);
    if (!staged) {
        ctx.dialogs.Show(Message{"Invalid Backup File", kRestoreTitle, Buttons::Ok,
                                 Icon::Exclamation, Answer::Ok, NoStagedFirmDetail(sourceNo)});
        removeOuter();
        throw ProgramEnd();
    }
    st.RestoreStagingFolder = staged->folder;

    FirmRow kept;
    {
        Database db = Database::Open(staged->database, kFirmPassword);
        std::optional<FirmRow> first = FirstFirmRow(db);
        if (!first) {
            throw DatabaseError("The firm register TALVERNR01 of the archive's database \"" +
                                db.Path() + "\" holds no row, so the firm cannot be added.");
        }
        kept = *first;
        db.Close();
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
        Refuse(ctx, DoesNotFit("The new firm number", candidate), removeOuter);
    }
    int16_t newNo = static_cast<int16_t>(candidate);
    if (newNo == kReservedFirmNo) {
        newNo = kReservedFirmNo + 1;
    }
    newNo = NextFreeFirmFolderNo(fs, v.AppFolder, newNo);
    HoldFirm(ctx, newNo);
    const std::string newName = FirmFolderName(newNo);

    // The staged firm folder that goes into the data tree: the folder holding the firm
    // database, so that an archive packed one level down keeps the tree's layout.
    std::string stagedFirm = staged->folder;
    // Renumbered whenever the number changes, also when only the folder walk moved it, so
    // that the data always carry the number of their register row.
    if (newNo != sourceNo) {
        {
            Database db = Database::Open(staged->database, kFirmPassword);
            RenumberFirmRows(db, newNo);
            db.Close();
        }
        fs.MoveFile(staged->database, JoinPath(stagedFirm, FirmDatabaseName(newNo)));
        const std::string renamed = StagingFirmFolder(v, newNo);
        DeleteIfThere(fs, renamed);  // left over from an interrupted run
        fs.MoveFolder(stagedFirm, renamed);
        stagedFirm = renamed;
        st.RestoreStagingFolder = renamed;
    }

    // The folder is tested before the register row is written, so a refusal leaves no row.
    const std::string target = FirmFolder(v, newNo);
    if (FindNoCase(fs, v.AppFolder, newName, true)) {
        Refuse(ctx, "Can't Add Firm This Time Please Try Again", [&] {
            DeleteIfThere(fs, stagedFirm);
            removeOuter();
        });
    }
    SyncTree(fs, stagedFirm);
    PlaceThenRegister(fs, v, stagedFirm, target, FirmPlaceMarker(v, newNo), [&] {
        Database root = OpenRootConnection(v);
        AddFirmRow(root, FirmRow{newNo, kept.Col98, kept.ColL, "", kept.ColF});
        root.Close();
    });
    Tell(ctx, "Firm Added New Firm No Is " + std::to_string(newNo), Icon::Information);
    DeleteIfThere(fs, StagingFirmFolder(v, newNo));
    removeOuter();
    st.restoredDetail =
        "Firm " + std::to_string(newNo) + " was added from \"" + st.SelectedArchivePath + "\".";
}

// ---- Add Year ----

void AddYear(RestoreContext& ctx) {
    FileSystem& fs = ctx.fs;
    RestoreState& st = ctx.state;
    const ProgramValues& v = ctx.values;
    const auto [period, y, sourceYear, sourceDatabase] = StartYearRestore(ctx);
    const std::optional<YearRow>& picked = st.pickedYear;
    const std::string& staging = st.RestoreStagingFolder;
    if (sourceYear.empty() || !fs.FolderExists(sourceYear) || !fs.FileExists(sourceDatabase)) {
        RefuseYear(ctx, "File Not Found For the Year" + period);
    }
    const Date first = picked->Col98;
    const Date last = picked->Col97;

    DeleteExtraFold(fs, staging, picked->Col99);

    bool taken = false;
    int64_t candidate = 0;
    {
        Database firm = OpenFirmConnection(v);
        taken = YearPeriodTaken(firm, first, last);
        candidate = int64_t{HighestYearNumber(firm).value_or(0)} + 1;
        firm.Close();
    }
    if (taken) {
        RefuseYear(ctx,
                   "Financial Year Already Exists If You Want To Overwrite Then Select - Selected "
                   "Year");
    }
    if (candidate > std::numeric_limits<int16_t>::max()) {
        RefuseYear(ctx, DoesNotFit("The new year number", candidate));
    }
    const std::string firmFolder = LiveFirmFolder(v, fs, v.CurrentFirmNo);
    const int16_t newNo = NextFreeYearFolderNo(fs, firmFolder, static_cast<int16_t>(candidate));
    st.NewYearNo = newNo;
    const std::string newText = std::to_string(newNo);

    const std::string stagedYear = JoinPath(staging, YearFolderName(newText));
    NameYear(fs, sourceYear, sourceDatabase, stagedYear, newText);

    // A folder that appeared since the walk would be taken for this year's data.
    const std::string target = JoinPath(firmFolder, YearFolderName(newText));
    if (FindNoCase(fs, firmFolder, YearFolderName(newText), true)) {
        RefuseYear(ctx, "Year folder " + target + " exists already; nothing was added");
    }
    SyncTree(fs, stagedYear);
    PlaceThenRegister(fs, v, stagedYear, target, YearPlaceMarker(v, v.CurrentFirmNo, newNo), [&] {
        Database firm = OpenFirmConnection(v);
        AddYearRow(firm, YearRow{newNo, first, last});
        firm.Close();
    });
    CleanUpYearStaging(ctx);
    Tell(ctx, "Year Added New Year No Is " + newText, Icon::Information);
    st.restoredDetail = "Year " + newText + " was added to firm " +
                        std::to_string(v.CurrentFirmNo) + " from year " + y + " of \"" +
                        st.SelectedArchivePath + "\".";
}

}  // namespace vornback
