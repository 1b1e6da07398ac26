#include "store/registers.h"

#include <limits>

#include "base/data_tree.h"
#include "base/errors.h"
#include "base/text.h"

namespace vornback {

namespace {

// A 16-bit register number read from a column.
int16_t Number16(const Statement& s, int column, const char* name,
                 std::optional<int64_t> nullValue) {
    const int64_t value = s.Integer(column, name, nullValue);
    if (value < std::numeric_limits<int16_t>::min() ||
        value > std::numeric_limits<int16_t>::max()) {
        s.BadValue(name, "holds " + std::to_string(value) +
                             ", beyond the register numbers -32768 to 32767");
    }
    return static_cast<int16_t>(value);
}

// A date column, stored as ISO text.
Date StoredDate(const Statement& s, int column, const char* name) {
    const std::string text = s.Text(column, name, std::nullopt);
    if (auto date = ParseIsoDate(text)) {
        return *date;
    }
    s.BadValue(name, "holds \"" + text + "\" where a date (YYYY-MM-DD) belongs");
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(const Date& date) {
    return date.year >= 1 && date.year <= 9999 && date.month >= 1 && date.month <= 12 &&
           date.day >= 1 && date.day <= DaysInMonth(date.year, date.month);
}

// Reads the digits at the given positions; false when one is not a digit.
bool Digits(const std::string& text, size_t from, size_t count, int& value) {
    value = 0;
    for (size_t i = from; i < from + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

std::optional<Date> Validated(const Date& date) {
    return IsValidDate(date) ? std::optional<Date>(date) : std::nullopt;
}

std::string CheckedIsoDate(const Date& date, const char* what) {
    if (!IsValidDate(date)) {
        throw DatabaseError(std::string(what) + " " + std::to_string(date.day) + "/" +
                            std::to_string(date.month) + "/" + std::to_string(date.year) +
                            " could not be put in the register because it is not a calendar date.");
    }
    return IsoDate(date);
}

std::string Pad(int value, int width) {
    std::string text = std::to_string(value);
    if (text.size() < static_cast<size_t>(width)) {
        text.insert(0, static_cast<size_t>(width) - text.size(), '0');
    }
    return text;
}

}  // namespace

// ---- Dates ----

std::optional<Date> ParseIsoDate(const std::string& text) {
    Date d;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !Digits(text, 0, 4, d.year) ||
        !Digits(text, 5, 2, d.month) || !Digits(text, 8, 2, d.day)) {
        return std::nullopt;
    }
    return Validated(d);
}

std::optional<Date> ParseDisplayDate(const std::string& text) {
    Date d;
    if (text.size() != 10 || text[2] != '/' || text[5] != '/' || !Digits(text, 0, 2, d.day) ||
        !Digits(text, 3, 2, d.month) || !Digits(text, 6, 4, d.year)) {
        return std::nullopt;
    }
    return Validated(d);
}

std::string IsoDate(const Date& date) {
    return Pad(date.year, 4) + "-" + Pad(date.month, 2) + "-" + Pad(date.day, 2);
}

std::string DisplayDate(const Date& date) {
    return Pad(date.day, 2) + "/" + Pad(date.month, 2) + "/" + Pad(date.year, 4);
}

// ---- Connections ----

Database OpenRootConnection(const ProgramValues& values) {
    return Database::Open(RootDatabase(values), kRootPassword);
}

Database OpenFirmConnection(const ProgramValues& values) {
    return Database::Open(FirmDatabase(values, values.CurrentFirmNo), kFirmPassword);
}

// ---- The firm register ----

namespace {

// Which columns of a firm row must hold a value. Add Firm copies Col98, ColL and ColF from
// an archive's own row, so there an empty one is a failure; in a listing of the root
// register only the firm number is needed.
enum class FirmRowUse { CopiedByAddFirm, Listing };

FirmRow ReadFirmRow(const Statement& s, FirmRowUse use) {
    const bool copied = use == FirmRowUse::CopiedByAddFirm;
    const auto text = [](bool required) {
        return required ? std::nullopt : std::optional<std::string>("");
    };
    const auto number = [](bool required) {
        return required ? std::nullopt : std::optional<int64_t>(0);
    };
    FirmRow row;
    row.Col99 = Number16(s, 0, "the firm number (Col99 of TALVERNR01)", number(!copied));
    row.Col98 = s.Text(1, "the firm's key (Col98 of TALVERNR01)", text(copied));
    row.ColL = Number16(s, 2, "the column ColL of TALVERNR01", number(copied));
    row.ColF = s.Text(3, "the short name (ColF of TALVERNR01)", text(copied));
    row.ColShort = s.Text(4, "the column ColShort of TALVERNR01", text(false));
    return row;
}

constexpr const char* kFirmColumns = "Col99, Col98, ColL, ColF, ColShort";

}  // namespace

std::optional<FirmRow> FirstFirmRow(Database& firmDb) {
    Statement s(firmDb,
                (std::string("SELECT ") + kFirmColumns + " FROM TALVERNR01 ORDER BY Col98 LIMIT 1")
                    .c_str());
    if (!s.Step()) {
        return std::nullopt;
    }
    return ReadFirmRow(s, FirmRowUse::CopiedByAddFirm);
}

bool FirmNumberTaken(Database& rootDb, int32_t firmNo) {
    const int16_t n = CheckedRegisterNumber(firmNo, "The firm number");
    Statement s(rootDb, "SELECT count(*) FROM TALVERNR01 WHERE Col99 = ?");
    s.Bind(1, n);
    s.Step();
    return s.Integer(0, "the row count", std::nullopt) > 0;
}

std::optional<int16_t> HighestFirmNumber(Database& rootDb) {
    Statement s(rootDb, "SELECT Max(Col99) FROM TALVERNR01 WHERE Col99 <> ?");
    s.Bind(1, kReservedFirmNo);
    s.Step();
    if (s.IsNull(0)) {
        return std::nullopt;
    }
    return Number16(s, 0, "the highest firm number (Col99 of TALVERNR01)", std::nullopt);
}

void RenumberFirmRows(Database& firmDb, int32_t firmNo) {
    const int16_t n = CheckedRegisterNumber(firmNo, "The new firm number");
    Statement s(firmDb, "UPDATE TALVERNR01 SET Col99 = ?");
    s.Bind(1, n);
    s.Step();
}

void AddFirmRow(Database& rootDb, const FirmRow& row) {
    Statement s(rootDb,
                "INSERT INTO TALVERNR01 (Col99, Col98, ColL, ColShort) VALUES (?, ?, ?, ?)");
    s.Bind(1, row.Col99);
    s.Bind(2, row.Col98);
    s.Bind(3, row.ColL);
    s.Bind(4, row.ColShort);
    s.Step();
}

std::vector<FirmRow> AllFirmRows(Database& db) {
    Statement s(
        db,
        (std::string("SELECT ") + kFirmColumns + " FROM TALVERNR01 ORDER BY Col99, rowid").c_str());
    std::vector<FirmRow> rows;
    while (s.Step()) {
        rows.push_back(ReadFirmRow(s, FirmRowUse::Listing));
    }
    return rows;
}

// ---- The year register ----

bool YearPeriodTaken(Database& firmDb, const Date& first, const Date& last) {
    const std::string from = CheckedIsoDate(first, "The first day");
    const std::string to = CheckedIsoDate(last, "The last day");
    Statement s(firmDb, "SELECT count(*) FROM TALVERNF01 WHERE Col98 = ? AND Col97 = ?");
    s.Bind(1, from);
    s.Bind(2, to);
    s.Step();
    return s.Integer(0, "the row count", std::nullopt) > 0;
}

std::optional<int16_t> HighestYearNumber(Database& firmDb) {
    Statement s(firmDb, "SELECT Max( Col99 ) FROM TALVERNF01");
    s.Step();
    if (s.IsNull(0)) {
        return std::nullopt;
    }
    return Number16(s, 0, "the highest year number (Col99 of TALVERNF01)", std::nullopt);
}

void AddYearRow(Database& firmDb, const YearRow& row) {
    const std::string from = CheckedIsoDate(row.Col98, "The first day");
    const std::string to = CheckedIsoDate(row.Col97, "The last day");
    Statement s(firmDb, "INSERT INTO TALVERNF01 (Col99, Col98, Col97) VALUES (?, ?, ?)");
    s.Bind(1, row.Col99);
    s.Bind(2, from);
    s.Bind(3, to);
    s.Step();
}

std::vector<YearRow> YearsInOrder(Database& firmDb) {
    Statement s(firmDb, "SELECT Col99, Col98, Col97 FROM TALVERNF01 ORDER BY Col98, Col99");
    std::vector<YearRow> rows;
    while (s.Step()) {
        YearRow row;
        row.Col99 = Number16(s, 0, "the year number (Col99 of TALVERNF01)", std::nullopt);
        row.Col98 = StoredDate(s, 1, "the first day (Col98 of TALVERNF01)");
        row.Col97 = StoredDate(s, 2, "the last day (Col97 of TALVERNF01)");
        rows.push_back(row);
    }
    return rows;
}

// ---- Schema ----

namespace {

// The firm register as the host keeps it. Besides the five columns the system names, the
// host holds the firm's particulars; rows added here leave them at these defaults.
constexpr const char* kFirmRegisterTable =
    "CREATE TABLE TALVERNR01 ("
    " Col99 INTEGER,"
    " Col98 TEXT,"
    " ColL INTEGER DEFAULT 0,"
    " ColF TEXT DEFAULT '',"
    " ColShort TEXT DEFAULT '',"
    " ColName TEXT NOT NULL DEFAULT '',"
    " ColAdd1 TEXT NOT NULL DEFAULT '',"
    " ColAdd2 TEXT NOT NULL DEFAULT '',"
    " ColCity TEXT NOT NULL DEFAULT '',"
    " ColPhone TEXT NOT NULL DEFAULT '',"
    " ColActive INTEGER NOT NULL DEFAULT 1,"
    " ColCreated TEXT NOT NULL DEFAULT '2000-01-01'"
    ");";

constexpr const char* kYearRegisterTable =
    "CREATE TABLE TALVERNF01 ("
    " Col99 INTEGER,"
    " Col98 TEXT,"  // first day, YYYY-MM-DD
    " Col97 TEXT,"  // last day, YYYY-MM-DD
    " ColLocked INTEGER NOT NULL DEFAULT 0,"
    " ColRemark TEXT NOT NULL DEFAULT ''"
    ");";

}  // namespace

void CreateRootSchema(Database& db) {
    db.Execute(kFirmRegisterTable);
}

void CreateFirmSchema(Database& db) {
    db.Execute(std::string("BEGIN;") + kFirmRegisterTable + kYearRegisterTable + "COMMIT;");
}

int16_t CheckedRegisterNumber(int64_t value, const char* what) {
    if (value < std::numeric_limits<int16_t>::min() ||
        value > std::numeric_limits<int16_t>::max()) {
        throw DatabaseError(std::string(what) + " " + std::to_string(value) +
                            " could not be put in the register because register numbers run "
                            "from -32768 to 32767.");
    }
    return static_cast<int16_t>(value);
}

}  // namespace vornback
