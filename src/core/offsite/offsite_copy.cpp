#include "offsite/offsite_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include "base/temp_names.h"
#include "offsite/sftp_session.h"
#include "platform/posix.h"

namespace vornback {

namespace {

std::string Join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

const RemoteEntry* Find(const std::vector<RemoteEntry>& entries, const std::string& name) {
    for (const RemoteEntry& e : entries) {
        if (e.name == name && !e.folder) {
            return &e;
        }
    }
    return nullptr;
}

// Waits, waking early when cancelled.
void Pause(std::chrono::milliseconds spacing, const std::atomic<bool>* cancel) {
    const auto end = std::chrono::steady_clock::now() + spacing;
    while (std::chrono::steady_clock::now() < end) {
        if (cancel != nullptr && cancel->load()) {
            throw ArchiveCancelled("The offsite copy was interrupted.");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Compares the remote file's bytes with the local file's, block by block.
void ReadBack(SftpSession& session, const std::string& remote, const std::string& local,
              uint64_t size, const OffsiteCopyOptions& options) {
    Fd fd(::open(local.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        throw OffsiteError("The archive " + local + " cannot be opened: " + std::strerror(errno));
    }
    uint64_t position = 0;
    std::string block;
    session.Download(
        remote,
        [&](const char* data, size_t n) {
            block.resize(n);
            size_t got = 0;
            while (got < n) {
                const ssize_t r = ::pread(fd.Get(), block.data() + got, n - got,
                                          static_cast<off_t>(position + got));
                if (r < 0 && errno == EINTR) {
                    continue;
                }
                if (r <= 0) {
                    throw OffsiteError("the server's copy is longer than the archive");
                }
                got += static_cast<size_t>(r);
            }
            if (std::memcmp(block.data(), data, n) != 0) {
                throw OffsiteError("the server's copy differs from the archive at byte " +
                                   std::to_string(position));
            }
            position += n;
        },
        options.progress);
    if (position != size) {
        throw OffsiteError("the server's copy read back " + std::to_string(position) +
                           " bytes of " + std::to_string(size));
    }
}

// Whether a part on the server is a whole, readable archive: read back into the scratch
// file and every entry checked.
bool PartComplete(SftpSession& session, const std::string& remote, const std::string& scratch,
                  const std::string& passphrase) {
    bool complete = false;
    {
        Fd fd(::open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (!fd.Valid()) {
            throw OffsiteError("The scratch file " + scratch +
                               " cannot be written: " + std::strerror(errno));
        }
        try {
            session.Download(remote, [&](const char* data, size_t n) {
                if (WriteAll(fd.Get(), data, n) != 0) {
                    throw OffsiteError("The scratch file " + scratch +
                                       " cannot be written: " + std::strerror(errno));
                }
            });
            UnpackOptions check;
            check.passphrase = passphrase;
            VerifyArchive(scratch, check);
            complete = true;
        } catch (const ArchiveError&) {
            complete = false;
        } catch (...) {
            ::unlink(scratch.c_str());
            throw;
        }
    }
    ::unlink(scratch.c_str());
    return complete;
}

// Completes a rotation a killed run left (the last archive missing, a checked part there)
// and removes the parts of failed runs.
void MendRemote(SftpSession& session, const std::string& folder, std::vector<RemoteEntry>& entries,
                const std::string& archiveName, const std::string& scratch,
                const std::string& passphrase, std::vector<std::string>& notes) {
    std::vector<RemoteEntry> parts;
    for (const RemoteEntry& e : entries) {
        if (!e.folder && IsOffsitePartOf(e.name, archiveName)) {
            parts.push_back(e);
        }
    }
    std::sort(parts.begin(), parts.end(),
              [](const RemoteEntry& a, const RemoteEntry& b) { return a.size > b.size; });
    std::vector<std::string> removals;
    bool placed = Find(entries, archiveName) != nullptr;
    for (const RemoteEntry& part : parts) {
        const std::string path = Join(folder, part.name);
        if (!placed && PartComplete(session, path, scratch, passphrase)) {
            session.Commands({"rename " + SftpSession::Quoted(path) + " " +
                              SftpSession::Quoted(Join(folder, archiveName))});
            notes.push_back("completed the rotation an interrupted run left on the server: " +
                            part.name + " became " + archiveName);
            placed = true;
            continue;
        }
        removals.push_back("*rm " + SftpSession::Quoted(path));
        notes.push_back("removed the upload of a failed run from the server: " + part.name);
    }
    if (!removals.empty()) {
        session.Commands(removals);
    }
    if (!parts.empty()) {
        entries = session.List(folder);
    }
}

// Throws OffsiteError when the server says the folder has less room than needed.
void CheckSpace(SftpSession& session, const std::string& folder, uint64_t needed) {
    const std::optional<uint64_t> free = session.FreeBytes(folder);
    if (free && *free < needed) {
        throw OffsiteError("no space on the server: " + std::to_string(*free) + " bytes free in " +
                           folder + ", " + std::to_string(needed) + " needed");
    }
}

// Runs work until it succeeds, again after a lost link (spaced, the wait doubling) up
// to the settings' number of tries; other failures pass through at once. Returns the
// number of tries it took.
int WithTries(const OffsiteSettings& settings, const std::atomic<bool>* cancel,
              const std::function<void(int attempt)>& work) {
    auto spacing = settings.retrySpacing;
    const int tries = std::max(1, settings.tries);
    for (int attempt = 1;; ++attempt) {
        try {
            work(attempt);
            return attempt;
        } catch (const SftpError& e) {
            if (!e.LinkLost()) {
                throw;
            }
            if (attempt >= tries) {
                throw OffsiteError("connection lost after " + std::to_string(attempt) +
                                   " tries: " + e.what());
            }
        }
        Pause(spacing, cancel);
        spacing *= 2;
    }
}

// Uploads the archive as the part, resuming after a lost link from what the server holds.
int UploadWithTries(SftpSession& session, const OffsiteSettings& settings,
                    const std::string& archivePath, const std::string& folder,
                    const std::string& partName, uint64_t size, const OffsiteCopyOptions& options) {
    const std::string part = Join(folder, partName);
    return WithTries(settings, options.cancel, [&](int attempt) {
        uint64_t offset = 0;
        if (attempt > 1) {
            // The server keeps what it wrote before the link broke; this try goes on from
            // there. A part longer than the archive is not its beginning: start again.
            const std::vector<RemoteEntry> entries = session.List(folder);
            const RemoteEntry* held = Find(entries, partName);
            if (held != nullptr && held->size <= size) {
                offset = held->size;
            }
            // A server that ran out of space breaks the write much as a lost link does.
            CheckSpace(session, folder, size - offset);
        }
        session.Upload(archivePath, part, offset, options.progress);
    });
}

}  // namespace

OffsiteCopyResult CopyOffsite(const OffsiteSettings& settings, const std::string& archivePath,
                              const std::string& subFolder, const std::string& archiveName,
                              const std::string& previousName, const std::string& localScratch,
                              const OffsiteCopyOptions& options) {
    SftpSession session(settings, options.cancel);
    const SftpAddress& address = session.Address();
    const std::string folder = subFolder.empty() ? address.folder : Join(address.folder, subFolder);
    const auto step = [&](const char* name) {
        if (options.afterStep) {
            options.afterStep(name);
        }
    };
    Fd fd(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC));
    const off_t end = fd.Valid() ? ::lseek(fd.Get(), 0, SEEK_END) : -1;
    if (end < 0) {
        throw OffsiteError("The archive " + archivePath +
                           " cannot be read: " + std::strerror(errno));
    }
    fd.Reset();
    const uint64_t size = static_cast<uint64_t>(end);

    OffsiteCopyResult result;
    std::vector<RemoteEntry> entries;
    bool exists = false;
    WithTries(settings, options.cancel, [&](int) { entries = session.List(folder, &exists); });
    MendRemote(session, folder, entries, archiveName, localScratch, options.passphrase,
               result.notes);

    // A server without room for the archive is refused before anything is sent; the
    // folder itself may not be there yet.
    CheckSpace(session, exists ? folder : address.folder, size);

    const std::string partName = OffsitePartName(archiveName);
    const std::string part = Join(folder, partName);
    try {
        result.tries =
            UploadWithTries(session, settings, archivePath, folder, partName, size, options);
        step("uploaded");
        entries = session.List(folder);
        const RemoteEntry* uploaded = Find(entries, partName);
        if (uploaded == nullptr || uploaded->size != size) {
            throw OffsiteError("the server holds " +
                               (uploaded == nullptr ? std::string("no copy")
                                                    : std::to_string(uploaded->size) + " bytes") +
                               " of the archive's " + std::to_string(size) +
                               " after the upload (no space on the server?)");
        }
        if (settings.verify) {
            ReadBack(session, part, archivePath, size, options);
        }
    } catch (...) {
        // What this run uploaded goes; a later run removes it when the link is down now.
        try {
            session.Commands({"*rm " + SftpSession::Quoted(part)});
        } catch (const Error&) {
        }
        throw;
    }

    // The rotation: plain SFTP renames do not replace, so the older generation goes first;
    // the last one is then renamed to the older one's name and the new one put in place.
    const std::string last = Join(folder, archiveName);
    const std::string older = Join(folder, previousName);
    if (Find(entries, archiveName) != nullptr) {
        if (Find(entries, previousName) != nullptr) {
            session.Commands({"rm " + SftpSession::Quoted(older)});
            step("older removed");
        }
        session.Commands(
            {"rename " + SftpSession::Quoted(last) + " " + SftpSession::Quoted(older)});
        step("last renamed");
    }
    session.Commands({"rename " + SftpSession::Quoted(part) + " " + SftpSession::Quoted(last)});
    step("new renamed");
    result.remoteArchive = last;
    return result;
}

std::vector<std::string> TestOffsite(const OffsiteSettings& settings) {
    std::vector<std::string> done;
    SftpSession session(settings);
    const SftpAddress& a = session.Address();
    bool exists = false;
    session.List(a.folder, &exists);
    done.push_back("connected to " + a.host + ":" + std::to_string(a.port) +
                   ", the host key matches " + settings.hostKeySha256 + ", logged in as " + a.user);
    const std::string probe = Join(a.folder, OffsitePartName("vornback-probe"));
    char tmpl[] = "/tmp/vornback-probe-XXXXXX";
    Fd fd(::mkstemp(tmpl));
    if (!fd.Valid() || WriteAll(fd.Get(), "vornback probe\n", 15) != 0) {
        throw OffsiteError(std::string("A probe file cannot be made: ") + std::strerror(errno));
    }
    fd.Reset();
    try {
        session.Upload(tmpl, probe, 0);
        ::unlink(tmpl);
    } catch (...) {
        ::unlink(tmpl);
        throw;
    }
    done.push_back(std::string(exists ? "" : "created the folder " + a.folder + ", ") +
                   "wrote a probe file " + probe);
    session.Commands({"rm " + SftpSession::Quoted(probe)});
    done.push_back("removed the probe file");
    return done;
}

}  // namespace vornback
