// list and verify: the archives in a backup folder (the date-wise and day-wise sub-folders
// included) and their check.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/names.h"
#include "common.h"
#include "history/history.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;

struct FoundArchive {
    std::string path;
    std::string shown;  // relative to the folder listed
    std::string firm;
    std::string year;  // "" for a whole-firm archive
    bool older = false;
    uint64_t size = 0;
    int64_t mtime = 0;
};

// The archives a backup writes: Firm<n>.zip or Firm<n>Yr<y>.zip, the older generation with
// "OFirm"; in the folder itself or one sub-folder down (per date or per day).
std::vector<FoundArchive> FindArchives(const std::string& folder) {
    std::vector<FoundArchive> found;
    std::vector<fs::path> folders{fs::path(folder)};
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_directory(error)) {
            folders.push_back(entry.path());
        }
    }
    if (error) {
        throw Error("The backup folder \"" + folder + "\" cannot be read: " + error.message());
    }
    for (const fs::path& f : folders) {
        for (const fs::directory_entry& entry : fs::directory_iterator(f, error)) {
            const auto name = ParseArchiveName(entry.path().filename().string());
            struct stat st {};
            if (!name || ::stat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                continue;
            }
            found.push_back(FoundArchive{
                entry.path().string(), entry.path().lexically_relative(folder).string(),
                std::to_string(name->firm), name->year, name->older,
                static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtime)});
        }
    }
    std::sort(found.begin(), found.end(),
              [](const FoundArchive& a, const FoundArchive& b) { return a.shown < b.shown; });
    return found;
}

}  // namespace

int ListCommand(const std::vector<std::string>& args) {
    std::vector<std::string> valueOptions = kKeepOptions;
    valueOptions.push_back("--program-folder");
    valueOptions.insert(valueOptions.end(), kOffsiteValueOptions.begin(),
                        kOffsiteValueOptions.end());
    const ParsedArgs parsed = ParseArgs(args, valueOptions, {"--why", "--json"});
    if (parsed.positional.size() != 1) {
        throw Usage{"list takes one backup folder"};
    }
    const std::string folder = parsed.positional[0];
    if (folder.starts_with("sftp://") && parsed.Has("--why")) {
        return ExplainKeep(folder, parsed);
    }
    if (folder.starts_with("sftp://")) {
        return ListRemote(folder, OffsiteSettingsFor(parsed, ProgramFolderOption(parsed)));
    }
    if (!fs::is_directory(folder)) {
        throw Error("The backup folder \"" + folder + "\" does not exist.");
    }
    if (parsed.Has("--why")) {
        return ExplainKeep(folder, parsed);
    }
    if (parsed.Has("--json")) {
        std::vector<Json> objects;
        for (const FoundArchive& a : FindArchives(folder)) {
            Json o;
            o["archive"] = ReadableUtf8(a.shown);
            o["path"] = ReadableUtf8(a.path);
            o["firm"] = NumberOrNull(a.firm);
            o["year"] = NumberOrNull(a.year);
            o["generation"] = a.older ? "older" : "newest";
            o["modified"] = a.mtime;
            o["bytes"] = a.size;
            objects.push_back(std::move(o));
        }
        PrintJsonArray(objects);
        return kOk;
    }
    std::printf("%-32s %6s %6s %-10s %-16s %14s\n", "archive", "firm", "year", "generation", "date",
                "bytes");
    for (const FoundArchive& a : FindArchives(folder)) {
        std::printf("%-32s %6s %6s %-10s %-16s %14llu\n", a.shown.c_str(), a.firm.c_str(),
                    a.year.empty() ? "-" : a.year.c_str(), a.older ? "older" : "newest",
                    LocalTimeText(a.mtime).c_str(), static_cast<unsigned long long>(a.size));
    }
    return kOk;
}

int VerifyCommand(const std::vector<std::string>& args) {
    std::vector<std::string> valueOptions = {"--program-folder", "--passphrase-file"};
    valueOptions.insert(valueOptions.end(), kOffsiteValueOptions.begin(),
                        kOffsiteValueOptions.end());
    const ParsedArgs parsed = ParseArgs(args, valueOptions, {"--json"});
    const bool json = parsed.Has("--json");
    const std::string passphrase = PassphraseOption(parsed);
    std::vector<Json> objects;
    auto report = [&](const std::string& what, size_t entries, const std::string& failure) {
        if (json) {
            Json o;
            o["archive"] = ReadableUtf8(what);
            o["ok"] = failure.empty();
            o["entries"] = failure.empty() ? Json(entries) : Json(nullptr);
            o["error"] = failure.empty() ? Json(nullptr) : Json(ReadableUtf8(failure));
            objects.push_back(std::move(o));
        } else if (failure.empty()) {
            std::cout << what << ": " << entries << " entries, all CRCs correct\n";
        } else {
            std::cout << what << ": FAILED: " << failure << "\n";
        }
    };
    if (parsed.positional.empty()) {
        throw Usage{"verify needs one or more archives or folders"};
    }
    std::vector<std::string> archives;
    int status = kOk;
    for (const std::string& given : parsed.positional) {
        if (given.starts_with("sftp://")) {
            if (VerifyRemote(given, OffsiteSettingsFor(parsed, ProgramFolderOption(parsed)),
                             passphrase) != kOk) {
                status = kFailure;
            }
            continue;
        }
        if (!fs::is_directory(given)) {
            archives.push_back(given);
            continue;
        }
        const std::vector<FoundArchive> found = FindArchives(given);
        if (found.empty()) {
            report(given, 0, "no backup archives in this folder");
            status = kFailure;
        }
        for (const FoundArchive& a : found) {
            archives.push_back(a.path);
        }
    }
    for (const std::string& archive : archives) {
        ProgressLine line("checking");
        UnpackOptions options;
        options.progress = line.Callback();
        options.cancel = &gCancel;
        options.passphrase = passphrase;
        try {
            VerifyArchive(archive, options);
            const size_t entries = ListArchive(archive).size();
            line.Finish();
            report(archive, entries, "");
        } catch (const ArchiveCancelled&) {
            throw;
        } catch (const ArchiveError& e) {
            line.Finish();
            report(archive, 0, ArchiveFailureText(e));
            status = kFailure;
        }
    }
    if (json) {
        PrintJsonArray(objects);
    }
    return status;
}

}  // namespace vornback
