#include "drill/doctor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include "base/data_tree.h"
#include "base/errors.h"
#include "base/names.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "history/history.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"
#include "recovery/recovery.h"
#include "store/registers.h"

namespace vornback {

namespace fs = std::filesystem;

namespace {

constexpr int64_t kHighestRegisterNumber = 32767;

// Whether a run holds the lock file, asked without taking or changing it.
bool LockHeld(const std::string& path) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return false;
    }
    return ::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

bool IsMarker(const std::string& name) {
    for (const char* start : {".swap-", ".place-", ".aside-", ".deleting-", ".unplaced-"}) {
        if (name.starts_with(start)) {
            return true;
        }
    }
    return false;
}

bool IsTemporaryFile(const std::string& name) {
    return temp_names::IsPackTemporaryName(name) || temp_names::IsUnpackTemporaryName(name) ||
           (name.starts_with(".vornback-copy-") && name.ends_with(".tmp"));
}

constexpr const char* kLeftoverAdvice =
    "run the doctor with --fix, or start the program for the firm: its start-up finishes or "
    "undoes what the interrupted run left";

class Examination {
  public:
    Examination(const ProgramValues& values, FileSystem& fs, DoctorReport& report)
        : values_(values), fs_(fs), report_(report) {}

    void Run(bool fix) {
        if (fix) {
            Mend();
        }
        Registers();
        Leftovers();
    }

  private:
    void Add(int64_t firm, Finding f) { report_.findings.push_back({firm, std::move(f)}); }

    // Firm folders of the data tree by number, and the case twins among all its names.
    std::map<int64_t, std::string> FirmFolders() {
        std::map<int64_t, std::string> folders;
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(values_.AppFolder, error)) {
            const std::string name = entry.path().filename().string();
            // The host finds a firm's folder by its name "Firm<n>" only.
            const auto number = ParseFirmFolderName(name);
            if (!number || !entry.is_directory(error)) {
                continue;
            }
            const int64_t n = *number;
            if (n > kHighestRegisterNumber || n < -kHighestRegisterNumber - 1) {
                Add(0, {"range", entry.path().string(),
                        "firm folder number " + std::to_string(n) +
                            " is outside the register's range (up to 32767); the host cannot "
                            "register it",
                        "move the folder out of the data tree and restore it with \"Add "
                        "Firm\", which gives it a free number"});
                continue;
            }
            folders.emplace(n, entry.path().string());
        }
        return folders;
    }

    void Registers() {
        for (const auto& twins : CaseTwins(values_.AppFolder)) {
            Add(0, {"case", (fs::path(values_.AppFolder) / twins.front()).string(),
                    twins.front() + " and " + twins.back() +
                        " differ only in letter case; the host sees one name",
                    "keep the one the host uses and move the other out of the data tree"});
        }
        const std::map<int64_t, std::string> folders = FirmFolders();
        std::vector<Finding> found;
        std::optional<Database> root = OpenChecked(RootDatabase(values_), {kRootPassword}, found);
        for (Finding& f : found) {
            Add(0, std::move(f));
        }
        std::set<int64_t> rows;
        if (root) {
            try {
                for (const FirmRow& row : AllFirmRows(*root)) {
                    rows.insert(row.Col99);
                }
            } catch (const DatabaseError& e) {
                Add(0, {"register", RootDatabase(values_),
                        "the firm register cannot be read: " + std::string(e.what()),
                        "restore the root register from a copy the host made"});
            }
            root->Close();
            for (const int64_t n : rows) {
                if (n != kReservedFirmNo && folders.count(n) == 0) {
                    Add(n, {"register", FirmFolder(values_, n),
                            "firm " + std::to_string(n) +
                                " is in the firm register but its folder is missing",
                            "restore the firm with \"Full Firm\" from its last archive"});
                }
            }
        }
        for (const auto& [n, folder] : folders) {
            if (root && rows.count(n) == 0) {
                Add(n, {"folder", folder, "firm folder without a row in the firm register",
                        "the host does not see this firm; restore it with \"Add Firm\" or move "
                        "the folder out of the data tree"});
            }
            for (Finding& f : CheckFirmFolder(folder, n)) {
                Add(n, std::move(f));
            }
        }
    }

    // The firm a staging-root name belongs to, when it is one of a run's.
    static std::optional<int64_t> FirmOfStagingName(const std::string& name) {
        const size_t at = name.find("Firm");
        if (at == std::string::npos) {
            return std::nullopt;
        }
        size_t end = at + 4;
        while (end < name.size() && name[end] >= '0' && name[end] <= '9') {
            ++end;
        }
        if (end == at + 4 || end - at - 4 > 6) {
            return std::nullopt;
        }
        return std::stoll(name.substr(at + 4, end - at - 4));
    }

    struct Leftover {
        int64_t firm;
        std::string path;
        std::string what;
        bool temporaryFile;
    };

    std::vector<Leftover> FindLeftovers() {
        std::vector<Leftover> found;
        const std::string staging = StagingRoot(values_);
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(staging, error)) {
            const std::string name = entry.path().filename().string();
            const auto firm = FirmOfStagingName(name);
            if (name == kReplacedFolderName || !firm) {
                continue;
            }
            if (entry.is_directory(error) && ParseFirmFolderName(name)) {
                found.push_back({*firm, entry.path().string(),
                                 "a staging folder of an interrupted backup or restore", false});
            } else if (IsMarker(name)) {
                found.push_back(
                    {*firm, entry.path().string(), "a marker of an interrupted restore", false});
            } else if (IsCompactionTemporaryOf(name, *firm)) {
                found.push_back({*firm, entry.path().string(),
                                 "a copy of a year database an interrupted backup was making",
                                 false});
            } else if (name.starts_with(".Firm") && name.ends_with(".lock")) {
                if (!LockHeld(entry.path().string())) {
                    found.push_back(
                        {*firm, entry.path().string(), "a stale lock: no run holds it", true});
                }
            }
        }
        const std::string program = fs::path(values_.ProgramFolder).lexically_normal().string();
        for (auto it = fs::recursive_directory_iterator(values_.AppFolder, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (it->path().lexically_normal().string() == program) {
                it.disable_recursion_pending();
                continue;
            }
            const std::string name = it->path().filename().string();
            if (!IsTemporaryFile(name)) {
                continue;
            }
            const fs::path rel = it->path().lexically_relative(values_.AppFolder);
            const auto firm = ParseFirmFolderName(rel.begin()->string());
            found.push_back({firm.value_or(0), it->path().string(),
                             "a temporary file of an interrupted run", true});
        }
        return found;
    }

    void Leftovers() {
        for (const Leftover& l : FindLeftovers()) {
            const bool lock = l.what.starts_with("a stale lock");
            Add(l.firm, {lock ? "lock" : "leftover", l.path, l.what,
                         lock ? "run the doctor with --fix to remove it" : kLeftoverAdvice});
        }
    }

    // What an interrupted run left goes through the recovery the next start would run; the
    // temporary files and stale locks that remain are removed while their firm's lock is
    // free (held by this process meanwhile).
    void Mend() {
        if (fs::is_directory(StagingRoot(values_))) {
            for (std::string& line : RecoverAtStartup(values_, fs_)) {
                report_.mended.push_back(std::move(line));
            }
        }
        std::map<int64_t, std::optional<RunLock>> held;
        std::set<int64_t> busy;
        for (const Leftover& l : FindLeftovers()) {
            if (!l.temporaryFile) {
                continue;  // the recovery could not handle it: a run holds the firm
            }
            const bool lockFile = l.what.starts_with("a stale lock");
            if (lockFile) {
                if (std::optional<RunLock> lock = RunLock::TryTake(l.path, TheSystemClock())) {
                    lock->Release();
                    report_.mended.push_back("Removed the stale lock \"" + l.path + "\".");
                }
                continue;
            }
            if (l.firm != 0 && held.count(l.firm) == 0 && busy.count(l.firm) == 0) {
                std::optional<RunLock> lock;
                if (fs::is_directory(StagingRoot(values_))) {
                    lock = RunLock::TryTake(FirmLockFile(values_, l.firm), TheSystemClock());
                    if (!lock) {
                        busy.insert(l.firm);
                        report_.mended.push_back("Left firm " + std::to_string(l.firm) +
                                                 " alone: a run holds it.");
                        continue;
                    }
                }
                held.emplace(l.firm, std::move(lock));
            }
            if (busy.count(l.firm) != 0) {
                continue;
            }
            try {
                fs_.Kill(l.path);
                report_.mended.push_back("Removed \"" + l.path + "\", " + l.what + ".");
            } catch (const FileSystemError& e) {
                report_.mended.push_back("Could not remove \"" + l.path + "\": " + e.what());
            }
        }
        for (auto& [firm, lock] : held) {
            if (lock) {
                lock->Release();
            }
        }
    }

    const ProgramValues& values_;
    FileSystem& fs_;
    DoctorReport& report_;
};

}  // namespace

DoctorReport ExamineDataTree(const ProgramValues& values, FileSystem& fs, bool fix) {
    DoctorReport report;
    Examination(values, fs, report).Run(fix);
    std::stable_sort(
        report.findings.begin(), report.findings.end(),
        [](const DoctorFinding& a, const DoctorFinding& b) { return a.firm < b.firm; });
    return report;
}

std::string DoctorText(const DoctorReport& report) {
    std::string text;
    for (const std::string& step : report.mended) {
        text += "mended: " + step + "\n";
    }
    int64_t firm = -1;
    for (const DoctorFinding& f : report.findings) {
        if (f.firm != firm) {
            firm = f.firm;
            text += firm == 0 ? "data tree:\n" : "firm " + std::to_string(firm) + ":\n";
        }
        text += "  " + f.finding.check + ": " + FindingLine(f.finding) + "\n";
        if (!f.finding.advice.empty()) {
            text += "    " + f.finding.advice + "\n";
        }
    }
    if (report.Healthy()) {
        text += "healthy: no findings\n";
    }
    return text;
}

std::string DoctorJson(const DoctorReport& report) {
    std::string findings;
    for (const DoctorFinding& f : report.findings) {
        findings +=
            std::string(findings.empty() ? "" : ",") + "{\"firm\":" + std::to_string(f.firm) +
            ",\"check\":" + JsonText(f.finding.check) + ",\"file\":" + JsonText(f.finding.file) +
            ",\"text\":" + JsonText(f.finding.text) + ",\"advice\":" + JsonText(f.finding.advice) +
            "}";
    }
    std::string mended;
    for (const std::string& step : report.mended) {
        mended += std::string(mended.empty() ? "" : ",") + JsonText(step);
    }
    return std::string("{\"healthy\":") + (report.Healthy() ? "true" : "false") +
           ",\"findings\":[" + findings + "],\"mended\":[" + mended + "]}";
}

}  // namespace vornback
