#include "store/compaction.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "base/errors.h"
#include "base/warnings.h"
#include "store/database.h"

namespace vornback {

namespace {

constexpr const char* kCopySchema = "compacted";

[[noreturn]] void Fail(const std::string& source, const std::string& destination,
                       const std::string& reason) {
    throw DatabaseError("The database file \"" + source + "\" could not be compacted into \"" +
                        destination + "\" because " + reason + ".");
}

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
    const int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        Fail(source, destination,
             errno == EEXIST
                 ? std::string("a file of that name exists")
                 : std::string("the copy could not be created (") + std::strerror(errno) + ")");
    }
    ::close(fd);

    bool attached = false;
    try {
        {
            // The key is always given: an ATTACH without one would take the main
            // database's key, and an empty key must give a plain copy of a plain source.
            Statement attach(db, std::string("ATTACH DATABASE ?1 AS ") + kCopySchema + " KEY ?2;");
            attach.Bind(1, destination);
            attach.Bind(2, key);
            attach.Run();
            attached = true;
        }
        Statement(db, std::string("SELECT sqlcipher_export('") + kCopySchema + "');").Run();
        // sqlcipher_export leaves user_version behind; the host reads it.
        int64_t version = 0;
        {
            Statement read(db, "PRAGMA main.user_version;");
            read.Step();
            version = read.Integer(0, "the version number", 0);
        }
        db.Execute(std::string("PRAGMA ") + kCopySchema +
                   ".user_version = " + std::to_string(version) + ";");
        db.Execute(std::string("DETACH DATABASE ") + kCopySchema + ";");
        attached = false;
        db.Close();
    } catch (const DatabaseError&) {
        if (attached) {
            // Best effort before the close; the close releases the attachment anyway.
            try {
                db.Execute(std::string("DETACH DATABASE ") + kCopySchema + ";");
            } catch (const DatabaseError& detachError) {
                Warn(detachError.what());
            }
        }
        db.Close();
        RemovePartial(destination);
        // The failure names the database and why; the partial copy is gone.
        throw;
    }
}

}  // namespace vornback
