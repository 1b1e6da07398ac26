#include <gtest/gtest.h>

#include "base/data_tree.h"
#include "base/errors.h"
#include "startup/launch.h"
#include "startup/settings.h"
#include "support/temp_dir.h"

namespace vornback {
namespace {

using test::TempDir;

TEST(CommandLine, ThreeFieldsAsTheyStand) {
    auto c = ParseCommandLine("3,2,B");
    EXPECT_EQ(c.firmNo, 3);
    EXPECT_EQ(c.yearNo, "2");
    EXPECT_EQ(c.mode, "B");

    c = ParseCommandLine("3,2, B");
    EXPECT_EQ(c.mode, " B");  // no trimming
    c = ParseCommandLine("3, 2 ,b");
    EXPECT_EQ(c.yearNo, " 2 ");
    EXPECT_EQ(c.mode, "b");

    c = ParseCommandLine("3,2,B,X");  // fields after the third are ignored
    EXPECT_EQ(c.mode, "B");
    c = ParseCommandLine("3,,");
    EXPECT_EQ(c.firmNo, 3);
    EXPECT_EQ(c.yearNo, "");
    EXPECT_EQ(c.mode, "");
}

TEST(CommandLine, FirmNumberRoundsHalvesToEven) {
    EXPECT_EQ(ParseCommandLine("2.5,1,B").firmNo, 2);
    EXPECT_EQ(ParseCommandLine("3.5,1,B").firmNo, 4);
    EXPECT_EQ(ParseCommandLine(" 12 ,1,B").firmNo, 12);
    EXPECT_EQ(ParseCommandLine("-4,1,B").firmNo, -4);
    EXPECT_EQ(ParseCommandLine("2147483647,1,B").firmNo, 2147483647);
}

TEST(CommandLine, WithoutCommaTheLeadingNumberIsTheFirm) {
    auto c = ParseCommandLine("7");
    EXPECT_EQ(c.firmNo, 7);
    EXPECT_EQ(c.yearNo, "");
    EXPECT_EQ(c.mode, "");
    EXPECT_EQ(ParseCommandLine("").firmNo, 0);
    EXPECT_EQ(ParseCommandLine("abc").firmNo, 0);
    EXPECT_EQ(ParseCommandLine("1 2 B").firmNo, 12);  // blanks are ignored inside the number
    EXPECT_EQ(ParseCommandLine("4.5 R").firmNo, 4);
    EXPECT_EQ(ParseCommandLine("5.5").firmNo, 6);
}

TEST(CommandLine, UnreadableLinesAreRefused) {
    EXPECT_THROW(ParseCommandLine("3,2"), UsageError);
    EXPECT_THROW(ParseCommandLine(","), UsageError);
    EXPECT_THROW(ParseCommandLine("x,2,B"), UsageError);
    EXPECT_THROW(ParseCommandLine(",2,B"), UsageError);
    EXPECT_THROW(ParseCommandLine("3x,2,B"), UsageError);
    EXPECT_THROW(ParseCommandLine("2147483648,2,B"), UsageError);
    EXPECT_THROW(ParseCommandLine("99999999999"), UsageError);
    try {
        ParseCommandLine("3,2");
        FAIL();
    } catch (const UsageError& e) {
        EXPECT_NE(std::string(e.what()).find("3,2"), std::string::npos);
    }
}

TEST(CommandLine, ArgumentsJoinWithSingleBlanks) {
    const char* argv[] = {"vornback", "3,2,", "B"};
    EXPECT_EQ(JoinArguments(3, argv), "3,2, B");
    EXPECT_EQ(JoinArguments(1, argv), "");
}

TEST(DefaultBackupFolder, WindowsAndLinuxForms) {
    EXPECT_EQ(DefaultBackupFolder("C:\\Acc\\Bkp", "", false), "C:\\VornBack");
    EXPECT_EQ(DefaultBackupFolder("D:\\Bkp", "", false), "D:\\VornBack");
    EXPECT_EQ(DefaultBackupFolder("\\\\server\\share\\Acc\\Bkp", "", false),
              "\\\\server\\share\\Acc\\Bkp\\Back");
    EXPECT_EQ(DefaultBackupFolder("/home/acc/Bkp", "/", false), "/VornBack");
    EXPECT_EQ(DefaultBackupFolder("/mnt/data/acc/Bkp", "/mnt/data", false), "/mnt/data/VornBack");
    EXPECT_EQ(DefaultBackupFolder("/mnt/data/acc/Bkp", "/mnt/data/", false), "/mnt/data/VornBack");
    EXPECT_EQ(DefaultBackupFolder("//server/share/acc/Bkp", "/", false),
              "//server/share/acc/Bkp/Back");
    // A network file system mounted locally counts as a network path.
    EXPECT_EQ(DefaultBackupFolder("/net/acc/Bkp", "/net", true), "/net/acc/Bkp/Back");
}

TEST(DefaultBackupFolder, VolumeFromMountInfo) {
    const std::string mountInfo =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "30 22 8:2 / /mnt/data rw,relatime shared:2 - xfs /dev/sdb1 rw\n"
        "31 22 0:40 / /mnt/data2 rw - ext4 /dev/sdc1 rw\n"
        "40 22 0:50 / /srv/acc\\040books rw,relatime - nfs4 srv:/export rw\n"
        "41 22 0:51 / /srv/smb rw - cifs //srv/x rw\n";
    auto v = VolumeFromMountInfo(mountInfo, "/home/acc/Bkp");
    EXPECT_EQ(v.root, "/");
    EXPECT_FALSE(v.network);
    v = VolumeFromMountInfo(mountInfo, "/mnt/data/acc/Bkp");
    EXPECT_EQ(v.root, "/mnt/data");
    v = VolumeFromMountInfo(mountInfo, "/mnt/data2/Bkp");  // not /mnt/data: a longer name
    EXPECT_EQ(v.root, "/mnt/data2");
    v = VolumeFromMountInfo(mountInfo, "/srv/acc books/Bkp");
    EXPECT_EQ(v.root, "/srv/acc books");
    EXPECT_TRUE(v.network);
    EXPECT_TRUE(VolumeFromMountInfo(mountInfo, "/srv/smb/a/Bkp").network);
    EXPECT_FALSE(VolumeFromMountInfo("garbage\n\n1 2 3\n", "/x").network);
}

class Startup : public ::testing::Test {
  protected:
    TempDir dir;
    std::string program = dir / "Acc/Bkp";
    VolumeInfo volume{"/", false};
    void SetUp() override { std::filesystem::create_directories(program); }
    std::string Settings() const { return program + "/settings.ini"; }
};

TEST_F(Startup, BaseFoldersAndWindowChoice) {
    auto d = DecideStartup("3,2,B", program, volume);
    EXPECT_EQ(d.values.CurrentFirmNo, 3);
    EXPECT_EQ(d.values.CurrentYearNo, "2");
    EXPECT_EQ(d.values.LaunchMode, "B");
    EXPECT_EQ(d.values.ProgramFolder, program);
    EXPECT_EQ(d.values.AppFolder, dir / "Acc");
    EXPECT_EQ(d.window, StartWindow::Backup);
    EXPECT_EQ(RootDatabase(d.values), dir / "Acc/Root.mdb");
    EXPECT_EQ(FirmDatabase(d.values, 12), dir / "Acc/Firm12/Firm12.mdb");
    EXPECT_EQ(YearDatabase(d.values, 12, "2"), dir / "Acc/Firm12/Yr2/DVorn2.mdb");
    EXPECT_EQ(StagingFirmFolder(d.values, 12), program + "/Back/Firm12");

    EXPECT_EQ(DecideStartup("3,2,R", program, volume).window, StartWindow::Restore);
    EXPECT_EQ(DecideStartup("3,2,r", program, volume).window, StartWindow::Backup);
    EXPECT_EQ(DecideStartup("3,2, R", program, volume).window, StartWindow::Backup);
    EXPECT_EQ(DecideStartup("", program, volume).values.CurrentFirmNo, 0);
    EXPECT_EQ(DecideStartup("", program, volume).window, StartWindow::Backup);
}

TEST_F(Startup, WithoutSettingsTheDefaultFolderIsShown) {
    EXPECT_EQ(DecideStartup("3,2,B", program, volume).StartLocation, "/VornBack");
    EXPECT_EQ(DecideStartup("3,2,R", program, {"/", true}).StartLocation, program + "/Back");
    // A folder of that name is not a settings file.
    std::filesystem::create_directory(Settings());
    EXPECT_EQ(DecideStartup("3,2,B", program, volume).StartLocation, "/VornBack");
}

TEST_F(Startup, WithSettingsTheModeChoosesTheSection) {
    WriteSetting("Back", "LPath", "/backups/back", Settings());
    WriteSetting("Rest", "LPath", "/backups/rest", Settings());
    EXPECT_EQ(DecideStartup("3,2,B", program, volume).StartLocation, "/backups/back");
    EXPECT_EQ(DecideStartup("3,2,R", program, volume).StartLocation, "/backups/rest");
    // Neither "B" nor "R": the backup window, but the folder of the restore section.
    for (const char* line : {"3,2,b", "3,2, B", "7", "3,2,"}) {
        auto d = DecideStartup(line, program, volume);
        EXPECT_EQ(d.window, StartWindow::Backup) << line;
        EXPECT_EQ(d.StartLocation, "/backups/rest") << line;
    }
}

TEST_F(Startup, AMissingKeyGivesAnEmptyFolder) {
    test::WriteFile(Settings(), "[Back]\nBackType=1\n");
    EXPECT_EQ(DecideStartup("3,2,B", program, volume).StartLocation, "");
    EXPECT_EQ(DecideStartup("3,2,R", program, volume).StartLocation, "");
}

TEST_F(Startup, RefusesWhatCannotBeRead) {
    EXPECT_THROW(DecideStartup("3,2", program, volume), UsageError);
    EXPECT_THROW(DecideStartup("x,2,B", program, volume), UsageError);
    EXPECT_THROW(DecideStartup("3,2,B", "/ab", volume), UsageError);
    EXPECT_THROW(DecideStartup("3,2,B", "", volume), UsageError);
    // Four characters leave the volume root as the data root.
    EXPECT_EQ(DecideStartup("3,2,B", "/Bkp", volume).values.AppFolder, "");
}

}  // namespace
}  // namespace vornback
