// The registers against real SQLCipher files: opening and its refusals, every typed
// statement on real rows, the 16-bit rule, dates, and the staged firm database's layouts.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "base/errors.h"
#include "platform/file_system.h"
#include "restore/staged_firm.h"
#include "store/registers.h"
#include "support/scripted_dialogs.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using test::QueryValue;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// The text of the DatabaseError that the call throws; "no DatabaseError" when none.
std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const DatabaseError& e) {
        return e.what();
    }
    return "no DatabaseError";
}

Database Make(const std::string& path, const char* key, void (*schema)(Database&)) {
    Database db = Database::Create(path, key);
    schema(db);
    return db;
}
Database MakeRoot(const std::string& path) {
    return Make(path, kRootPassword, CreateRootSchema);
}
Database MakeFirm(const std::string& path) {
    return Make(path, kFirmPassword, CreateFirmSchema);
}

std::string Cannot(const std::string& path, const std::string& why) {
    return "The database file \"" + path + "\" could not be opened because " + why + ".";
}

TEST(Registers, OpenRefusesWithAPlainReason) {
    ASSERT_TRUE(CipherAvailable());
    TempDir dir;
    const std::string root = dir / "Root.mdb", text = dir / "notes.mdb", empty = dir / "e.mdb";
    const std::string plain = dir / "DVorn2.mdb", missing = dir / "Firm9.mdb";
    MakeRoot(root).Close();
    Database::Create(plain, "").Execute("CREATE TABLE Vouchers (VchNo INTEGER);");
    WriteFile(text, std::string(4096, 'x'));
    WriteFile(empty, "");
    fs::create_directory(dir / "Folder.mdb");
    // The file is really encrypted: no SQLite header, no readable table name.
    EXPECT_NE(ReadFile(root).substr(0, 15), "SQLite format 3");
    EXPECT_EQ(ReadFile(root).find("TALVERNR01"), std::string::npos);
    EXPECT_EQ(ReadFile(plain).substr(0, 15), "SQLite format 3");
    EXPECT_TRUE(Database::Open(root, kRootPassword).IsOpen());
    EXPECT_TRUE(Database::Open(plain, "").IsOpen());

    const std::string wrongKey =
        "its password is wrong or it is not a database; check that the "
        "file belongs to this firm and is not damaged";
    const struct {
        std::string path, key, error;
    } cases[] = {
        {root, kFirmPassword, Cannot(root, wrongKey)},
        {root, "", Cannot(root, wrongKey)},
        {plain, kYearPassword, Cannot(plain, wrongKey)},
        {text, kFirmPassword, Cannot(text, wrongKey)},
        {text, "", Cannot(text, wrongKey)},
        {missing, kFirmPassword,
         Cannot(missing, "it does not exist; check that the data folder is complete")},
        {empty, "", Cannot(empty, "the file is empty, not a database; restore it from a backup")},
        {dir / "Folder.mdb", "",
         Cannot(dir / "Folder.mdb", "it is a folder or a device, not a database file")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf([&] { Database::Open(c.path, c.key); }), c.error);
    }
    EXPECT_EQ(ErrorOf([&] { Database::Create(text, ""); }),
              "The database file \"" + text +
                  "\" could not be created because a file of that name exists.");
    // Refused files are left as they were, and a missing one is never made.
    EXPECT_EQ(ReadFile(text), std::string(4096, 'x'));
    EXPECT_EQ(fs::file_size(empty), 0u);
    EXPECT_FALSE(fs::exists(missing));
}

TEST(Registers, ConnectionCanBeClosedReopenedAndMoved) {
    TempDir dir;
    const std::string path = dir / "Firm1.mdb";
    Database db = MakeFirm(path);
    AddYearRow(db, YearRow{1, {2021, 4, 1}, {2022, 3, 31}});
    db.Close();
    EXPECT_EQ(
        ErrorOf([&] { HighestYearNumber(db); }),
        "The database file \"" + path + "\" could not be used because it was already closed.");
    Database moved = Database::Open(path, kFirmPassword);
    moved = Database::Open(path, kFirmPassword);  // the replaced connection closes
    AddYearRow(moved, YearRow{2, {2022, 4, 1}, {2023, 3, 31}});
    EXPECT_EQ(HighestYearNumber(moved), 2);
}

TEST(Registers, Dates) {
    for (const auto& [text, date] :
         std::vector<std::pair<const char*, Date>>{{"31/03/2025", {2025, 3, 31}},
                                                   {"29/02/2024", {2024, 2, 29}},
                                                   {"01/04/2024", {2024, 4, 1}}}) {
        EXPECT_EQ(ParseDisplayDate(text), date) << text;
        EXPECT_EQ(DisplayDate(date), text);
        EXPECT_EQ(ParseIsoDate(IsoDate(date)), date);
    }
    EXPECT_EQ(ParseIsoDate("2000-02-29"), (Date{2000, 2, 29}));
    EXPECT_EQ(IsoDate(Date{987, 12, 5}), "0987-12-05");
    for (const char* bad :
         {"31/02/2024", "29/02/2023", "29/02/1900", "31/04/2024", "00/01/2024", "01/13/2024",
          "1/4/2024", "01-04-2024", "01/04/2024 ", "0a/04/2024", "", "01/04/0000"}) {
        EXPECT_FALSE(ParseDisplayDate(bad)) << bad;
    }
    for (const char* bad :
         {"2024-02-30", "2024-4-1", "2024/04/01", "2024-04-01x", "2024-00-10", "+024-04-01"}) {
        EXPECT_FALSE(ParseIsoDate(bad)) << bad;
    }
}

TEST(Registers, RootRegisterStatements) {
    TempDir dir;
    Database root = MakeRoot(dir / "Root.mdb");
    EXPECT_EQ(HighestFirmNumber(root), std::nullopt);
    AddFirmRow(root, FirmRow{kReservedFirmNo, "Demo", 1, "", "DEMO"});
    EXPECT_EQ(HighestFirmNumber(root), std::nullopt) << "1001 alone is no highest number";
    // Quotes, SQL and non-ASCII text are stored as they stand.
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
    // Only the named columns are written; the rest keep the table's defaults, ColF too.
    EXPECT_EQ(QueryValue(root,
                         "SELECT ColF || '|' || ColName || '|' || ColActive || '|' || "
                         "ColCreated FROM TALVERNR01 WHERE Col99 = 2"),
              "||1|2000-01-01");
    AddFirmRow(root, FirmRow{1002, "Late", 1, "", "LAT"});
    EXPECT_EQ(HighestFirmNumber(root), 1002);
}

TEST(Registers, FirmDatabaseOwnRowAndRenumbering) {
    TempDir dir;
    const std::string path = dir / "Firm5.mdb";
    Database firm = MakeFirm(path);
    EXPECT_EQ(FirstFirmRow(firm), std::nullopt);
    firm.Execute(
        "INSERT INTO TALVERNR01 (Col99, Col98, ColL, ColF, ColName) VALUES "
        "(5, 'Zeta', 2, 'ZET', 'Zeta Stores'), (5, 'Alpha', 7, 'ALP', 'Alpha Stores');");
    const auto first = FirstFirmRow(firm);
    ASSERT_TRUE(first);
    EXPECT_EQ(std::tie(first->Col99, first->Col98, first->ColL, first->ColF),
              std::make_tuple(int16_t{5}, std::string("Alpha"), int16_t{7}, std::string("ALP")));
    RenumberFirmRows(firm, 12);
    // Every row gets the number, and nothing else changes.
    EXPECT_EQ(test::QueryRows(firm, "SELECT Col99, ColName FROM TALVERNR01 ORDER BY Col98"),
              "12|Alpha Stores|\n12|Zeta Stores|\n");
    // A copied column without a value is a failure, not an empty text.
    firm.Execute("UPDATE TALVERNR01 SET ColF = NULL WHERE Col98 = 'Alpha';");
    EXPECT_EQ(ErrorOf([&] { FirstFirmRow(firm); }),
              "The database file \"" + path +
                  "\" could not be read because the short name (ColF of TALVERNR01) is empty; "
                  "the file may be damaged, restore it from a backup.");
}

TEST(Registers, YearRegisterStatements) {
    TempDir dir;
    const std::string path = dir / "Firm3.mdb";
    Database firm = MakeFirm(path);
    EXPECT_EQ(HighestYearNumber(firm), std::nullopt);
    // Entered out of order: the list follows the first day, not the number.
    AddYearRow(firm, YearRow{2, {2013, 4, 1}, {2014, 3, 31}});
    AddYearRow(firm, YearRow{1, {2014, 4, 1}, {2015, 3, 31}});
    AddYearRow(firm, YearRow{3, {2012, 4, 1}, {2013, 3, 31}});
    std::string listed;
    for (const YearRow& y : YearsInOrder(firm)) {
        listed +=
            std::to_string(y.Col99) + " " + DisplayDate(y.Col98) + "-" + DisplayDate(y.Col97) + ",";
    }
    EXPECT_EQ(listed, "3 01/04/2012-31/03/2013,2 01/04/2013-31/03/2014,1 01/04/2014-31/03/2015,");
    EXPECT_EQ(HighestYearNumber(firm), 3);
    EXPECT_EQ(QueryValue(firm,
                         "SELECT Col98 || Col97 || ColLocked || ColRemark FROM TALVERNF01 "
                         "WHERE Col99 = 2"),
              "2013-04-012014-03-310");
    // Both days must match.
    EXPECT_TRUE(YearPeriodTaken(firm, {2013, 4, 1}, {2014, 3, 31}));
    EXPECT_FALSE(YearPeriodTaken(firm, {2013, 4, 1}, {2014, 3, 30}));
    EXPECT_FALSE(YearPeriodTaken(firm, {2013, 4, 2}, {2014, 3, 31}));
    // Impossible days are refused before anything is written.
    EXPECT_EQ(ErrorOf([&] {
                  AddYearRow(firm, YearRow{4, {2015, 2, 30}, {2016, 3, 31}});
              }),
              "The first day 30/2/2015 could not be put in the register because it is not a "
              "calendar date.");
    EXPECT_EQ(YearsInOrder(firm).size(), 3u);
    firm.Execute("INSERT INTO TALVERNF01 (Col99, Col98, Col97) VALUES (9, '31/03/2016', 'x');");
    EXPECT_EQ(ErrorOf([&] { YearsInOrder(firm); }),
              "The database file \"" + path +
                  "\" could not be read because the first day (Col98 of TALVERNF01) holds "
                  "\"31/03/2016\" where a date (YYYY-MM-DD) belongs; the file may be damaged, "
                  "restore it from a backup.");
}

TEST(Registers, NumbersMustFitSixteenBits) {
    EXPECT_EQ(CheckedRegisterNumber(32767, "n"), 32767);
    EXPECT_EQ(CheckedRegisterNumber(-32768, "n"), -32768);
    TempDir dir;
    const std::string rootPath = dir / "Root.mdb", firmPath = dir / "Firm4.mdb";
    Database root = MakeRoot(rootPath);
    Database firm = MakeFirm(firmPath);
    AddFirmRow(root, FirmRow{4, "Four", 1, "", "FOU"});
    const auto stored = [](const std::string& path, const std::string& what) {
        return "The database file \"" + path + "\" could not be read because " + what +
               "; the file may be damaged, restore it from a backup.";
    };
    const std::string range =
        " could not be put in the register because register numbers run "
        "from -32768 to 32767.";
    // Arguments that do not fit are refused before anything is written.
    EXPECT_EQ(ErrorOf([&] { RenumberFirmRows(root, 70000); }), "The new firm number 70000" + range);
    EXPECT_EQ(ErrorOf([&] { FirmNumberTaken(root, -40000); }), "The firm number -40000" + range);
    EXPECT_EQ(AllFirmRows(root)[0].Col99, 4);
    // A stored number out of range or not a number is an error, never a wrapped value.
    root.Execute("INSERT INTO TALVERNR01 (Col99, Col98) VALUES (40000, 'Big');");
    firm.Execute(
        "INSERT INTO TALVERNF01 VALUES (40000, '2020-04-01', '2021-03-31', 0, '');"
        "INSERT INTO TALVERNF01 VALUES ('seven', '2021-04-01', '2022-03-31', 0, '');");
    const std::string bigFirm =
        "the firm number (Col99 of TALVERNR01) holds 40000, beyond the "
        "register numbers -32768 to 32767";
    EXPECT_EQ(ErrorOf([&] { AllFirmRows(root); }), stored(rootPath, bigFirm));
    EXPECT_EQ(ErrorOf([&] { HighestFirmNumber(root); }),
              stored(rootPath, "the highest " + bigFirm.substr(4)));
    EXPECT_EQ(ErrorOf([&] { YearsInOrder(firm); }),
              stored(firmPath,
                     "the year number (Col99 of TALVERNF01) holds 40000, beyond the "
                     "register numbers -32768 to 32767"));
    firm.Execute("DELETE FROM TALVERNF01 WHERE Col99 = 40000;");
    EXPECT_EQ(ErrorOf([&] { YearsInOrder(firm); }),
              stored(firmPath,
                     "the year number (Col99 of TALVERNF01) holds \"seven\" where a "
                     "whole number belongs"));
}

// The program folder <tmp>/Acct/Bin gives the data root <tmp>/Acct.
class Connections : public ::testing::Test {
  protected:
    Connections() {
        values.ProgramFolder = (dir.Path() / "Acct" / "Bin").string();
        values.AppFolder = (dir.Path() / "Acct").string();
        values.CurrentFirmNo = 12;
        fs::create_directories(values.ProgramFolder);
    }
    std::string Staging(const std::string& rest) const {
        return values.ProgramFolder + "/Back/" + rest;
    }
    void MakeStagedFirm(const std::string& path, int16_t firmNo) {
        fs::create_directories(fs::path(path).parent_path());
        MakeFirm(path).Execute("INSERT INTO TALVERNR01 (Col99, Col98, ColL, ColF) VALUES (" +
                               std::to_string(firmNo) + ", 'Staged', 1, 'STG');");
    }
    TempDir dir;
    ProgramValues values;
    LocalFileSystem fileSystem;
    test::ScriptedDialogs dialogs;
};

TEST_F(Connections, RootAndFirmDatabasesOfTheDataTree) {
    const std::string rootPath = values.AppFolder + "/Root.mdb";
    const std::string firmPath = values.AppFolder + "/Firm12/Firm12.mdb";
    const std::string missing = "it does not exist; check that the data folder is complete";
    EXPECT_EQ(ErrorOf([&] { OpenRootConnection(values); }), Cannot(rootPath, missing));
    EXPECT_EQ(ErrorOf([&] { OpenFirmConnection(values); }), Cannot(firmPath, missing));
    MakeRoot(rootPath);
    fs::create_directories(values.AppFolder + "/Firm12");
    MakeFirm(firmPath);
    EXPECT_EQ(OpenRootConnection(values).Path(), rootPath);
    EXPECT_EQ(OpenFirmConnection(values).Path(), firmPath);
    // Each kind has its own password: the root register does not open as a firm database.
    fs::copy_file(rootPath, firmPath, fs::copy_options::overwrite_existing);
    EXPECT_THROW(OpenFirmConnection(values), DatabaseError);
}

// The firm database at the top of the staging folder, or one level down in a folder of
// the firm's name: the staging folder follows it. Without one: "Invalid Backup File", the
// staging folder gone, the program ended; with a wrong password: a database failure.
TEST_F(Connections, StagedFirmDatabase) {
    for (const std::string inner : {"", "Firm5/"}) {
        fs::remove_all(Staging(""));
        std::string staging = Staging("Firm5");
        MakeStagedFirm(Staging("Firm5/" + inner + "Firm5.mdb"), 5);
        Database db = OpenStagedFirmConnection(values, 5, staging, fileSystem, dialogs);
        EXPECT_EQ(db.Path(), Staging("Firm5/" + inner + "Firm5.mdb"));
        EXPECT_EQ(staging + "/", Staging("Firm5/" + inner));
        EXPECT_EQ(FirstFirmRow(db)->Col98, "Staged");
    }
    EXPECT_TRUE(dialogs.shown.empty());

    MakeStagedFirm(Staging("Firm6/Firm7.mdb"), 7);  // another firm's database
    for (int firmNo : {6, 8}) {                     // 8: nothing unpacked at all
        test::ScriptedDialogs refused;
        std::string staging = Staging("Firm" + std::to_string(firmNo));
        EXPECT_THROW(OpenStagedFirmConnection(values, firmNo, staging, fileSystem, refused),
                     ProgramEnd);
        EXPECT_EQ(refused.shown, (std::vector<Message>{{"Invalid Backup File", "Restore",
                                                        Buttons::Ok, Icon::Exclamation}}));
        EXPECT_FALSE(fs::exists(staging));
    }
    EXPECT_TRUE(fs::exists(values.ProgramFolder + "/Back"));

    std::string staging = Staging("Firm5");
    fs::remove_all(staging);
    fs::create_directories(staging);
    Database::Create(Staging("Firm5/Firm5.mdb"), kRootPassword).Close();
    EXPECT_THROW(OpenStagedFirmConnection(values, 5, staging, fileSystem, dialogs), DatabaseError);
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(fs::exists(Staging("Firm5/Firm5.mdb")));
}

}  // namespace
}  // namespace vornback
