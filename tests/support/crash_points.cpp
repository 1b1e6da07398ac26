#include "support/crash_points.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

namespace vornback::test {

namespace {
constexpr int kKilledStatus = 86;
}

void KillingFileSystem::Step() {
    if (--remaining_ == 0) {
        std::fflush(nullptr);
        ::_exit(kKilledStatus);
    }
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
    if (!hardLinks_) {
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

CrashOutcome RunKilledAfter(int killAfter, const std::function<void(FileSystem&)>& flow,
                            bool hardLinks) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        ADD_FAILURE() << "fork failed";
        return CrashOutcome::Failed;
    }
    if (child == 0) {
        // A limit of 0 would never be reached: a run killed before its first step is the
        // starting state itself, so it is not a kill point.
        KillingFileSystem fs(killAfter > 0 ? killAfter : -1, hardLinks);
        int status = 0;
        try {
            flow(fs);
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
                     const std::function<void(int killedAfter)>& check, bool hardLinks) {
    int points = 0;
    for (int n = 1;; ++n) {
        prepare();
        const CrashOutcome outcome = RunKilledAfter(n, flow, hardLinks);
        if (outcome == CrashOutcome::Failed) {
            ADD_FAILURE() << "the flow failed instead of being killed after step " << n;
            return points;
        }
        if (outcome == CrashOutcome::Finished) {
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
