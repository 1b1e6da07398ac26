#include "store/database.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <utility>

#include "base/errors.h"

namespace vornback {

namespace {

// The host may hold a register open while it writes; wait this long for its lock.
constexpr int kBusyTimeoutMs = 5000;

// "why; what to try" for the ways a database file fails to open.
constexpr const char* kMissing = "it does not exist; check that the data folder is complete";
constexpr const char* kNotADatabase =
    "its password is wrong or it is not a database; check that the file belongs to this "
    "firm and is not damaged";
constexpr const char* kLocked =
    "another program holds it locked; close the accounting program and try again";

[[noreturn]] void FailOpen(const std::string& path, const std::string& why) {
    throw DatabaseError("The database file \"" + path + "\" could not be opened because " + why +
                        ".");
}

std::string ErrorText(sqlite3* db) {
    return db != nullptr ? sqlite3_errmsg(db) : "out of memory";
}

// Why a failed first read or statement failed, in words, from its result code.
std::string Why(int rc, sqlite3* db) {
    switch (rc & 0xff) {
        case SQLITE_NOTADB:
            return kNotADatabase;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return kLocked;
        case SQLITE_FULL:
            return "the disk is full; free some space and try again";
        case SQLITE_READONLY:
        case SQLITE_PERM:
            return "the file may not be written; check its permissions";
        case SQLITE_CORRUPT:
            return "the file is damaged; restore it from a backup";
        default:
            return "the database reported \"" + ErrorText(db) +
                   "\"; check that the file is not damaged";
    }
}

// Gives the key to a freshly opened handle; it must come before anything reads the file.
void ApplyKey(sqlite3* db, const std::string& key, const std::string& path) {
    if (key.empty()) {
        return;
    }
    char* sql = sqlite3_mprintf("PRAGMA key = %Q;", key.c_str());
    if (sql == nullptr) {
        FailOpen(path, "the memory ran out");
    }
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_free(sql);
    if (rc != SQLITE_OK) {
        FailOpen(path, "its password could not be given: " + Why(rc, db));
    }
}

// A handle that is closed unless it is handed over.
class PendingHandle {
  public:
    PendingHandle() = default;
    PendingHandle(const PendingHandle&) = delete;
    PendingHandle& operator=(const PendingHandle&) = delete;
    ~PendingHandle() { sqlite3_close_v2(db_); }
    sqlite3** Out() { return &db_; }
    sqlite3* Get() const { return db_; }
    sqlite3* Release() { return std::exchange(db_, nullptr); }

  private:
    sqlite3* db_ = nullptr;
};

// Opens path with the flags, sets the handle up and gives it the key.
sqlite3* OpenHandle(const std::string& path, const std::string& key, int flags) {
    PendingHandle handle;
    const int rc = sqlite3_open_v2(path.c_str(), handle.Out(), flags, nullptr);
    if (rc != SQLITE_OK) {
        FailOpen(path, Why(rc, handle.Get()));
    }
    sqlite3_extended_result_codes(handle.Get(), 1);
    sqlite3_busy_timeout(handle.Get(), kBusyTimeoutMs);
    ApplyKey(handle.Get(), key, path);
    return handle.Release();
}

}  // namespace

// ---- Database ----

Database Database::Open(const std::string& path, const std::string& key) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        FailOpen(path, errno == ENOENT ? std::string(kMissing)
                                       : std::string("it could not be read (") +
                                             std::strerror(errno) + "); check its permissions");
    }
    if (!S_ISREG(st.st_mode)) {
        FailOpen(path, "it is a folder or a device, not a database file");
    }
    // SQLite takes an empty file for an empty database; no register is ever empty.
    if (st.st_size == 0) {
        FailOpen(path, "the file is empty, not a database; restore it from a backup");
    }
    // Without SQLITE_OPEN_CREATE: a file that vanished meanwhile is never made anew.
    Database db(OpenHandle(path, key, SQLITE_OPEN_READWRITE), path);
    // A wrong key is only noticed when the first page is read.
    const int rc =
        sqlite3_exec(db.db_, "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        FailOpen(path, Why(rc, db.db_));
    }
    return db;
}

Database Database::Create(const std::string& path, const std::string& key) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        throw DatabaseError("The database file \"" + path +
                            "\" could not be created because a file of that name exists.");
    }
    Database db(OpenHandle(path, key, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), path);
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
        throw DatabaseError("The database file \"" + path_ +
                            "\" could not be used because it was already closed.");
    }
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        throw DatabaseError("The database file \"" + path_ +
                            "\" could not be read or changed because " + Why(rc, db_) + ".");
    }
}

void Database::Close() {
    sqlite3_close_v2(std::exchange(db_, nullptr));
}

// ---- Statement ----

Statement::Statement(Database& db, const std::string& sql) : db_(db) {
    if (!db.IsOpen()) {
        throw DatabaseError("The database file \"" + db.Path() +
                            "\" could not be used because it was already closed.");
    }
    Check(sqlite3_prepare_v2(db.db_, sql.c_str(), -1, &stmt_, nullptr));
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

void Statement::Bind(int index, int64_t value) {
    Check(sqlite3_bind_int64(stmt_, index, value));
}

void Statement::Bind(int index, const std::string& value) {
    Check(sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
}

bool Statement::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    Fail();
}

void Statement::Run() {
    while (Step()) {
    }
}

void Statement::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int Statement::Columns() const {
    return sqlite3_column_count(stmt_);
}

bool Statement::IsNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

int64_t Statement::Integer(int column, const char* name, std::optional<int64_t> nullValue) const {
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
            BadValue(name, "is empty");
        default:
            break;
    }
    BadValue(name, "holds \"" + Text(column, name, "") + "\" where a whole number belongs");
}

std::string Statement::Text(int column, const char* name,
                            std::optional<std::string> nullValue) const {
    if (IsNull(column)) {
        if (nullValue) {
            return *nullValue;
        }
        BadValue(name, "is empty");
    }
    const auto* text = sqlite3_column_text(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    return text != nullptr
               ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size))
               : std::string();
}

void Statement::BadValue(const char* name, const std::string& what) const {
    throw DatabaseError("The database file \"" + db_.Path() + "\" could not be read because " +
                        name + " " + what + "; the file may be damaged, restore it from a backup.");
}

void Statement::Fail() const {
    throw DatabaseError("The database file \"" + db_.Path() +
                        "\" could not be read or changed because " +
                        Why(sqlite3_extended_errcode(db_.db_), db_.db_) + ".");
}

void Statement::Check(int rc) const {
    if (rc != SQLITE_OK) {
        Fail();
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

}  // namespace vornback
