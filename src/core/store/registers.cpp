#include "store/registers.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "base/data_tree.h"
#include "base/errors.h"
#include "base/text.h"

namespace vornback {

namespace {

// The host may hold a register open while it writes; wait this long for its lock.
constexpr int kBusyTimeoutMs = 5000;

[[noreturn]] void FailOpen(const std::string& path, const std::string& reason) {
    throw DatabaseError("Cannot open the database \"" + path + "\": " + reason);
}

std::string ErrorText(sqlite3* db) {
    return db != nullptr ? sqlite3_errmsg(db) : "out of memory";
}

// Gives the key to a freshly opened handle; it must come before anything reads the file.
void ApplyKey(sqlite3* db, const std::string& key, const std::string& path) {
    if (key.empty()) {
        return;
    }
    char* sql = sqlite3_mprintf("PRAGMA key = %Q;", key.c_str());
    if (sql == nullptr) {
        FailOpen(path, "out of memory");
    }
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    sqlite3_free(sql);
    if (rc != SQLITE_OK) {
        std::string reason = message != nullptr ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        FailOpen(path, "cannot set the password: " + reason);
    }
}

// A handle that is closed unless it is handed over.
class PendingHandle {
  public:
    PendingHandle() = default;
    PendingHandle(const PendingHandle&) = delete;
    PendingHandle& operator=(const PendingHandle&) = delete;
    ~PendingHandle() {
        if (db_ != nullptr) {
            sqlite3_close_v2(db_);
        }
    }
    sqlite3** Out() { return &db_; }
    sqlite3* Get() const { return db_; }
    sqlite3* Release() { return std::exchange(db_, nullptr); }

  private:
    sqlite3* db_ = nullptr;
};

// One prepared statement with bound parameters; finalized on every path.
class Statement {
  public:
    Statement(Database& db, const char* sql) : db_(db), sql_(sql) {
        if (!db.IsOpen()) {
            throw DatabaseError("The database \"" + db.Path() + "\" is closed (" + sql_ + ")");
        }
        if (sqlite3_prepare_v2(db.Handle(), sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            Fail();
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    void Bind(int index, int64_t value) { Check(sqlite3_bind_int64(stmt_, index, value)); }
    void Bind(int index, const std::string& value) {
        Check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
    }

    // True while a row is there; false at the end.
    bool Step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc == SQLITE_DONE) {
            return false;
        }
        Fail();
    }

    bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

    // A whole number column; NULL gives the fallback when one is allowed.
    int64_t Integer(int column, const char* name, std::optional<int64_t> nullValue) const {
        switch (sqlite3_column_type(stmt_, column)) {
            case SQLITE_INTEGER:
                return sqlite3_column_int64(stmt_, column);
            case SQLITE_FLOAT: {
                const double value = sqlite3_column_double(stmt_, column);
                if (std::nearbyint(value) == value && std::fabs(value) < 9.0e15) {
                    return static_cast<int64_t>(value);
                }
                break;
            }
            case SQLITE_NULL:
                if (nullValue) {
                    return *nullValue;
                }
                throw DatabaseError(Where(name) + " is empty");
            default:
                break;
        }
        throw DatabaseError(Where(name) + " holds \"" + Text(column, name, "") +
                            "\", not a whole number");
    }

    std::string Text(int column, const char* name, std::optional<std::string> nullValue) const {
        if (IsNull(column)) {
            if (nullValue) {
                return *nullValue;
            }
            throw DatabaseError(Where(name) + " is empty");
        }
        const auto* text = sqlite3_column_text(stmt_, column);
        const int size = sqlite3_column_bytes(stmt_, column);
        return text != nullptr
                   ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size))
                   : std::string();
    }

    int16_t Number16(int column, const char* name, std::optional<int64_t> nullValue) const {
        return CheckedRegisterNumber(Integer(column, name, nullValue), Where(name).c_str());
    }

    Date StoredDate(int column, const char* name) const {
        const std::string text = Text(column, name, std::nullopt);
        if (auto date = ParseIsoDate(text)) {
            return *date;
        }
        throw DatabaseError(Where(name) + " holds \"" + text + "\", not a date (YYYY-MM-DD)");
    }

    int Changes() const { return sqlite3_changes(db_.Handle()); }

  private:
    std::string Where(const char* name) const {
        return std::string(name) + " in the database \"" + db_.Path() + "\"";
    }
    void Check(int rc) {
        if (rc != SQLITE_OK) {
            Fail();
        }
    }
    [[noreturn]] void Fail() const {
        throw DatabaseError("The database \"" + db_.Path() +
                            "\" failed: " + ErrorText(db_.Handle()) + " (" + sql_ + ")");
    }

    Database& db_;
    std::string sql_;
    sqlite3_stmt* stmt_ = nullptr;
};

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
                            " is not a calendar date");
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

// ---- Database ----

Database Database::Open(const std::string& path, const std::string& key) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        FailOpen(path, errno == ENOENT ? "no such file" : std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        FailOpen(path, "not a file");
    }
    // SQLite takes an empty file for an empty database; no register is ever empty.
    if (st.st_size == 0) {
        FailOpen(path, "the file is empty, not a database");
    }
    PendingHandle handle;
    // Without SQLITE_OPEN_CREATE: a file that vanished meanwhile is never made anew.
    const int rc = sqlite3_open_v2(path.c_str(), handle.Out(), SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        FailOpen(path, ErrorText(handle.Get()));
    }
    sqlite3_extended_result_codes(handle.Get(), 1);
    sqlite3_busy_timeout(handle.Get(), kBusyTimeoutMs);
    ApplyKey(handle.Get(), key, path);
    // A wrong key is only noticed when the first page is read.
    const int check = sqlite3_exec(handle.Get(), "SELECT count(*) FROM sqlite_master;", nullptr,
                                   nullptr, nullptr);
    if (check != SQLITE_OK) {
        switch (check & 0xff) {
            case SQLITE_NOTADB:
                FailOpen(path, "wrong password or not a database");
            case SQLITE_BUSY:
            case SQLITE_LOCKED:
                FailOpen(path, "the database is locked by another program");
            default:
                FailOpen(path, ErrorText(handle.Get()));
        }
    }
    return Database(handle.Release(), path);
}

Database Database::Create(const std::string& path, const std::string& key) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        throw DatabaseError("Cannot create the database \"" + path + "\": the file exists");
    }
    PendingHandle handle;
    const int rc = sqlite3_open_v2(path.c_str(), handle.Out(),
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        throw DatabaseError("Cannot create the database \"" + path +
                            "\": " + ErrorText(handle.Get()));
    }
    sqlite3_extended_result_codes(handle.Get(), 1);
    sqlite3_busy_timeout(handle.Get(), kBusyTimeoutMs);
    ApplyKey(handle.Get(), key, path);
    Database db(handle.Release(), path);
    // Writes the first page now, so that the new file is a database even before any table.
    db.Execute("PRAGMA user_version = 0;");
    return db;
}

Database::Database(Database&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), path_(std::move(other.path_)) {}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        Close();
        db_ = std::exchange(other.db_, nullptr);
        path_ = std::move(other.path_);
    }
    return *this;
}

Database::~Database() {
    Close();
}

void Database::Execute(const std::string& sql) {
    if (db_ == nullptr) {
        throw DatabaseError("The database \"" + path_ + "\" is closed");
    }
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        std::string reason = message != nullptr ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        throw DatabaseError("The database \"" + path_ + "\" failed: " + reason);
    }
}

void Database::Close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool CipherAvailable() {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return false;
    }
    bool found = false;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA cipher_version;", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        const unsigned char* version = sqlite3_column_text(stmt, 0);
        found = version != nullptr && version[0] != '\0';
    }
    sqlite3_finalize(stmt);
    sqlite3_close_v2(db);
    return found;
}

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
    row.Col99 = s.Number16(0, "Col99 of TALVERNR01", number(!copied));
    row.Col98 = s.Text(1, "Col98 of TALVERNR01", text(copied));
    row.ColL = s.Number16(2, "ColL of TALVERNR01", number(copied));
    row.ColF = s.Text(3, "ColF of TALVERNR01", text(copied));
    row.ColShort = s.Text(4, "ColShort of TALVERNR01", text(false));
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
    return s.Integer(0, "count", std::nullopt) > 0;
}

std::optional<int16_t> HighestFirmNumber(Database& rootDb) {
    Statement s(rootDb, "SELECT Max(Col99) FROM TALVERNR01 WHERE Col99 <> ?");
    s.Bind(1, kReservedFirmNo);
    s.Step();
    if (s.IsNull(0)) {
        return std::nullopt;
    }
    return s.Number16(0, "The highest firm number (Col99 of TALVERNR01)", std::nullopt);
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
    return s.Integer(0, "count", std::nullopt) > 0;
}

std::optional<int16_t> HighestYearNumber(Database& firmDb) {
    Statement s(firmDb, "SELECT Max( Col99 ) FROM TALVERNF01");
    s.Step();
    if (s.IsNull(0)) {
        return std::nullopt;
    }
    return s.Number16(0, "The highest year number (Col99 of TALVERNF01)", std::nullopt);
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
        row.Col99 = s.Number16(0, "Col99 of TALVERNF01", std::nullopt);
        row.Col98 = s.StoredDate(1, "Col98 of TALVERNF01");
        row.Col97 = s.StoredDate(2, "Col97 of TALVERNF01");
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
                            " does not fit a 16-bit register number (-32768 to 32767)");
    }
    return static_cast<int16_t>(value);
}

}  // namespace vornback
