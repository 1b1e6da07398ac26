// The window's backup and restore runs driven from the headless tool on sample trees: each
// type's archive and refusals, the installed tool's data tree, the settings it never writes,
// its JSON, and the private modes of what holds the books.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>

#include <nlohmann/json.hpp>

#include "archive/archive.h"
#include "history/history.h"
#include "support/cli_tool.h"
#include "support/refusal.h"
#include "support/temp_dir.h"
#include "support/tree_compare.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace test;

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
            out,
            std::regex("backed up firm 1, year 2 into " + archive + ": [0-9]+\\.[0-9] (KB|MB) \\(" +
                       std::to_string(fs::file_size(archive)) +
                       " bytes\\), [1-9][0-9]* files, [0-9]+\\.[0-9] s\n")))
            << out;
        EXPECT_EQ(HasEntry(archive, "AttachDocs/"), c.images) << c.options;
        EXPECT_EQ(HasEntry(archive, "Yr1/"), c.otherYears) << c.options;
        EXPECT_TRUE(HasEntry(archive, "Yr2/")) << c.options;
    }
    EXPECT_FALSE(fs::exists(t.data + "/Bkp/Back/Firm1"));  // the staging copy is gone

    // Without options the settings decide, as the window opens with them: the --images of
    // the runs above did not stick, and without a settings file the images stay out. A
    // warning of the run comes under the tool's own name.
    fs::create_symlink("Firm2.mdb", t.data + "/Firm2/Link.mdb");
    std::string warned;
    ASSERT_EQ(t.Run("backup 2,2 --to " + t.out, &warned), 0);
    fs::remove(t.data + "/Firm2/Link.mdb");
    EXPECT_TRUE(test::Mentions(warned, "vornback-cli: left out of the backup, a link: Link.mdb\n"));
    EXPECT_EQ(warned.find("vornback: "), std::string::npos) << warned;
    EXPECT_FALSE(HasEntry(t.out + "/Firm2.zip", "AttachDocs/"));

    std::string out = RunCli("list " + t.out, 0);
    EXPECT_EQ(Count(out, " newest "), 6u) << out;
    EXPECT_EQ(Count(out, " older "), 5u) << out;
    EXPECT_TRUE(test::Mentions(out, "Firm1Yr2.zip                          1      2 newest"));
    out = RunCli("verify " + t.out + " " + t.out + "/img", 0);
    EXPECT_EQ(Count(out, "all CRCs correct"), 13u) << out;
    test::WriteFile(t.out + "/" + Today("%A") + "/OFirm1.zip", "damaged");
    out = RunCli("verify " + t.out, 1);
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

    // A data tree this user may not write to: the firm is read as it is, the settings are
    // only read, the history and the locks go to the user's state folder, and the run says
    // so (and fails nothing).
    const std::string user = AsOrdinaryUser(t.dir);
    ASSERT_EQ(RunCommand("chmod -R a-w " + Quote(t.data)), 0);
    const std::string state =
        t.dir / "state/vornback/" + std::regex_replace(t.data, std::regex("/"), "%2F");
    std::string out;
    EXPECT_EQ(RunCommand(user + installed + "backup 1,2 --to " + t.out, &out), 0) << out;
    EXPECT_TRUE(
        Mentions(out, "vornback-cli: the program folder \"" + t.data + "/Bkp\" is not " +
                          "writable for this user; the history and the locks are kept in \"" +
                          state + "\"\n"));
    EXPECT_EQ(out.find("try again"), std::string::npos) << out;
    EXPECT_EQ(Count(test::ReadFile(state + "/history.tsv"), "\tok\t"), 1u);
    out.clear();
    EXPECT_EQ(RunCommand(user + installed + "history -q", &out), 0);
    EXPECT_EQ(Count(out, "  backup  ok  "), 1u) << out;
    EXPECT_EQ(Count(test::ReadFile(t.data + "/Bkp/history.tsv"), "\tok\t"), 2u);
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(t.dir / "usr"), {}), 2);
    RunCommand("chmod -R u+w " + Quote(t.data));
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
        // clang-format off
        {"add-year --source-year 3", 0, "Year Added New Year No Is 3", "Firm1/Yr3/DVorn3.mdb",
         true},
        {"add-year --source-year 1", 1, "Financial Year Already Exists", "Firm1/Yr4", false},
        {"add-year", 2, "needs --source-year", "", false},
        {"year --source-year 2 --target-year 2", 1,
         "would replace the files of the year folder " + t.data + "/Firm1/Yr2",
         "Firm1/marker.txt", true},
        {"year --source-year 2 --target-year 9 --yes", 1,
         "Year 9 is not in the year register of firm 1 (it holds years 1, 2, 3)", "", false},
        {"year --source-year 2 --target-year 2 --yes", 0,
         "Old data will be Overwrite Are You Sure -> Yes", "Firm1/marker.txt", true},
        {"add-firm", 0, "Firm Added New Firm No Is 3", "Firm3/Firm3.mdb", true},
        {"full", 1, "would replace the firm folder " + t.data + "/Firm1", "Firm1/marker.txt", true},
        {"full --yes", 0, "restored: Firm 1 was restored from \"" + archive +
             "\". The firm as it was before is kept at \"" + t.data + "/Bkp/Back/Replaced/",
         "Firm1/marker.txt", false},
        // clang-format on
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
            EXPECT_TRUE(test::Mentions(out, line));
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
        const mode_t umask = ::umask(0);  // the runs' modes are their own
        for (const std::string& args :
             {"backup 1,1 --type date --to " + Quote(t.out),
              "restore 1,1 --type full --yes --archive " + Quote(dated + "/Firm1.zip")}) {
            std::string out;
            EXPECT_EQ(t.Run(args, &out), 0) << out;
        }
        ::umask(umask);
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

}  // namespace
}  // namespace vornback
