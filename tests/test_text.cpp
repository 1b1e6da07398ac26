#include <gtest/gtest.h>

#include <climits>
#include <limits>

#include "base/names.h"
#include "base/text.h"

namespace vornback {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Text, LeadingNumber) {
    // clang-format off
    const std::pair<const char*, double> cases[] = {
        {"2x", 2}, {"abc", 0}, {"", 0}, {"-12.5kg", -12.5}, {"+7", 7}, {".5", 0.5}, {"1e3", 1000},
        {"1D2", 100}, {"1.2.3", 1.2}, {"-", 0}, {"1e-400", 0}, {"-1e-400", 0}, {"1e400", kInf},
        {"-1e400", -kInf},
        // An exponent letter without digits ends the number before it.
        {"3e", 3}, {"3ex", 3},
        // Blanks, tabs and line feeds are ignored anywhere; a carriage return stops it.
        {" 1 2\t3\n4", 1234}, {"\t- 5", -5}, {"1\r2", 1}};
    // clang-format on
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(LeadingNumber(text), value) << text;
    }
    EXPECT_EQ(ParseDecimal("+2.5"), 2.5);
    EXPECT_EQ(ParseDecimal("x"), 0.0);
}

TEST(Text, RoundHalfEven) {
    const struct {
        double value;
        int64_t lo, hi;
        std::optional<int64_t> rounded;
    } cases[] = {// clang-format off
        {2.5, 0, 100, 2}, {3.5, 0, 100, 4}, {-2.5, -100, 100, -2}, {2.4999, 0, 100, 2},
        {2.5001, 0, 100, 3}, {32767.4, INT16_MIN, INT16_MAX, 32767},
        {32767.5, INT16_MIN, INT16_MAX, std::nullopt}, {-32768.5, INT16_MIN, INT16_MAX, -32768},
        {1e300, INT32_MIN, INT32_MAX, std::nullopt}, {kInf, 0, 1, std::nullopt}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(RoundHalfEven(c.value, c.lo, c.hi), c.rounded) << c.value;
    }
}

TEST(Text, DecimalNumbersLowerCaseAndJoins) {
    for (const char* number : {"12", "-1.5", "3."}) {
        EXPECT_TRUE(IsDecimalNumber(number)) << number;
    }
    for (const char* other : {"", ".", "1x", " 1", "1e3"}) {
        EXPECT_FALSE(IsDecimalNumber(other)) << other;
    }
    EXPECT_EQ(ToLower("Firm12YR"), "firm12yr");
    EXPECT_EQ(ToLower("Äb"), "Äb");  // only ASCII letters fold
    EXPECT_EQ(TrimBlanks(" \t a b\t "), "a b");
    EXPECT_EQ(JoinPath("/data", "Firm3"), "/data/Firm3");
    // A trailing separator typed by the person is kept, so it doubles.
    EXPECT_EQ(JoinPath("/data/", "Firm3"), "/data//Firm3");
}

// The one folder and name of a path, and the one size for a sentence.
TEST(Text, PathPartsAndSizes) {
    const struct {
        const char* path;
        const char* folder;
        const char* name;
    } paths[] = {// clang-format off
        {"name", ".", "name"}, {"/x", "/", "x"}, {"/a/b", "/a", "b"}, {"a/b/", "a/b", ""},
        {"/", "/", ""}, {"", ".", ""}, {"a//b", "a/", "b"}};
    // clang-format on
    for (const auto& p : paths) {
        EXPECT_EQ(FolderOf(p.path), p.folder) << p.path;
        EXPECT_EQ(NameOf(p.path), p.name) << p.path;
    }
    const std::pair<uint64_t, const char*> sizes[] = {
        // clang-format off
        {0, "0.0 KB"}, {512, "0.5 KB"}, {1048575, "1024.0 KB"}, {1048576, "1.0 MB"},
        {1572864, "1.5 MB"}, {1073741823, "1024.0 MB"}, {1073741824, "1.00 GB"},
        {uint64_t{5} << 40, "5120.00 GB"}};
    // clang-format on
    for (const auto& [bytes, text] : sizes) {
        EXPECT_EQ(SizeText(bytes), text) << bytes;
    }
}

// Every data-tree and archive name: what it reads back as, and that the name it is formatted
// from reads back the same. A name in another letter case reads the same but is written in
// the system's case.
TEST(Names, RoundTrip) {
    enum Kind { FirmFolder, YearFolder, FirmDb, YearDb };
    using Parse = std::optional<int64_t> (*)(std::string_view);
    const Parse parsers[] = {ParseFirmFolderName, ParseYearFolderName, ParseFirmDatabaseName,
                             ParseYearDatabaseName};
    using Format = std::string (*)(int64_t);
    const Format formats[] = {FirmFolderName, YearFolderName, FirmDatabaseName, YearDatabaseName};
    const struct {
        Kind kind;
        const char* name;
        std::optional<int64_t> number;
    } numbered[] = {// clang-format off
        {FirmFolder, "Firm3", 3}, {FirmFolder, "Firm120", 120}, {FirmFolder, "FIRM3", 3},
        {FirmFolder, "firm0", 0}, {FirmFolder, "Firm", {}}, {FirmFolder, "Firm03", {}},
        {FirmFolder, "Firm3a", {}}, {FirmFolder, "Firm-3", -3}, {FirmFolder, "Firm3.mdb", {}},
        {FirmFolder, "Frm3", {}}, {FirmFolder, "Firm1234567890123456789", {}},
        {YearFolder, "Yr2", 2}, {YearFolder, "yR17", 17}, {YearFolder, "Yr-3", -3},
        {YearFolder, "Yr-0", {}}, {YearFolder, "Yr-", {}}, {YearFolder, "Yr", {}},
        {YearFolder, "Yr 2", {}}, {YearFolder, "Year2", {}},
        {FirmDb, "Firm3.mdb", 3}, {FirmDb, "firm3.MDB", 3}, {FirmDb, "Firm3", {}},
        {FirmDb, "Firm.mdb", {}}, {FirmDb, "Firm3.mdbx", {}}, {FirmDb, "Firm3Yr1.mdb", {}},
        {YearDb, "DVorn2.mdb", 2}, {YearDb, "dvorn2.Mdb", 2}, {YearDb, "DVorn.mdb", {}},
        {YearDb, "Vorn2.mdb", {}}, {YearDb, "DVorn2.zip", {}}};
    // clang-format on
    for (const auto& row : numbered) {
        EXPECT_EQ(parsers[row.kind](row.name), row.number) << row.name;
        if (row.number) {
            EXPECT_EQ(parsers[row.kind](formats[row.kind](*row.number)), row.number) << row.name;
            EXPECT_EQ(ToLower(formats[row.kind](*row.number)), ToLower(row.name));
        }
    }
    EXPECT_EQ(YearFolderName("2"), "Yr2");
    EXPECT_EQ(YearDatabaseName("2"), "DVorn2.mdb");
    EXPECT_EQ(ParseFirmLockName(FirmLockName(12)), 12);
    EXPECT_EQ(ParseFirmLockName(".FIRM-3.LOCK"), -3);
    for (const char* other : {"Firm3.lock", ".Firm3.staging.lock", ".Firm03.lock", ".Firm.lock"}) {
        EXPECT_EQ(ParseFirmLockName(other), std::nullopt) << other;
    }
    EXPECT_EQ(StagingLockName(4), ".Firm4.staging.lock");
    EXPECT_TRUE(IsRootDatabaseName(kRootDatabaseName));
    EXPECT_TRUE(IsRootDatabaseName("ROOT.mdb"));
    EXPECT_FALSE(IsRootDatabaseName("Root.mdb.bak"));

    const struct {
        const char* name;
        std::optional<ArchiveName> archive;
    } archives[] = {// clang-format off
        {"Firm3.zip", ArchiveName{3, "", false}}, {"OFirm3.zip", ArchiveName{3, "", true}},
        {"Firm3Yr2.zip", ArchiveName{3, "2", false}}, {"OFirm12Yr10.zip", ArchiveName{12, "10", true}},
        {"firm3yr2.ZIP", ArchiveName{3, "2", false}}, {"oFIRM3.zip", ArchiveName{3, "", true}},
        {"Firm.zip", {}}, {"Firm3Yr.zip", {}}, {"FirmYr2.zip", {}}, {"OOFirm3.zip", {}},
        {"Firm3.zip.partial-1-0a", {}}, {".Firm3.zip", {}}, {"Firm3Yr2x.zip", {}},
        {"Firm03.zip", {}}, {"Firm3.tar", {}}, {"Firm3", {}}, {"XFirm3.zip", {}}};
    // clang-format on
    for (const auto& [name, archive] : archives) {
        EXPECT_EQ(ParseArchiveName(name), archive) << name;
        if (archive) {
            EXPECT_EQ(ToLower(FormatArchiveName(*archive)), ToLower(name));
        }
    }
    // A restore reads the firm from any file name the way the host did.
    const struct {
        const char* name;
        std::optional<int64_t> firm;
    } sources[] = {{"Firm12.zip", 12}, {"Firm12Yr3.zip", 12},    {"Firm007.zip", 7},
                   {"FirmX3.zip", 0},  {"Firm.zip", 0},          {"Backup.zip", 0},
                   {"abcd5", 5},       {"Firm32767.zip", 32767}, {"Firm32768.zip", {}}};
    for (const auto& [name, firm] : sources) {
        EXPECT_EQ(ArchiveFirmNumber(name, 32767), firm) << name;
    }

    const struct {
        const char* name;
        bool date;
    } dates[] = {{"20150314", true},    {"20240229", true},  {"20230229", false},
                 {"20151314", false},   {"20150300", false}, {"2015031", false},
                 {"2015-03-14", false}, {"00000101", false}, {"20151231", true},
                 {"20150431", false}};
    for (const auto& [name, date] : dates) {
        const auto today = ParseDateFolderName(name);
        EXPECT_EQ(today.has_value(), date) << name;
        if (today) {
            EXPECT_EQ(DateFolderName(*today), name);
        }
    }
    EXPECT_EQ(DateFolderName(Today{2015, 3, 4, "Wednesday"}), "20150304");
    // The tests run in the C locale's language.
    EXPECT_EQ(DayFolderName(Today{2015, 3, 14, "Saturday"}), "Saturday");
    for (const char* day : {"Monday", "sunday", "SATURDAY"}) {
        EXPECT_TRUE(IsDayFolderName(day)) << day;
    }
    for (const char* day : {"Mon", "Samstag", "", "Saturday1"}) {
        EXPECT_FALSE(IsDayFolderName(day)) << day;
    }
}

}  // namespace
}  // namespace vornback
