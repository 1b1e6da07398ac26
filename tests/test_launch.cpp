#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "base/data_tree.h"
#include "base/errors.h"
#include "startup/launch.h"
#include "startup/settings.h"
#include "support/temp_dir.h"

namespace vornback {
namespace {

using test::TempDir;

TEST(CommandLine, FieldsAsTheyStandAndTheFirmRoundedHalvesToEven) {
    // Without a comma the leading number of the whole line is the firm.
    // clang-format off
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"3,2,B", "3|2|B"}, {"3, 2 ,b", "3| 2 |b"}, {"3,2, B", "3|2| B"}, {"3,2,B,X", "3|2|B"},
        {"3,,", "3||"}, {"2.5,1,B", "2|1|B"}, {"3.5,1,B", "4|1|B"}, {" 12 ,1,B", "12|1|B"},
        {"-4,1,B", "-4|1|B"}, {"2147483647,1,B", "2147483647|1|B"}, {"7", "7||"}, {"", "0||"},
        {"abc", "0||"}, {"1 2 B", "12||"}, {"4.5 R", "4||"}, {"5.5", "6||"}};
    // clang-format on
    for (const auto& [text, fields] : cases) {
        const CommandLine line = ParseCommandLine(text);
        EXPECT_EQ(std::to_string(line.firmNo) + "|" + line.yearNo + "|" + line.mode, fields);
    }
    for (const char* bad :
         {"3,2", ",", "x,2,B", ",2,B", "3x,2,B", "2147483648,2,B", "99999999999"}) {
        EXPECT_THROW(ParseCommandLine(bad), UsageError) << bad;
    }
    const char* argv[] = {"vornback", "3,2,", "B"};
    EXPECT_EQ(JoinArguments(3, argv), "3,2, B");
}

TEST(DefaultBackupFolder, NetworkThenWritableVolumeRootThenHome) {
    struct Case {
        const char* program;
        DefaultFolderFacts facts;
        const char* expected;
    };
    // clang-format off
    const std::vector<Case> cases = {
        // Windows form: the drive root where VornBack may be made there, else the home.
        {"C:\\Acc\\Bkp", {{"", false}, true, "C:\\Users\\ann"}, "C:\\VornBack"},
        {"D:\\Bkp", {{"", false}, true, ""}, "D:\\VornBack"},
        {"C:\\Acc\\Bkp", {{"", false}, false, "C:\\Users\\ann"}, "C:\\Users\\ann\\VornBack"},
        {"C:\\Acc\\Bkp", {{"", false}, false, "C:\\Users\\ann\\"}, "C:\\Users\\ann\\VornBack"},
        {"\\\\server\\share\\Acc\\Bkp", {{"", false}, false, "C:\\Users\\ann"}, "\\\\server\\share\\Acc\\Bkp\\Back"},
        // Linux form: a data disk the person may write; the root file system or /home not.
        {"/mnt/data/acc/Bkp", {{"/mnt/data", false}, true, "/home/ann"}, "/mnt/data/VornBack"},
        {"/mnt/data/acc/Bkp", {{"/mnt/data/", false}, true, "/home/ann"}, "/mnt/data/VornBack"},
        {"/opt/acc/Bkp", {{"/", false}, true, "/root"}, "/VornBack"},
        {"/opt/acc/Bkp", {{"/", false}, false, "/home/ann"}, "/home/ann/VornBack"},
        {"/home/ann/acc/Bkp", {{"/home", false}, false, "/home/ann/"}, "/home/ann/VornBack"},
        {"/opt/acc/Bkp", {{"/", false}, false, ""}, "/VornBack"},  // no home known
        {"//server/share/acc/Bkp", {{"/", false}, true, "/home/ann"}, "//server/share/acc/Bkp/Back"},
        {"/net/acc/Bkp", {{"/net", true}, true, "/home/ann"}, "/net/acc/Bkp/Back"}};
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(DefaultBackupFolder(c.program, c.facts), c.expected) << c.program;
    }
}

TEST(DefaultBackupFolder, PlatformFactsFromMountsAccessAndHome) {
    const std::string mountInfo =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "30 22 8:2 / /mnt/data rw,relatime shared:2 - xfs /dev/sdb1 rw\n"
        "40 22 0:50 / /srv/acc\\040books rw,relatime - nfs4 srv:/export rw\n";
    EXPECT_EQ(VolumeFromMountInfo(mountInfo, "/home/acc/Bkp").root, "/");
    EXPECT_EQ(VolumeFromMountInfo(mountInfo, "/mnt/data/acc/Bkp").root, "/mnt/data");
    EXPECT_TRUE(VolumeFromMountInfo(mountInfo, "/srv/acc books/Bkp").network);
    EXPECT_FALSE(VolumeFromMountInfo("garbage\n\n1 2 3\n", "/x").network);

    // The home from $HOME, else the password entry; the root's access decides the rest.
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    unsetenv("HOME");
    const DefaultFolderFacts facts = LookUpDefaultFolderFacts("/tmp");
    EXPECT_FALSE(facts.homeFolder.empty());
    EXPECT_EQ(facts.mayWriteAtRoot, access(facts.volume.root.c_str(), W_OK | X_OK) == 0);
    setenv("HOME", "/home/ann", 1);
    EXPECT_EQ(LookUpDefaultFolderFacts("/tmp").homeFolder, "/home/ann");
    setenv("HOME", home.c_str(), 1);
}

class Startup : public ::testing::Test {
  protected:
    TempDir dir;
    std::string program = dir / "Acc/Bkp";
    DefaultFolderFacts facts{{"/", false}, false, "/home/ann"};
    void SetUp() override { std::filesystem::create_directories(program); }
    std::string Settings() const { return program + "/settings.ini"; }
    StartupDecision Decide(const char* line) { return DecideStartup(line, program, facts); }
};

TEST_F(Startup, BaseFoldersWindowAndStartFolder) {
    const ProgramValues v = Decide("3,2,B").values;
    EXPECT_EQ(std::to_string(v.CurrentFirmNo) + v.CurrentYearNo + v.LaunchMode, "32B");
    EXPECT_EQ(v.AppFolder + "|" + v.ProgramFolder, dir / "Acc|" + program);
    EXPECT_EQ(StagingFirmFolder(v, 12), program + "/Back/Firm12");
    EXPECT_EQ(Decide("3,2,R").window, StartWindow::Restore);
    for (const char* line : {"3,2,B", "3,2,r", "3,2, R", "", "7"}) {
        EXPECT_EQ(Decide(line).window, StartWindow::Backup) << line;
    }
    EXPECT_THROW(Decide("3,2"), UsageError);
    EXPECT_THROW(DecideStartup("3,2,B", "/ab", facts), UsageError);
    EXPECT_EQ(DecideStartup("3,2,B", "/Bkp", facts).values.AppFolder, "");

    // No settings file (a folder of that name is none): the default folder.
    EXPECT_EQ(Decide("3,2,B").StartLocation, "/home/ann/VornBack");
    std::filesystem::create_directory(Settings());
    EXPECT_EQ(Decide("3,2,B").StartLocation, "/home/ann/VornBack");
    std::filesystem::remove(Settings());

    test::WriteFile(Settings(), "[Back]\nBackType=1\n");  // a missing key: empty
    EXPECT_EQ(Decide("3,2,B").StartLocation, "");
    WriteSetting("Back", "LPath", "/backups/back", Settings());
    WriteSetting("Rest", "LPath", "/backups/rest", Settings());
    EXPECT_EQ(Decide("3,2,B").StartLocation, "/backups/back");
    // Neither "B" nor "R": the backup window, but the folder of the restore section.
    for (const char* line : {"3,2,R", "3,2,b", "3,2, B", "7", "3,2,"}) {
        EXPECT_EQ(Decide(line).StartLocation, "/backups/rest") << line;
    }
}

}  // namespace
}  // namespace vornback
