// Kill points: a flow runs in a child process whose file system ends the child at once
// (as kill -9 would) right after its n-th changing call, so that a test can check what
// every interrupted step leaves behind and what recovery makes of it. In the power-loss
// mode the end is a power cut: what was not yet durable is lost too (support/power_cut.h).
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace vornback::test {

// The real file system, counting the calls that change the disk. When the count reaches
// the limit the process ends with _exit, leaving everything as it lies.
class KillingFileSystem : public LocalFileSystem {
  public:
    // Without hardLinks, HardLink answers as a file system without them does.
    explicit KillingFileSystem(int killAfter, bool hardLinks = true)
        : remaining_(killAfter), hardLinks_(hardLinks) {}
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
    // Called after each changing call; ends the process when the limit is reached.
    void Step();
    // What happens to the disk as the process ends: nothing for a kill.
    virtual void BeforeExit() {}
    bool HardLinks() const { return hardLinks_; }

  private:
    int remaining_;
    bool hardLinks_;
};

// How a flow is ended at its kill point: the process killed, the disk as it lies; or the
// power cut, the disk without what was not yet durable.
enum class CrashMode { Kill, PowerLoss };
void PrintTo(CrashMode mode, std::ostream* out);

struct CrashOptions {
    // Without hardLinks, HardLink answers as a file system without them does.
    bool hardLinks = true;
    CrashMode mode = CrashMode::Kill;
    // For a power cut: the folders whose files lose unsynced data (the test's temporary
    // folder, which holds everything the flow writes).
    std::vector<std::string> roots;
};

// For n = 1, 2, ...: prepare() lays the starting state, the flow runs killed after n
// changing calls, then check(n) looks at what is left (recovery included). Stops after the
// first run that finishes; returns the number of kill points (runs that were killed).
// A flow that fails instead of being killed fails the test. With a power cut the run that
// finishes is cut right after its end too, and check(0) looks at it: all it did must
// stay.
int ForEachKillPoint(const std::function<void()>& prepare,
                     const std::function<void(FileSystem&)>& flow,
                     const std::function<void(int killedAfter)>& check,
                     const CrashOptions& options);

}  // namespace vornback::test
