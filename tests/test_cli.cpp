// The headless tool end to end: exit statuses, and a make-sample, pack, verify, unpack
// round trip that must give back identical files and modification times.
#include <gtest/gtest.h>

#include <filesystem>

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
    EXPECT_EQ(RunCommand(Cli("make-sample")), 2);
    EXPECT_EQ(RunCommand(Cli("make-sample /tmp/x --firms")), 2);
    EXPECT_EQ(RunCommand(Cli("make-sample /tmp/x --firms many")), 2);
    EXPECT_EQ(RunCommand(Cli("make-sample /tmp/x --scale -1")), 2);
    EXPECT_EQ(RunCommand(Cli("pack onlyone")), 2);
    EXPECT_EQ(RunCommand(Cli("pack a b --exclude")), 2);
    EXPECT_EQ(RunCommand(Cli("unpack a")), 2);
    EXPECT_EQ(RunCommand(Cli("verify")), 2);
    EXPECT_EQ(RunCommand(Cli("--help")), 0);
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

}  // namespace
}  // namespace vornback
