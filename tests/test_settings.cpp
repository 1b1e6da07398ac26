#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "startup/settings.h"
#include "startup/window_settings.h"
#include "support/temp_dir.h"

namespace vornback {
namespace {

using namespace test;

class Settings : public ::testing::Test {
  protected:
    TempDir dir;
    std::string file = dir / "settings.ini";
};

TEST_F(Settings, WriteThenReadWithoutRegardToCaseKeepingUnrelatedText) {
    EXPECT_EQ(ReadSetting("Back", "LPath", file), "");  // no file yet
    WriteFile(file,
              "; kept\r\n[Printer]\r\nName = Laser 1 \r\n\r\n[Back]\r\nBackType = 1\r\n"
              "; closing Back\r\n\r\n[Rest]\r\nLPath=/r\r\n; trailing");
    WriteSetting("Back", "CurYr", "1", file);
    WriteSetting("BACK", "backtype", "2", file);  // the file's spelling and place stay
    WriteSetting("New", "K", "v", file);
    EXPECT_EQ(ReadFile(file),
              "; kept\r\n[Printer]\r\nName = Laser 1 \r\n\r\n[Back]\r\nBackType=2\r\nCurYr=1\r\n"
              "; closing Back\r\n\r\n[Rest]\r\nLPath=/r\r\n; trailing\r\n[New]\r\nK=v\r\n");
    EXPECT_EQ(ReadSetting("printer", "NAME", file), "Laser 1");
    EXPECT_EQ(ReadSetting("rest", "Lpath", file), "/r");
}

TEST_F(Settings, ReadingCutsAt254TakesTheFirstDuplicateAndUnquotes) {
    const std::string longValue(300, 'm');
    WriteSetting("Back", "SendEMailAdd", longValue, file);
    EXPECT_EQ(ReadSetting("Back", "SendEMailAdd", file), std::string(254, 'm'));
    EXPECT_NE(ReadFile(file).find(longValue), std::string::npos);  // the file keeps it whole

    WriteFile(file, "[Back]\nLPath=first\nA=' x '\nB=\"\nLPath=second\n[back]\nLPath=third\n");
    EXPECT_EQ(ReadSetting("Back", "LPath", file), "first");
    EXPECT_EQ(ReadSetting("Back", "A", file), " x ");
    EXPECT_EQ(ReadSetting("Back", "B", file), "\"");
    WriteSetting("Back", "LPath", "new", file);
    EXPECT_EQ(ReadFile(file),
              "[Back]\nLPath=new\nA=' x '\nB=\"\nLPath=second\n[back]\nLPath=third\n");
    // Line breaks in a value cannot open new keys.
    WriteSetting("Back", "SendEMailAdd", "a@b.c\n[Rest]\nLPath=/evil", file);
    EXPECT_EQ(ReadSetting("Rest", "LPath", file), "");
    EXPECT_EQ(ReadSetting("Back", "SendEMailAdd", file), "a@b.c [Rest] LPath=/evil");
}

// A write that cannot be made says why, loses nothing and leaves no temporary file; the
// window choices it carried are named in one warning.
TEST_F(Settings, FailedWritesAreReportedAndLoseNothing) {
    WriteSetting("Back", "LPath", "old", file);
    const std::string readOnly = dir / "readonly.ini";
    WriteFile(readOnly, "[Back]\nLPath=old\n");
    chmod(readOnly.c_str(), 0444);
    const std::string folder = dir / "asfolder.ini";
    std::filesystem::create_directory(folder);
    const struct {
        std::string file;
        const char* reason;  // "" for a write that works
        const char* readBack;
    } cases[] = {
        {file, "", "new"},
        {dir / "nofolder/settings.ini", "no new copy can be made beside it", ""},
        {readOnly, "the file is read-only", "old"},
        {folder, "it is not a plain file", ""},
    };
    for (const auto& c : cases) {
        const std::string why = WriteSetting("Back", "LPath", "new", c.file);
        EXPECT_EQ(why.substr(0, std::string(c.reason).size()), c.reason) << c.file << ": " << why;
        EXPECT_EQ(why.empty(), std::string(c.reason).empty()) << c.file;
        EXPECT_EQ(ReadSetting("Back", "LPath", c.file), c.readBack) << c.file;
        const std::string warning = SaveBackupChoices(c.file, nullptr, 1, 1, 0, 0) +
                                    SaveRestoreChoices(c.file, "/r", 2, 0) +
                                    SaveEmailAddress(c.file, "a@b.c");
        if (*c.reason == '\0') {
            EXPECT_EQ(warning, "");
        } else {
            for (const char* named : {"not saved", "BackType, AdvSet, IncAtcDoc, CurYr.",
                                      "LPath, RestType, AdvSet.", "SendEMailAdd.", c.reason}) {
                EXPECT_NE(warning.find(named), std::string::npos) << named << " in " << warning;
            }
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "nofolder"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 3)
        << "no temporary file stays beside the settings";
    WriteFile(file, std::string("\xff\0[Back\0\nBackType\x80=\x01\n", 16));
    EXPECT_EQ(NumericSetting(ReadSetting("Back", "BackType", file)), 0);
}

TEST(NumericSetting, LeadingNumberRoundedHalvesToEvenWithin16Bits) {
    const std::vector<std::pair<const char*, int>> cases = {
        {"2", 2},   {"2x", 2},  {"abc", 0},       {"", 0},      {" 1 ", 1},    {"-1", -1},
        {"0.5", 0}, {"1.5", 2}, {"32767", 32767}, {"32768", 0}, {"-40000", 0}, {"1e400", 0}};
    for (const auto& [text, number] : cases) {
        EXPECT_EQ(NumericSetting(text), number) << text;
    }
}

TEST_F(Settings, WindowChoicesLoadAsPlainValuesAndSaveInTheirSectionsInOrder) {
    // Nothing stored: every choice reads as 0 or "".
    const BackupWindowSettings none = LoadBackupWindowSettings(file);
    EXPECT_EQ(none.BackType + none.CurYr + none.IncAtcDoc + none.AdvSet, 0);
    EXPECT_EQ(LoadRestoreWindowSettings(file).RestType, 0);
    EXPECT_EQ(ReadStartLocation(file, "B"), "");

    const std::string others = "/backups";
    SaveBackupChoices(file, nullptr, 0, 1, 0, 1);  // "Default Directory": no folder written
    SaveBackupChoices(file, &others, 7, 1, 1, 0);  // any index beyond 1 is stored as 2
    SaveEmailAddress(file, "a@b.c");
    SaveRestoreChoices(file, "/r", -1, 1);
    EXPECT_EQ(ReadFile(file),
              "[Back]\nBackType=2\nAdvSet=1\nIncAtcDoc=1\nCurYr=0\n"
              "LPath=/backups\nSendEMailAdd=a@b.c\n[Rest]\nLPath=/r\nRestType=-1\n"
              "AdvSet=1\n");
    const BackupWindowSettings back = LoadBackupWindowSettings(file);
    EXPECT_EQ(std::vector<int>({back.BackType, back.CurYr, back.IncAtcDoc, back.AdvSet}),
              std::vector<int>({2, 0, 1, 1}));
    EXPECT_EQ(back.SendEMailAdd, "a@b.c");
    EXPECT_EQ(LoadRestoreWindowSettings(file).RestType, -1);
    EXPECT_EQ(LoadRestoreWindowSettings(file).AdvSet, 1);
    // Start-up reads the backup section's folder only for exactly "B".
    EXPECT_EQ(ReadStartLocation(file, "B"), "/backups");
    EXPECT_EQ(ReadStartLocation(file, "b"), "/r");
    WriteFile(file, "[back]\nbacktype=2x\nADVSET=abc\n[REST]\nresttype= 3\n");
    EXPECT_EQ(LoadBackupWindowSettings(file).BackType, 2);
    EXPECT_EQ(LoadBackupWindowSettings(file).AdvSet, 0);
    EXPECT_EQ(LoadRestoreWindowSettings(file).RestType, 3);
}

}  // namespace
}  // namespace vornback
