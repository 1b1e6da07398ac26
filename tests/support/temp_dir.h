// A fresh temporary folder per test, removed with everything in it afterwards (write bits
// are given back first so read-only test files do not stop the clean-up).
#pragma once

#include <filesystem>
#include <string>

namespace vornback::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The path of a name inside the folder, as text.
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// Writes a file (creating parent folders) with the given bytes.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// Reads a whole file; throws when it cannot.
std::string ReadFile(const std::filesystem::path& path);
// Sets a file's modification time, in seconds since the epoch.
void SetMTime(const std::filesystem::path& path, int64_t seconds);
// A file's modification time in whole seconds since the epoch.
int64_t MTime(const std::filesystem::path& path);
// Runs a shell command, returns its exit status; its output is appended to *output when
// given.
int RunCommand(const std::string& command, std::string* output = nullptr);

}  // namespace vornback::test
