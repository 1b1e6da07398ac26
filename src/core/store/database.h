// One open SQLCipher database and the prepared statements run on it: the one way the
// registers, the compaction and the sample tree reach a database. The key is always the
// first thing given to a fresh handle, and opening reads the first page at once, so a wrong
// password fails on open rather than on the first query.
//
// Every failure throws DatabaseError with one sentence a person can act on: which database
// file, what could not be done, why, and what to try.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace vornback {

class Statement;

class Database {
  public:
    // Opens an existing database with the key ("" for an unprotected one). Throws
    // DatabaseError when the file is missing, is not a file, is empty or not a database,
    // the key is wrong, or another program holds it locked.
    static Database Open(const std::string& path, const std::string& key);
    // Creates a new database (the file must not exist) protected by the key ("" for none);
    // its first page is written before this returns. Throws DatabaseError.
    static Database Create(const std::string& path, const std::string& key);

    Database(Database&& other) noexcept;
    Database& operator=(Database&& other) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database();

    // Runs statements without parameters or results (schema work, transactions);
    // throws DatabaseError.
    void Execute(const std::string& sql);
    // Closes the handle; statements still open on it must be gone first. Safe to repeat.
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    const std::string& Path() const { return path_; }

  private:
    friend class Statement;
    Database(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    sqlite3* db_ = nullptr;
    std::string path_;
};

// One prepared statement with bound parameters (numbered from 1); finalized on every path.
// It may be run again after Reset, which keeps it prepared (bulk inserts).
class Statement {
  public:
    // Prepares sql on an open database; throws DatabaseError when the database is closed
    // or the statement does not fit its tables.
    Statement(Database& db, const std::string& sql);
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    void Bind(int index, int64_t value);
    void Bind(int index, const std::string& value);

    // Runs to the next row: true while a row is there, false at the end. Throws
    // DatabaseError when the statement fails.
    bool Step();
    // Steps to the end, for statements whose rows are not read.
    void Run();
    // Makes the statement ready to run again, with no parameters bound.
    void Reset();

    // The number of columns of each row.
    int Columns() const;
    bool IsNull(int column) const;
    // A whole-number column; NULL gives nullValue when one is given. `name` says which
    // column in the failure text. Throws DatabaseError on NULL without fallback and on a
    // value that is not a whole number.
    int64_t Integer(int column, const char* name, std::optional<int64_t> nullValue) const;
    // A text column, as Integer.
    std::string Text(int column, const char* name, std::optional<std::string> nullValue) const;

    // Throws DatabaseError naming the database, the column and what is wrong with its
    // value, e.g. "holds \"x\" where a whole number belongs".
    [[noreturn]] void BadValue(const char* name, const std::string& what) const;

  private:
    [[noreturn]] void Fail() const;
    void Check(int rc) const;

    Database& db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// Whether the SQLCipher codec is linked in (PRAGMA cipher_version answers). The programs
// refuse to start without it, since plain SQLite would silently ignore the passwords.
bool CipherAvailable();

}  // namespace vornback
