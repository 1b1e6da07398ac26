// The registers against real SQLCipher files: opening and its refusals, every typed
// statement on real rows, the 16-bit rule, dates, and the staged firm database's layouts.
#include <gtest/gtest.h>

#include <filesystem>
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
using test::ReadFile;
using test::ScriptedDialogs;
using test::TempDir;
using test::WriteFile;

// The text of the DatabaseError that the call throws; fails the test when it throws none.
template <typename F>
std::string DatabaseErrorOf(F&& call) {
    try {
        call();
    } catch (const DatabaseError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no DatabaseError";
    return "";
}

Database MakeRoot(const std::string& path) {
    Database db = Database::Create(path, kRootPassword);
    CreateRootSchema(db);
    return db;
}

Database MakeFirm(const std::string& path) {
    Database db = Database::Create(path, kFirmPassword);
    CreateFirmSchema(db);
    return db;
}

FirmRow Firm(int16_t no, const std::string& key, int16_t colL, const std::string& shortName) {
    return FirmRow{no, key, colL, "", shortName};
}

Date D(int y, int m, int d) {
    return Date{y, m, d};
}

TEST(Registers, CipherIsLinkedIn) {
    EXPECT_TRUE(CipherAvailable());
}

TEST(Registers, OpenChecksFileAndPassword) {
    TempDir dir;
    const std::string path = dir / "Root.mdb";
    MakeRoot(path).Close();

    // The file is really encrypted: no SQLite header, no readable table name.
    const std::string bytes = ReadFile(path);
    EXPECT_NE(bytes.substr(0, 15), "SQLite format 3");
    EXPECT_EQ(bytes.find("TALVERNR01"), std::string::npos);

    EXPECT_TRUE(Database::Open(path, kRootPassword).IsOpen());
    for (const std::string& key : {std::string(kFirmPassword), std::string()}) {
        const std::string error = DatabaseErrorOf([&] { Database::Open(path, key); });
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find("wrong password or not a database"), std::string::npos) << error;
    }

    // A missing file is reported and never created.
    const std::string missing = dir / "Firm9.mdb";
    const std::string error = DatabaseErrorOf([&] { Database::Open(missing, kFirmPassword); });
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_NE(error.find("no such file"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(missing));

    // Files that are not databases, and a folder, are refused and left as they were.
    const std::string text = dir / "notes.mdb";
    WriteFile(text, std::string(4096, 'x'));
    EXPECT_NE(DatabaseErrorOf([&] {
                  Database::Open(text, kFirmPassword);
              }).find("wrong password or not a database"),
              std::string::npos);
    EXPECT_NE(DatabaseErrorOf([&] { Database::Open(text, ""); }).find("not a database"),
              std::string::npos);
    EXPECT_EQ(ReadFile(text), std::string(4096, 'x'));
    const std::string empty = dir / "empty.mdb";
    WriteFile(empty, "");
    EXPECT_NE(DatabaseErrorOf([&] { Database::Open(empty, kFirmPassword); }).find(empty),
              std::string::npos);
    EXPECT_EQ(fs::file_size(empty), 0u);
    fs::create_directory(dir / "Folder.mdb");
    EXPECT_NE(DatabaseErrorOf([&] { Database::Open(dir / "Folder.mdb", ""); }).find("not a file"),
              std::string::npos);

    // Creating over an existing file is refused and the file keeps its contents.
    EXPECT_NE(DatabaseErrorOf([&] { Database::Create(text, ""); }).find("exists"),
              std::string::npos);
    EXPECT_EQ(ReadFile(text), std::string(4096, 'x'));

    // A year database is plain or carries the year password; each fails with the other key.
    const std::string plain = dir / "DVorn2.mdb";
    const std::string locked = dir / "DVorn1.mdb";
    Database::Create(plain, "").Execute("CREATE TABLE Vouchers (VchNo INTEGER);");
    Database::Create(locked, kYearPassword).Execute("CREATE TABLE Vouchers (VchNo INTEGER);");
    EXPECT_EQ(ReadFile(plain).substr(0, 15), "SQLite format 3");
    EXPECT_NE(ReadFile(locked).substr(0, 15), "SQLite format 3");
    EXPECT_TRUE(Database::Open(plain, "").IsOpen());
    EXPECT_TRUE(Database::Open(locked, kYearPassword).IsOpen());
    EXPECT_THROW(Database::Open(plain, kYearPassword), DatabaseError);
    EXPECT_THROW(Database::Open(locked, ""), DatabaseError);
}

TEST(Registers, ConnectionCanBeClosedReopenedAndMoved) {
    TempDir dir;
    const std::string path = dir / "Firm1.mdb";
    {
        Database db = MakeFirm(path);
        AddYearRow(db, YearRow{1, D(2021, 4, 1), D(2022, 3, 31)});
        db.Close();
        EXPECT_FALSE(db.IsOpen());
        EXPECT_THROW(db.Execute("SELECT 1;"), DatabaseError);
        EXPECT_THROW(HighestYearNumber(db), DatabaseError);
    }
    Database first = Database::Open(path, kFirmPassword);
    first.Close();
    Database second = Database::Open(path, kFirmPassword);
    EXPECT_EQ(HighestYearNumber(second), 1);
    Database moved = std::move(second);
    EXPECT_EQ(moved.Path(), path);
    AddYearRow(moved, YearRow{2, D(2022, 4, 1), D(2023, 3, 31)});
    moved = Database::Open(path, kFirmPassword);  // the replaced connection closes
    EXPECT_EQ(HighestYearNumber(moved), 2);
}

TEST(Registers, Dates) {
    EXPECT_EQ(ParseIsoDate("2024-04-01"), D(2024, 4, 1));
    EXPECT_EQ(ParseDisplayDate("31/03/2025"), D(2025, 3, 31));
    EXPECT_EQ(ParseDisplayDate("29/02/2024"), D(2024, 2, 29));
    EXPECT_EQ(ParseIsoDate("2000-02-29"), D(2000, 2, 29));
    for (const char* bad :
         {"31/02/2024", "29/02/2023", "29/02/1900", "31/04/2024", "00/01/2024", "01/13/2024",
          "1/4/2024", "01-04-2024", "01/04/24", "01/04/2024 ", "0a/04/2024", "", "01/04/0000"}) {
        EXPECT_FALSE(ParseDisplayDate(bad)) << bad;
    }
    for (const char* bad : {"2024-02-30", "2024-4-1", "2024/04/01", "2024-04-01x", "24-04-01",
                            "2024-00-10", "+024-04-01"}) {
        EXPECT_FALSE(ParseIsoDate(bad)) << bad;
    }
    EXPECT_EQ(DisplayDate(D(2024, 4, 1)), "01/04/2024");
    EXPECT_EQ(IsoDate(D(987, 12, 5)), "0987-12-05");
    const Date d = D(2023, 11, 30);
    EXPECT_EQ(ParseDisplayDate(DisplayDate(d)), d);
    EXPECT_EQ(ParseIsoDate(IsoDate(d)), d);
}

TEST(Registers, RootRegisterStatements) {
    TempDir dir;
    Database root = MakeRoot(dir / "Root.mdb");
    EXPECT_EQ(HighestFirmNumber(root), std::nullopt);
    EXPECT_FALSE(FirmNumberTaken(root, 1));

    AddFirmRow(root, Firm(kReservedFirmNo, "Demo", 1, "DEMO"));
    EXPECT_EQ(HighestFirmNumber(root), std::nullopt) << "1001 alone is no highest number";
    EXPECT_TRUE(FirmNumberTaken(root, kReservedFirmNo));

    // Quotes, SQL and non-ASCII text are stored as they stand.
    const std::string tricky = "O'Brien & Sons\"; DROP TABLE TALVERNR01; --";
    AddFirmRow(root, Firm(3, "Gamma", 2, "GAM"));
    AddFirmRow(root, Firm(1, tricky, 1, "O'B"));
    AddFirmRow(root, Firm(2, "Müller Ünal — Çağ", 3, "MÜL"));
    EXPECT_EQ(HighestFirmNumber(root), 3);
    EXPECT_TRUE(FirmNumberTaken(root, 2));
    EXPECT_FALSE(FirmNumberTaken(root, 4));
    EXPECT_FALSE(FirmNumberTaken(root, 0));

    const auto rows = AllFirmRows(root);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].Col99, 1);
    EXPECT_EQ(rows[0].Col98, tricky);
    EXPECT_EQ(rows[0].ColShort, "O'B");
    EXPECT_EQ(rows[1].Col99, 2);
    EXPECT_EQ(rows[1].Col98, "Müller Ünal — Çağ");
    EXPECT_EQ(rows[1].ColL, 3);
    EXPECT_EQ(rows[1].ColShort, "MÜL");
    EXPECT_EQ(rows[3].Col99, kReservedFirmNo);

    // Only the named columns are written; the rest keep the table's defaults, ColF too.
    EXPECT_EQ(test::QueryValue(root, "SELECT ColF FROM TALVERNR01 WHERE Col99 = 2"), "");
    EXPECT_EQ(test::QueryValue(root,
                               "SELECT ColName || '|' || ColCity || '|' || ColActive || '|' || "
                               "ColCreated FROM TALVERNR01 WHERE Col99 = 2"),
              "||1|2000-01-01");

    // A number at the reserved one's side: 1000 and 1002 count, 1001 does not.
    AddFirmRow(root, Firm(1002, "Late", 1, "LAT"));
    EXPECT_EQ(HighestFirmNumber(root), 1002);
}

TEST(Registers, FirmDatabaseOwnRowAndRenumbering) {
    TempDir dir;
    Database firm = MakeFirm(dir / "Firm5.mdb");
    EXPECT_EQ(FirstFirmRow(firm), std::nullopt);

    firm.Execute(
        "INSERT INTO TALVERNR01 (Col99, Col98, ColL, ColF, ColName) VALUES "
        "(5, 'Zeta', 2, 'ZET', 'Zeta Stores'), (5, 'Alpha', 7, 'ALP', 'Alpha Stores');");
    const auto first = FirstFirmRow(firm);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Col98, "Alpha");
    EXPECT_EQ(first->ColL, 7);
    EXPECT_EQ(first->ColF, "ALP");
    EXPECT_EQ(first->Col99, 5);

    RenumberFirmRows(firm, 12);
    for (const auto& row : AllFirmRows(firm)) {
        EXPECT_EQ(row.Col99, 12) << row.Col98;
    }
    EXPECT_EQ(test::QueryValue(firm, "SELECT count(*) FROM TALVERNR01 WHERE Col99 = 12"), "2");
    // Renumbering touches only the number.
    EXPECT_EQ(test::QueryValue(firm, "SELECT ColName FROM TALVERNR01 WHERE Col98 = 'Zeta'"),
              "Zeta Stores");

    // A copied column without a value is a failure, not an empty text.
    firm.Execute("UPDATE TALVERNR01 SET ColF = NULL WHERE Col98 = 'Alpha';");
    const std::string error = DatabaseErrorOf([&] { FirstFirmRow(firm); });
    EXPECT_NE(error.find("ColF"), std::string::npos) << error;
    EXPECT_NE(error.find("empty"), std::string::npos) << error;
}

TEST(Registers, YearRegisterStatements) {
    TempDir dir;
    Database firm = MakeFirm(dir / "Firm3.mdb");
    EXPECT_EQ(HighestYearNumber(firm), std::nullopt);
    EXPECT_TRUE(YearsInOrder(firm).empty());

    // Entered out of order: the list follows the first day, not the number.
    AddYearRow(firm, YearRow{2, D(2013, 4, 1), D(2014, 3, 31)});
    AddYearRow(firm, YearRow{1, D(2014, 4, 1), D(2015, 3, 31)});
    AddYearRow(firm, YearRow{3, D(2012, 4, 1), D(2013, 3, 31)});
    const auto years = YearsInOrder(firm);
    ASSERT_EQ(years.size(), 3u);
    EXPECT_EQ(years[0].Col99, 3);
    EXPECT_EQ(years[1].Col99, 2);
    EXPECT_EQ(years[2].Col99, 1);
    EXPECT_EQ(years[1].Col98, D(2013, 4, 1));
    EXPECT_EQ(years[1].Col97, D(2014, 3, 31));
    EXPECT_EQ(HighestYearNumber(firm), 3);
    EXPECT_EQ(
        test::QueryValue(firm, "SELECT Col98 || ' ' || Col97 FROM TALVERNF01 WHERE Col99 = 2"),
        "2013-04-01 2014-03-31");
    EXPECT_EQ(
        test::QueryValue(firm, "SELECT ColLocked || ColRemark FROM TALVERNF01 WHERE Col99 = 2"),
        "0");

    // Both days must match.
    EXPECT_TRUE(YearPeriodTaken(firm, D(2013, 4, 1), D(2014, 3, 31)));
    EXPECT_FALSE(YearPeriodTaken(firm, D(2013, 4, 1), D(2014, 3, 30)));
    EXPECT_FALSE(YearPeriodTaken(firm, D(2013, 4, 2), D(2014, 3, 31)));
    EXPECT_FALSE(YearPeriodTaken(firm, D(2014, 3, 31), D(2013, 4, 1)));

    // Impossible days are refused before anything is written.
    EXPECT_THROW(AddYearRow(firm, YearRow{4, D(2015, 2, 30), D(2016, 3, 31)}), DatabaseError);
    EXPECT_EQ(YearsInOrder(firm).size(), 3u);

    // A stored day that is not a date is reported with its value.
    firm.Execute("INSERT INTO TALVERNF01 (Col99, Col98, Col97) VALUES (9, '31/03/2016', 'x');");
    const std::string error = DatabaseErrorOf([&] { YearsInOrder(firm); });
    EXPECT_NE(error.find("31/03/2016"), std::string::npos) << error;
    EXPECT_NE(error.find("Col98"), std::string::npos) << error;
}

TEST(Registers, NumbersMustFitSixteenBits) {
    EXPECT_EQ(CheckedRegisterNumber(32767, "n"), 32767);
    EXPECT_EQ(CheckedRegisterNumber(-32768, "n"), -32768);
    EXPECT_THROW(CheckedRegisterNumber(32768, "n"), DatabaseError);
    EXPECT_THROW(CheckedRegisterNumber(-32769, "n"), DatabaseError);

    TempDir dir;
    Database root = MakeRoot(dir / "Root.mdb");
    AddFirmRow(root, Firm(4, "Four", 1, "FOU"));

    // Arguments that do not fit are refused before anything is written.
    const std::string error = DatabaseErrorOf([&] { RenumberFirmRows(root, 70000); });
    EXPECT_NE(error.find("70000"), std::string::npos) << error;
    EXPECT_NE(error.find("16-bit"), std::string::npos) << error;
    EXPECT_EQ(AllFirmRows(root)[0].Col99, 4);
    EXPECT_THROW(FirmNumberTaken(root, 70000), DatabaseError);
    EXPECT_THROW(FirmNumberTaken(root, -40000), DatabaseError);

    // A stored number out of range is an error, never a wrapped value.
    root.Execute("INSERT INTO TALVERNR01 (Col99, Col98) VALUES (40000, 'Big');");
    const std::string stored = DatabaseErrorOf([&] { HighestFirmNumber(root); });
    EXPECT_NE(stored.find("40000"), std::string::npos) << stored;
    EXPECT_NE(stored.find("16-bit"), std::string::npos) << stored;
    EXPECT_THROW(AllFirmRows(root), DatabaseError);

    Database firm = MakeFirm(dir / "Firm4.mdb");
    firm.Execute(
        "INSERT INTO TALVERNF01 (Col99, Col98, Col97) VALUES (40000, '2020-04-01', "
        "'2021-03-31');");
    EXPECT_THROW(HighestYearNumber(firm), DatabaseError);
    EXPECT_THROW(YearsInOrder(firm), DatabaseError);

    // A number stored as text is not taken for one.
    firm.Execute("UPDATE TALVERNF01 SET Col99 = 'seven';");
    EXPECT_NE(DatabaseErrorOf([&] { YearsInOrder(firm); }).find("seven"), std::string::npos);
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
    // A firm database of the given number with one own row.
    void MakeStagedFirm(const std::string& path, int16_t firmNo) {
        fs::create_directories(fs::path(path).parent_path());
        Database db = MakeFirm(path);
        db.Execute("INSERT INTO TALVERNR01 (Col99, Col98, ColL, ColF) VALUES (" +
                   std::to_string(firmNo) + ", 'Staged', 1, 'STG');");
    }

    TempDir dir;
    ProgramValues values;
    LocalFileSystem fileSystem;
    ScriptedDialogs dialogs;
};

TEST_F(Connections, RootAndFirmDatabasesOfTheDataTree) {
    const std::string rootPath = (dir.Path() / "Acct" / "Root.mdb").string();
    const std::string firmPath = (dir.Path() / "Acct" / "Firm12" / "Firm12.mdb").string();
    EXPECT_NE(DatabaseErrorOf([&] { OpenRootConnection(values); }).find(rootPath),
              std::string::npos);
    EXPECT_NE(DatabaseErrorOf([&] { OpenFirmConnection(values); }).find(firmPath),
              std::string::npos);

    MakeRoot(rootPath);
    fs::create_directories(fs::path(firmPath).parent_path());
    MakeFirm(firmPath);
    Database root = OpenRootConnection(values);
    EXPECT_EQ(root.Path(), rootPath);
    root.Close();
    EXPECT_EQ(OpenRootConnection(values).Path(), rootPath);
    EXPECT_EQ(OpenFirmConnection(values).Path(), firmPath);

    // Each kind has its own password: the root register does not open as a firm database.
    values.AppFolder = (dir.Path() / "Other").string();
    fs::create_directories(values.AppFolder + "/Firm12");
    fs::copy_file(rootPath, values.AppFolder + "/Firm12/Firm12.mdb");
    EXPECT_THROW(OpenFirmConnection(values), DatabaseError);
}

// The firm database at the top of the staging folder, or one level down in a folder of
// the firm's name: the staging folder follows it.
TEST_F(Connections, StagedFlatOrOneLevelDown) {
    for (const std::string inner : {"", "Firm5/"}) {
        SCOPED_TRACE(inner);
        fs::remove_all(Staging(""));
        std::string staging = Staging("Firm5");
        MakeStagedFirm(Staging("Firm5/" + inner + "Firm5.mdb"), 5);
        Database db = OpenStagedFirmConnection(values, 5, staging, fileSystem, dialogs);
        EXPECT_EQ(db.Path(), Staging("Firm5/" + inner + "Firm5.mdb"));
        EXPECT_EQ(staging + "/", Staging("Firm5/" + inner));
        EXPECT_EQ(FirstFirmRow(db)->Col98, "Staged");
        EXPECT_TRUE(dialogs.shown.empty());
    }
}

TEST_F(Connections, StagedWithoutFirmDatabaseEndsTheProgram) {
    const std::string rootPath = values.AppFolder + "/Root.mdb";
    {
        Database root = MakeRoot(rootPath);
        AddFirmRow(root, Firm(1, "One", 1, "ONE"));
    }
    // An archive of another firm's database, under the wrong number.
    MakeStagedFirm(Staging("Firm5/Firm6.mdb"), 6);
    WriteFile(Staging("Firm5/Yr1/DVorn1.mdb"), "data");
    std::string staging = Staging("Firm5");
    EXPECT_THROW(OpenStagedFirmConnection(values, 5, staging, fileSystem, dialogs), ProgramEnd);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Invalid Backup File");
    EXPECT_EQ(dialogs.shown[0].title, "Restore");
    EXPECT_EQ(dialogs.shown[0].buttons, Buttons::Ok);
    EXPECT_FALSE(fs::exists(Staging("Firm5")));
    EXPECT_TRUE(fs::exists(values.ProgramFolder + "/Back"));

    Database root = Database::Open(rootPath, kRootPassword);
    ASSERT_EQ(AllFirmRows(root).size(), 1u);

    // Nothing unpacked at all: the same message, and nothing to delete.
    ScriptedDialogs again;
    EXPECT_THROW(OpenStagedFirmConnection(values, 8, staging, fileSystem, again), ProgramEnd);
    EXPECT_EQ(again.Texts(), std::vector<std::string>{"Invalid Backup File"});
}

TEST_F(Connections, StagedDatabaseWithWrongPasswordIsAnError) {
    fs::create_directories(Staging("Firm5"));
    Database::Create(Staging("Firm5/Firm5.mdb"), kRootPassword).Close();
    std::string staging = Staging("Firm5");
    EXPECT_THROW(OpenStagedFirmConnection(values, 5, staging, fileSystem, dialogs), DatabaseError);
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(fs::exists(Staging("Firm5/Firm5.mdb")));
}

}  // namespace
}  // namespace vornback
