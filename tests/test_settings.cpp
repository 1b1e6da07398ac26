#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>
#include <filesystem>

#include "startup/settings.h"
#include "support/temp_dir.h"

namespace vornback {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(Settings, WriteThenReadWithoutRegardToCase) {
    TempDir dir;
    const std::string file = dir / "settings.ini";
    EXPECT_EQ(ReadSetting("Back", "LPath", file), "");  // no file yet
    WriteSetting("Back", "LPath", "/backups", file);
    WriteSetting("Back", "BackType", "2", file);
    WriteSetting("Rest", "RestType", "-1", file);
    EXPECT_EQ(ReadFile(file), "[Back]\nLPath=/backups\nBackType=2\n[Rest]\nRestType=-1\n");
    EXPECT_EQ(ReadSetting("back", "Lpath", file), "/backups");
    EXPECT_EQ(ReadSetting("BACK", "backtype", file), "2");
    EXPECT_EQ(ReadSetting("Rest", "RestType", file), "-1");
    EXPECT_EQ(ReadSetting("Rest", "LPath", file), "");
    EXPECT_EQ(ReadSetting("Other", "LPath", file), "");

    // Replacing keeps the spelling already in the file and the key's place.
    WriteSetting("BACK", "lpath", "/other", file);
    EXPECT_EQ(ReadFile(file), "[Back]\nLPath=/other\nBackType=2\n[Rest]\nRestType=-1\n");
    WriteSetting("Back", "LPath", "", file);
    EXPECT_EQ(ReadSetting("Back", "LPath", file), "");
}

TEST(Settings, UnrelatedTextIsKeptByteForByte) {
    TempDir dir;
    const std::string file = dir / "settings.ini";
    const std::string before =
        "; kept comment\r\n"
        "[Printer]\r\n"
        "Name = Laser 1 \r\n"
        "\r\n"
        "[Back]\r\n"
        "BackType = 1\r\n"
        "; comment closing Back\r\n"
        "\r\n"
        "[Rest]\r\n"
        "LPath=/r\r\n"
        "; trailing comment";
    WriteFile(file, before);
    WriteSetting("Back", "CurYr", "1", file);
    WriteSetting("Back", "BackType", "2", file);
    WriteSetting("New", "K", "v", file);
    EXPECT_EQ(ReadFile(file),
              "; kept comment\r\n"
              "[Printer]\r\n"
              "Name = Laser 1 \r\n"
              "\r\n"
              "[Back]\r\n"
              "BackType=2\r\n"
              "CurYr=1\r\n"
              "; comment closing Back\r\n"
              "\r\n"
              "[Rest]\r\n"
              "LPath=/r\r\n"
              "; trailing comment\r\n"
              "[New]\r\n"
              "K=v\r\n");
    EXPECT_EQ(ReadSetting("Printer", "Name", file), "Laser 1");
}

TEST(Settings, ReadingCutsAt254AndTakesTheFirstDuplicate) {
    TempDir dir;
    const std::string file = dir / "settings.ini";
    const std::string longValue(300, 'm');
    WriteSetting("Back", "SendEMailAdd", longValue, file);
    EXPECT_EQ(ReadSetting("Back", "SendEMailAdd", file), std::string(254, 'm'));
    // The whole value stays in the file.
    EXPECT_NE(ReadFile(file).find(longValue), std::string::npos);

    // A cut never splits a UTF-8 character.
    const std::string utf8 = std::string(253, 'a') + "\xC3\xA9" + "zz";
    WriteSetting("Back", "U", utf8, file);
    EXPECT_EQ(ReadSetting("Back", "U", file), std::string(253, 'a'));

    WriteFile(file, "[Back]\nLPath=first\nLPath=second\n[back]\nLPath=third\n");
    EXPECT_EQ(ReadSetting("Back", "LPath", file), "first");
    WriteSetting("Back", "LPath", "new", file);
    EXPECT_EQ(ReadFile(file), "[Back]\nLPath=new\nLPath=second\n[back]\nLPath=third\n");

    WriteFile(file, "[Back]\nLPath=\"/quoted path\"\nA=' x '\nB=\"\n");
    EXPECT_EQ(ReadSetting("Back", "LPath", file), "/quoted path");
    EXPECT_EQ(ReadSetting("Back", "A", file), " x ");
    EXPECT_EQ(ReadSetting("Back", "B", file), "\"");
}

TEST(Settings, LineBreaksInAValueCannotOpenNewKeys) {
    TempDir dir;
    const std::string file = dir / "settings.ini";
    WriteSetting("Back", "SendEMailAdd", "a@b.c\n[Rest]\nLPath=/evil", file);
    EXPECT_EQ(ReadSetting("Rest", "LPath", file), "");
    EXPECT_EQ(ReadSetting("Back", "SendEMailAdd", file), "a@b.c [Rest] LPath=/evil");
}

TEST(Settings, FailedWritesAreSilentAndLoseNothing) {
    TempDir dir;
    // Missing folder: nothing happens, nothing is thrown.
    const std::string missing = dir / "nofolder/settings.ini";
    EXPECT_NO_THROW(WriteSetting("Back", "LPath", "x", missing));
    EXPECT_FALSE(std::filesystem::exists(missing));

    // A read-only file keeps its old value.
    const std::string file = dir / "settings.ini";
    WriteSetting("Back", "LPath", "old", file);
    chmod(file.c_str(), 0444);
    WriteSetting("Back", "LPath", "new", file);
    EXPECT_EQ(ReadSetting("Back", "LPath", file), "old");

    // A folder where the file should be.
    const std::string folder = dir / "asfolder.ini";
    std::filesystem::create_directory(folder);
    EXPECT_NO_THROW(WriteSetting("Back", "LPath", "x", folder));
    EXPECT_EQ(ReadSetting("Back", "LPath", folder), "");

    // No temporary file is left beside the settings.
    size_t count = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
        (void)e;
        ++count;
    }
    EXPECT_EQ(count, 2u);  // settings.ini and asfolder.ini, nothing else
}

TEST(Settings, GarbageNeverStopsTheProgram) {
    TempDir dir;
    const std::string file = dir / "settings.ini";
    std::string garbage;
    for (int i = 0; i < 5000; ++i) {
        garbage.push_back(static_cast<char>((i * 7919) % 256));
    }
    WriteFile(file, garbage);
    EXPECT_NO_THROW(ReadSetting("Back", "BackType", file));
    EXPECT_EQ(NumericSetting(ReadSetting("Back", "BackType", file)), 0);
    WriteSetting("Back", "BackType", "1", file);
    EXPECT_EQ(ReadSetting("Back", "BackType", file), "1");
}

TEST(Settings, NumericReadingRule) {
    EXPECT_EQ(NumericSetting("2"), 2);
    EXPECT_EQ(NumericSetting("2x"), 2);
    EXPECT_EQ(NumericSetting("abc"), 0);
    EXPECT_EQ(NumericSetting(""), 0);
    EXPECT_EQ(NumericSetting(" 1 "), 1);
    EXPECT_EQ(NumericSetting("-1"), -1);
    EXPECT_EQ(NumericSetting("0.5"), 0);
    EXPECT_EQ(NumericSetting("1.5"), 2);
    EXPECT_EQ(NumericSetting("32767"), 32767);
    // Numbers the program never writes must not stop it.
    EXPECT_EQ(NumericSetting("32768"), 0);
    EXPECT_EQ(NumericSetting("-40000"), 0);
    EXPECT_EQ(NumericSetting("1e400"), 0);
}

}  // namespace
}  // namespace vornback
