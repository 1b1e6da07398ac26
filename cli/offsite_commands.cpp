// offsite set|show|test, the offsite options of a backup (--offsite URL ...) and the
// remote side of list and verify (an sftp:// folder).
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <regex>

#include "base/data_tree.h"
#include "base/errors.h"
#include "common.h"
#include "history/history.h"
#include "offsite/offsite_copy.h"
#include "offsite/sftp_session.h"

namespace vornback {

namespace {

bool FlagValue(const std::string& option, const std::string& value) {
    if (value != "0" && value != "1") {
        throw Usage{option + " is 0 or 1, not \"" + value + "\""};
    }
    return value == "1";
}

// The archives of a remote backup folder and of its sub-folders one level down, as
// "<sub>/<name>", with their sizes.
struct RemoteArchive {
    std::string shown;
    std::string path;
    uint64_t size;
    bool older;
    std::string firm, year;
};

std::vector<RemoteArchive> RemoteArchives(SftpSession& session) {
    static const std::regex kName("(O?)Firm([0-9]+)(?:Yr([0-9]+))?\\.zip");
    const std::string root = session.Address().folder;
    bool exists = false;
    std::vector<RemoteArchive> found;
    const auto add = [&](const std::string& folder, const std::string& prefix,
                         const std::vector<RemoteEntry>& entries) {
        for (const RemoteEntry& e : entries) {
            std::smatch m;
            if (!e.folder && std::regex_match(e.name, m, kName)) {
                found.push_back({prefix + e.name, (folder == "/" ? "" : folder) + "/" + e.name,
                                 e.size, m[1].length() != 0, m[2].str(), m[3].str()});
            }
        }
    };
    const std::vector<RemoteEntry> top = session.List(root, &exists);
    if (!exists) {
        throw Error("The remote folder " + root + " does not exist.");
    }
    add(root, "", top);
    for (const RemoteEntry& e : top) {
        if (e.folder) {
            const std::string sub = (root == "/" ? "" : root) + "/" + e.name;
            add(sub, e.name + "/", session.List(sub));
        }
    }
    std::sort(found.begin(), found.end(),
              [](const RemoteArchive& a, const RemoteArchive& b) { return a.shown < b.shown; });
    return found;
}

}  // namespace

const std::vector<std::string> kOffsiteValueOptions = {
    "--offsite",         "--offsite-host-key",        "--offsite-identity",
    "--offsite-encrypt", "--offsite-passphrase-file", "--offsite-verify"};

OffsiteSettings OffsiteSettingsFor(const ParsedArgs& parsed, const std::string& programFolder) {
    ProgramValues values;
    values.ProgramFolder = programFolder;
    OffsiteSettings s = LoadOffsiteSettings(SettingsFile(values));
    s.url = parsed.Value("--offsite", s.url);
    s.hostKeySha256 = parsed.Value("--offsite-host-key", s.hostKeySha256);
    s.identityFile = parsed.Value("--offsite-identity", s.identityFile);
    s.passphraseFile = parsed.Value("--offsite-passphrase-file", s.passphraseFile);
    if (parsed.Has("--offsite-encrypt")) {
        s.encrypt = FlagValue("--offsite-encrypt", parsed.Value("--offsite-encrypt"));
    }
    if (parsed.Has("--offsite-verify")) {
        s.verify = FlagValue("--offsite-verify", parsed.Value("--offsite-verify"));
    }
    return s;
}

int OffsiteCommand(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(args,
                                        {"--url", "--host-key", "--identity", "--encrypt",
                                         "--passphrase-file", "--verify", "--program-folder"},
                                        {});
    if (parsed.positional.size() != 1) {
        throw Usage{"offsite takes one of set, show or test"};
    }
    const std::string action = parsed.positional[0];
    ProgramValues values;
    values.ProgramFolder = ProgramFolderOption(parsed);
    const std::string file = SettingsFile(values);
    OffsiteSettings s = LoadOffsiteSettings(file);
    if (action == "set") {
        s.url = parsed.Value("--url", s.url);
        s.hostKeySha256 = parsed.Value("--host-key", s.hostKeySha256);
        s.identityFile = parsed.Value("--identity", s.identityFile);
        s.passphraseFile = parsed.Value("--passphrase-file", s.passphraseFile);
        if (parsed.Has("--encrypt")) {
            s.encrypt = FlagValue("--encrypt", parsed.Value("--encrypt"));
        }
        if (parsed.Has("--verify")) {
            s.verify = FlagValue("--verify", parsed.Value("--verify"));
        }
        // An empty URL turns the copy off; any other is checked before it is kept.
        if (s.Configured()) {
            CheckOffsiteSettings(s);
        }
        SaveOffsiteSettings(s, file);
        std::cout << "offsite settings written to " << file << "\n";
        return kOk;
    }
    if (parsed.values.size() > (parsed.Has("--program-folder") ? 1u : 0u)) {
        throw Usage{"offsite " + action + " takes only --program-folder"};
    }
    if (action == "show") {
        std::cout << "URL=" << s.url << "\nHostKeySHA256=" << s.hostKeySha256
                  << "\nIdentityFile=" << s.identityFile << "\nEncrypt=" << (s.encrypt ? 1 : 0)
                  << "\nPassphraseFile=" << s.passphraseFile << "\nVerify=" << (s.verify ? 1 : 0)
                  << "\n";
        return kOk;
    }
    if (action == "test") {
        if (!s.Configured()) {
            throw Error("No offsite copy is set up in " + file + " (vornback-cli offsite set).");
        }
        for (const std::string& line : TestOffsite(s)) {
            std::cout << line << "\n";
        }
        std::cout << "the offsite copy works\n";
        return kOk;
    }
    throw Usage{"offsite takes one of set, show or test, not \"" + action + "\""};
}

int ListRemote(const std::string& url, const OffsiteSettings& base) {
    OffsiteSettings s = base;
    s.url = url;
    SftpSession session(s, &gCancel);
    std::printf("%-32s %6s %6s %-10s %14s\n", "archive", "firm", "year", "generation", "bytes");
    for (const RemoteArchive& a : RemoteArchives(session)) {
        std::printf("%-32s %6s %6s %-10s %14llu\n", a.shown.c_str(), a.firm.c_str(),
                    a.year.empty() ? "-" : a.year.c_str(), a.older ? "older" : "newest",
                    static_cast<unsigned long long>(a.size));
    }
    return kOk;
}

int VerifyRemote(const std::string& url, const OffsiteSettings& base,
                 const std::string& passphrase) {
    OffsiteSettings s = base;
    s.url = url;
    SftpSession session(s, &gCancel);
    const std::vector<RemoteArchive> archives = RemoteArchives(session);
    if (archives.empty()) {
        std::cout << url << ": FAILED: no backup archives in this folder\n";
        return kFailure;
    }
    // Each archive is read into a private scratch folder of this run, removed afterwards.
    const ScratchFolder scratchFolder("verify", "A scratch folder for the downloads");
    int status = kOk;
    for (const RemoteArchive& a : archives) {
        const std::string scratch = scratchFolder.Path() + "/archive.zip";
        const std::string shown = url + (url.ends_with("/") ? "" : "/") + a.shown;
        ProgressLine line("verifying");
        try {
            FILE* out = std::fopen(scratch.c_str(), "wb");
            if (out == nullptr) {
                throw Error("The scratch file " + scratch + " cannot be written.");
            }
            try {
                session.Download(
                    a.path,
                    [&](const char* data, size_t n) {
                        if (std::fwrite(data, 1, n, out) != n) {
                            throw Error("The scratch file " + scratch + " cannot be written.");
                        }
                    },
                    line.Callback());
            } catch (...) {
                std::fclose(out);
                throw;
            }
            if (std::fclose(out) != 0) {
                throw Error("The scratch file " + scratch + " cannot be written.");
            }
            UnpackOptions options;
            options.cancel = &gCancel;
            options.passphrase = passphrase;
            VerifyArchive(scratch, options);
            const size_t entries = ListArchive(scratch).size();
            line.Finish();
            std::cout << shown << ": " << entries << " entries, all CRCs correct\n";
        } catch (const ArchiveCancelled&) {
            throw;
        } catch (const ArchiveError& e) {
            line.Finish();
            std::cout << shown << ": FAILED: " << ArchiveFailureText(e) << "\n";
            status = kFailure;
        }
        std::filesystem::remove(scratch);
    }
    return status;
}

}  // namespace vornback
