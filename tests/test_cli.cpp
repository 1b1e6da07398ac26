// The headless tool end to end: exit statuses, a make-sample, pack, verify, unpack round
// trip that must give back identical files and modification times, the option syntax, the
// progress line, Ctrl+C, the bash completion and the scheduled units.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>

#include "support/cli_tool.h"
#include "support/refusal.h"
#include "support/temp_dir.h"
#include "support/tree_compare.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace test;

TEST(Cli, UsageMistakesExitWithTwo) {
    EXPECT_TRUE(Mentions(RunCli("", 2), "usage: vornback-cli"));
    RunCli("frobnicate", 2);
    RunCli("--help", 0);
    RunCli("--version", 0);
    // clang-format off
    for (const char* args : {
             "make-sample", "make-sample /tmp/x --firms", "make-sample /tmp/x --firms many",
             "make-sample /tmp/x --scale -1", "pack onlyone", "pack a b --exclude", "unpack a",
             "verify", "backup 1", "backup 1,2,B", "backup x,2", "backup 1,2 --type weekly",
             "backup 1,2 --current-year --images", "backup 1,2 --current-year --whole-firm",
             "backup 1,2 --images --no-images", "backup 1,2 --to", "restore 1,2 --type full",
             "restore 1,2 --archive a --type part", "history extra", "history --firm x", "list"}) {
        // clang-format on
        EXPECT_TRUE(
            Mentions(RunCli(args, 2), "usage: vornback-cli " + std::string(args).substr(0, 4)));
    }
    for (const char* command : {"backup", "restore", "history", "list", "verify", "config",
                                "make-sample", "pack", "unpack"}) {
        for (const char* help : {" --help", " -h"}) {
            const std::string out = RunCli(command + std::string(help), 0);
            EXPECT_EQ(out.rfind("usage: vornback-cli " + std::string(command), 0), 0u) << out;
        }
    }
}

// A sample tree, packed, checked and unpacked again whole; the image folder left out by a
// pattern; bad archives and sources refused with 1.
TEST(Cli, SampleTreePackVerifyUnpackExcludeAndRefusals) {
    TempDir dir;
    const std::string tree = dir / "data";
    RunCli("make-sample " + Quote(tree) + " --firms 2 --years 2 --seed 7", 0);
    // The program folder holds a working copy of the tool.
    EXPECT_EQ(RunCommand(Quote(tree + "/Bkp/vornback-cli") + " --help"), 0);
    // A second build into the same, now filled, folder is refused.
    EXPECT_TRUE(Mentions(RunCli("make-sample " + Quote(tree), 1), tree));

    const std::string firm = tree + "/Firm1";
    const std::string archive = dir / "Firm1.zip";
    RunCli("pack " + Quote(firm) + " " + Quote(archive), 0);
    EXPECT_TRUE(Mentions(RunCli("verify " + Quote(archive), 0), "all CRCs correct"));
    const std::string back = dir / "restored/deeper/Firm1";
    RunCli("unpack " + Quote(archive) + " " + Quote(back), 0);
    EXPECT_EQ(test::CompareTrees(firm, back), "");

    // Packing onto an existing archive fails and leaves it as it was.
    const auto before = test::ReadFile(archive);
    EXPECT_TRUE(
        Mentions(RunCli("pack " + Quote(firm) + " " + Quote(archive), 1), "vornback-cli: "));
    EXPECT_EQ(test::ReadFile(archive), before);

    ASSERT_TRUE(fs::is_directory(firm + "/AttachDocs"));
    const std::string excluded = dir / "excluded.zip";
    RunCli("pack " + Quote(firm) + " " + Quote(excluded) + " --exclude 'AttachDocs\\*.*'", 0);
    RunCli("unpack " + Quote(excluded) + " " + Quote(dir / "back"), 0);
    EXPECT_FALSE(fs::exists(dir / "back/AttachDocs"));
    EXPECT_TRUE(fs::exists(dir / "back/Firm1.mdb"));
    EXPECT_TRUE(fs::is_directory(dir / "back/Yr1"));

    const std::string garbage = dir / "garbage.zip";
    test::WriteFile(garbage, std::string(1000, 'x'));
    EXPECT_TRUE(Mentions(RunCli("verify " + Quote(garbage), 1), "garbage.zip"));
    RunCli("unpack " + Quote(garbage) + " " + Quote(dir / "out"), 1);
    EXPECT_FALSE(fs::exists(dir / "out/x"));
    RunCli("unpack " + Quote(dir / "missing.zip") + " " + Quote(dir / "o"), 1);
    RunCli("pack " + Quote(dir / "nofolder") + " " + Quote(dir / "a.zip"), 1);
    EXPECT_FALSE(fs::exists(dir / "a.zip"));
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

// On a terminal the progress line names its step, and within a step its figures never
// run backwards; sizes are in MiB.
TEST(Cli, ProgressLineNamesItsStepsAndNeverRunsBackwards) {
    if (RunCommand("command -v script") != 0) {
        GTEST_SKIP() << "no script(1) here to give the tool a terminal";
    }
    Tree t("--firms 1 --years 2 --scale 20");
    const std::string backup =
        Cli("backup 1,2 --to " + t.out + " --program-folder " + t.data + "/Bkp");
    std::string out;
    ASSERT_EQ(RunCommand("script -qec " + Quote(backup) + " /dev/null", &out), 0) << out;
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
                EXPECT_TRUE(test::Mentions(options, " " + o->str() + " "));
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

// The manual's EXIT STATUS names every status the tool has (the constants of its common
// header), each as a tagged paragraph, and no other.
TEST(Cli, ManualListsEveryExitStatus) {
    const std::string source = std::string(VORNBACK_TEST_SOURCE_DIR) + "/..";
    const std::string header = test::ReadFile(source + "/cli/common.h");
    const std::string manual = test::ReadFile(source + "/packaging/vornback-cli.1");
    // The first group of every match of a pattern in a text.
    const auto numbers = [](const std::string& text, const char* pattern) {
        std::set<std::string> found;
        const std::regex r(pattern);
        for (std::sregex_iterator it(text.begin(), text.end(), r), end; it != end; ++it) {
            found.insert((*it)[1].str());
        }
        return found;
    };
    const std::set<std::string> statuses = numbers(header, "constexpr int k[A-Za-z]+ = ([0-9]+);");
    ASSERT_GE(statuses.size(), 6u);
    const size_t start = manual.find(".SH EXIT STATUS\n");
    ASSERT_NE(start, std::string::npos);
    const std::string section = manual.substr(start, manual.find("\n.SH ", start + 1) - start);
    EXPECT_EQ(numbers(section, "\\.TP\n\\.B ([0-9]+)\n"), statuses);
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

}  // namespace
}  // namespace vornback
