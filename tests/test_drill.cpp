// The restore drill and the doctor on damaged archives and trees: each damage gives its
// finding and exit status through the headless tool, a healthy sample tree gives none;
// the doctor's mending touches only leftovers and stale locks, and never a firm whose run
// holds its lock; a backup whose archive fails the drill keeps the previous generations.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <filesystem>
#include <fstream>
#include <functional>

#include "archive/archive.h"
#include "base/temp_names.h"
#include "drill/doctor.h"
#include "drill/drill.h"
#include "history/history.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"
#include "sample/sample_tree.h"
#include "store/registers.h"
#include "support/cli_tool.h"
#include "support/refusal.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace test;

// A sample tree with one firm of three years (years 1 and 3 protected by the year key).
struct Tree {
    TempDir dir;
    std::string data = dir / "data";
    std::string firm = data + "/Firm1";
    std::string program =
        MakeSampleTree(data, {.firms = 1, .years = 3, .scale = 0.02, .programFiles = {}});
};

// Flips one byte in the header of a b-tree page of the database, so that the page no
// longer reads as one.
void FlipPageByte(const std::string& database, int page) {
    std::fstream f(database, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f) << database;
    unsigned char size[2];
    f.seekg(16);
    f.read(reinterpret_cast<char*>(size), 2);
    const int pageSize = size[0] << 8 | size[1];
    ASSERT_GE(pageSize, 512) << "not a plain database";
    const std::streamoff at = static_cast<std::streamoff>(page - 1) * pageSize;
    char byte = 0;
    f.seekg(at);
    f.get(byte);
    f.seekp(at);
    f.put(static_cast<char>(byte ^ 0x5A));
}

struct Damage {
    const char* name;
    std::function<void(Tree&)> onTree;              // before the archive is packed
    std::function<void(const std::string&)> onZip;  // after, on the archive
    const char* check;                              // the first finding's check; "" when healthy
    const char* file;                               // a piece of the first finding's file
    bool treeDamaged;                               // whether the doctor finds it in the live tree
};

TEST(Drill, DamagedArchivesAndTreesGiveTheirFindingAndStatus) {
    // clang-format off
    const Damage table[] = {
        {"healthy sample tree", nullptr, nullptr, "", "", false},
        {"flipped byte in a year database page",
         [](Tree& t) { FlipPageByte(t.firm + "/Yr2/DVorn2.mdb", 3); },
         nullptr, "database", "Yr2/DVorn2.mdb", true},
        {"year database with another key",
         [](Tree& t) {
             fs::remove(t.firm + "/Yr2/DVorn2.mdb");
             Database::Create(t.firm + "/Yr2/DVorn2.mdb", "not the host's key")
                 .Execute("CREATE TABLE Vouchers (VchNo INTEGER PRIMARY KEY);");
         }, nullptr, "database", "Yr2/DVorn2.mdb", true},
        {"register row whose folder is missing",
         [](Tree& t) { fs::rename(t.firm + "/Yr3", t.dir / "Yr3-away"); },
         nullptr, "register", "Yr3", true},
        {"extra year folder",
         [](Tree& t) { fs::copy(t.firm + "/Yr2", t.firm + "/Yr9", fs::copy_options::recursive); },
         nullptr, "folder", "Yr9", true},
        // A year's folder is found by the register's number, whatever the folder's text:
        // "Yr02" is no year's folder, "YR3" is year 3's.
        {"folders named by the year's number, not its text",
         [](Tree& t) {
             fs::copy(t.firm + "/Yr2", t.firm + "/Yr02", fs::copy_options::recursive);
             fs::rename(t.firm + "/Yr3", t.firm + "/YR3");
         }, nullptr, "", "", false},
        // The archive refuses the twins before it unpacks; the doctor names them in the tree.
        {"case twin", [](Tree& t) { test::WriteFile(t.firm + "/yr2/Note.txt", "twin"); },
         nullptr, "archive", "yr2", true},
        {"truncated archive", nullptr,
         [](const std::string& zip) { fs::resize_file(zip, fs::file_size(zip) / 2); },
         "archive", "Firm1.zip", false},
    };
    // clang-format on
    for (const Damage& d : table) {
        SCOPED_TRACE(d.name);
        Tree t;
        if (d.onTree) {
            d.onTree(t);
        }
        const std::string zip = t.dir / "Firm1.zip";
        PackFolder(t.firm, zip);
        if (d.onZip) {
            d.onZip(zip);
        }
        const bool proven = std::string(d.check).empty() && !d.treeDamaged;
        const std::string out =
            RunCli("drill 1,2 --json --archive " + Quote(zip) + " --program-folder " +
                       Quote(t.program) + " --scratch " + Quote(t.dir.Path().string()),
                   proven ? 0 : 1);
        const std::string check = d.check;
        if (proven) {
            EXPECT_NE(out.find("\"result\":\"proven\",\"reason\":\"\""), std::string::npos) << out;
        } else {
            EXPECT_TRUE(test::Mentions(out, "\"findings\":[{\"check\":\"" + check + "\""));
            EXPECT_NE(out.find(d.file), std::string::npos) << out;
        }
        // The scratch folder is gone, and the drill is in the history.
        for (const auto& entry : fs::directory_iterator(t.dir.Path())) {
            EXPECT_EQ(entry.path().filename().string().rfind("vornback-drill-", 0),
                      std::string::npos);
        }
        const auto records = ReadHistory(t.program + "/history.tsv");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].kind, "drill");
        EXPECT_EQ(records[0].result, proven ? RunResult::Ok : RunResult::Failed);

        const std::string doctor =
            RunCli("doctor --json --data " + Quote(t.data), d.treeDamaged ? 1 : 0);
        if (d.treeDamaged) {
            const std::string treeCheck = check == "archive" ? "case" : check;
            EXPECT_TRUE(test::Mentions(doctor, "{\"firm\":1,\"check\":\"" + treeCheck + "\""));
            EXPECT_NE(doctor.find(d.file), std::string::npos) << doctor;
        } else {
            EXPECT_NE(doctor.find("\"healthy\":true"), std::string::npos) << doctor;
        }
    }
}

// Leftovers of an interrupted run, a stale lock and a firm folder outside the register's
// range: found; --fix removes the leftovers and the lock, says each step, and leaves what
// is not its to mend; a firm whose run holds its lock is not touched.
TEST(Drill, DoctorMendsOnlyLeftoversAndStaleLocks) {
    Tree t;
    const std::string back = t.program + "/Back";
    const std::string temporary = t.firm + "/Yr2/.part-vbu-abcd1234";
    test::WriteFile(back + "/Firm1/Firm1.mdb", "staged");
    test::WriteFile(temporary, "half");
    test::WriteFile(back + "/.Firm1.lock", "1 vornback-cli 2026-12-07");
    fs::create_directories(t.data + "/Firm70000");

    std::string out = RunCli("doctor --data " + Quote(t.data), 1);
    for (const char* expected : {"leftover: ", "lock: ", "range: ", "Firm70000"}) {
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    }
    EXPECT_TRUE(fs::exists(temporary));  // examining changes nothing

    {
        // While a run holds firm 1 the temporary file stays.
        RunLock held = RunLock::Take(FirmLockFile(ProgramValues{1, "2", "B", t.program, t.data}, 1),
                                     "firm 1", TheSystemClock());
        out = RunCli("doctor --fix --data " + Quote(t.data), 1);
        EXPECT_TRUE(fs::exists(temporary)) << out;
        EXPECT_TRUE(fs::exists(back + "/Firm1")) << out;
    }
    out = RunCli("doctor --fix --data " + Quote(t.data), 1);
    EXPECT_NE(out.find("mended: Removed \"" + temporary + "\""), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(temporary));
    EXPECT_FALSE(fs::exists(back + "/Firm1"));
    EXPECT_FALSE(fs::exists(back + "/.Firm1.lock"));
    EXPECT_TRUE(fs::exists(t.data + "/Firm70000"));  // not the doctor's to move
    fs::remove(t.data + "/Firm70000");
    RunCli("doctor --data " + Quote(t.data), 0);
}

// backup --drill: a healthy firm rotates in its drilled archive; a damaged year database
// fails the drill, the backup exits 1 and the previous generations stay byte for byte.
TEST(Drill, BackupKeepsThePreviousGenerationsWhenTheDrillFails) {
    Tree t;
    const std::string dest = t.dir / "dest";
    fs::create_directories(dest);
    const std::string backup =
        "backup 1,2 --drill --to " + Quote(dest) + " --program-folder " + Quote(t.program);
    RunCli(backup, 0);
    RunCli(backup, 0);
    const std::string last = test::ReadFile(dest + "/Firm1.zip");
    const std::string older = test::ReadFile(dest + "/OFirm1.zip");
    // The window's line: the last backup's own archive was drilled after it.
    const std::string history = t.program + "/history.tsv";
    EXPECT_NE(LastBackupText(history, 1).find(", proven "), std::string::npos);

    FlipPageByte(t.firm + "/Yr2/DVorn2.mdb", 3);
    const std::string out = RunCli(backup, 1);
    EXPECT_NE(out.find("failed the restore drill"), std::string::npos) << out;
    EXPECT_TRUE(test::ReadFile(dest + "/Firm1.zip") == last);
    EXPECT_TRUE(test::ReadFile(dest + "/OFirm1.zip") == older);
    EXPECT_EQ(test::Names(dest), (std::vector<std::string>{"Firm1.zip", "OFirm1.zip"}));

    std::string lines;
    for (const HistoryRecord& r : ReadHistory(t.program + "/history.tsv")) {
        lines += r.kind + " " + ResultWord(r.result) + ", ";
    }
    EXPECT_EQ(lines, "drill ok, backup ok, drill ok, backup ok, drill failed, backup failed, ");
    EXPECT_NE(LastBackupText(history, 1).find(", not proven since "), std::string::npos);

    // A current-year backup is drilled as the one year it holds.
    RunCli("backup 1,1 --current-year --drill --to " + Quote(dest) + " --program-folder " +
               Quote(t.program),
           0);
    EXPECT_EQ(ReadHistory(history).back().kind, "backup-year");
    EXPECT_NE(LastBackupText(history, 1).find("/dest, proven "), std::string::npos)
        << LastBackupText(history, 1);
}

// The archives a backup makes in each layout, and what the drill wants of each: a
// current-year archive holds its one registered year, a firm folder one level down is
// found, an archive without the firm database is not a firm's. A scratch folder that a
// killed drill left is removed by the next one; the drill's own is gone after it.
TEST(Drill, EveryArchiveLayoutAndWhatItMustHold) {
    Tree t;
    const std::string scratch = t.dir / "scratch";
    fs::create_directories(scratch);
    // A process id that no process has: the scratch folder of a killed drill.
    long dead = 4194000;
    while (::kill(static_cast<pid_t>(dead), 0) == 0 || errno != ESRCH) {
        ++dead;
    }
    const std::string killed = scratch + "/vornback-drill-" + std::to_string(dead) + "-0000abcd";
    test::WriteFile(killed + "/Yr1/DVorn1.mdb", "left");
    const std::string running =
        scratch + "/vornback-drill-" + std::to_string(::getpid()) + "-1111abcd";
    fs::create_directories(running);

    // The firm folder copied into stage/<name> without the named year folders.
    auto stage = [&](const std::string& name, std::vector<std::string> without) {
        const std::string folder = t.dir / ("stage-" + name);
        fs::create_directories(folder);
        fs::copy(t.firm, folder + "/" + name, fs::copy_options::recursive);
        for (const std::string& year : without) {
            fs::remove_all(folder + "/" + name + "/" + year);
        }
        return folder;
    };
    struct Case {
        const char* name;
        std::string source;   // packed as it stands
        std::string archive;  // the archive's file name
        const char* check;    // the first finding's check; "" when proven
        const char* text;     // a piece of its text
    } cases[] = {
        {"whole firm", t.firm, "Firm1.zip", "", ""},
        {"one folder down", stage("Firm1", {}), "Firm1.zip", "", ""},
        {"current year", stage("cy", {"Yr1", "Yr3"}) + "/cy", "Firm1Yr2.zip", "", ""},
        {"current year with another year", stage("cy2", {"Yr1"}) + "/cy2", "Firm1Yr2.zip", "folder",
         "holds only year 2"},
        {"current year not registered", stage("cy5", {"Yr1", "Yr3"}) + "/cy5", "Firm1Yr5.zip",
         "register", "year 5 is not in the year register"},
        {"no firm database", t.firm + "/Yr2", "Firm1.zip", "archive", "holds no firm database"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string archive = t.dir / (std::string(c.name) + "/" + c.archive);
        fs::create_directories(fs::path(archive).parent_path());
        PackFolder(c.source, archive);
        DrillOptions options;
        options.scratchParent = scratch;
        const DrillReport report = DrillArchive(archive, 1, options);
        EXPECT_EQ(report.Proven() ? "" : report.findings.front().check, c.check) << report.Reason();
        EXPECT_NE(report.Reason().find(c.text), std::string::npos) << report.Reason();
        EXPECT_EQ(test::Names(scratch), (std::vector<std::string>{fs::path(running).filename()}));
    }
}

// The doctor on damage of the data tree as a whole: each gives its finding, the firm it
// belongs to (0 for the tree) and a sentence saying what to do.
TEST(Drill, DoctorFindsEachDamageOfTheDataTree) {
    struct Case {
        const char* name;
        std::function<void(Tree&)> damage;
        int64_t firm;
        const char* check;
        const char* file;
    } cases[] = {
        // clang-format off
        {"firm row without its folder",
         [](Tree& t) {
             Database root = Database::Open(t.data + "/Root.mdb", kRootPassword);
             AddFirmRow(root, FirmRow{5, "X", 1, "", "X"});
         }, 5, "register", "Firm5"},
        {"firm folder without its row",
         [](Tree& t) { fs::copy(t.firm, t.data + "/Firm7", fs::copy_options::recursive); },
         7, "folder", "Firm7"},
        {"root register under another key",
         [](Tree& t) {
             fs::remove(t.data + "/Root.mdb");
             Database::Create(t.data + "/Root.mdb", "not the host's key");
         }, 0, "database", "Root.mdb"},
        {"firm folders that differ in case",
         [](Tree& t) { fs::create_directories(t.data + "/FIRM1"); }, 0, "case", "FIRM1"},
        {"marker of an interrupted restore",
         [](Tree& t) { fs::create_directories(t.program + "/Back/.swap-Firm1-20261207-120000"); },
         1, "leftover", ".swap-Firm1"},
        {"compaction copy of an interrupted backup",
         [](Tree& t) { test::WriteFile(t.program + "/Back/M2.Firm1.77-0000abcd.mdb", "x"); },
         1, "leftover", "M2.Firm1"},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t;
        c.damage(t);
        LocalFileSystem files;
        const DoctorReport report =
            ExamineDataTree(ProgramValues{1, "2", "B", t.program, t.data}, files, false);
        ASSERT_FALSE(report.Healthy());
        const DoctorFinding& f = report.findings.front();
        EXPECT_EQ(f.firm, c.firm) << DoctorText(report);
        EXPECT_EQ(f.finding.check, c.check) << DoctorText(report);
        EXPECT_NE(f.finding.file.find(c.file), std::string::npos) << DoctorText(report);
        EXPECT_FALSE(f.finding.advice.empty());
    }
}

TEST(Drill, UsageMistakesExitWithTwo) {
    for (const char* args :
         {"drill", "drill 1", "drill x,2", "drill 1,2 3,4", "drill 1,2 --archive",
          "drill 1,2 --frobnicate", "doctor extra", "doctor --data", "doctor --fix --fix"}) {
        const std::string out = RunCli(args, 2);
        EXPECT_TRUE(test::Mentions(out, "usage: vornback-cli " + std::string(args).substr(0, 5)));
    }
}

// Ctrl-C during the unpack: exit status 130 and no scratch folder left. The scratch names
// tell a running drill's folder (its process id) from anything else.
TEST(Drill, CtrlCLeavesNoScratchFolder) {
    EXPECT_EQ(DrillScratchProcess(DrillScratchName()), static_cast<long>(::getpid()));
    for (const char* other : {"vornback-drill-123-0000abc", "vornback-drill--0000abcd",
                              "vornback-drill-12x-0000abcd", "vornback-drill-123", "Firm1"}) {
        EXPECT_FALSE(DrillScratchProcess(other)) << other;
    }
    EXPECT_EQ(DrillScratchProcess("vornback-drill-123-0000abcd"), 123);

    test::TempDir dir;
    const std::string program =
        MakeSampleTree(dir / "data", {.firms = 1, .years = 1, .scale = 20, .programFiles = {}});
    const std::string archive = dir / "Firm1.zip";
    PackFolder(dir / "data/Firm1", archive);
    const std::string scratch = dir / "scratch";
    fs::create_directories(scratch);
    const pid_t child = fork();
    if (child == 0) {
        execl(VORNBACK_CLI_PATH, VORNBACK_CLI_PATH, "drill", "1,1", "--archive", archive.c_str(),
              "--scratch", scratch.c_str(), "--program-folder", program.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    auto unpacking = [&] {
        return std::ranges::any_of(
            fs::recursive_directory_iterator(scratch),
            [](const fs::directory_entry& e) { return e.is_regular_file(); });
    };
    while (!unpacking() && waitpid(child, &status, WNOHANG) == 0) {
        usleep(1000);
    }
    kill(child, SIGINT);
    waitpid(child, &status, 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 130);
    EXPECT_TRUE(test::Names(scratch).empty());
}

}  // namespace
}  // namespace vornback
