#include "platform/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/errors.h"
#include "platform/posix.h"

namespace vornback {

std::string ReadPrivateFile(const std::string& path, const std::string& what) {
    const std::string named = what + " \"" + path + "\"";
    // O_NOFOLLOW: a link could point anywhere; the checks below are made on the open file
    // itself, so that nothing can be swapped in between.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd.Valid()) {
        throw Error(named + " cannot be opened: " + std::strerror(errno) + ".");
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw Error(named + " is not a regular file.");
    }
    if (st.st_uid != ::geteuid()) {
        throw Error(named + " belongs to another user; it must be your own (chown it).");
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw Error(named + " may be read or changed by others (mode " + mode +
                    "); allow only yourself: chmod 600 \"" + path + "\".");
    }
    std::string text;
    char buffer[4096];
    while (text.size() < 65536) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw Error(named + " cannot be read: " + std::strerror(errno) + ".");
        }
        if (n == 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    const size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos) {
        text.resize(end);
    }
    if (text.empty()) {
        throw Error(named + " is empty; its first line holds the secret.");
    }
    return text;
}

}  // namespace vornback
