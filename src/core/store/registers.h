// The host's registers: the root database (the firm register), each firm's database (its
// year register and its own firm row) and the firm database of an unpacked archive. They
// are SQLCipher databases, each kind with its own password. Every statement the system
// sends is one typed operation here with bound parameters. Firm and year numbers are
// 16-bit; a value that does not fit is a DatabaseError, never a wrap-around.
// Dates are stored as ISO text (YYYY-MM-DD) and shown DD/MM/YYYY.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/program_values.h"
#include "store/database.h"

namespace vornback {

inline constexpr const char* kRootPassword = "qkrowner";
inline constexpr const char* kFirmPassword = "qkfowner";
inline constexpr const char* kYearPassword = "qkyowner";

// The reserved firm number, never given to a new firm and left out of the highest number.
inline constexpr int16_t kReservedFirmNo = 1001;

// A date as the registers hold it.
struct Date {
    int year = 0;
    int month = 0;
    int day = 0;
    auto operator<=>(const Date&) const = default;
};
std::optional<Date> ParseIsoDate(const std::string& text);      // "2024-04-01"
std::optional<Date> ParseDisplayDate(const std::string& text);  // "01/04/2024"
std::string IsoDate(const Date& date);                          // "2024-04-01"
std::string DisplayDate(const Date& date);                      // "01/04/2024"

// A firm's register row (TALVERNR01), the columns the system names.
struct FirmRow {
    int16_t Col99 = 0;  // firm number
    std::string Col98;  // the key the firm database's register is read by
    int16_t ColL = 0;
    std::string ColF;
    std::string ColShort;
};

// A year's register row (TALVERNF01).
struct YearRow {
    int16_t Col99 = 0;  // year number
    Date Col98;         // first day
    Date Col97;         // last day
    bool operator==(const YearRow&) const = default;
};

// The connections. Each opens a fresh Database; the caller closes it when its step is done.
Database OpenRootConnection(const ProgramValues& values);
Database OpenFirmConnection(const ProgramValues& values);

// "Select * From TALVERNR01 Order By Col98": the first row, if any.
std::optional<FirmRow> FirstFirmRow(Database& firmDb);
// "Select Col99 From TALVERNR01 Where Col99 = n": whether the root register has firm n.
bool FirmNumberTaken(Database& rootDb, int32_t firmNo);
// "Select Max(Col99) From TALVERNR01 Where Col99 <> 1001": empty on an empty register.
std::optional<int16_t> HighestFirmNumber(Database& rootDb);
// "Update TALVERNR01 Set Col99 = n": every row of a firm database's own register.
void RenumberFirmRows(Database& firmDb, int32_t firmNo);
// Adds one row to the root register: Col99, Col98, ColL and ColShort; other columns keep
// their defaults.
void AddFirmRow(Database& rootDb, const FirmRow& row);
// All rows of the root register (for tests and the sample tree), in Col99 order.
std::vector<FirmRow> AllFirmRows(Database& db);

// "Select * From TALVERNF01 Where Col98 = first And Col97 = last": whether the firm has a
// year with exactly that period.
bool YearPeriodTaken(Database& firmDb, const Date& first, const Date& last);
// "Select Max( Col99 ) From TALVERNF01": empty on an empty register.
std::optional<int16_t> HighestYearNumber(Database& firmDb);
// Adds one row to the year register.
void AddYearRow(Database& firmDb, const YearRow& row);
// "Select * From TALVERNF01 Order By Col98".
std::vector<YearRow> YearsInOrder(Database& firmDb);

// Schema of the two register tables, with further columns that the system never names
// (they keep their defaults on rows it adds). Used by the sample tree and the tests.
void CreateRootSchema(Database& db);
void CreateFirmSchema(Database& db);

// A number that must fit a 16-bit register column; throws DatabaseError naming what
// ("The firm number") and the allowed range.
int16_t CheckedRegisterNumber(int64_t value, const char* what);

}  // namespace vornback
