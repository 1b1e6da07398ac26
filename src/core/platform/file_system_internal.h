// Helpers shared by the parts of LocalFileSystem (file_system.cpp, file_system_copy.cpp,
// file_system_delete.cpp): the failure sentence and the folder-descriptor walks.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/posix.h"

namespace vornback::file_system_internal {

// Throws FileSystemError: what the operation op could not do, on which path (and the inner
// entry that stopped it), the system's reason and what to try.
[[noreturn]] void Fail(std::string_view op, std::string_view path, int err,
                       std::string_view inner = {}, std::string_view note = {});
[[noreturn]] void Fail2(std::string_view op, std::string_view source, std::string_view destination,
                        int err, std::string_view inner = {}, std::string_view note = {});

// The path without trailing separators; the root stays "/".
std::string_view TrimTrailing(std::string_view path);
std::string_view LastComponent(std::string_view path);
// Read-only means no owner write bit.
bool IsReadOnly(const struct stat& st);
Fd OpenFolderAt(int dirFd, const char* name, bool followLink);
// The names in an open folder, without "." and "..", sorted byte-wise. Returns 0 or errno.
int ListNames(int dirFd, std::vector<std::string>& names);

}  // namespace vornback::file_system_internal
