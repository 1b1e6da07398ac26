// The headless tool end to end: exit statuses, a make-sample, pack, verify, unpack round
// trip that must give back identical files and modification times, and the window's
// backup and restore runs driven from the command line on sample trees.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include <nlohmann/json.hpp>

#include "archive/archive.h"
#include "history/history.h"
#include "support/temp_dir.h"
#include "support/tree_compare.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::TempDir;

std::string Cli(const std::string& args) {
    return std::string(VORNBACK_CLI_PATH) + " " + args;
}

std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

TEST(Cli, UsageMistakesExitWithTwo) {
    std::string out;
    EXPECT_EQ(RunCommand(Cli(""), &out), 2);
    EXPECT_NE(out.find("usage: vornback-cli"), std::string::npos);
    EXPECT_EQ(RunCommand(Cli("frobnicate")), 2);
    EXPECT_EQ(RunCommand(Cli("--help")), 0);
    EXPECT_EQ(RunCommand(Cli("--version")), 0);
    for (const char* args : {"make-sample",
                             "make-sample /tmp/x --firms",
                             "make-sample /tmp/x --firms many",
                             "make-sample /tmp/x --scale -1",
                             "pack onlyone",
                             "pack a b --exclude",
                             "unpack a",
                             "verify",
                             "backup 1",
                             "backup 1,2,B",
                             "backup x,2",
                             "backup 1,2 --type weekly",
                             "backup 1,2 --current-year --images",
                             "backup 1,2 --current-year --whole-firm",
                             "backup 1,2 --images --no-images",
                             "backup 1,2 --to",
                             "restore 1,2 --type full",
                             "restore 1,2 --archive a --type part",
                             "history extra",
                             "history --firm x",
                             "list"}) {
        out.clear();
        EXPECT_EQ(RunCommand(Cli(args), &out), 2) << args;
        EXPECT_NE(out.find("usage: vornback-cli " + std::string(args).substr(0, 4)),
                  std::string::npos)
            << out;
    }
    for (const char* command : {"backup", "restore", "history", "list", "verify", "config",
                                "make-sample", "pack", "unpack"}) {
        for (const char* help : {" --help", " -h"}) {
            out.clear();
            EXPECT_EQ(RunCommand(Cli(command + std::string(help)), &out), 0) << command;
            EXPECT_EQ(out.rfind("usage: vornback-cli " + std::string(command), 0), 0u) << out;
        }
    }
}

TEST(Cli, SampleTreePackVerifyUnpackRoundTrip) {
    TempDir dir;
    const std::string tree = dir / "data";
    std::string out;
    ASSERT_EQ(RunCommand(Cli("make-sample " + Quote(tree) + " --firms 2 --years 2 --seed 7"), &out),
              0)
        << out;
    // The program folder holds a working copy of the tool.
    EXPECT_EQ(RunCommand(Quote(tree + "/Bkp/vornback-cli") + " --help"), 0);
    // A second build into the same, now filled, folder is refused.
    out.clear();
    EXPECT_EQ(RunCommand(Cli("make-sample " + Quote(tree)), &out), 1);
    EXPECT_NE(out.find(tree), std::string::npos) << out;

    const std::string firm = tree + "/Firm1";
    const std::string archive = dir / "Firm1.zip";
    out.clear();
    ASSERT_EQ(RunCommand(Cli("pack " + Quote(firm) + " " + Quote(archive)), &out), 0) << out;
    out.clear();
    ASSERT_EQ(RunCommand(Cli("verify " + Quote(archive)), &out), 0) << out;
    EXPECT_NE(out.find("all CRCs correct"), std::string::npos);
    const std::string back = dir / "restored/deeper/Firm1";
    out.clear();
    ASSERT_EQ(RunCommand(Cli("unpack " + Quote(archive) + " " + Quote(back)), &out), 0) << out;
    EXPECT_EQ(test::CompareTrees(firm, back), "");

    // Packing onto an existing archive fails and leaves it as it was.
    const auto before = test::ReadFile(archive);
    out.clear();
    EXPECT_EQ(RunCommand(Cli("pack " + Quote(firm) + " " + Quote(archive)), &out), 1);
    EXPECT_NE(out.find("vornback-cli: "), std::string::npos);
    EXPECT_EQ(test::ReadFile(archive), before);
}

TEST(Cli, ExclusionLeavesTheImageFolderOut) {
    TempDir dir;
    const std::string tree = dir / "data";
    ASSERT_EQ(RunCommand(Cli("make-sample " + Quote(tree) + " --firms 1 --years 1")), 0);
    const std::string firm = tree + "/Firm1";
    ASSERT_TRUE(fs::is_directory(firm + "/AttachDocs"));
    const std::string archive = dir / "Firm1.zip";
    ASSERT_EQ(RunCommand(Cli("pack " + Quote(firm) + " " + Quote(archive) +
                             " --exclude 'AttachDocs\\*.*'")),
              0);
    const std::string back = dir / "back";
    ASSERT_EQ(RunCommand(Cli("unpack " + Quote(archive) + " " + Quote(back))), 0);
    EXPECT_FALSE(fs::exists(back + "/AttachDocs"));
    EXPECT_TRUE(fs::exists(back + "/Firm1.mdb"));
    EXPECT_TRUE(fs::is_directory(back + "/Yr1"));
}

TEST(Cli, BadArchivesFailWithOne) {
    TempDir dir;
    const std::string garbage = dir / "garbage.zip";
    test::WriteFile(garbage, std::string(1000, 'x'));
    std::string out;
    EXPECT_EQ(RunCommand(Cli("verify " + Quote(garbage)), &out), 1);
    EXPECT_NE(out.find("garbage.zip"), std::string::npos) << out;
    EXPECT_EQ(RunCommand(Cli("unpack " + Quote(garbage) + " " + Quote(dir / "out"))), 1);
    EXPECT_FALSE(fs::exists(dir / "out/x"));
    EXPECT_EQ(RunCommand(Cli("unpack " + Quote(dir / "missing.zip") + " " + Quote(dir / "o"))), 1);
    EXPECT_EQ(RunCommand(Cli("pack " + Quote(dir / "nofolder") + " " + Quote(dir / "a.zip"))), 1);
    EXPECT_FALSE(fs::exists(dir / "a.zip"));
}

// A sample data tree with the tool's program folder, and a backup folder beside it.
struct Tree {
    explicit Tree(const std::string& options = "--firms 2 --years 2") {
        EXPECT_EQ(RunCommand(Cli("make-sample " + Quote(data) + " " + options)), 0);
        fs::create_directories(out);
    }
    // Runs a command of the tool on this tree; its stderr and stdout land in *output.
    int Run(const std::string& args, std::string* output = nullptr) const {
        return RunCommand(Cli(args + " --program-folder " + Quote(data + "/Bkp")), output);
    }
    test::TempDir dir;
    std::string data = dir / "data";
    std::string out = dir / "out";
};

std::string Today(const char* format) {
    const std::time_t now = std::time(nullptr);
    char text[64];
    std::strftime(text, sizeof text, format, std::localtime(&now));
    return text;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

bool HasEntry(const std::string& archive, const std::string& prefix) {
    for (const ArchiveEntry& e : ListArchive(archive)) {
        if (e.name.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// Options read as GNU tools read them; every mistake gets one usage error.
TEST(Cli, OptionSyntax) {
    Tree t("--firms 1 --years 1");
    struct Case {
        std::string args;
        int status;
        std::string output;
    } cases[] = {
        {"backup 1,1 --type=day --to=/x --dry-run", 0, "  type: day (option --type)\n"},
        {"backup --dry-run --to /x 1,1 --no-images", 0, "  folder: /x (option --to)\n"},
        {"backup 1,1 --dry-run --to /x -- --images", 2, "backup takes one <firm>,<year>"},
        {"verify -- -missing.zip", 1, "-missing.zip: FAILED: "},
        {"backup 1,1 --bogus", 2,
         "vornback-cli: unknown option --bogus\n\nusage: vornback-cli backup"},
        {"backup 1,1 --bogus=3", 2, "vornback-cli: unknown option --bogus\n"},
        {"backup 1,1 -x", 2, "vornback-cli: unknown option -x\n"},
        {"backup 1,1 --to", 2, "vornback-cli: --to needs a value\n"},
        {"backup 1,1 --to a --to=b", 2, "vornback-cli: --to is given twice\n"},
        {"backup 1,1 --yes", 2, "vornback-cli: unknown option --yes\n"},
        {"pack --exclude=a --exclude b /nowhere " + t.dir / "a.zip", 1, "/nowhere"},
        {"make-sample --firms=0 " + t.dir / "s", 2, "--firms wants a whole number from 1 to 1000"},
        {"backup 1,1 -h --bogus", 0, "usage: vornback-cli backup"},
        {"config -h", 0, "usage: vornback-cli config"},
    };
    for (const Case& c : cases) {
        std::string out;
        const bool onTree = c.args.find("--dry-run") != std::string::npos;
        EXPECT_EQ(onTree ? t.Run(c.args, &out) : RunCommand(Cli(c.args), &out), c.status)
            << c.args << out;
        EXPECT_NE(out.find(c.output), std::string::npos) << c.args << "\n" << out;
    }
}

TEST(CliBackup, EachTypeWritesItsArchiveAndKeepsTheOlderGeneration) {
    Tree t;
    fs::create_directories(t.out + "/img");
    struct Case {
        std::string options, archive;
        bool images, otherYears;
    } cases[] = {
        {"--type single", "Firm1.zip", false, true},
        {"--type date", Today("%Y%m%d") + "/Firm1.zip", false, true},
        {"--type day", Today("%A") + "/Firm1.zip", false, true},
        {"--type single --current-year", "Firm1Yr2.zip", false, false},
        {"--type single --images --to " + Quote(t.out + "/img"), "img/Firm1.zip", true, true},
    };
    for (const Case& c : cases) {
        const std::string to = c.options.find("--to") == std::string::npos ? " --to " + t.out : "";
        const std::string archive = t.out + "/" + c.archive;
        const std::string older =
            fs::path(archive).replace_filename("O" + c.archive.substr(c.archive.rfind('F')));
        std::string out;
        ASSERT_EQ(t.Run("backup 1,2 -q " + c.options + to, &out), 0) << c.options << out;
        EXPECT_EQ(out, "") << c.options;
        EXPECT_FALSE(fs::exists(older)) << c.options;
        const std::string first = test::ReadFile(archive);
        out.clear();
        ASSERT_EQ(t.Run("backup 1,2 " + c.options + to, &out), 0) << c.options;
        EXPECT_EQ(test::ReadFile(older), first) << c.options;
        // Without -q, one line: the archive, its size, its files and the time taken.
        EXPECT_TRUE(std::regex_match(
            out, std::regex("backed up firm 1, year 2 into " + archive +
                            ": [0-9]+\\.[0-9] MiB \\(" + std::to_string(fs::file_size(archive)) +
                            " bytes\\), [1-9][0-9]* files, [0-9]+\\.[0-9] s\n")))
            << out;
        EXPECT_EQ(HasEntry(archive, "AttachDocs/"), c.images) << c.options;
        EXPECT_EQ(HasEntry(archive, "Yr1/"), c.otherYears) << c.options;
        EXPECT_TRUE(HasEntry(archive, "Yr2/")) << c.options;
    }
    EXPECT_FALSE(fs::exists(t.data + "/Bkp/Back/Firm1"));  // the staging copy is gone

    // Without options the settings decide, as the window opens with them: the --images of
    // the runs above did not stick, and without a settings file the images stay out.
    ASSERT_EQ(t.Run("backup 2,2 --to " + t.out), 0);
    EXPECT_FALSE(HasEntry(t.out + "/Firm2.zip", "AttachDocs/"));

    std::string out;
    ASSERT_EQ(RunCommand(Cli("list " + t.out), &out), 0);
    EXPECT_EQ(Count(out, " newest "), 6u) << out;
    EXPECT_EQ(Count(out, " older "), 5u) << out;
    EXPECT_NE(out.find("Firm1Yr2.zip                          1      2 newest"), std::string::npos)
        << out;
    out.clear();
    EXPECT_EQ(RunCommand(Cli("verify " + t.out + " " + t.out + "/img"), &out), 0) << out;
    EXPECT_EQ(Count(out, "all CRCs correct"), 13u) << out;
    test::WriteFile(t.out + "/" + Today("%A") + "/OFirm1.zip", "damaged");
    out.clear();
    EXPECT_EQ(RunCommand(Cli("verify " + t.out), &out), 1) << out;
    EXPECT_EQ(Count(out, ": FAILED: "), 1u) << out;
    EXPECT_EQ(Count(out, "all CRCs correct"), 10u) << out;

    // Every run is in the history, oldest first; --firm picks one firm's.
    out.clear();
    ASSERT_EQ(t.Run("history --json", &out), 0);
    EXPECT_EQ(Count(out, "\"result\":\"ok\""), 11u) << out;
    EXPECT_EQ(Count(out, "\"kind\":\"backup-year\""), 2u) << out;
    EXPECT_NE(out.find("\"archive\":\"" + t.out + "/Firm2.zip\""), std::string::npos) << out;
    out.clear();
    ASSERT_EQ(t.Run("history --firm 2", &out), 0);
    EXPECT_EQ(Count(out, "\n"), 1u) << out;
    EXPECT_NE(out.find("firm 2  year 2  backup  ok  "), std::string::npos) << out;
}

TEST(CliBackup, RefusalsWriteNothingAndAreRecordedWithTheirReasons) {
    Tree t;
    // Another process holds firm 1's lock, with its holder line (first: a run removes it).
    const std::string lock = t.data + "/Bkp/Back/.Firm1.lock";
    test::WriteFile(lock, "4242 vornback 2026-12-07T01:30:00\n");
    test::WriteFile(t.dir / "file", "not a folder");
    const std::string held =
        "already running (program vornback, process 4242, since "
        "2026-12-07T01:30:00)";
    const std::string invalid = "Invalid Backup Path (The backup folder \"";
    const std::string choose = "; choose a folder that exists and that you may write to.)";
    struct Case {
        std::string prefix;  // holds the lock, or points the mail at a closed port
        std::string args;
        int status;
        std::string message;  // on stderr and, after the result, in the history
        std::string result;
    } cases[] = {
        {"flock " + lock + " ", "backup 1,2 --to " + t.out, 1, held, "refused"},
        {"", "backup 1,2 --to " + t.out + "/missing", 1,
         invalid + t.out + "/missing\" does not exist" + choose, "stopped"},
        {"", "backup 1,2 --to " + t.dir / "file", 1,
         invalid + t.dir / "file" + "\" is not a folder" + choose, "stopped"},
        {"", "backup 7,2 --to " + t.out, 1, t.data + "/Firm7", "failed"},
        {"VORNBACK_SMTP_HOST=127.0.0.1 VORNBACK_SMTP_PORT=1 ",
         "backup 1,2 --mail a@b --to " + t.out, 3, "Backup Can not Email (", "ok"},
        // A staging root that cannot be made leaves no place for the firm's lock.
        {"rm -r " + t.data + "/Bkp/Back && touch " + t.data + "/Bkp/Back && ",
         "backup 2,2 --to " + t.out, 1,
         "Problem with folder permission, Please try again later (Could not open the lock "
         "file \"" +
             t.data + "/Bkp/Back/.Firm2.lock\"",
         "refused"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(RunCommand(c.prefix + Cli(c.args + " --program-folder " + t.data + "/Bkp"), &out),
                  c.status)
            << c.args;
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        std::string history;
        ASSERT_EQ(t.Run("history", &history), 0);
        const std::string last = history.substr(history.rfind('\n', history.size() - 2) + 1);
        EXPECT_NE(last.find("  backup  " + c.result + "  "), std::string::npos) << last;
        if (c.result != "ok") {
            EXPECT_NE(last.find(c.message), std::string::npos) << last;
        }
    }
    // Only the backup whose mail failed stands.
    EXPECT_EQ(std::distance(fs::directory_iterator(t.out), {}), 1);
    EXPECT_EQ(RunCommand(Cli("verify " + t.out + "/Firm1.zip")), 0);
}

// An ordinary user's run: as root, the commands run as nobody (who owns the test's folder),
// so that a folder's missing write permission counts.
std::string AsOrdinaryUser(const test::TempDir& dir) {
    if (geteuid() != 0) {
        return "";
    }
    EXPECT_EQ(RunCommand("chown -R 65534:65534 " + Quote(dir.Path())), 0);
    return "setpriv --reuid=65534 --regid=65534 --clear-groups env ";
}

// Installed (its folder in no data tree), the tool works on the data tree of --data or of
// the user's configuration, refuses without either, and never writes into its own folder.
TEST(CliInstalled, DataTreeFromOptionOrConfigurationAndNothingWrittenWhereInstalled) {
    Tree t("--firms 1 --years 2");
    const std::string bin = t.dir / "usr/bin";
    fs::create_directories(bin);
    fs::copy_file(VORNBACK_CLI_PATH, bin + "/vornback-cli");
    const std::string env = "HOME=" + t.dir / "home" + " XDG_CONFIG_HOME=" + t.dir / "config" +
                            " XDG_STATE_HOME=" + t.dir / "state" + " ";
    const std::string installed = env + bin + "/vornback-cli ";
    const std::string config = t.dir / "config/vornback/vornback.conf";
    struct Case {
        std::string args;
        int status;
        std::string message;
    } cases[] = {
        {"backup 1,2 --to " + t.out, 2,
         "no data tree: give --data DIR, or name it once with \"vornback-cli config --data DIR\" "
         "(kept in " +
             config + ")"},
        {"history", 2, "no data tree: give --data DIR"},
        {"backup 1,2 --dry-run --data " + t.dir.Path().string(), 1, "holds no root register"},
        {"backup 1,2 --to " + t.out + " --data=" + t.data, 0, ""},
        {"config --data " + t.out, 1, "\"" + t.out + "\" holds no root register Root.mdb"},
        {"config --data " + t.data, 0, "data tree " + t.data + " (" + config + ")\n"},
        {"backup 1,2 --type date --to " + t.out, 0, ""},
        {"history", 0, "firm 1  year 2  backup  ok"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(RunCommand(installed + c.args, &out), c.status) << c.args << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.args << out;
    }
    EXPECT_TRUE(fs::exists(t.out + "/Firm1.zip"));
    EXPECT_TRUE(fs::exists(t.out + "/" + Today("%Y%m%d") + "/Firm1.zip"));
    EXPECT_TRUE(fs::exists(t.data + "/Bkp/history.tsv"));
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(t.dir / "usr"), {}), 2);

    // A program folder this user may not write to: the settings are only read, the
    // history and the locks go to the user's state folder, and the run says so.
    const std::string user = AsOrdinaryUser(t.dir);
    fs::permissions(t.data + "/Bkp", fs::perms::owner_write | fs::perms::group_write,
                    fs::perm_options::remove);
    const std::string state =
        t.dir / "state/vornback/" + std::regex_replace(t.data, std::regex("/"), "%2F");
    std::string out;
    EXPECT_EQ(RunCommand(user + installed + "backup 1,2 --to " + t.out, &out), 0) << out;
    EXPECT_NE(out.find("vornback-cli: the program folder \"" + t.data +
                       "/Bkp\" is not writable for this user; the history and the locks are "
                       "kept in \"" +
                       state + "\"\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(Count(test::ReadFile(state + "/history.tsv"), "\tok\t"), 1u);
    out.clear();
    EXPECT_EQ(RunCommand(user + installed + "history -q", &out), 0);
    EXPECT_EQ(Count(out, "  backup  ok  "), 1u) << out;
    EXPECT_EQ(Count(test::ReadFile(t.data + "/Bkp/history.tsv"), "\tok\t"), 2u);
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(t.dir / "usr"), {}), 2);
}

TEST(CliRestore, EachTypeRefusesFirstAndRestoresWithItsChecks) {
    Tree t;
    Tree source("--firms 1 --years 3 --seed 9");
    const std::string archive = source.out + "/Firm1.zip";
    ASSERT_EQ(RunCommand(Cli("pack " + source.data + "/Firm1 " + archive)), 0);
    test::WriteFile(t.data + "/Firm1/marker.txt", "live");
    const std::string restore = "restore 1,2 --archive " + archive + " --type ";
    struct Case {
        std::string args;
        int status;
        std::string message;
        std::string marker;  // a file of the tree whose presence tells what happened
        bool markerThere;
    } cases[] = {
        {"add-year --source-year 3", 0, "Year Added New Year No Is 3", "Firm1/Yr3/DVorn3.mdb",
         true},
        {"add-year --source-year 1", 1, "Financial Year Already Exists", "Firm1/Yr4", false},
        {"add-year", 2, "needs --source-year", "", false},
        {"year --source-year 2 --target-year 2", 1,
         "would replace the files of the year folder " + t.data + "/Firm1/Yr2", "Firm1/marker.txt",
         true},
        {"year --source-year 2 --target-year 9 --yes", 1,
         "Year 9 is not in the year register of "
         "firm 1 (it holds years 1, 2, 3)",
         "", false},
        {"year --source-year 2 --target-year 2 --yes", 0,
         "Old data will be Overwrite Are You Sure -> Yes", "Firm1/marker.txt", true},
        {"add-firm", 0, "Firm Added New Firm No Is 3", "Firm3/Firm3.mdb", true},
        {"full", 1, "would replace the firm folder " + t.data + "/Firm1", "Firm1/marker.txt", true},
        {"full --yes", 0,
         "restored: Firm 1 was restored from \"" + archive +
             "\". The firm as it was before is kept at \"" + t.data + "/Bkp/Back/Replaced/",
         "Firm1/marker.txt", false},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(t.Run(restore + c.args, &out), c.status) << c.args << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.args << out;
        if (!c.marker.empty()) {
            EXPECT_EQ(fs::exists(t.data + "/" + c.marker), c.markerThere) << c.args;
        }
        // Nothing staged is left; a Full Firm restore keeps the firm it replaced.
        for (const auto& left : fs::directory_iterator(t.data + "/Bkp/Back")) {
            EXPECT_EQ(left.path().filename(), "Replaced") << c.args;
        }
    }
    EXPECT_EQ(test::ReadFile(t.data + "/Firm1/Yr2/DVorn2.mdb"),
              test::ReadFile(source.data + "/Firm1/Yr2/DVorn2.mdb"));
    EXPECT_EQ(test::CompareTrees(source.data + "/Firm1", t.data + "/Firm1"), "");
    // An archive the full restore would not look for is a usage mistake.
    EXPECT_EQ(t.Run("restore 2,2 --type full --yes --archive " + archive), 2);

    std::string out;
    ASSERT_EQ(t.Run("history --json", &out), 0);
    EXPECT_EQ(Count(out, "\"result\":\"ok\""), 4u) << out;
    EXPECT_EQ(Count(out, "\"kind\":\"add-year\",\"archive\":\"" + archive), 2u) << out;
    EXPECT_EQ(Count(out, "\"result\":\"refused\""), 1u) << out;
}

// The tool's options hold for one run: no run, done or refused, writes the window's
// settings, and unset options come from them (as --dry-run tells, choice by choice).
TEST(CliSettings, RunsNeverWriteTheWindowsSettings) {
    Tree t;
    const std::string settings = t.data + "/Bkp/settings.ini";
    const std::string stored = "[Back]\r\nLPath=" + t.out +
                               "\r\nBackType=0\r\nAdvSet=1\r\nIncAtcDoc=1\r\nCurYr=1\r\n"
                               "[Rest]\r\nLPath=/nowhere\r\nRestType=1\r\nAdvSet=1\r\n";
    test::WriteFile(settings, stored);
    const std::string archive = t.dir / "Firm1.zip";
    ASSERT_EQ(RunCommand(Cli("pack " + t.data + "/Firm1 " + archive)), 0);
    const std::string restore = "restore 1,2 --archive " + archive + " --type ";
    struct Case {
        std::string args;
        int status;
        std::string made;    // the archive the run writes below t.out, "" for none
        bool images = true;  // whether that archive holds the images
    } cases[] = {
        {"backup 1,2 --type day --current-year --to " + t.out, 0, Today("%A") + "/Firm1Yr2.zip",
         false},
        // The stored "Only Current Year" stands when no option says otherwise...
        {"backup 1,2 --to " + t.out, 0, "Firm1Yr2.zip", false},
        // ...and gives way to --whole-firm, as the stored images to --no-images.
        {"backup 1,2 --whole-firm --to " + t.out, 0, "Firm1.zip", true},
        {"backup 2,2 --whole-firm --no-images --to " + t.out, 0, "Firm2.zip", false},
        {"backup 1,2 --whole-firm --to " + t.out + "/missing", 1, ""},
        {"backup 1,2 --type date --dry-run", 0, ""},
        {restore + "full", 1, ""},
        {restore + "add-year --source-year 1", 1, ""},
        {restore + "add-firm", 0, ""},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(t.Run(c.args, &out), c.status) << c.args << out;
        EXPECT_EQ(test::ReadFile(settings), stored) << c.args;
        if (!c.made.empty()) {
            ASSERT_TRUE(fs::exists(t.out + "/" + c.made)) << c.args;
            EXPECT_EQ(HasEntry(t.out + "/" + c.made, "AttachDocs/"), c.images) << c.args;
            EXPECT_EQ(HasEntry(t.out + "/" + c.made, "Yr1/"),
                      c.made.find("Yr2") == std::string::npos)
                << c.args;
        }
    }
    // Without a settings file the runs make none.
    fs::remove(settings);
    EXPECT_EQ(t.Run("backup 1,2 --current-year --to " + t.out), 0);
    EXPECT_EQ(t.Run(restore + "add-firm"), 0);
    EXPECT_FALSE(fs::exists(settings));

    // The dry run names every choice and where it came from.
    test::WriteFile(settings, stored);
    const std::string from = " (settings file " + settings + ")\n";
    struct DryRun {
        std::string options;
        std::vector<std::string> lines;
    } dryRuns[] = {
        {"",
         {" (the default backup folder)\n", "  type: single" + from,
          "  what: the current year only" + from, "  images: left out" + from,
          "  mail: none (no --mail)\n"}},
        {"--type day --whole-firm --no-images --mail a@b --to /x",
         {"  folder: /x (option --to)\n", "  type: day (option --type)\n",
          "  what: the whole firm (option --whole-firm)\n",
          "  images: left out (option --no-images)\n", "  mail: a@b (option --mail)\n"}},
        {"--images",
         {"  what: the whole firm (option --images)\n", "  images: included (option --images)\n"}},
    };
    for (const DryRun& d : dryRuns) {
        std::string out;
        ASSERT_EQ(t.Run("backup 1,2 --dry-run " + d.options, &out), 0) << out;
        for (const std::string& line : d.lines) {
            EXPECT_NE(out.find(line), std::string::npos) << d.options << "\n"
                                                         << line << "\n"
                                                         << out;
        }
    }
    EXPECT_EQ(test::ReadFile(settings), stored);
}

// The JSON of history, list and verify parses (the parser refuses bytes that are not
// UTF-8): names in another encoding are escaped, numbers are numbers, a missing year null.
TEST(CliJson, ValidUtf8WithNumbersAndNulls) {
    Tree t("--firms 1 --years 1");
    const std::string latin1 = t.out + "/caf\xe9";
    fs::create_directories(latin1);
    ASSERT_EQ(RunCommand(Cli("pack " + t.data + "/Firm1 " + Quote(latin1 + "/Firm1.zip"))), 0);
    ASSERT_EQ(RunCommand(Cli("pack " + t.data + "/Firm1/Yr1 " + t.out + "/OFirm1Yr1.zip")), 0);
    HistoryRecord whole{1700000000, 1, "",  "backup",      latin1 + "/Firm1.zip",
                        123,        4, 1.5, RunResult::Ok, ""};
    HistoryRecord year{1700000100, 1, "1",  "backup-year",      "",
                       0,          0, 0.25, RunResult::Stopped, "na\xc3\xafve \xff"};
    AppendHistory(t.data + "/Bkp/history.tsv", whole);
    AppendHistory(t.data + "/Bkp/history.tsv", year);
    using nlohmann::json;
    struct Case {
        std::string command;
        std::string pointer;
        json value;
    } cases[] = {
        {"history --json", "/0/time", "2023-11-14T22:13:20Z"},
        {"history --json", "/0/year", nullptr},
        {"history --json", "/0/archive", t.out + "/caf\\xE9/Firm1.zip"},
        {"history --json", "/0/bytes", 123},
        {"history --json", "/0/seconds", 1.5},
        {"history --json", "/1/year", 1},
        {"history --json", "/1/archive", nullptr},
        {"history --json", "/1/result", "stopped"},
        {"history --json", "/1/reason", "na\xc3\xafve \\xFF"},
        {"list --json " + t.out, "/0/archive", "OFirm1Yr1.zip"},
        {"list --json " + t.out, "/0/year", 1},
        {"list --json " + t.out, "/0/generation", "older"},
        {"list --json " + t.out, "/1/archive", "caf\\xE9/Firm1.zip"},
        {"list --json " + t.out, "/1/firm", 1},
        {"list --json " + t.out, "/1/year", nullptr},
        {"verify --json " + t.out, "/1/ok", true},
        {"verify --json " + t.out, "/1/error", nullptr},
    };
    for (const Case& c : cases) {
        std::string out;
        const std::string tree =
            c.command.rfind("history", 0) == 0 ? " --program-folder " + t.data + "/Bkp" : "";
        ASSERT_EQ(RunCommand(Cli(c.command + tree) + " 2>/dev/null", &out), 0) << c.command;
        json parsed;
        ASSERT_NO_THROW(parsed = json::parse(out)) << out;
        const json::json_pointer at(c.pointer);
        EXPECT_EQ(parsed.contains(at) ? parsed.at(at) : json("absent"), c.value)
            << c.command << " " << c.pointer << "\n"
            << out;
    }
    std::string out;
    test::WriteFile(t.out + "/Firm9.zip", "damaged");
    EXPECT_EQ(RunCommand(Cli("verify --json " + t.out + "/Firm9.zip"), &out), 1);
    EXPECT_EQ(json::parse(out).at(0).at("ok"), false) << out;
}

// On a terminal the progress line names its step, and within a step its figures never
// run backwards; sizes are in MiB.
TEST(Cli, ProgressLineNamesItsStepsAndNeverRunsBackwards) {
    if (RunCommand("command -v script") != 0) {
        GTEST_SKIP() << "no script(1) here to give the tool a terminal";
    }
    Tree t("--firms 1 --years 2 --scale 20");
    std::string out;
    ASSERT_EQ(RunCommand("script -qec " +
                             Quote(Cli("backup 1,2 --to " + t.out + " --program-folder " + t.data +
                                       "/Bkp")) +
                             " /dev/null",
                         &out),
              0)
        << out;
    const std::regex shown(
        "\r\033\\[K([a-z]+) +([0-9.]+)%  ([0-9.]+) of ([0-9.]+) MiB  "
        "[0-9.]+ MiB/s");
    std::vector<std::string> steps;
    double lastShare = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), shown), end; it != end; ++it) {
        const std::string step = (*it)[1].str();
        const double share = std::stod((*it)[2].str());
        if (steps.empty() || steps.back() != step) {
            steps.push_back(step);
        } else {
            EXPECT_GE(share, lastShare) << step;
        }
        lastShare = share;
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"packing", "checking"})) << out;
}

// Starts the tool, sends it SIGINT once ready() holds and returns its exit status.
int InterruptWhen(const std::vector<std::string>& args, const std::function<bool()>& ready) {
    const pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(VORNBACK_CLI_PATH)};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(VORNBACK_CLI_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    while (!ready() && waitpid(child, &status, WNOHANG) == 0) {
        usleep(1000);
    }
    kill(child, SIGINT);
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Cli, CtrlCStopsBackupAndSampleWithNothingHalfWritten) {
    Tree t("--firms 1 --years 2 --scale 60");
    const std::vector<std::string> backup{"backup",           "1,2",          "--to", t.out,
                                          "--program-folder", t.data + "/Bkp"};
    ASSERT_EQ(t.Run("backup 1,2 --to " + t.out) + t.Run("backup 1,2 --to " + t.out), 0);
    const std::string newest = test::ReadFile(t.out + "/Firm1.zip");
    const std::string older = test::ReadFile(t.out + "/OFirm1.zip");
    auto packing = [&] {  // the run's temporary archive is there
        return std::any_of(fs::directory_iterator(t.out), {}, [](const fs::directory_entry& e) {
            return e.path().filename().string().find(".partial") != std::string::npos;
        });
    };
    EXPECT_EQ(InterruptWhen(backup, packing), 130);
    EXPECT_EQ(test::ReadFile(t.out + "/Firm1.zip"), newest);
    EXPECT_EQ(test::ReadFile(t.out + "/OFirm1.zip"), older);
    EXPECT_EQ(std::distance(fs::directory_iterator(t.out), {}), 2);

    const std::string sample = t.dir / "sample";
    EXPECT_EQ(InterruptWhen({"make-sample", sample, "--scale", "60"},
                            [&] { return fs::exists(sample + "/Firm1"); }),
              130);
    EXPECT_FALSE(fs::exists(sample));
    std::string out;
    ASSERT_EQ(t.Run("history", &out), 0);
    EXPECT_NE(out.find("  backup  cancelled  "), std::string::npos) << out;
}

// The bash completion offers every command the tool has and, for each, every option its
// usage names.
TEST(Cli, BashCompletionKnowsEveryCommandAndOption) {
    const std::string completion = test::ReadFile(std::string(VORNBACK_TEST_SOURCE_DIR) +
                                                  "/../packaging/vornback-cli.bash-completion");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(completion, m, std::regex("local commands=\"([^\"]*)\"")));
    const std::string commands = " " + m[1].str() + " ";
    std::string usage;
    ASSERT_EQ(RunCommand(Cli("--help"), &usage), 0);
    auto expand = [&](std::string options) {
        for (const char* name : {"tree", "keep", "offsite", "common"}) {
            std::smatch v;
            if (std::regex_search(completion, v,
                                  std::regex("local " + std::string(name) + "=\"([^\"]*)\""))) {
                options =
                    std::regex_replace(options, std::regex("\\$" + std::string(name)), v[1].str());
            }
        }
        return " " + options + " ";
    };
    const std::regex commandLine("\n  ([a-z-]+) ");
    size_t checked = 0;
    for (std::sregex_iterator it(usage.begin(), usage.end(), commandLine), end; it != end; ++it) {
        const std::string command = (*it)[1].str();
        EXPECT_NE(commands.find(" " + command + " "), std::string::npos) << command;
        std::string help;
        ASSERT_EQ(RunCommand(Cli(command + " --help"), &help), 0) << command;
        const std::string synopsis = help.substr(0, help.find("\n\n"));
        std::smatch line;
        std::string options;
        if (std::regex_search(completion, line,
                              std::regex("\n +" + command + "\\) options=\"([^\"]*)\""))) {
            options = expand(line[1].str());
        }
        const std::regex option("--[a-z]+(-[a-z]+)*");
        for (std::sregex_iterator o(synopsis.begin(), synopsis.end(), option), none; o != none;
             ++o) {
            if (o->str() != "--help") {
                EXPECT_NE(options.find(" " + o->str() + " "), std::string::npos)
                    << command << " " << o->str();
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 40u);
    if (RunCommand("command -v bash") == 0) {
        EXPECT_EQ(RunCommand("bash -n " + Quote(std::string(VORNBACK_TEST_SOURCE_DIR) +
                                                "/../packaging/vornback-cli.bash-completion")),
                  0);
    }
}

// The systemd units pass systemd's own check, and the command line they run is one the
// tool accepts (in its dry run, with the options of the example environment file).
TEST(Cli, ScheduledBackupUnitsAreValid) {
    Tree t;
    const std::string packaging = std::string(VORNBACK_TEST_SOURCE_DIR) + "/../packaging/";
    const std::string service = test::ReadFile(packaging + "vornback-backup@.service");
    std::smatch exec;
    ASSERT_TRUE(std::regex_search(service, exec, std::regex("\nExecStart=(\\S+) (.*)\n")));
    EXPECT_EQ(exec[1].str(), "/usr/bin/vornback-cli");
    const std::string options = "--data " + t.data + " --to " + t.out;
    // The instance names the firm alone: the year is the firm's current one, read from its
    // register at each run (the sample's years lie in the past: the latest of them).
    std::string command = std::regex_replace(exec[2].str(), std::regex("%I"), "2");
    command = std::regex_replace(command, std::regex("\\$VORNBACK_OPTIONS"), options);
    std::string out;
    EXPECT_EQ(RunCommand(Cli(command + " --dry-run"), &out), 0) << command << out;
    EXPECT_EQ(out.substr(0, out.find('\n') + 1),
              "backup of firm 2, year 2, from " + t.data + "/Firm2 into " + t.out + " (single)\n");
    EXPECT_NE(test::ReadFile(packaging + "backup.env").find("VORNBACK_OPTIONS=--data "),
              std::string::npos);

    if (RunCommand("command -v systemd-analyze") != 0) {
        return;  // systemd is not on this machine: the command line above is the check
    }
    test::WriteFile(
        t.dir / "vornback-backup@.service",
        std::regex_replace(service, std::regex("/usr/bin/vornback-cli"), VORNBACK_CLI_PATH));
    fs::copy_file(packaging + "vornback-backup@.timer", t.dir / "vornback-backup@.timer");
    std::string units;
    for (const char* kind : {"service", "timer"}) {
        const std::string instance = t.dir / ("vornback-backup@2." + std::string(kind));
        fs::create_symlink(std::string("vornback-backup@.") + kind, instance);
        units += " " + Quote(instance);
    }
    out.clear();
    EXPECT_EQ(RunCommand("systemd-analyze verify --man=no" + units, &out), 0) << out;
    EXPECT_EQ(out, "");
}

unsigned ModeOf(const std::string& path) {
    return static_cast<unsigned>(fs::status(path).permissions() & fs::perms::mask);
}

// Archives, the history, the folders made for them and the replaced firms' folder are the
// owner's alone whatever the umask; "[Back] GroupRead=1" lets the group read them too.
TEST(Cli, WhatHoldsTheBooksIsPrivateWhateverTheUmask) {
    for (const bool group : {false, true}) {
        SCOPED_TRACE(group ? "GroupRead=1" : "default");
        Tree t("--firms 1 --years 1");
        if (group) {
            test::WriteFile(t.data + "/Bkp/settings.ini", "[Back]\nGroupRead=1\n");
        }
        const unsigned file = group ? 0640 : 0600;
        const unsigned folder = group ? 0750 : 0700;
        const std::string dated = t.out + "/" + Today("%Y%m%d");
        for (const std::string& args :
             {"backup 1,1 --type date --to " + Quote(t.out),
              "restore 1,1 --type full --yes --archive " + Quote(dated + "/Firm1.zip")}) {
            std::string out;
            ASSERT_EQ(RunCommand(
                          "umask 000; " + Cli(args + " --program-folder " + Quote(t.data + "/Bkp")),
                          &out),
                      0)
                << out;
        }
        const std::pair<std::string, unsigned> modes[] = {
            {dated, folder},
            {dated + "/Firm1.zip", file},
            {t.data + "/Bkp/history.tsv", file},
            {t.data + "/Bkp/Back", folder},
            {t.data + "/Bkp/Back/Replaced", folder},
        };
        for (const auto& [path, mode] : modes) {
            EXPECT_EQ(ModeOf(path), mode) << path;
        }
    }
}

// A data tree this user cannot write in: the backup is made with the firm's lock taken in
// the user's state folder, and says where; nothing failed.
TEST(Cli, ABackupOfAReadOnlyTreeTakesItsLockWhereItCanWriteAndSaysWhere) {
    Tree t("--firms 1 --years 1");
    const std::string state = t.dir / "state";
    fs::create_directories(state);
    std::string as;  // the tests may run as root, whom permissions do not stop
    if (::geteuid() == 0) {
        as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        fs::permissions(t.dir.Path(),
                        fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        ASSERT_EQ(::chown(t.out.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown(state.c_str(), 65534, 65534), 0);
    } else {
        ASSERT_EQ(RunCommand("chmod -R a-w " + Quote(t.data)), 0);
    }
    std::string out;
    EXPECT_EQ(RunCommand(as + "env XDG_STATE_HOME=" + Quote(state) + " " +
                             Cli("backup 1,1 --type single --to " + Quote(t.out) +
                                 " --program-folder " + Quote(t.data + "/Bkp")),
                         &out),
              0)
        << out;
    EXPECT_TRUE(fs::exists(t.out + "/Firm1.zip")) << out;
    EXPECT_NE(out.find("is not writable for this user; the history and the locks are kept in \"" +
                       state + "/vornback/"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("try again"), std::string::npos) << out;
    RunCommand("chmod -R u+w " + Quote(t.data));
}

}  // namespace
}  // namespace vornback
