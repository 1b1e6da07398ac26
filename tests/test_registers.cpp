// The registers against real SQLCipher files: opening and its refusals, every typed
// statement on real rows, the 16-bit rule and dates. (The connections of the data tree and
// the staged firm database's layouts are tried by the restore runs.)
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "base/errors.h"
#include "store/registers.h"
#include "support/refusal.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace test;

const auto ErrorOf = [](const std::function<void()>& call) {
    return ErrorText<DatabaseError>(call);
};

// A new root register, or a new firm database with its two registers.
Database Make(const std::string& path, bool root = false) {
    Database db = Database::Create(path, root ? kRootPassword : kFirmPassword);
    root ? CreateRootSchema(db) : CreateFirmSchema(db);
    return db;
}

std::string Cannot(const std::string& path, const std::string& why) {
    return "The database file \"" + path + "\" could not be opened because " + why + ".";
}
std::string Damaged(const std::string& path, const std::string& what) {
    return "The database file \"" + path + "\" could not be read because " + what +
           "; the file may be damaged, restore it from a backup.";
}

TEST(Registers, OpenRefusesWithAPlainReason) {
    ASSERT_TRUE(CipherAvailable());
    TempDir dir;
    const std::string root = dir / "Root.mdb", text = dir / "notes.mdb", empty = dir / "e.mdb";
    const std::string plain = dir / "DVorn2.mdb", missing = dir / "Firm9.mdb";
    Make(root, true).Close();
    Database::Create(plain, "").Close();
    test::WriteFile(text, std::string(4096, 'x'));
    test::WriteFile(empty, "");
    fs::create_directory(dir / "Folder.mdb");
    // The file is really encrypted: no SQLite header, no readable table name.
    EXPECT_NE(ReadFile(root).substr(0, 15), "SQLite format 3");
    EXPECT_EQ(ReadFile(root).find("TALVERNR01"), std::string::npos);
    EXPECT_EQ(ReadFile(plain).substr(0, 15), "SQLite format 3");
    const std::string wrongKey =
        "its password is wrong or it is not a database; check that the file belongs to this "
        "firm and is not damaged";
    const struct {
        std::string path, key, error;
    } cases[] = {
        // clang-format off
        {root, kFirmPassword, Cannot(root, wrongKey)},
        {root, "", Cannot(root, wrongKey)},
        {plain, kYearPassword, Cannot(plain, wrongKey)},
        {text, "", Cannot(text, wrongKey)},
        {missing, kFirmPassword,
         Cannot(missing, "it does not exist; check that the data folder is complete")},
        {empty, "", Cannot(empty, "the file is empty, not a database; restore it from a backup")},
        {dir / "Folder.mdb", "",
         Cannot(dir / "Folder.mdb", "it is a folder or a device, not a database file")},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf([&] { Database::Open(c.path, c.key); }), c.error);
    }
    EXPECT_NO_THROW(Database::Open(root, kRootPassword));
    EXPECT_NO_THROW(Database::Open(plain, ""));
    EXPECT_EQ(ErrorOf([&] { Database::Create(text, ""); }),
              "The database file \"" + text +
                  "\" could not be created because a file of that name exists.");
    // Refused files are left as they were, and a missing one is never made.
    EXPECT_EQ(ReadFile(text), std::string(4096, 'x'));
    EXPECT_EQ(fs::file_size(empty), 0u);
    EXPECT_FALSE(fs::exists(missing));
    // A closed connection refuses statements; a replaced one closes.
    Database db = Database::Open(root, kRootPassword);
    db.Close();
    EXPECT_EQ(
        ErrorOf([&] { HighestFirmNumber(db); }),
        "The database file \"" + root + "\" could not be used because it was already closed.");
    db = Database::Open(root, kRootPassword);
    db = Database::Open(root, kRootPassword);
    EXPECT_EQ(HighestFirmNumber(db), std::nullopt);
}

TEST(Registers, Dates) {
    // clang-format off
    const std::pair<const char*, Date> good[] = {
        {"31/03/2025", {2025, 3, 31}}, {"29/02/2024", {2024, 2, 29}}, {"01/04/0987", {987, 4, 1}}};
    // clang-format on
    for (const auto& [text, date] : good) {
        EXPECT_EQ(ParseDisplayDate(text), date) << text;
        EXPECT_EQ(DisplayDate(date), text);
        EXPECT_EQ(ParseIsoDate(IsoDate(date)), date);
    }
    EXPECT_EQ(IsoDate(Date{2000, 2, 29}), "2000-02-29");
    for (const char* bad :
         {"31/02/2024", "29/02/2023", "29/02/1900", "31/04/2024", "00/01/2024", "01/13/2024",
          "1/4/2024", "01-04-2024", "01/04/2024 ", "", "01/04/0000"}) {
        EXPECT_FALSE(ParseDisplayDate(bad)) << bad;
    }
    for (const char* bad : {"2024-02-30", "2024-4-1", "2024/04/01", "2024-04-01x", "+024-04-01"}) {
        EXPECT_FALSE(ParseIsoDate(bad)) << bad;
    }
}

TEST(Registers, RootRegisterStatements) {
    TempDir dir;
    Database root = Make(dir / "Root.mdb", true);
    EXPECT_EQ(HighestFirmNumber(root), std::nullopt);
    AddFirmRow(root, FirmRow{kReservedFirmNo, "Demo", 1, "", "DEMO"});
    EXPECT_EQ(HighestFirmNumber(root), std::nullopt) << "1001 alone is no highest number";
    // Quotes, SQL and non-ASCII text are stored as they stand; ColF is never written.
    const std::string tricky = "O'Brien & Sons\"; DROP TABLE TALVERNR01; --";
    AddFirmRow(root, FirmRow{3, "Gamma", 2, "", "GAM"});
    AddFirmRow(root, FirmRow{1, tricky, 1, "", "O'B"});
    AddFirmRow(root, FirmRow{2, "Müller Ünal — Çağ", 3, "ignored", "MÜL"});
    EXPECT_EQ(HighestFirmNumber(root), 3);
    for (int n : {1, 2, 3, 4, 0, int{kReservedFirmNo}}) {
        EXPECT_EQ(FirmNumberTaken(root, n), n != 0 && n != 4) << n;
    }
    std::string listed;
    for (const FirmRow& r : AllFirmRows(root)) {
        listed += std::to_string(r.Col99) + "|" + r.Col98 + "|" + std::to_string(r.ColL) + "|" +
                  r.ColF + "|" + r.ColShort + "\n";
    }
    EXPECT_EQ(listed, "1|" + tricky + "|1||O'B\n2|Müller Ünal — Çağ|3||MÜL\n3|Gamma|2||GAM\n" +
                          "1001|Demo|1||DEMO\n");
    // The columns the system never names keep the table's defaults.
    EXPECT_EQ(
        QueryRows(root, "SELECT ColName, ColActive, ColCreated FROM TALVERNR01 WHERE Col99 = 2"),
        "|1|2000-01-01|\n");
    AddFirmRow(root, FirmRow{1002, "Late", 1, "", "LAT"});
    EXPECT_EQ(HighestFirmNumber(root), 1002);
}

// The firm database: its own row, renumbering, and the year register.
TEST(Registers, FirmDatabaseStatements) {
    TempDir dir;
    const std::string path = dir / "Firm5.mdb";
    Database firm = Make(path);
    EXPECT_EQ(FirstFirmRow(firm), std::nullopt);
    EXPECT_EQ(HighestYearNumber(firm), std::nullopt);
    firm.Execute(
        "INSERT INTO TALVERNR01 (Col99, Col98, ColL, ColF, ColName) VALUES "
        "(5, 'Zeta', 2, 'ZET', 'Zeta Stores'), (5, 'Alpha', 7, 'ALP', 'Alpha Stores');");
    const FirmRow first = FirstFirmRow(firm).value();
    EXPECT_EQ(std::tie(first.Col99, first.Col98, first.ColL, first.ColF),
              std::make_tuple(int16_t{5}, std::string("Alpha"), int16_t{7}, std::string("ALP")));
    RenumberFirmRows(firm, 12);
    // Every row gets the number, and nothing else changes.
    EXPECT_EQ(QueryRows(firm, "SELECT Col99, ColName FROM TALVERNR01 ORDER BY Col98"),
              "12|Alpha Stores|\n12|Zeta Stores|\n");
    // A copied column without a value is a failure, not an empty text.
    firm.Execute("UPDATE TALVERNR01 SET ColF = NULL WHERE Col98 = 'Alpha';");
    EXPECT_EQ(ErrorOf([&] { FirstFirmRow(firm); }),
              Damaged(path, "the short name (ColF of TALVERNR01) is empty"));

    // Entered out of order: the list follows the first day, not the number.
    AddYearRow(firm, YearRow{2, {2013, 4, 1}, {2014, 3, 31}});
    AddYearRow(firm, YearRow{1, {2014, 4, 1}, {2015, 3, 31}});
    AddYearRow(firm, YearRow{3, {2012, 4, 1}, {2013, 3, 31}});
    std::string listed;
    for (const YearRow& y : YearsInOrder(firm)) {
        listed += std::to_string(y.Col99) + " " + IsoDate(y.Col98) + " " + IsoDate(y.Col97) + ",";
    }
    EXPECT_EQ(listed, "3 2012-04-01 2013-03-31,2 2013-04-01 2014-03-31,1 2014-04-01 2015-03-31,");
    EXPECT_EQ(HighestYearNumber(firm), 3);
    EXPECT_EQ(QueryRows(firm, "SELECT * FROM TALVERNF01 WHERE Col99 = 2"),
              "2|2013-04-01|2014-03-31|0||\n");
    // Both days must match.
    EXPECT_TRUE(YearPeriodTaken(firm, {2013, 4, 1}, {2014, 3, 31}));
    EXPECT_FALSE(YearPeriodTaken(firm, {2013, 4, 1}, {2014, 3, 30}));
    EXPECT_FALSE(YearPeriodTaken(firm, {2013, 4, 2}, {2014, 3, 31}));
}

// Numbers and days that do not fit are refused before anything is written; stored ones
// are reported with their value and column, never wrapped or guessed.
TEST(Registers, ValuesThatDoNotFit) {
    EXPECT_EQ(CheckedRegisterNumber(32767, "n"), 32767);
    EXPECT_EQ(CheckedRegisterNumber(-32768, "n"), -32768);
    TempDir dir;
    const std::string rootPath = dir / "Root.mdb", firmPath = dir / "Firm4.mdb";
    Database root = Make(rootPath, true), firm = Make(firmPath);
    AddFirmRow(root, FirmRow{4, "Four", 1, "", "FOU"});
    const std::string range =
        " could not be put in the register because register numbers run from -32768 to 32767.";
    const std::string beyond = ", beyond the register numbers -32768 to 32767";
    const std::string big = " (Col99 of TALVERNR01) holds 40000" + beyond;
    const std::string year = "the year number (Col99 of TALVERNF01) holds ";
    const struct {
        std::string stored;
        std::function<void()> call;
        std::string error;
    } cases[] = {
        // clang-format off
        {"", [&] { RenumberFirmRows(root, 70000); }, "The new firm number 70000" + range},
        {"", [&] { FirmNumberTaken(root, -40000); }, "The firm number -40000" + range},
        {"", [&] { AddYearRow(firm, YearRow{4, {2015, 2, 30}, {2016, 3, 31}}); },
         "The first day 30/2/2015 could not be put in the register because it is not a calendar "
         "date."},
        {"INSERT INTO TALVERNR01 (Col99, Col98) VALUES (40000, 'Big')", [&] { AllFirmRows(root); },
         Damaged(rootPath, "the firm number" + big)},
        {"", [&] { HighestFirmNumber(root); }, Damaged(rootPath, "the highest firm number" + big)},
        {"INSERT INTO TALVERNF01 VALUES (40000, '2020-04-01', '2021-03-31', 0, '')",
         [&] { YearsInOrder(firm); }, Damaged(firmPath, year + "40000" + beyond)},
        {"UPDATE TALVERNF01 SET Col99 = 'seven'", [&] { YearsInOrder(firm); },
         Damaged(firmPath, year + "\"seven\" where a whole number belongs")},
        {"UPDATE TALVERNF01 SET Col99 = 7, Col98 = '31/03/2016'", [&] { YearsInOrder(firm); },
         Damaged(firmPath, "the first day (Col98 of TALVERNF01) holds \"31/03/2016\" where a "
                           "date (YYYY-MM-DD) belongs")},
        // clang-format on
    };
    for (const auto& c : cases) {
        if (!c.stored.empty()) {
            (c.stored.find("TALVERNF01") != std::string::npos ? firm : root).Execute(c.stored);
        }
        EXPECT_EQ(ErrorOf(c.call), c.error);
    }
    EXPECT_EQ(QueryRows(root, "SELECT Col99 FROM TALVERNR01 ORDER BY Col99"), "4|\n40000|\n");
    EXPECT_EQ(QueryRows(firm, "SELECT Col99 FROM TALVERNF01"), "7|\n");
}

}  // namespace
}  // namespace vornback
