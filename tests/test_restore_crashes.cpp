// Each restore type killed after every changing file-system step in turn, by a kill and by a
// power cut (which also loses what was not yet durable), then recovery as at the next start: the
// data tree is then exactly as before the run or exactly as after a whole run (files, folders and
// register rows alike), the replaced firm is kept once, and nothing is left in the staging area.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "archive/archive.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"
#include "recovery/recovery.h"
#include "restore/restore_run.h"
#include "restore/staged_firm.h"
#include "restore/year_list.h"
#include "sample/sample_tree.h"
#include "store/registers.h"
#include "support/crash_points.h"
#include "support/run_doubles.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

// The data tree as a person and the host see it: every file below AppFolder outside the
// program folder with its bytes (register databases as their rows, since their bytes are
// encrypted afresh on each write), and the replaced copies without their time stamps.
std::string Digest(const ProgramValues& v) {
    std::map<std::string, std::string> files;
    const auto add = [&](const fs::path& root, const std::string& as) {
        for (auto e = fs::recursive_directory_iterator(root); e != fs::end(e); ++e) {
            const std::string name = e->path().filename().string();
            if (name == "Bkp") {
                e.disable_recursion_pending();
            } else if (!e->is_directory()) {
                const bool reg = name == "Root.mdb" || name.rfind("Firm", 0) == 0;
                files[as + fs::relative(e->path(), root).string()] =
                    reg ? "register" : std::to_string(std::hash<std::string>{}(ReadFile(*e)));
            }
        }
    };
    add(v.AppFolder, "");
    if (fs::exists(StagingRoot(v) + "/Replaced")) {
        for (const auto& e : fs::directory_iterator(StagingRoot(v) + "/Replaced")) {
            add(e.path(), "copy/");
        }
    }
    std::string out;
    for (const auto& [path, what] : files) {
        out += path + " " + what + "\n";
    }
    Database root = OpenRootConnection(v);
    for (const FirmRow& firm : AllFirmRows(root)) {
        out += "firm " + std::to_string(firm.Col99) + "\n";
        if (fs::exists(FirmDatabase(v, firm.Col99))) {
            Database f = Database::Open(FirmDatabase(v, firm.Col99), kFirmPassword);
            for (const YearRow& y : YearsInOrder(f)) {
                out += "  year " + std::to_string(y.Col99) + " " + IsoDate(y.Col98) + "\n";
            }
        }
    }
    return out;
}

// What stays below Back besides the replaced copies and lock files of killed runs.
std::vector<std::string> Leftovers(const ProgramValues& v) {
    std::vector<std::string> left;
    for (const std::string& name : test::Names(StagingRoot(v))) {
        if (name != "Replaced" && name.find(".lock") == std::string::npos) {
            left.push_back(name);
        }
    }
    return left;
}

class RestoreCrashes : public ::testing::TestWithParam<test::CrashMode> {
  protected:
    RestoreCrashes() {
        MakeSampleTree(pristine_, {.scale = 0.02, .programFiles = {}});
        fs::create_directories(archives_);
        fs::create_directories(tmp_ / "backups");
    }

    void Reset() {
        fs::remove_all(data_);
        fs::copy(pristine_, data_, fs::copy_options::recursive);
    }

    // What follows a kill: the next start's recovery, the same restore run again at once in
    // the window (no start between), the same restore from the command line, or a backup
    // from the command line.
    enum class Then { Start, Retry, CliRestore, CliBackup };

    // The flow from a fresh copy of the pristine tree: unkilled once to learn the whole
    // result, then killed after each step; after each kill, what follows it and the
    // invariants: the tree as before or as after (a retry must end as after), nothing left.
    int KillEverywhere(const std::function<void()>& prepare,
                       const std::function<void(RestoreContext&)>& flow, Then then = Then::Start,
                       const std::string& cliRestore = "") {
        const auto fresh = [&] {
            Reset();
            prepare();
        };
        const auto run = [&](FileSystem& fsys) { RunFlow(fsys, flow); };
        fresh();
        const std::string before = Digest(values_);
        LocalFileSystem local;
        run(local);
        const std::string after = Digest(values_);
        EXPECT_NE(before, after);
        EXPECT_EQ(Leftovers(values_), std::vector<std::string>{});
        const std::string cli = std::string(VORNBACK_CLI_PATH) + " ";
        const std::string folder = " --program-folder '" + values_.ProgramFolder + "'";
        const test::CrashOptions options{true, GetParam(), {tmp_.Path().string()}};
        const auto check = [&](int n) {
            std::string out;
            // A run that told its end (cut right after it) must have made all of it durable.
            bool mustFinish = n == 0;
            switch (then) {
                case Then::Start:
                    RecoverRestoreLeftovers(values_, local);
                    break;
                case Then::Retry:
                    try {
                        run(local);
                    } catch (const Error& e) {
                        ADD_FAILURE() << "retry after step " << n << ": " << e.what();
                    } catch (const ProgramEnd&) {
                    }
                    RecoverRestoreLeftovers(values_, local);
                    mustFinish = true;
                    break;
                case Then::CliRestore:
                    test::RunCommand(cli + "restore 2,2 " + cliRestore + folder + " 2>&1", &out);
                    mustFinish = true;
                    break;
                case Then::CliBackup:
                    EXPECT_EQ(test::RunCommand(cli + "backup 2,2 --type single --to '" +
                                                   (tmp_ / "backups") + "'" + folder + " 2>&1",
                                               &out),
                              0)
                        << "killed after step " << n << ": " << out;
                    break;
            }
            const std::string now = Digest(values_);
            EXPECT_TRUE(now == after || (!mustFinish && now == before))
                << "killed after step " << n << ":\n"
                << now << out;
            // A backup recovers its own firm only: the staging of the archive's firm stays
            // for the next run of that firm or the next start.
            std::vector<std::string> left = Leftovers(values_);
            std::erase(left, then == Then::CliBackup ? "Firm1" : "");
            EXPECT_EQ(left, std::vector<std::string>{}) << "killed after step " << n << out;
        };
        return test::ForEachKillPoint(fresh, run, check, options);
    }

    // One run of a flow on fsys, every question answered Yes.
    void RunFlow(FileSystem& fsys, const std::function<void(RestoreContext&)>& flow) {
        RestoreState state;
        test::ScriptedDialogs dialogs;
        dialogs.answers = {Answer::Yes, Answer::Yes, Answer::Yes, Answer::Yes};
        test::ScriptedYears years;  // none is planned: a run must not open one
        test::EventLog log;
        test::LoggingRestoreView view(log, state);
        RestoreContext ctx{values_, fsys, dialogs, years, view, state, TheSystemClock()};
        flow(ctx);
    }

    // The select step of a year restore: the archive unpacked and the year picked.
    static void Stage(RestoreContext& ctx, const std::string& archive, int16_t firm,
                      const std::string& year, const std::string& from, const std::string& to) {
        RestoreState& s = ctx.state;
        s.SourceFirmNo = firm;
        s.SelectedArchivePath = archive;
        UnpackIntoStaging(ctx, archive, StagingFirmFolder(ctx.values, firm));
        s.RestoreStagingFolder =
            FindStagedFirm(ctx.fs, StagingFirmFolder(ctx.values, firm), firm)->folder;
        s.pickedYear = YearRow{static_cast<int16_t>(std::stoi(year)), *ParseDisplayDate(from),
                               *ParseDisplayDate(to)};
        s.targetYear = YearRow{2, *ParseDisplayDate(from), *ParseDisplayDate(to)};
    }

    static RestoreChoices Type(int index, const std::string& folder = "") {
        return RestoreChoices{FolderChoice::Other, "", folder, RestoreTypeAt(index), true};
    }

    void Report(const char* flow, int points) {
        std::printf("%s: %d kill points\n", flow, points);
        RecordProperty(flow, points);
        EXPECT_GT(points, 3);
    }

    test::TempDir tmp_;
    std::string pristine_ = tmp_ / "pristine";
    std::string data_ = tmp_ / "data";
    std::string archives_ = tmp_ / "archives";
    ProgramValues values_{2, "2", "R", data_ + "/Bkp", data_};
};

// A default backup (no image folder) restored over a firm whose scans and books changed
// since: the books go back, the live scans stay; the firm before is kept once, replacing
// an older copy.
TEST_P(RestoreCrashes, FullFirm) {
    Reset();
    PackOptions noImages;
    noImages.excludePatterns = {"AttachDocs\\*.*"};
    PackFolder(data_ + "/Firm2", archives_ + "/Firm2.zip", noImages);
    const auto prepare = [&] {
        WriteFile(data_ + "/Firm2/AttachDocs/new-scan.png", "scanned after the backup");
        WriteFile(data_ + "/Firm2/Yr2/Later.txt", "entered after the backup");
        WriteFile(values_.ProgramFolder + "/Back/Replaced/Firm2-20000101-000000/Firm2.mdb", "old");
    };
    const auto flow = [&](RestoreContext& ctx) { RunRestore(ctx, Type(0, archives_)); };
    for (const Then then : {Then::Start, Then::CliBackup}) {
        SCOPED_TRACE(static_cast<int>(then));
        Report("Full Firm", KillEverywhere(prepare, flow, then));
    }
    // The last, unkilled run: the scans stay, the books are the archive's.
    EXPECT_EQ(ReadFile(data_ + "/Firm2/AttachDocs/new-scan.png"), "scanned after the backup");
    EXPECT_EQ(ReadFile(data_ + "/Firm2/Yr2/DVorn2.mdb"),
              ReadFile(pristine_ + "/Firm2/Yr2/DVorn2.mdb"));
    EXPECT_FALSE(fs::exists(data_ + "/Firm2/Yr2/Later.txt"));
    // The newest replaced copies stay (three unless set), the older ones went.
    const auto copies = test::Names(values_.ProgramFolder + "/Back/Replaced");
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[0], "Firm2-20000101-000000");
    EXPECT_EQ(ReadFile(values_.ProgramFolder + "/Back/Replaced/" + copies[1] + "/Yr2/Later.txt"),
              "entered after the backup");
}

// Year 2 of firm 1's archive over year 2 of firm 2, with a stale Back/Firm2 lying about;
// each kill followed by a start, by the same restore at once (no start between: it must
// recover first and never delete the year set aside), by the command line's restore and
// by its backup (both recover the firm first).
TEST_P(RestoreCrashes, SelectedYear) {
    Reset();
    PackFolder(data_ + "/Firm1", archives_ + "/Firm1.zip");
    const auto prepare = [&] {
        WriteFile(data_ + "/Firm2/Yr2/Later.txt", "entered after the backup");
        WriteFile(values_.ProgramFolder + "/Back/Firm2/stale.txt", "from a killed run");
    };
    const std::string cli =
        "--archive '" + archives_ + "/Firm1.zip' --type year --source-year 2 --target-year 2 --yes";
    const auto flow = [&](RestoreContext& ctx) {
        Stage(ctx, archives_ + "/Firm1.zip", 1, "2", "01/04/2022", "31/03/2023");
        RunRestore(ctx, Type(1));
    };
    for (const Then then : {Then::Start, Then::Retry, Then::CliRestore, Then::CliBackup}) {
        SCOPED_TRACE(static_cast<int>(then));
        Report("Selected Year", KillEverywhere(prepare, flow, then, cli));
        EXPECT_EQ(ReadFile(data_ + "/Firm2/Yr2/Later.txt"), "entered after the backup");
        EXPECT_EQ(ReadFile(data_ + "/Firm2/Yr2/DVorn2.mdb"),
                  ReadFile(pristine_ + "/Firm1/Yr2/DVorn2.mdb"));
    }
}

// Firm 2's archive added beside it: number 3, renumbered.
TEST_P(RestoreCrashes, AddFirm) {
    Reset();
    PackFolder(data_ + "/Firm2", archives_ + "/Firm2.zip");
    const auto flow = [&](RestoreContext& ctx) {
        ctx.state.SelectedArchivePath = archives_ + "/Firm2.zip";
        RunRestore(ctx, Type(2));
    };
    Report("Add Firm", KillEverywhere([] {}, flow));
    EXPECT_TRUE(fs::exists(data_ + "/Firm3/Firm3.mdb"));
}

// Year 3 of firm 1's archive (its folder spelt YR3), packed one level down beside another
// folder, added to firm 2 after its own year 3 went (row and folder).
TEST_P(RestoreCrashes, AddYear) {
    Reset();
    fs::create_directories(tmp_ / "outer");
    fs::copy(data_ + "/Firm1", tmp_ / "outer/Firm1", fs::copy_options::recursive);
    WriteFile(tmp_ / "outer/Other/x.txt", "beside the firm");
    fs::rename(tmp_ / "outer/Firm1/Yr3", tmp_ / "outer/Firm1/YR3");  // names in any case
    PackFolder(tmp_ / "outer", archives_ + "/Firm1.zip");
    {
        Database db = Database::Open(pristine_ + "/Firm2/Firm2.mdb", kFirmPassword);
        db.Execute("DELETE FROM TALVERNF01 WHERE Col99 = 3");
    }
    fs::remove_all(pristine_ + "/Firm2/Yr3");
    const std::string cli =
        "--archive '" + archives_ + "/Firm1.zip' --type add-year --source-year 3";
    const auto flow = [&](RestoreContext& ctx) {
        Stage(ctx, archives_ + "/Firm1.zip", 1, "3", "01/04/2023", "31/03/2024");
        RunRestore(ctx, Type(3));
    };
    for (const Then then : {Then::Start, Then::Retry, Then::CliRestore, Then::CliBackup}) {
        SCOPED_TRACE(static_cast<int>(then));
        Report("Add Year", KillEverywhere([] {}, flow, then, cli));
        EXPECT_EQ(ReadFile(data_ + "/Firm2/Yr3/DVorn3.mdb"),
                  ReadFile(pristine_ + "/Firm1/Yr3/DVorn3.mdb"));
    }
}

INSTANTIATE_TEST_SUITE_P(KilledOrPowerCut, RestoreCrashes,
                         ::testing::Values(test::CrashMode::Kill, test::CrashMode::PowerLoss),
                         ::testing::PrintToStringParamName());

// The real file system whose n-th folder sync fails as a disk error would.
class FailingSyncFileSystem : public LocalFileSystem {
  public:
    explicit FailingSyncFileSystem(int failAt) : remaining_(failAt) {}
    void SyncFolder(const std::string& path) override {
        if (--remaining_ == 0) {
            throw FileSystemError("Could not sync \"" + path + "\": Input/output error");
        }
        LocalFileSystem::SyncFolder(path);
    }
    int remaining_;
};

// Every folder sync of a restore failing in turn: before any start the live firm or year is
// whole (old or new), never missing, and a failure after the move aside says where it is.
TEST_F(RestoreCrashes, FailedSyncsLeaveTheLiveDataInPlace) {
    Reset();
    PackFolder(data_ + "/Firm1", archives_ + "/Firm1.zip");
    PackFolder(data_ + "/Firm2", archives_ + "/Firm2.zip");
    const std::pair<std::string, std::function<void(RestoreContext&)>> cases[] = {
        {data_ + "/Firm2", [&](RestoreContext& ctx) { RunRestore(ctx, Type(0, archives_)); }},
        {data_ + "/Firm2/Yr2", [&](RestoreContext& ctx) {
             Stage(ctx, archives_ + "/Firm1.zip", 1, "2", "01/04/2022", "31/03/2023");
             RunRestore(ctx, Type(1));
         }}};
    for (const auto& c : cases) {
        const std::string& live = c.first;
        std::string before, told;
        const auto attempt = [&](FileSystem& fsys) {
            Reset();
            WriteFile(data_ + "/Firm2/Yr2/Later.txt", "entered after the backup");
            before = Digest(values_);
            try {
                RunFlow(fsys, c.second);
            } catch (const Error& e) {
                told += e.what();
            }
        };
        LocalFileSystem local;
        attempt(local);
        const std::string after = Digest(values_);
        int n = 1;
        for (;; ++n) {
            FailingSyncFileSystem fsys(n);
            attempt(fsys);
            if (fsys.remaining_ > 0) {
                break;  // the run did not reach an n-th sync
            }
            EXPECT_TRUE(Digest(values_) == before || Digest(values_) == after) << live << n;
            RecoverRestoreLeftovers(values_, local);
            EXPECT_EQ(Leftovers(values_), std::vector<std::string>{}) << live << n;
        }
        EXPECT_GT(n, 4) << live;
        EXPECT_NE(told.find("back in place at \"" + live + "\""), std::string::npos) << live;
    }
}

}  // namespace
}  // namespace vornback
