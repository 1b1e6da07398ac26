#include "offsite/offsite_prune.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "archive/archive.h"
#include "base/warnings.h"
#include "history/history.h"
#include "offsite/sftp_session.h"
#include "platform/posix.h"

namespace vornback {

namespace {

std::string Join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// One firm archive found on the server.
struct RemoteFound {
    std::string path;    // the server's path
    std::string folder;  // the sub-folder's path holding it
    ArchiveSet set = ArchiveSet::DateWise;
    uint64_t size = 0;
    PolicyArchive policy;  // named "<sub-folder>/<name>"
};

bool Wanted(const std::optional<ArchiveSet>& set, const PolicyArchive& a,
            const OffsitePruneRequest& request) {
    return set && (!request.firm || a.firm == *request.firm) &&
           (!request.yearNo || a.yearNo == *request.yearNo) &&
           (!request.set || *set == *request.set);
}

// The wanted firm archives of the date-wise and day-wise sub-folders, each dated by the
// server. An archive the server gives no time for is left out, so never removed.
std::vector<RemoteFound> FindRemoteArchives(SftpSession& session,
                                            const OffsitePruneRequest& request) {
    const std::string root = session.Address().folder;
    std::vector<RemoteFound> found;
    for (const RemoteEntry& sub : session.List(root)) {
        const std::optional<ArchiveSet> set = ArchiveSetOfFolder(sub.name);
        if (!sub.folder || !set) {
            continue;
        }
        const std::string folder = Join(root, sub.name);
        for (const RemoteEntry& e : session.List(folder)) {
            std::optional<PolicyArchive> policy =
                e.folder ? std::nullopt : PolicyArchiveFromName(e.name, 0);
            if (!policy || !Wanted(set, *policy, request)) {
                continue;
            }
            const std::string path = Join(folder, e.name);
            const std::optional<int64_t> time = session.ModifiedTime(path);
            if (!time) {
                Warn("the server gives no time for " + path + "; it is kept");
                continue;
            }
            policy->time = *time;
            policy->name = sub.name + "/" + e.name;
            found.push_back(RemoteFound{path, folder, *set, e.size, std::move(*policy)});
        }
    }
    return found;
}

// Reads the remote archive into the scratch file and checks every entry.
bool RemoteVerifies(SftpSession& session, const RemoteFound& a, const OffsitePruneRequest& r) {
    struct Scratch {
        const std::string& path;
        ~Scratch() { ::unlink(path.c_str()); }
    } scratch{r.scratch};
    {
        Fd fd(::open(r.scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!fd.Valid()) {
            throw OffsiteError("The scratch file " + r.scratch +
                               " cannot be written: " + std::strerror(errno));
        }
        session.Download(a.path, [&](const char* data, size_t n) {
            if (WriteAll(fd.Get(), data, n) != 0) {
                throw OffsiteError("The scratch file " + r.scratch +
                                   " cannot be written: " + std::strerror(errno));
            }
        });
    }
    try {
        UnpackOptions options;
        options.cancel = r.cancel;
        options.passphrase = r.passphrase;
        VerifyArchive(r.scratch, options);
        return true;
    } catch (const ArchiveCancelled&) {
        throw;
    } catch (const ArchiveError& e) {
        Warn("the offsite copy " + a.path + " does not verify: " + e.what());
        return false;
    }
}

}  // namespace

PruneOutcome PruneOffsiteFolder(const OffsiteSettings& settings, Clock& clock,
                                const OffsitePruneRequest& request) {
    PruneOutcome outcome;
    SftpSession session(settings, request.cancel);
    std::vector<RemoteFound> found = FindRemoteArchives(session, request);

    std::map<int64_t, bool> held;
    std::map<std::string, const RemoteFound*> byName;
    for (const ArchiveSet set : {ArchiveSet::DateWise, ArchiveSet::DayWise}) {
        std::vector<PolicyArchive> archives;
        for (RemoteFound& a : found) {
            if (a.set != set) {
                continue;
            }
            if (held.count(a.policy.firm) == 0) {
                held[a.policy.firm] = request.heldByRun && request.heldByRun(a.policy.firm);
            }
            a.policy.held = held[a.policy.firm];
            archives.push_back(a.policy);
            byName[a.policy.name] = &a;
        }
        const VerifiesFn verifies = [&](const PolicyArchive& p) {
            return p.name == request.knownGood ||
                   RemoteVerifies(session, *byName.at(p.name), request);
        };
        for (ArchiveDecision& d : ApplyKeepPolicy(std::move(archives), request.policy, verifies)) {
            outcome.decisions.push_back(std::move(d));
        }
    }
    if (request.dryRun) {
        return outcome;
    }

    std::vector<const RemoteFound*> removals;
    for (const ArchiveDecision& d : outcome.decisions) {
        if (!d.keep) {
            removals.push_back(byName.at(d.archive.name));
        }
    }
    std::sort(removals.begin(), removals.end(), [](const RemoteFound* a, const RemoteFound* b) {
        return a->policy.time < b->policy.time;
    });
    std::set<std::string> emptied;
    for (const RemoteFound* a : removals) {
        if (request.cancel != nullptr && request.cancel->load()) {
            throw ArchiveCancelled("The removal of older offsite backups was interrupted.");
        }
        try {
            session.Commands({"rm " + SftpSession::Quoted(a->path)});
        } catch (const SftpError& e) {
            outcome.failures.push_back(a->policy.name + ": " + e.what());
            continue;
        }
        RecordPrune(
            request.historyFile, clock, a->policy.firm, a->policy.yearNo,
            session.Address().UrlOf(a->path), a->size,
            "removed from the offsite folder by the keep policy (" + request.policy.Text() + ")");
        outcome.removed.push_back(a->policy.name);
        emptied.insert(a->folder);
    }
    // A sub-folder left with nothing in it goes; the server refuses to remove one that
    // holds anything (a file put there meanwhile), which is not an error.
    for (const std::string& folder : emptied) {
        try {
            if (session.List(folder).empty()) {
                session.Commands({"*rmdir " + SftpSession::Quoted(folder)});
            }
        } catch (const SftpError& e) {
            outcome.failures.push_back(e.what());
        }
    }
    return outcome;
}

}  // namespace vornback
