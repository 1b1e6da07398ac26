// prune and list --why: the keep policy applied to a backup folder's date-wise and
// day-wise archives, or to those of an sftp:// offsite folder, removing what it does not
// keep or explaining every decision.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/data_tree.h"
#include "base/errors.h"
#include "base/text.h"
#include "common.h"
#include "history/history.h"
#include "offsite/offsite_prune.h"
#include "offsite/passphrase.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"
#include "retention/prune.h"
#include "startup/launch.h"

namespace vornback {
namespace {

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// One line per archive: its name, local time and what the policy made of it.
void Show(const PruneOutcome& outcome, bool json, bool dryRun) {
    for (const ArchiveDecision& d : outcome.decisions) {
        const PolicyArchive& a = d.archive;
        const bool removed = !d.keep && std::find(outcome.removed.begin(), outcome.removed.end(),
                                                  a.name) != outcome.removed.end();
        const std::string decision = d.keep    ? d.Why()
                                     : dryRun  ? "remove"
                                     : removed ? "removed"
                                               : "not removed";
        if (json) {
            std::string reasons;
            for (const std::string& r : d.reasons) {
                reasons += (reasons.empty() ? "" : ",") + Json(r);
            }
            std::cout << "{\"archive\":" << Json(a.name) << ",\"firm\":" << a.firm
                      << ",\"year\":" << Json(a.yearNo)
                      << ",\"time\":" << Json(LocalTimeText(a.time))
                      << ",\"keep\":" << (d.keep ? "true" : "false") << ",\"reasons\":[" << reasons
                      << "],\"removed\":" << (removed ? "true" : "false") << "}\n";
        } else {
            std::printf("%-28s %-16s %s\n", a.name.c_str(), LocalTimeText(a.time).c_str(),
                        decision.c_str());
        }
    }
}

// What a prune did: its notes, every archive's decision, its failures and, in words, what
// went. Failures give exit status 1.
int Report(const PruneOutcome& outcome, bool json, bool dryRun) {
    for (const std::string& note : outcome.notes) {
        std::cerr << "vornback-cli: " << note << "\n";
    }
    Show(outcome, json, dryRun);
    for (const std::string& failure : outcome.failures) {
        std::cerr << "vornback-cli: " << failure << "\n";
    }
    if (!json && !dryRun) {
        std::cout << (outcome.removed.empty() ? "nothing removed"
                                              : RemovedBackupsText(outcome.removed))
                  << "\n";
    }
    return outcome.failures.empty() ? kOk : kFailure;
}

// The policy of the settings file of the program folder, each --keep-* option in place
// of its key.
KeepPolicy PolicyOf(const ParsedArgs& parsed) {
    ProgramValues values;
    values.ProgramFolder = ProgramFolderOption(parsed);
    return KeepOptions(parsed, LoadKeepPolicy(SettingsFile(values)));
}

// The history file of the data tree (in the user's state folder when its program folder is
// not writable) and its values; an installed tool without a data tree has none.
std::optional<ProgramValues> DataTreeOf(const ParsedArgs& parsed) {
    try {
        const Workplace place = WorkplaceOption(parsed, false);
        ProgramValues values;
        values.ProgramFolder = place.programFolder;
        values.StateFolder = place.stateFolder;
        return values;
    } catch (const Usage&) {
        return std::nullopt;
    }
}

// The keep policy on an sftp:// folder, reached with the offsite settings' key and host key
// (or the --offsite-* options). A firm that a backup or restore of the data tree holds
// keeps its remote archives; the firm's lock is held while its archives are removed.
PruneOutcome PruneRemote(const std::string& url, const ParsedArgs& parsed,
                         OffsitePruneRequest request) {
    OffsiteSettings settings = OffsiteSettingsFor(parsed, ProgramFolderOption(parsed));
    settings.url = url;
    if (settings.encrypt) {
        // Encrypted remote copies verify only with the archives' passphrase.
        request.passphrase = EncryptionPassphrase(settings.passphraseFile);
    }
    const std::optional<ProgramValues> values = DataTreeOf(parsed);
    if (values) {
        request.historyFile = HistoryFile(*values);
    }
    std::map<int64_t, RunLock> locks;
    if (values && !request.dryRun) {
        request.heldByRun = [&](int64_t firm) {
            try {
                locks.emplace(firm, LockFirm(*values, firm, TheSystemClock()));
                return false;
            } catch (const RunLocked& e) {
                std::cerr << "vornback-cli: the offsite archives of firm " << firm
                          << " are kept: " << e.what() << "\n";
            } catch (const FileSystemError& e) {
                std::cerr << "vornback-cli: the offsite archives of firm " << firm
                          << " are kept, as its lock cannot be taken: " << e.what() << "\n";
            }
            return true;
        };
    }
    // A remote archive is verified in a private scratch folder of this run, removed after.
    const ScratchFolder scratch("prune", "A scratch folder");
    request.scratch = scratch.Path() + "/archive.zip";
    request.cancel = &gCancel;
    return PruneOffsiteFolder(settings, TheSystemClock(), request);
}

}  // namespace

const std::vector<std::string> kKeepOptions = {"--keep-last", "--keep-daily", "--keep-weekly",
                                               "--keep-monthly", "--keep-yearly"};

KeepPolicy KeepOptions(const ParsedArgs& parsed, KeepPolicy policy) {
    int* const counts[] = {&policy.last, &policy.daily, &policy.weekly, &policy.monthly,
                           &policy.yearly};
    for (size_t i = 0; i < kKeepOptions.size(); ++i) {
        if (parsed.Has(kKeepOptions[i])) {
            *counts[i] = static_cast<int>(
                NumberOption(kKeepOptions[i], parsed.Value(kKeepOptions[i]), 0, 10000));
        }
    }
    return policy;
}

int ExplainKeep(const std::string& folder, const ParsedArgs& parsed) {
    const KeepPolicy policy = PolicyOf(parsed);
    std::cout << "keep policy: " << policy.Text() << "\n";
    if (folder.starts_with("sftp://")) {
        OffsitePruneRequest request;
        request.policy = policy;
        request.dryRun = true;
        Show(PruneRemote(folder, parsed, request), false, true);
        return kOk;
    }
    LocalFileSystem fs;
    PruneRequest request;
    request.policy = policy;
    request.dryRun = true;
    request.cancel = &gCancel;
    Show(PruneBackupFolder(fs, TheSystemClock(), folder, request), false, true);
    return kOk;
}

int PruneCommand(const std::vector<std::string>& args) {
    std::vector<std::string> valueOptions = kKeepOptions;
    valueOptions.push_back("--program-folder");
    valueOptions.push_back("--data");
    valueOptions.insert(valueOptions.end(), kOffsiteValueOptions.begin(),
                        kOffsiteValueOptions.end());
    const ParsedArgs parsed = ParseArgs(args, valueOptions, {"--dry-run", "--json"});
    PruneRequest request;
    std::string folder;
    for (const std::string& p : parsed.positional) {
        if (IsDecimalNumber(p) && !request.firm && folder.empty()) {
            request.firm = NumberOption("<firm>", p, 0, INT32_MAX);
        } else if (folder.empty()) {
            folder = p;
        } else {
            throw Usage{"prune takes at most a firm and one backup folder"};
        }
    }
    const bool json = parsed.Has("--json");
    if (folder.starts_with("sftp://")) {
        OffsitePruneRequest remote;
        remote.policy = PolicyOf(parsed);
        remote.firm = request.firm;
        remote.dryRun = parsed.Has("--dry-run");
        if (!json) {
            std::cout << "keep policy: " << remote.policy.Text() << "\n";
        }
        return Report(PruneRemote(folder, parsed, remote), json, remote.dryRun);
    }
    if (folder.empty()) {
        const std::string programFolder = ProgramFolderOption(parsed);
        folder = DefaultBackupFolder(programFolder, LookUpDefaultFolderFacts(programFolder));
    }
    if (!std::filesystem::is_directory(folder)) {
        throw Error("The backup folder \"" + folder + "\" does not exist.");
    }
    folder = std::filesystem::absolute(folder).lexically_normal().string();
    request.policy = PolicyOf(parsed);
    request.dryRun = parsed.Has("--dry-run");
    request.cancel = &gCancel;
    // The history of the data tree (in the user's state folder when its program folder is
    // not writable); an installed tool without a data tree has none to record in.
    try {
        const Workplace place = WorkplaceOption(parsed, false);
        ProgramValues values;
        values.ProgramFolder = place.programFolder;
        values.StateFolder = place.stateFolder;
        request.historyFile = HistoryFile(values);
    } catch (const Usage&) {
        request.historyFile.clear();
    }
    if (!json) {
        std::cout << "keep policy: " << request.policy.Text() << "\n";
    }
    LocalFileSystem fs;
    return Report(PruneBackupFolder(fs, TheSystemClock(), folder, request), json, request.dryRun);
}

}  // namespace vornback
