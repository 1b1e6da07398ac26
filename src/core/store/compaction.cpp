#include "store/compaction.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "base/errors.h"
#include "store/registers.h"

namespace vornback {

namespace {

constexpr const char* kCopySchema = "compacted";

[[noreturn]] void Fail(const std::string& source, const std::string& destination,
                       const std::string& reason) {
    throw DatabaseError("Cannot compact the database \"" + source + "\" into \"" + destination +
                        "\": " + reason);
}

// One statement with bound text parameters, run to its end; returns the first column of
// the first row when there is one.
class OneStatement {
  public:
    OneStatement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
            throw DatabaseError(sqlite3_errmsg(db));
        }
    }
    OneStatement(const OneStatement&) = delete;
    OneStatement& operator=(const OneStatement&) = delete;
    ~OneStatement() { sqlite3_finalize(stmt_); }

    void Bind(int index, const std::string& text) {
        if (sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT) != SQLITE_OK) {
            throw DatabaseError(sqlite3_errmsg(db_));
        }
    }

    // Steps to the end; the integer of the first row's first column (0 without rows).
    int64_t Run() {
        int64_t first = 0;
        bool haveRow = false;
        for (;;) {
            const int rc = sqlite3_step(stmt_);
            if (rc == SQLITE_ROW) {
                if (!haveRow) {
                    first = sqlite3_column_int64(stmt_, 0);
                    haveRow = true;
                }
                continue;
            }
            if (rc == SQLITE_DONE) {
                return first;
            }
            throw DatabaseError(sqlite3_errmsg(db_));
        }
    }

  private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

void RemovePartial(const std::string& destination) {
    ::unlink(destination.c_str());
    ::unlink((destination + "-journal").c_str());
}

}  // namespace

void CompactDatabase(const std::string& source, const std::string& destination,
                     const std::string& key) {
    // Opening reads the first page, so a wrong key fails here, before anything is written.
    Database db = Database::Open(source, key);

    // The destination is claimed as an empty file, which SQLite takes for an empty
    // database: an existing file is refused without being touched, and the attach needs no
    // right to create files (the source's connection has none).
    const int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        Fail(source, destination,
             errno == EEXIST ? std::string("the destination exists") : std::strerror(errno));
    }
    ::close(fd);

    bool attached = false;
    try {
        {
            // The key is always given: an ATTACH without one would take the main
            // database's key, and an empty key must give a plain copy of a plain source.
            OneStatement attach(db.Handle(),
                                std::string("ATTACH DATABASE ?1 AS ") + kCopySchema + " KEY ?2;");
            attach.Bind(1, destination);
            attach.Bind(2, key);
            attach.Run();
            attached = true;
        }
        {
            OneStatement exportAll(db.Handle(),
                                   std::string("SELECT sqlcipher_export('") + kCopySchema + "');");
            exportAll.Run();
        }
        // sqlcipher_export leaves user_version behind; the host reads it.
        const int64_t version = OneStatement(db.Handle(), "PRAGMA main.user_version;").Run();
        db.Execute(std::string("PRAGMA ") + kCopySchema +
                   ".user_version = " + std::to_string(static_cast<int32_t>(version)) + ";");
        db.Execute(std::string("DETACH DATABASE ") + kCopySchema + ";");
        attached = false;
        db.Close();
    } catch (const std::exception& error) {
        if (attached) {
            const std::string detach = std::string("DETACH DATABASE ") + kCopySchema + ";";
            sqlite3_exec(db.Handle(), detach.c_str(), nullptr, nullptr, nullptr);
        }
        db.Close();
        RemovePartial(destination);
        Fail(source, destination, error.what());
    }
}

}  // namespace vornback
