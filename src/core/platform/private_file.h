// Secrets kept in files (the offsite passphrase, the mail password) are read only from a
// file that is the person's own and that nobody else may read or change, as ssh treats
// its keys: a file open to others may have been read or swapped by them.
#pragma once

#include <string>

namespace vornback {

// The first line of the file, without its line end. what names the file in messages
// ("The passphrase file"). Throws Error, with nothing read, when the file is missing, not
// a regular file, not owned by the user running the program, open to the group or others
// (any of the mode bits 077), or empty.
std::string ReadPrivateFile(const std::string& path, const std::string& what);

}  // namespace vornback
