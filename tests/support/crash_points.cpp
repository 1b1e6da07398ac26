#include "support/crash_points.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <stdexcept>

#include "support/power_cut.h"

namespace vornback::test {

namespace {
constexpr int kKilledStatus = 86;
enum class CrashOutcome { Killed, Finished, Failed };
}  // namespace

void KillingFileSystem::Step() {
    if (--remaining_ == 0) {
        BeforeExit();
        std::fflush(nullptr);
        ::_exit(kKilledStatus);
    }
}

void PrintTo(CrashMode mode, std::ostream* out) {
    *out << (mode == CrashMode::Kill ? "Kill" : "PowerLoss");
}

void KillingFileSystem::CreateFolder(const std::string& path) {
    LocalFileSystem::CreateFolder(path);
    Step();
}
void KillingFileSystem::DeleteFile(const std::string& path, bool force) {
    LocalFileSystem::DeleteFile(path, force);
    Step();
}
void KillingFileSystem::DeleteFolder(const std::string& path, bool force) {
    LocalFileSystem::DeleteFolder(path, force);
    Step();
}
void KillingFileSystem::CopyFolder(const std::string& from, const std::string& to, bool overwrite) {
    LocalFileSystem::CopyFolder(from, to, overwrite);
    Step();
}
void KillingFileSystem::MoveFile(const std::string& from, const std::string& to) {
    LocalFileSystem::MoveFile(from, to);
    Step();
}
void KillingFileSystem::MoveFolder(const std::string& from, const std::string& to) {
    LocalFileSystem::MoveFolder(from, to);
    Step();
}
void KillingFileSystem::Kill(const std::string& path) {
    LocalFileSystem::Kill(path);
    Step();
}

bool KillingFileSystem::HardLink(const std::string& existing, const std::string& link) {
    if (!HardLinks()) {
        return false;
    }
    const bool linked = LocalFileSystem::HardLink(existing, link);
    Step();
    return linked;
}
void KillingFileSystem::ReplaceFile(const std::string& from, const std::string& to) {
    LocalFileSystem::ReplaceFile(from, to);
    Step();
}

void KillingFileSystem::WriteWholeFile(const std::string& path, const std::string& bytes,
                                       unsigned mode) {
    LocalFileSystem::WriteWholeFile(path, bytes, mode);
    Step();
}

// Runs flow in a forked child with a KillingFileSystem that ends it after killAfter
// changing calls. Finished: the flow returned; Failed: it threw (the text goes to stderr).
static CrashOutcome RunKilledAfter(int killAfter, const std::function<void(FileSystem&)>& flow,
                                   const CrashOptions& options) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        ADD_FAILURE() << "fork failed";
        return CrashOutcome::Failed;
    }
    if (child == 0) {
        // A limit of 0 would never be reached: a run killed before its first step is the
        // starting state itself, so it is not a kill point.
        const int limit = killAfter > 0 ? killAfter : -1;
        int status = 0;
        try {
            if (options.mode == CrashMode::PowerLoss) {
                if (options.roots.empty()) {
                    throw std::runtime_error("a power cut needs the folders it cuts");
                }
                PowerCutJournal journal(options.roots, options.roots[0] + "/.power-cut-saved");
                PowerCutFileSystem fs(limit, options.hardLinks, journal);
                flow(fs);
                // The run has told its end: the power fails right after.
                journal.Cut();
            } else {
                KillingFileSystem fs(limit, options.hardLinks);
                flow(fs);
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "flow failed: %s\n", e.what());
            status = 1;
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kKilledStatus) {
        return CrashOutcome::Killed;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? CrashOutcome::Finished
                                                         : CrashOutcome::Failed;
}

int ForEachKillPoint(const std::function<void()>& prepare,
                     const std::function<void(FileSystem&)>& flow,
                     const std::function<void(int killedAfter)>& check,
                     const CrashOptions& options) {
    int points = 0;
    for (int n = 1;; ++n) {
        prepare();
        const CrashOutcome outcome = RunKilledAfter(n, flow, options);
        if (outcome == CrashOutcome::Failed) {
            ADD_FAILURE() << "the flow failed instead of being killed after step " << n;
            return points;
        }
        if (outcome == CrashOutcome::Finished) {
            if (options.mode == CrashMode::PowerLoss) {
                check(0);
                ++points;
            }
            return points;
        }
        ++points;
        check(n);
        if (::testing::Test::HasFailure()) {
            return points;
        }
    }
}

}  // namespace vornback::test
