#include "platform/run_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <utility>

#include "base/data_tree.h"
#include "base/names.h"
#include "base/text.h"

namespace vornback {

namespace {

enum class Outcome { kTaken, kHeld };

[[noreturn]] void FailLockFile(const std::string& file, int err) {
    throw FileSystemError(
        "Could not open the lock file \"" + file +
        "\" that keeps two runs of one firm apart: " + std::strerror(err) +
        ". Check that the folder exists and that you may write in it, then try again.");
}

// Opens and locks the file; retries when the name was removed or replaced between the
// open and the lock (a releasing run removes its file), so the lock held is always the
// one on the file the name leads to.
Outcome Lock(const std::string& file, Fd& out) {
    for (;;) {
        Fd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!fd.Valid()) {
            FailLockFile(file, errno);
        }
        int rc;
        do {
            rc = ::flock(fd.Get(), LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            if (errno == EWOULDBLOCK) {
                return Outcome::kHeld;
            }
            FailLockFile(file, errno);
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd.Get(), &held) != 0) {
            FailLockFile(file, errno);
        }
        if (::stat(file.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino) {
            out = std::move(fd);
            return Outcome::kTaken;
        }
    }
}

void WriteHolder(int fd, Clock& clock) {
    char when[32] = "";
    const auto now = static_cast<std::time_t>(clock.Seconds());
    std::tm local{};
    if (::localtime_r(&now, &local) != nullptr) {
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &local);
    }
    const std::string line =
        std::to_string(::getpid()) + " " + program_invocation_short_name + " " + when + "\n";
    // The line only serves a refusal's text; a failure to write it is not worth failing
    // the run for.
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, line.data(), line.size(), 0) < 0) {
        return;
    }
}

// "program vornback, process 1234, since 2026-12-07T01:30:00" from the holder's line, or
// "" when the holder has not written it yet.
std::string HolderText(const std::string& file) {
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    char buffer[256] = {};
    const ssize_t n = fd.Valid() ? ReadAt(fd.Get(), buffer, sizeof buffer - 1, 0) : -1;
    if (n <= 0) {
        return "";
    }
    std::string line(buffer, static_cast<size_t>(n));
    line = line.substr(0, line.find('\n'));
    const auto first = line.find(' ');
    const auto second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) {
        return "";
    }
    return "program " + line.substr(first + 1, second - first - 1) + ", process " +
           line.substr(0, first) + ", since " + line.substr(second + 1);
}

}  // namespace

RunLock RunLock::Take(const std::string& lockFile, const std::string& whatText, Clock& clock) {
    Fd fd;
    if (Lock(lockFile, fd) == Outcome::kHeld) {
        const std::string holder = HolderText(lockFile);
        throw RunLocked("A backup or restore of " + whatText + " is already running" +
                        (holder.empty() ? "" : " (" + holder + ")") +
                        ", so this one was not started and nothing was changed. Wait until "
                        "it has finished, then try again.");
    }
    WriteHolder(fd.Get(), clock);
    return RunLock(lockFile, std::move(fd));
}

std::optional<RunLock> RunLock::TryTake(const std::string& lockFile, Clock& clock) {
    Fd fd;
    if (Lock(lockFile, fd) == Outcome::kHeld) {
        return std::nullopt;
    }
    WriteHolder(fd.Get(), clock);
    return RunLock(lockFile, std::move(fd));
}

RunLock& RunLock::operator=(RunLock&& other) noexcept {
    if (this != &other) {
        Release();
        file_ = std::move(other.file_);
        fd_ = std::move(other.fd_);
    }
    return *this;
}

RunLock::~RunLock() {
    Release();
}

void RunLock::Release() {
    if (fd_.Valid()) {
        // Removed while still held, so no other run can hold a lock on this name's file
        // at the same time as a run that opens the new one.
        ::unlink(file_.c_str());
        fd_.Reset();
    }
}

void RunLock::Describe(const std::string& sentence) {
    if (!fd_.Valid()) {
        return;
    }
    const std::string line = sentence + "\n";
    const off_t end = ::lseek(fd_.Get(), 0, SEEK_END);
    if (end < 0 || ::pwrite(fd_.Get(), line.data(), line.size(), end) < 0) {
        return;
    }
}

std::string StagingLockFile(const ProgramValues& values, int64_t firm) {
    return JoinPath(StagingRoot(values), StagingLockName(firm));
}

RunLock HoldStagingFolder(const ProgramValues& values, int64_t firm, int64_t holderFirm,
                          Clock& clock) {
    RunLock lock = RunLock::Take(StagingLockFile(values, firm),
                                 "the staging folder of firm " + std::to_string(firm), clock);
    lock.Describe("the restore window of firm " + std::to_string(holderFirm) + ", process " +
                  std::to_string(::getpid()) + ", holds an unpacked archive of firm " +
                  std::to_string(firm) + "; close it or finish that restore");
    return lock;
}

void EnsureStagingFolderFree(const ProgramValues& values, int64_t firm, Clock& clock) {
    const std::string file = StagingLockFile(values, firm);
    if (RunLock::TryTake(file, clock)) {
        return;  // released at once: taken only under the firm's lock, which this run holds
    }
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    char buffer[512] = {};
    const ssize_t n = fd.Valid() ? ReadAt(fd.Get(), buffer, sizeof buffer - 1, 0) : -1;
    const std::string text = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
    const size_t second = text.find('\n');
    std::string holder = second == std::string::npos
                             ? ""
                             : text.substr(second + 1, text.find('\n', second + 1) - second - 1);
    if (holder.empty()) {
        holder = "a restore window holds an unpacked archive of firm " + std::to_string(firm) +
                 "; close it or finish that restore";
    }
    throw RunLocked("The staging folder of firm " + std::to_string(firm) +
                    " is in use, so this run was not started and nothing was changed: " + holder +
                    ".");
}

std::string FirmLockFile(const ProgramValues& values, int64_t firm) {
    return JoinPath(values.StateFolder.empty() ? StagingRoot(values) : values.StateFolder,
                    FirmLockName(firm));
}

std::string DestinationLockFile(const std::string& destination, int64_t firm) {
    return JoinPath(destination, FirmLockName(firm));
}

RunLock LockFirm(const ProgramValues& values, int64_t firm, Clock& clock) {
    // The staging root is made here; a state folder is made by whoever names it.
    const std::string root = StagingRoot(values);
    if (values.StateFolder.empty()) {
        if (::mkdir(root.c_str(), PrivateFolderMode()) == 0) {
            MakePrivate(root, true);
        } else if (errno != EEXIST) {
            const int err = errno;
            throw FileSystemError(
                "Could not create the staging folder \"" + root + "\": " + std::strerror(err) +
                ". Check that you may write in the program's folder, then try again.");
        }
    }
    return RunLock::Take(FirmLockFile(values, firm), "firm " + std::to_string(firm), clock);
}

}  // namespace vornback
