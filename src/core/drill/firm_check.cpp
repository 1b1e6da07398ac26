#include "drill/firm_check.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "base/errors.h"
#include "base/names.h"
#include "base/text.h"
#include "platform/file_system.h"
#include "store/registers.h"

namespace vornback {

namespace fs = std::filesystem;

std::string FindingLine(const Finding& finding) {
    return finding.file.empty() ? finding.text : finding.file + ": " + finding.text;
}

std::optional<Database> OpenChecked(const std::string& path, const std::vector<std::string>& keys,
                                    std::vector<Finding>& findings) {
    std::string why;
    for (const std::string& key : keys) {
        try {
            Database db = Database::Open(path, key);
            Statement check(db, "PRAGMA integrity_check;");
            std::string answer;
            while (check.Step()) {
                const std::string line = check.Text(0, "integrity_check", std::string());
                answer += (answer.empty() ? "" : "; ") + line;
                if (answer.size() > 300) {
                    break;
                }
            }
            if (answer == "ok") {
                return db;
            }
            findings.push_back(
                {"database", path, "fails the integrity check: " + answer,
                 "the database is damaged; restore it from an older archive that passes the "
                 "drill"});
            return std::nullopt;
        } catch (const DatabaseError& e) {
            why = e.what();
            // A key that opens the file and a check that then fails is damage, not a wrong
            // key: the message says so and the next key is not tried.
            if (why.find("malformed") != std::string::npos ||
                why.find("corrupt") != std::string::npos) {
                break;
            }
        }
    }
    findings.push_back({"database", path, "does not open with its key or is damaged: " + why,
                        "the database is damaged or protected by another password; restore it "
                        "from an older archive that passes the drill"});
    return std::nullopt;
}

std::vector<std::vector<std::string>> CaseTwins(const std::string& folder) {
    std::map<std::string, std::vector<std::string>> byLower;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        byLower[ToLower(name)].push_back(name);
    }
    std::vector<std::vector<std::string>> twins;
    for (auto& [lower, names] : byLower) {
        if (names.size() > 1) {
            std::sort(names.begin(), names.end());
            twins.push_back(names);
        }
    }
    return twins;
}

namespace {

// Runs the checks of the year databases on up to `threads` connections at once; the
// findings keep the order of the databases.
std::vector<Finding> CheckYearDatabases(const std::vector<std::string>& paths, unsigned threads) {
    std::vector<std::vector<Finding>> found(paths.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i = next++; i < paths.size(); i = next++) {
            OpenChecked(paths[i], {"", kYearPassword}, found[i]);
        }
    };
    if (threads == 0) {
        threads = std::max(1u, std::thread::hardware_concurrency());
    }
    threads = static_cast<unsigned>(std::min<size_t>(threads, paths.size()));
    std::vector<std::thread> workers;
    for (unsigned t = 1; t < threads; ++t) {
        workers.emplace_back(work);
    }
    work();
    for (std::thread& t : workers) {
        t.join();
    }
    std::vector<Finding> all;
    for (auto& f : found) {
        all.insert(all.end(), f.begin(), f.end());
    }
    return all;
}

}  // namespace

std::vector<Finding> CheckFirmFolder(const std::string& folder, int64_t firm,
                                     const FirmCheckOptions& options) {
    std::vector<Finding> findings;
    for (const auto& twins : CaseTwins(folder)) {
        std::string names;
        for (const std::string& name : twins) {
            names += (names.empty() ? "" : " and ") + name;
        }
        findings.push_back({"case", (fs::path(folder) / twins.front()).string(),
                            names + " differ only in letter case; the host sees one name",
                            "keep the one the host uses and move the other out of the data tree"});
    }
    LocalFileSystem files;
    const auto firmDbPath = FindNoCase(files, folder, FirmDatabaseName(firm), false);
    if (!firmDbPath) {
        findings.push_back({"database", JoinPath(folder, FirmDatabaseName(firm)),
                            "the firm database is missing",
                            "restore the firm from an archive that passes the drill"});
        return findings;
    }
    std::optional<Database> firmDb = OpenChecked(*firmDbPath, {kFirmPassword}, findings);
    if (!firmDb) {
        return findings;
    }
    std::vector<YearRow> rows;
    try {
        rows = YearsInOrder(*firmDb);
    } catch (const DatabaseError& e) {
        findings.push_back({"register", *firmDbPath,
                            "the year register cannot be read: " + std::string(e.what()),
                            "restore the firm from an archive that passes the drill"});
        return findings;
    }
    firmDb->Close();

    // The year folders as they stand, by number.
    std::map<std::string, std::string> folders;  // number -> name
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory(error)) {
            // The host finds a year's folder by its name "Yr<k>" only.
            if (const auto year = ParseYearFolderName(name)) {
                folders.emplace(std::to_string(*year), name);
            }
        }
    }
    std::set<std::string> registered;
    std::vector<std::string> databases;
    for (const YearRow& row : rows) {
        const std::string k = std::to_string(row.Col99);
        registered.insert(k);
        if (!options.onlyYear.empty() && k != options.onlyYear) {
            continue;
        }
        const auto it = folders.find(k);
        const std::string expected = JoinPath(folder, YearFolderName(k));
        if (it == folders.end()) {
            findings.push_back(
                {"register", expected,
                 "year " + k + " is in the year register but its folder is missing",
                 "restore the year from an archive that holds it, or have the host remove "
                 "the year"});
            continue;
        }
        const std::string yearFolder = (fs::path(folder) / it->second).string();
        const auto db = FindNoCase(files, yearFolder, YearDatabaseName(k), false);
        if (!db) {
            findings.push_back({"register", JoinPath(yearFolder, YearDatabaseName(k)),
                                "the year database of year " + k + " is missing",
                                "restore the year from an archive that holds it"});
            continue;
        }
        databases.push_back(*db);
    }
    if (!options.onlyYear.empty() && registered.count(options.onlyYear) == 0) {
        findings.push_back({"register", *firmDbPath,
                            "year " + options.onlyYear + " is not in the year register",
                            "make a new backup of the year"});
    }
    for (const auto& [k, name] : folders) {
        const std::string path = (fs::path(folder) / name).string();
        if (!options.onlyYear.empty() && k != options.onlyYear) {
            findings.push_back({"folder", path,
                                "a current-year archive holds only year " + options.onlyYear +
                                    ", not this year folder",
                                "make a new backup of the year"});
        } else if (registered.count(k) == 0) {
            findings.push_back({"folder", path, "year folder without a row in the year register",
                                "the host does not see this year; move the folder out of the "
                                "firm folder or restore the year with \"Add Year\""});
        }
    }
    // The largest first, so that the connections finish together.
    std::stable_sort(databases.begin(), databases.end(),
                     [](const std::string& a, const std::string& b) {
                         std::error_code ea;
                         std::error_code eb;
                         return fs::file_size(a, ea) > fs::file_size(b, eb);
                     });
    for (Finding& f : CheckYearDatabases(databases, options.threads)) {
        findings.push_back(std::move(f));
    }
    return findings;
}

}  // namespace vornback
