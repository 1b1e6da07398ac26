// Recovery of interrupted restores. The markers below ProgramFolder/Back name what a
// restore was changing when it ended (names in base/temp_names.h):
//   .swap-Firm<n>-<stamp>   Full Firm: the replaced firm is Back/Replaced/Firm<n>-<stamp>
//   .swap-Firm<n>-Yr<t>     Selected Year: the replaced year is Back/.aside-Firm<n>-Yr<t>
//   .place-Firm<m>          Add Firm placing AppFolder/Firm<m> before its root register row
//   .place-Firm<n>-Yr<k>    Add Year placing Firm<n>/Yr<k> before its year register row
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "base/data_tree.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "base/warnings.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"
#include "recovery/recovery.h"
#include "startup/window_settings.h"
#include "store/registers.h"

namespace vornback {

namespace {

// A firm (and year) number read from a name such as "Firm12-Yr3": the firm number, and
// what follows it after a '-'.
struct NamedFirm {
    int64_t firm = 0;
    std::string rest;  // "" or the text after "Firm<n>-"
};

std::optional<NamedFirm> ParseFirm(const std::string& name) {
    if (ToLower(name.substr(0, 4)) != "firm") {
        return std::nullopt;
    }
    size_t i = 4;
    int64_t n = 0;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9' && i < 10) {
        n = n * 10 + (name[i] - '0');
        ++i;
    }
    if (i == 4 || (i < name.size() && name[i] != '-')) {
        return std::nullopt;
    }
    return NamedFirm{n, i < name.size() ? name.substr(i + 1) : ""};
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The year number of a "Yr<k>" rest, as text, or nothing.
std::optional<std::string> YearOf(const std::string& rest) {
    const auto year = ParseYearFolderName(rest);
    return year ? std::optional<std::string>(std::to_string(*year)) : std::nullopt;
}

std::optional<std::string> Existing(FileSystem& fs, const std::string& folder,
                                    const std::string& name) {
    const std::string found = LookupNoCase(fs, folder, {name});
    return fs.FolderExists(found) ? std::optional<std::string>(found) : std::nullopt;
}

// Whether a swap or place marker of firm n lies in the staging root back.
bool HasMarker(FileSystem& fs, const std::string& back, int64_t n) {
    if (!fs.FolderExists(back)) {
        return false;
    }
    for (const FileEntry& e : fs.SubFolders(back)) {
        for (const std::string kind : {".swap-", ".place-"}) {
            const auto named =
                StartsWith(e.name, kind) ? ParseFirm(e.name.substr(kind.size())) : std::nullopt;
            if (named && named->firm == n) {
                return true;
            }
        }
    }
    return false;
}

class Recovery {
  public:
    Recovery(const ProgramValues& values, FileSystem& fs)
        : v_(values), fs_(fs), back_(StagingRoot(values)) {}
    // One firm only. A run that holds the firm's lock already (callerHolds) gets its markers
    // and set-aside copies handled, never its own staging folder.
    Recovery(const ProgramValues& values, FileSystem& fs, int64_t firm, bool callerHolds)
        : v_(values), fs_(fs), back_(StagingRoot(values)), only_(firm), callerHolds_(callerHolds) {}

    std::vector<std::string> Run() {
        if (!fs_.FolderExists(back_)) {
            return {};
        }
        // While any run works in the staging root, it is left alone as a whole (as the
        // backup side leaves it): a run's staging and markers may belong to another firm.
        // One firm's recovery touches only what carries that firm's number.
        for (const FileEntry& e : only_ ? std::vector<FileEntry>{} : fs_.Files(back_)) {
            const auto named = e.name.ends_with(".lock")
                                   ? ParseFirm(e.name.substr(1, e.name.size() - 6))
                                   : std::nullopt;
            if (named && named->rest.empty() && !Locked(named->firm)) {
                return {};
            }
        }
        for (const FileEntry& e : fs_.SubFolders(back_)) {
            if (StartsWith(e.name, ".swap-") || StartsWith(e.name, ".place-")) {
                Attempt([&] { Marker(e); });
            }
        }
        for (const FileEntry& e : fs_.SubFolders(back_)) {
            Attempt([&] { Leftover(e); });
        }
        const std::string replaced = JoinPath(back_, kReplacedFolderName);
        if (!callerHolds_ && fs_.FolderExists(replaced)) {
            Attempt([&] { KeepNewestCopies(replaced); });
        }
        return lines_;
    }

  private:
    // The firm's run lock, or nothing (and the firm left alone) when a run holds it.
    bool Locked(int64_t n) {
        if (only_ && n != *only_) {
            return false;
        }
        if (callerHolds_ || held_.count(n) != 0) {
            return true;
        }
        auto locks = TakeIdleFirmLocks(v_, n);
        if (!locks) {
            return false;
        }
        held_.emplace(n, std::make_shared<RunLock>(std::move(locks->first)));
        stagingHeld_.push_back(std::move(locks->second));
        return true;
    }

    void Say(const std::string& line) { lines_.push_back(line); }

    // A step that fails becomes its line; the marker or copy stays for the next start.
    template <typename Step>
    void Attempt(Step step) {
        try {
            step();
        } catch (const FileSystemError& e) {
            Say(e.what());
        }
    }

    void Marker(const FileEntry& marker) {
        const bool swap = StartsWith(marker.name, ".swap-");
        const auto named = ParseFirm(marker.name.substr(swap ? 6 : 7));
        if (!named || !Locked(named->firm)) {
            return;
        }
        const int64_t n = named->firm;
        const std::string firmName = FirmFolderName(n);
        const std::optional<std::string> year = YearOf(named->rest);
        if (swap && year) {
            const std::string firm = LookupNoCase(fs_, v_.AppFolder, {firmName});
            const std::string aside = JoinPath(back_, YearAsideName(n, *year));
            const bool live = Existing(fs_, firm, YearFolderName(*year)).has_value();
            if (!live && fs_.FolderExists(aside)) {
                Move(aside, JoinPath(firm, YearFolderName(*year)));
                Say("Year " + *year + " of firm " + std::to_string(n) +
                    " was put back as it was before an interrupted restore.");
            } else if (fs_.FolderExists(aside)) {
                fs_.DeleteFolder(aside, false);
                Say("Year " + *year + " of firm " + std::to_string(n) +
                    " had been restored whole; the replaced copy left by the interrupted run was "
                    "removed.");
            }
        } else if (swap) {
            const std::string copy =
                JoinPath(JoinPath(back_, kReplacedFolderName), ReplacedCopyName(n, named->rest));
            if (!Existing(fs_, v_.AppFolder, firmName) && fs_.FolderExists(copy)) {
                Move(copy, FirmFolder(v_, n));
                Say("Firm " + std::to_string(n) +
                    " was missing after an interrupted restore and was put back from \"" + copy +
                    "\".");
            }
        } else if (!Unplace(n, year, marker.name)) {
            return;
        }
        fs_.DeleteFolder(marker.path, false);
        fs_.SyncFolder(back_);
    }

    // An Add Firm or Add Year that placed its folder and may have ended before the row:
    // a folder without its row goes (it is the staged copy of an archive, which is kept).
    // False when the register cannot be read; the marker then stays for the next start.
    bool Unplace(int64_t n, const std::optional<std::string>& year, const std::string& markerName) {
        std::string folder;
        bool registered = false;
        try {
            if (year) {
                ProgramValues firmValues = v_;
                firmValues.CurrentFirmNo = static_cast<int32_t>(n);
                const auto found =
                    Existing(fs_, LookupNoCase(fs_, v_.AppFolder, {FirmFolderName(n)}),
                             YearFolderName(*year));
                folder = found.value_or("");
                if (!found) {
                    return true;
                }
                Database db = OpenFirmConnection(firmValues);
                for (const YearRow& row : YearsInOrder(db)) {
                    registered = registered || std::to_string(row.Col99) == *year;
                }
            } else {
                const auto found = Existing(fs_, v_.AppFolder, FirmFolderName(n));
                if (!found) {
                    return true;
                }
                folder = *found;
                Database db = OpenRootConnection(v_);
                registered = FirmNumberTaken(db, static_cast<int32_t>(n));
            }
        } catch (const DatabaseError& e) {
            Warn(markerName + " left for the next start: " + e.what());
            return false;
        }
        if (!registered) {
            const std::string away = JoinPath(back_, UnplacedName(markerName.substr(7)));
            Move(folder, away);
            fs_.DeleteFolder(away, false);
            Say("The folder \"" + folder +
                "\" placed by an interrupted restore had no register row and was removed; the "
                "archive can be restored again.");
        }
        return true;
    }

    // Partial copies and staging folders that no run holds.
    void Leftover(const FileEntry& e) {
        if (StartsWith(e.name, ".aside-") || StartsWith(e.name, ".unplaced-") ||
            StartsWith(e.name, ".deleting-")) {
            const auto named = ParseFirm(e.name.substr(e.name.find('-') + 1));
            if (named && !MarkerOf(named->firm) && Locked(named->firm)) {
                fs_.DeleteFolder(e.path, false);
                Say("A partial copy \"" + e.path + "\" left by an interrupted run was removed.");
            }
            return;
        }
        const auto named = ParseFirm(e.name);
        if (named && named->rest.empty() && !callerHolds_ && Locked(named->firm)) {
            fs_.DeleteFolder(e.path, false);
            Say("The staging folder \"" + e.path + "\" left by an interrupted run was removed.");
        }
    }

    bool MarkerOf(int64_t n) { return HasMarker(fs_, back_, n); }

    // The latest replaced copy of each firm stays; older ones (a run ended before it removed
    // them) and partial deletions go.
    void KeepNewestCopies(const std::string& replaced) {
        std::vector<FileEntry> copies = fs_.SubFolders(replaced);
        // Newest first within each firm: by firm, then by stamp.
        std::sort(copies.begin(), copies.end(), [](const FileEntry& a, const FileEntry& b) {
            const auto x = ParseFirm(a.name);
            const auto y = ParseFirm(b.name);
            if (!x || !y || x->firm != y->firm) {
                return a.name > b.name;
            }
            return NewerStamp(x->rest, y->rest);
        });
        const int keep = ReplacedCopiesToKeep(SettingsFile(v_));
        std::map<int64_t, int> seen;
        for (const FileEntry& e : copies) {
            if (StartsWith(e.name, ".deleting-")) {
                const auto of = ParseFirm(e.name.substr(10));
                if (only_ && (!of || !Locked(of->firm))) {
                    continue;
                }
                fs_.DeleteFolder(e.path, false);
                Say("A partly deleted copy \"" + e.path + "\" was removed.");
                continue;
            }
            const auto named = ParseFirm(e.name);
            if (!named || named->rest.empty() || MarkerOf(named->firm) || !Locked(named->firm)) {
                continue;
            }
            if (seen[named->firm] >= keep) {
                const std::string doomed = JoinPath(replaced, DeletingName(e.name));
                Move(e.path, doomed);
                fs_.DeleteFolder(doomed, false);
                Say("An older replaced copy \"" + e.path + "\" was removed; the newest " +
                    std::to_string(keep) + " stay.");
            }
            ++seen[named->firm];
        }
    }

    void Move(const std::string& from, const std::string& to) {
        fs_.MoveFolder(from, to);
        fs_.SyncFolder(FolderOf(to));
        fs_.SyncFolder(FolderOf(from));
    }

    const ProgramValues& v_;
    FileSystem& fs_;
    const std::string back_;
    std::optional<int64_t> only_;
    bool callerHolds_ = false;
    std::map<int64_t, std::shared_ptr<RunLock>> held_;
    std::vector<RunLock> stagingHeld_;
    std::vector<std::string> lines_;
};

}  // namespace

std::vector<std::string> RecoverRestoreLeftovers(const ProgramValues& values, FileSystem& fs) {
    return Recovery(values, fs).Run();
}

std::vector<std::string> RecoverHeldFirm(const ProgramValues& values, FileSystem& fs,
                                         int64_t firm) {
    return Recovery(values, fs, firm, true).Run();
}

bool HasPendingMarker(const ProgramValues& values, FileSystem& fs, int64_t firm) {
    return HasMarker(fs, StagingRoot(values), firm);
}

std::vector<std::string> RecoverFirm(const ProgramValues& values, FileSystem& fs, int64_t firm) {
    std::vector<std::string> lines = Recovery(values, fs, firm, false).Run();
    try {
        for (std::string& line : RecoverBackupLeftovers(values, fs, firm)) {
            lines.push_back(std::move(line));
        }
    } catch (const FileSystemError& e) {
        lines.push_back(e.what());
    }
    return lines;
}

}  // namespace vornback
