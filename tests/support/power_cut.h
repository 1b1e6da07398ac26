// Power cuts: the file system of a killed flow loses, at the moment of the cut, everything
// that was not yet made durable, as a disk loses it when the power fails (SQLite's crash
// tests model the same):
// - a name created, renamed, linked or removed through the file-system service whose
//   folder (each folder it touches) was not synced after it goes back as it was;
// - file data not synced since it was written is lost: a file made during the run and never
//   synced is empty, one that grew since its last sync loses what it gained.
// Syncs are seen wherever they are made (the service, the packer, the unpacker, the register
// databases): fsync, fdatasync and syncfs of this process are watched while a cut is armed.
// What the model cannot tell: names made outside the service are taken as durable, and
// bytes rewritten in place after a sync keep their new value.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/crash_points.h"

namespace vornback::test {

// Keeps the journal of one armed run; at most one is armed in a process.
class PowerCutJournal {
  public:
    // roots: the folders whose files lose unsynced data at the cut (the test's own temporary
    // folder); everything in them counts as durable now. saveArea: a folder on the same
    // volume, outside the roots' watched trees' names, for what removals take away.
    PowerCutJournal(std::vector<std::string> roots, std::string saveArea);
    ~PowerCutJournal();
    PowerCutJournal(const PowerCutJournal&) = delete;
    PowerCutJournal& operator=(const PowerCutJournal&) = delete;

    // Before a removal or replacement of path: keeps its entry (a second name of a file, a
    // linked copy of a folder) so that the cut can bring it back. Returns the saved path or
    // "" when nothing is at path.
    std::string Save(const std::string& path);
    // A change of names made through the service: undone at the cut unless every folder in
    // touched has been synced after it. undo restores what it changed.
    void Record(std::vector<std::string> touched, std::function<void()> undo);
    // The cut: undoes what is not durable, newest first, then cuts unsynced file data.
    void Cut();

    // Called from the watched sync calls.
    void Synced(int fd);
    void SyncedAll();

  private:
    struct Change {
        std::set<std::string> pending;  // folders still to be synced
        std::function<void()> undo;
    };
    void Snapshot();
    // Calls f with each regular file below the roots (the save area left out).
    void EachFile(const std::function<void(const std::filesystem::path&, const struct stat&)>& f);

    std::vector<std::string> roots_;
    std::string saveArea_;
    int saved_ = 0;
    std::vector<Change> changes_;
    std::map<std::pair<dev_t, ino_t>, off_t> durableSize_;
};

// The killing file system that journals every change of names for a power cut made at the
// kill point.
class PowerCutFileSystem : public KillingFileSystem {
  public:
    PowerCutFileSystem(int killAfter, bool hardLinks, PowerCutJournal& journal)
        : KillingFileSystem(killAfter, hardLinks), journal_(journal) {}
    void CreateFolder(const std::string& path) override;
    void DeleteFile(const std::string& path, bool force) override;
    void DeleteFolder(const std::string& path, bool force) override;
    void CopyFolder(const std::string& from, const std::string& to, bool overwrite) override;
    void MoveFile(const std::string& from, const std::string& to) override;
    void MoveFolder(const std::string& from, const std::string& to) override;
    void Kill(const std::string& path) override;
    bool HardLink(const std::string& existing, const std::string& link) override;
    void ReplaceFile(const std::string& from, const std::string& to) override;
    void WriteWholeFile(const std::string& path, const std::string& bytes, unsigned mode) override;

  protected:
    void BeforeExit() override { journal_.Cut(); }

  private:
    // Saves what is at path, then makes the change; a change that fails drops the saved copy.
    std::string SavedAround(const std::string& path, const std::function<void()>& change);
    void Removal(const std::string& path, const std::function<void()>& remove);
    void Rename(const std::string& from, const std::string& to, const std::function<void()>& move);

    PowerCutJournal& journal_;
};

}  // namespace vornback::test
