#include "drill/drill.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include "base/errors.h"
#include "base/names.h"
#include "base/temp_names.h"
#include "base/text.h"
#include "base/warnings.h"
#include "history/history.h"
#include "platform/file_system.h"

namespace vornback {

namespace fs = std::filesystem;

namespace {

// Room left beside the unpacked bytes: a block per entry and a margin for the databases'
// journals.
constexpr uint64_t kBlock = 4096;
constexpr uint64_t kMargin = 16 * 1024 * 1024;

// Removes the scratch folder however the drill ends; write bits are given back first, so
// that a read-only file or folder from the archive cannot keep it.
class Scratch {
  public:
    explicit Scratch(std::string path) : path_(std::move(path)) {}
    ~Scratch() { Remove(path_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& Path() const { return path_; }

    static void Remove(const std::string& path) {
        std::error_code error;
        fs::remove_all(path, error);
        if (!error) {
            return;
        }
        for (auto it = fs::recursive_directory_iterator(path, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            ::chmod(it->path().c_str(), it->is_directory(error) ? 0700 : 0600);
        }
        ::chmod(path.c_str(), 0700);
        fs::remove_all(path, error);
        if (error) {
            Warn("the drill's scratch folder " + path +
                 " could not be removed: " + error.message());
        }
    }

  private:
    std::string path_;
};

// Scratch folders of drills whose process is gone (killed, powered off) and that belong to
// this user.
void RemoveKilledScratch(const std::string& parent) {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(parent, error)) {
        const auto pid = DrillScratchProcess(entry.path().filename().string());
        struct stat st {};
        if (!pid || ::lstat(entry.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::getuid()) {
            continue;
        }
        if (::kill(static_cast<pid_t>(*pid), 0) != 0 && errno == ESRCH) {
            Scratch::Remove(entry.path().string());
        }
    }
}

std::string EntryPath(std::string name) {
    for (char& c : name) {
        c = c == '\\' ? '/' : c;
    }
    while (!name.empty() && name.back() == '/') {
        name.pop_back();
    }
    return name;
}

// The unpacked files must be the archive's entries, each with its size: nothing missing,
// nothing more.
void CompareWithEntries(const std::string& root, const std::vector<ArchiveEntry>& entries,
                        std::vector<Finding>& findings, const std::string& archive) {
    std::map<std::string, uint64_t> files;
    std::set<std::string> folders;
    for (const ArchiveEntry& e : entries) {
        const std::string path = EntryPath(e.name);
        if (e.isFolder) {
            folders.insert(path);
        } else {
            files[path] = e.size;
        }
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            folders.insert(path.substr(0, slash));
        }
    }
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const std::string rel = it->path().lexically_relative(root).generic_string();
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (folders.erase(rel) == 0) {
                findings.push_back(
                    {"archive", rel, "was unpacked but is not an entry of " + archive, ""});
            }
            continue;
        }
        const auto found = files.find(rel);
        if (!S_ISREG(st.st_mode) || found == files.end()) {
            findings.push_back(
                {"archive", rel, "was unpacked but is not a file entry of " + archive, ""});
            continue;
        }
        if (static_cast<uint64_t>(st.st_size) != found->second) {
            findings.push_back({"archive", rel,
                                "unpacked to " + std::to_string(st.st_size) +
                                    " bytes where the archive's entry says " +
                                    std::to_string(found->second),
                                ""});
        }
        files.erase(found);
    }
    if (error) {
        findings.push_back(
            {"archive", root, "the unpacked files cannot be read: " + error.message(), ""});
    }
    for (const auto& [path, size] : files) {
        findings.push_back(
            {"archive", path, "is an entry of the archive but was not unpacked", ""});
    }
    for (const std::string& path : folders) {
        findings.push_back(
            {"archive", path, "is a folder of the archive but was not unpacked", ""});
    }
}

// Removes the files of the sub-folders of folder whose names do not end in ".mdb" (any
// letter case); the folders themselves stay.
void RemoveAllButDatabases(const std::string& folder) {
    std::error_code error;
    for (const fs::directory_entry& sub : fs::directory_iterator(folder, error)) {
        if (!sub.is_directory(error) || sub.is_symlink(error)) {
            continue;
        }
        std::vector<fs::path> doomed;
        for (auto it = fs::recursive_directory_iterator(sub.path(), error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            const std::string name = ToLower(it->path().filename().string());
            if (it->is_regular_file(error) && !name.ends_with(".mdb")) {
                doomed.push_back(it->path());
            }
        }
        for (const fs::path& path : doomed) {
            ::unlink(path.c_str());
        }
    }
}

// An archive failure's text without the archive's path in front, as the finding names it.
std::string Unprefixed(const std::string& text, const std::string& archive) {
    const std::string prefix = archive + ": ";
    return text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
}

const char* kArchiveAdvice =
    "the archive cannot be restored; keep the older generation and make a new backup";

}  // namespace

std::string DrillReport::Reason() const {
    return findings.empty() ? "proven" : FindingLine(findings.front());
}

std::string DefaultScratchParent() {
    const char* tmp = std::getenv("TMPDIR");
    std::error_code error;
    if (tmp != nullptr && *tmp != '\0' && fs::is_directory(tmp, error)) {
        return tmp;
    }
    return "/var/tmp";
}

std::string CurrentYearOfArchive(const std::string& archivePath, int64_t firm) {
    const auto name = ParseArchiveName(NameOf(archivePath));
    return name && name->firm == firm && !name->older ? name->year : "";
}

std::optional<std::string> NewestFirmArchive(const std::string& backupFolder, int64_t firm) {
    const std::string wanted = FormatArchiveName(ArchiveName{firm, "", false});
    std::vector<fs::path> folders{fs::path(backupFolder)};
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(backupFolder, error)) {
        if (entry.is_directory(error)) {
            folders.push_back(entry.path());
        }
    }
    std::optional<std::string> newest;
    int64_t newestTime = INT64_MIN;
    for (const fs::path& folder : folders) {
        struct stat st {};
        const fs::path candidate = folder / wanted;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            const int64_t time =
                static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            if (time > newestTime) {
                newestTime = time;
                newest = candidate.string();
            }
        }
    }
    return newest;
}

DrillReport DrillArchive(const std::string& archive, int64_t firm, const DrillOptions& options) {
    const auto start = std::chrono::steady_clock::now();
    DrillReport report;
    report.archive = archive;
    report.firm = firm;
    report.onlyYear =
        options.onlyYear.empty() ? CurrentYearOfArchive(archive, firm) : options.onlyYear;
    auto finish = [&] {
        report.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return report;
    };

    std::error_code error;
    report.archiveBytes = fs::file_size(archive, error);
    std::vector<ArchiveEntry> entries;
    try {
        entries = ListArchive(archive);
    } catch (const Error& e) {
        report.findings.push_back(
            {"archive", archive, Unprefixed(e.what(), archive), kArchiveAdvice});
        return finish();
    }
    for (const ArchiveEntry& e : entries) {
        report.files += e.isFolder ? 0 : 1;
        report.bytes += e.size;
    }

    const std::string parent =
        options.scratchParent.empty() ? DefaultScratchParent() : options.scratchParent;
    RemoveKilledScratch(parent);
    struct statvfs space {};
    const uint64_t needed = report.bytes + kBlock * entries.size() + kMargin;
    if (::statvfs(parent.c_str(), &space) != 0) {
        report.findings.push_back(
            {"space", parent,
             std::string("the scratch folder's place cannot be used: ") + std::strerror(errno),
             "give a folder with room for the unpacked archive"});
        return finish();
    }
    const uint64_t free = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
    if (free < needed) {
        report.findings.push_back({"space", parent,
                                   "has " + SizeText(free) + " free; the drill needs " +
                                       SizeText(needed) + " to unpack the archive",
                                   "free some space there or give another scratch folder"});
        return finish();
    }
    const std::string path = (fs::path(parent) / DrillScratchName()).string();
    if (::mkdir(path.c_str(), 0700) != 0) {
        report.findings.push_back(
            {"space", path,
             std::string("the scratch folder cannot be made: ") + std::strerror(errno),
             "give a folder this user may write"});
        return finish();
    }
    Scratch scratch(path);

    UnpackOptions unpack;
    unpack.progress = options.progress;
    unpack.cancel = options.cancel;
    unpack.threads = options.threads;
    unpack.passphrase = options.passphrase;
    try {
        UnpackArchive(archive, scratch.Path(), unpack);
    } catch (const ArchiveCancelled&) {
        throw;
    } catch (const PassphraseError& e) {
        report.findings.push_back({"archive", archive, Unprefixed(e.what(), archive),
                                   e.Missing() ? "give the archive's passphrase "
                                                 "(--passphrase-file FILE)"
                                               : "give the passphrase the archive was made with"});
        return finish();
    } catch (const Error& e) {
        report.findings.push_back(
            {"archive", archive, Unprefixed(e.what(), archive), kArchiveAdvice});
        return finish();
    }
    CompareWithEntries(scratch.Path(), entries, report.findings, archive);
    if (!report.findings.empty()) {
        return finish();
    }

    // The firm folder lies flat in the archive or one folder down, as the restore finds it.
    std::string firmFolder = scratch.Path();
    const std::string firmName = FirmFolderName(firm);
    const std::string firmDatabase = FirmDatabaseName(firm);
    LocalFileSystem files;
    if (!FindNoCase(files, firmFolder, firmDatabase, false)) {
        if (const auto inner = FindNoCase(files, firmFolder, firmName, true)) {
            firmFolder = *inner;
        }
    }
    if (!FindNoCase(files, firmFolder, firmDatabase, false)) {
        report.findings.push_back({"archive", archive,
                                   "holds no firm database " + firmDatabase +
                                       ", neither at its top level nor in a folder " + firmName,
                                   "choose a backup of firm " + std::to_string(firm)});
        return finish();
    }
    // While the databases are checked, the files below the firm folder's sub-folders that
    // are not databases go already: the checks read only the databases and the names in
    // the firm folder itself.
    std::thread clearing([&firmFolder] { RemoveAllButDatabases(firmFolder); });
    FirmCheckOptions check;
    check.onlyYear = report.onlyYear;
    check.threads = options.threads;
    std::vector<Finding> found;
    try {
        found = CheckFirmFolder(firmFolder, firm, check);
    } catch (...) {
        clearing.join();
        throw;
    }
    clearing.join();
    // Paths inside the scratch folder are named as the archive's entries.
    for (Finding& f : found) {
        if (f.file.compare(0, scratch.Path().size(), scratch.Path()) == 0) {
            f.file =
                archive + ":" + f.file.substr(std::min(f.file.size(), scratch.Path().size() + 1));
        }
        report.findings.push_back(std::move(f));
    }
    if (report.findings.empty()) {
        std::error_code walk;
        for (auto it = fs::recursive_directory_iterator(firmFolder, walk);
             !walk && it != fs::recursive_directory_iterator(); it.increment(walk)) {
            const std::string name = ToLower(it->path().filename().string());
            report.databases += name.size() > 4 && name.ends_with(".mdb") ? 1 : 0;
        }
    }
    return finish();
}

std::string DrillText(const DrillReport& r) {
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, "%" PRIu64 " files, %" PRIu64 " bytes, %.1f s", r.files,
                  r.bytes, r.seconds);
    std::string text;
    if (r.Proven()) {
        text = "proven: " + r.archive + " (" + numbers + ", " + std::to_string(r.databases) +
               " databases checked" + (r.onlyYear.empty() ? "" : ", year " + r.onlyYear) +
               "); a restore takes about as long\n";
        return text;
    }
    text = "failed: " + r.archive + ": " + r.Reason() + "\n";
    if (!r.findings.front().advice.empty()) {
        text += "  " + r.findings.front().advice + "\n";
    }
    for (size_t i = 1; i < r.findings.size(); ++i) {
        text += "  also " + FindingLine(r.findings[i]) + "\n";
    }
    return text;
}

std::string DrillJson(const DrillReport& r) {
    char numbers[200];
    std::snprintf(numbers, sizeof numbers,
                  "\"archiveBytes\":%" PRIu64 ",\"files\":%" PRIu64 ",\"bytes\":%" PRIu64
                  ",\"databases\":%d,\"seconds\":%.3f",
                  r.archiveBytes, r.files, r.bytes, r.databases, r.seconds);
    std::string findings;
    for (const Finding& f : r.findings) {
        findings += std::string(findings.empty() ? "" : ",") + "{\"check\":" + JsonText(f.check) +
                    ",\"file\":" + JsonText(f.file) + ",\"text\":" + JsonText(f.text) +
                    ",\"advice\":" + JsonText(f.advice) + "}";
    }
    return "{\"archive\":" + JsonText(r.archive) + ",\"firm\":" + std::to_string(r.firm) +
           ",\"year\":" + JsonText(r.onlyYear) +
           ",\"result\":" + JsonText(r.Proven() ? "proven" : "failed") +
           ",\"reason\":" + JsonText(r.Proven() ? "" : r.Reason()) + "," + numbers +
           ",\"findings\":[" + findings + "]}";
}

void RecordDrill(const ProgramValues& values, const DrillReport& report, int64_t startTime) {
    HistoryRecord record;
    record.time = startTime;
    record.firm = static_cast<int32_t>(report.firm);
    record.year = report.onlyYear.empty() ? values.CurrentYearNo : report.onlyYear;
    record.kind = kDrillKind;
    record.archive = report.archive;
    record.bytes = report.archiveBytes;
    record.files = report.files;
    record.seconds = report.seconds;
    record.result = report.Proven() ? RunResult::Ok : RunResult::Failed;
    record.reason = report.Proven() ? "" : report.Reason();
    try {
        AppendHistory(HistoryFile(values), record);
    } catch (const Error& e) {
        Warn(std::string("the drill was not recorded in the history: ") + e.what());
    }
}

}  // namespace vornback
