// Reading an archive's directory and checking it before anything is written; see
// unpack_checks.h.
#include "archive/unpack_checks.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <unordered_map>

#include "archive/archive_internal.h"
#include "archive/entry_names_internal.h"
#include "base/errors.h"
#include "platform/posix.h"

namespace vornback::archive_internal {

namespace {

uint16_t Le16(const char* p) {
    return static_cast<uint16_t>(static_cast<unsigned char>(p[0]) | static_cast<unsigned char>(p[1])
                                                                        << 8);
}

uint32_t Le32(const char* p) {
    return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16;
}

uint64_t Le64(const char* p) {
    return static_cast<uint64_t>(Le32(p)) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

// Reads exactly length bytes at offset; false when the file is shorter or unreadable.
bool ReadExactly(int fd, std::string& into, uint64_t length, uint64_t offset) {
    into.resize(static_cast<size_t>(length));
    return ReadAt(fd, into.data(), into.size(), offset) == static_cast<ssize_t>(into.size());
}

// A stored name as a message shows it: UTF-8 as it stands, any other byte as \xNN.
std::string Shown(const std::string& name) {
    std::string shown;
    std::string_view rest = name;
    while (!rest.empty()) {
        const size_t bad = BadUtf8At(rest);
        shown.append(rest.substr(0, std::min(bad, rest.size())));
        if (bad == std::string_view::npos) {
            break;
        }
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02X", static_cast<unsigned char>(rest[bad]));
        shown += code;
        rest.remove_prefix(bad + 1);
    }
    std::string result;
    for (const char c : shown) {
        result += c == '\0' ? std::string("\\x00") : std::string(1, c);
    }
    return result;
}

// Why a stored name is refused on its own bytes; empty when it is not.
std::string NameFault(const std::string& stored) {
    if (stored.find('\0') != std::string::npos) {
        return "the name holds a NUL byte; the archive is refused";
    }
    if (BadUtf8At(stored) != std::string_view::npos) {
        return "the name is not UTF-8 text; the archive is refused";
    }
    return "";
}

// A path folded for comparing names without regard to letter case: ASCII letters, and the
// two-byte UTF-8 letters of Latin-1, Greek and Cyrillic that have a one-to-one lower case.
std::string FoldCase(const std::string& path) {
    std::string folded = path;
    for (size_t i = 0; i < folded.size(); ++i) {
        auto c = static_cast<unsigned char>(folded[i]);
        if (c >= 'A' && c <= 'Z') {
            folded[i] = static_cast<char>(c + 32);
        } else if (c >= 0xC3 && c <= 0xD0 && i + 1 < folded.size()) {
            const unsigned code =
                ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(folded[i + 1]) & 0x3Fu);
            unsigned lower = code;
            if ((code >= 0xC0 && code <= 0xDE && code != 0xD7) ||
                (code >= 0x391 && code <= 0x3AB) || (code >= 0x410 && code <= 0x42F)) {
                lower = code + 32;
            } else if (code >= 0x400 && code <= 0x40F) {
                lower = code + 80;
            }
            if (lower != code && lower < 0x800) {
                folded[i] = static_cast<char>(0xC0u | (lower >> 6));
                folded[i + 1] = static_cast<char>(0x80u | (lower & 0x3Fu));
            }
            ++i;
        }
    }
    return folded;
}

// Why a second file entry on a path is refused.
std::string Clash(const std::string& first, const std::string& second) {
    if (first == second) {
        return "stored twice; the archive is refused";
    }
    return "differs from the entry " + first +
           " only in letter case, and both would be one file; the archive is refused";
}

// A folder as the entries name it: its path as spelled first, and the entry that did.
struct FolderSeen {
    std::string spelling;
    std::string entry;
};

// The bytes a WinZip AES entry holds besides its data: the salt (half the key length),
// the 2-byte password check and the 10-byte authentication code. 0 for other methods.
uint64_t AesOverhead(uint16_t method) {
    switch (method) {
        case ZIP_EM_AES_128:
            return 8 + 2 + 10;
        case ZIP_EM_AES_192:
            return 12 + 2 + 10;
        case ZIP_EM_AES_256:
            return 16 + 2 + 10;
        default:
            return 0;
    }
}

// Opening an encrypted entry checks the passphrase against the entry's password check;
// done on the first one before anything is written.
void CheckPassphrase(const ReadArchive& archive, zip_uint64_t index, const std::string& name) {
    zip_file_t* file = zip_fopen_index(archive.Get(), index, ZIP_FL_COMPRESSED);
    if (file != nullptr) {
        zip_fclose(file);
        return;
    }
    const int code = zip_error_code_zip(zip_get_error(archive.Get()));
    if (code == ZIP_ER_WRONGPASSWD) {
        throw PassphraseError(archive.Path() + ": wrong passphrase", false);
    }
    archive.Fail(name, std::string("cannot read: ") + zip_strerror(archive.Get()));
}

}  // namespace

ReadArchive::ReadArchive(const std::string& path, bool check, const std::string& passphrase)
    : path_(path), hasPassphrase_(!passphrase.empty()) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        throw ArchiveError(path + ": cannot open: " + SystemReason(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        throw ArchiveError(path + ": not a file");
    }
    if (st.st_size == 0) {
        // libzip reads an empty file as an empty archive; it is not one.
        throw ArchiveError(path + ": not a zip archive");
    }
    int code = 0;
    za_ = zip_open(path.c_str(), check ? ZIP_RDONLY | ZIP_CHECKCONS : ZIP_RDONLY, &code);
    if (za_ != nullptr) {
        if (hasPassphrase_ && zip_set_default_password(za_, passphrase.c_str()) != 0) {
            const std::string reason = zip_strerror(za_);
            zip_discard(za_);
            za_ = nullptr;
            throw ArchiveError(path + ": cannot take the passphrase: " + reason);
        }
        return;
    }
    const std::string reason = ZipErrorText(code);
    switch (code) {
        case ZIP_ER_NOZIP:
            throw ArchiveError(path + ": not a zip archive");
        case ZIP_ER_INCONS:
            // libzip refuses a name marked as UTF-8 that is not; say so rather than
            // "damaged".
            if (const auto names = StoredNames(path)) {
                for (const std::string& name : *names) {
                    if (const std::string fault = NameFault(name); !fault.empty()) {
                        throw ArchiveError(path + ": entry " + Shown(name) + ": " + fault);
                    }
                }
            }
            throw ArchiveError(path + ": damaged zip archive (" + reason + ")");
        default:
            throw ArchiveError(path + ": cannot open: " + reason);
    }
}

ReadArchive::~ReadArchive() {
    zip_discard(za_);
}

void ReadArchive::Fail(const std::string& entry, const std::string& what) const {
    throw ArchiveError(path_ + ": entry " + entry + ": " + what);
}

zip_uint64_t ReadArchive::Count() const {
    const zip_int64_t n = zip_get_num_entries(za_, 0);
    return n < 0 ? 0 : static_cast<zip_uint64_t>(n);
}

zip_stat_t ReadArchive::Stat(zip_uint64_t index) const {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za_, index, 0, &st) != 0 || (st.valid & ZIP_STAT_NAME) == 0) {
        throw ArchiveError(path_ + ": entry " + std::to_string(index) +
                           ": cannot read: " + zip_strerror(za_));
    }
    return st;
}

int64_t ReadArchive::MTime(zip_uint64_t index, const zip_stat_t& st) const {
    for (zip_flags_t where : {ZIP_FL_CENTRAL, ZIP_FL_LOCAL}) {
        zip_uint16_t length = 0;
        const zip_uint8_t* data =
            zip_file_extra_field_get_by_id(za_, index, kExtendedTimestamp, 0, &length, where);
        if (std::optional<int64_t> t = ParseExtendedTimestamp(data, length)) {
            return *t;
        }
    }
    return (st.valid & ZIP_STAT_MTIME) != 0 ? static_cast<int64_t>(st.mtime) : 0;
}

std::string JoinParts(const std::vector<std::string>& parts, size_t count) {
    std::string joined;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            joined += '/';
        }
        joined += parts[i];
    }
    return joined;
}

size_t BadUtf8At(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t follow = 0;
        uint32_t code = 0;
        uint32_t least = 0;
        if ((lead & 0xE0u) == 0xC0u) {
            follow = 1, code = lead & 0x1Fu, least = 0x80;
        } else if ((lead & 0xF0u) == 0xE0u) {
            follow = 2, code = lead & 0x0Fu, least = 0x800;
        } else if ((lead & 0xF8u) == 0xF0u) {
            follow = 3, code = lead & 0x07u, least = 0x10000;
        } else {
            return i;
        }
        if (text.size() - i - 1 < follow) {
            return i;
        }
        for (size_t k = 1; k <= follow; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0u) != 0x80u) {
                return i;
            }
            code = code << 6 | (next & 0x3Fu);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return i;
        }
        i += follow + 1;
    }
    return std::string_view::npos;
}

std::optional<RawDirectory> ReadRawDirectory(const std::string& archivePath) {
    constexpr size_t kEndRecord = 22;  // the end of central directory record, without comment
    Fd fd(::open(archivePath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || st.st_size < 0 ||
        static_cast<uint64_t>(st.st_size) < kEndRecord) {
        return std::nullopt;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    std::string tail;
    const uint64_t tailStart = size - std::min<uint64_t>(size, kEndRecord + 0xFFFF);
    if (!ReadExactly(fd.Get(), tail, size - tailStart, tailStart)) {
        return std::nullopt;
    }
    // The end record: the last one whose comment reaches to the end of the file exactly,
    // else the last one found.
    size_t end = std::string::npos;
    for (size_t at = tail.size() - kEndRecord + 1; at-- > 0;) {
        if (Le32(&tail[at]) == 0x06054b50) {
            if (end == std::string::npos) {
                end = at;
            }
            if (at + kEndRecord + Le16(&tail[at + 20]) == tail.size()) {
                end = at;
                break;
            }
        }
    }
    if (end == std::string::npos) {
        return std::nullopt;
    }
    uint64_t count = Le16(&tail[end + 10]);
    uint64_t directorySize = Le32(&tail[end + 12]);
    uint64_t directoryOffset = Le32(&tail[end + 16]);
    RawDirectory result;
    if (count == 0xFFFF || directorySize == 0xFFFFFFFF || directoryOffset == 0xFFFFFFFF) {
        result.zip64 = true;
        // ZIP64: the locator just before the end record points at the ZIP64 end record.
        std::string record;
        const uint64_t endAt = tailStart + end;
        if (endAt < 20 || !ReadExactly(fd.Get(), record, 20, endAt - 20) ||
            Le32(record.data()) != 0x07064b50) {
            return std::nullopt;
        }
        const uint64_t zip64At = Le64(&record[8]);
        if (zip64At > size || !ReadExactly(fd.Get(), record, 56, zip64At) ||
            Le32(record.data()) != 0x06064b50) {
            return std::nullopt;
        }
        count = Le64(&record[32]);
        directorySize = Le64(&record[40]);
        directoryOffset = Le64(&record[48]);
    }
    constexpr size_t kHeader = 46;  // a central directory header without its fields
    if (directoryOffset > size || directorySize > size - directoryOffset ||
        count > directorySize / kHeader) {
        return std::nullopt;
    }
    std::string directory;
    if (!ReadExactly(fd.Get(), directory, directorySize, directoryOffset)) {
        return std::nullopt;
    }
    result.directoryOffset = directoryOffset;
    result.entries.reserve(static_cast<size_t>(count));
    size_t at = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (directory.size() - at < kHeader || Le32(&directory[at]) != 0x02014b50) {
            return std::nullopt;
        }
        const size_t nameLength = Le16(&directory[at + 28]);
        const size_t fields = nameLength + Le16(&directory[at + 30]) + Le16(&directory[at + 32]);
        if (directory.size() - at - kHeader < fields) {
            return std::nullopt;
        }
        const char* h = &directory[at];
        RawEntry entry;
        entry.madeBy = Le16(h + 4);
        entry.needed = Le16(h + 6);
        entry.flags = Le16(h + 8);
        entry.method = Le16(h + 10);
        entry.time = Le16(h + 12);
        entry.date = Le16(h + 14);
        entry.crc = Le32(h + 16);
        entry.compressedSize = Le32(h + 20);
        entry.size = Le32(h + 24);
        entry.internalAttributes = Le16(h + 36);
        entry.externalAttributes = Le32(h + 38);
        entry.localOffset = Le32(h + 42);
        entry.name = directory.substr(at + kHeader, nameLength);
        entry.extra = directory.substr(at + kHeader + nameLength, Le16(h + 30));
        entry.comment = directory.substr(at + kHeader + nameLength + Le16(h + 30), Le16(h + 32));
        if (entry.compressedSize == 0xFFFFFFFF || entry.size == 0xFFFFFFFF ||
            entry.localOffset == 0xFFFFFFFF) {
            result.zip64 = true;
        }
        result.entries.push_back(std::move(entry));
        at += kHeader + fields;
    }
    return result;
}

std::optional<std::vector<std::string>> StoredNames(const std::string& archivePath) {
    std::optional<RawDirectory> directory = ReadRawDirectory(archivePath);
    if (!directory) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    names.reserve(directory->entries.size());
    for (RawEntry& entry : directory->entries) {
        names.push_back(std::move(entry.name));
    }
    return names;
}

std::vector<ReadEntry> CheckedEntries(const ReadArchive& archive) {
    std::vector<ReadEntry> entries;
    std::unordered_map<std::string, std::string> files;   // folded path -> entry name
    std::unordered_map<std::string, FolderSeen> folders;  // folded path (implied or stored)
    const zip_uint64_t count = archive.Count();
    const std::optional<std::vector<std::string>> stored = StoredNames(archive.Path());
    if (!stored || stored->size() != count) {
        throw ArchiveError(archive.Path() + ": damaged zip archive (its directory cannot be read)");
    }
    files.reserve(static_cast<size_t>(std::min<zip_uint64_t>(count, 1u << 20)));
    bool passphraseChecked = false;
    for (zip_uint64_t i = 0; i < count; ++i) {
        const zip_stat_t st = archive.Stat(i);
        const std::string& storedName = (*stored)[i];
        if (const std::string fault = NameFault(storedName); !fault.empty()) {
            archive.Fail(Shown(storedName), fault);
        }
        if (storedName != st.name) {
            archive.Fail(storedName, "damaged zip archive (the name reads differently)");
        }
        ReadEntry entry;
        entry.index = i;
        entry.name = st.name;
        std::optional<std::vector<std::string>> parts = entry_names::SafeComponents(entry.name);
        if (!parts) {
            archive.Fail(entry.name,
                         "unsafe name (absolute, drive letter or \"..\"); "
                         "the archive is refused");
        }
        entry.parts = std::move(*parts);
        for (const std::string& part : entry.parts) {
            if (part.size() > NAME_MAX) {
                archive.Fail(entry.name, "a name in the path is too long");
            }
        }
        entry.isFolder = entry_names::NamesFolder(entry.name);
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(archive.Get(), i, 0, &system, &attributes) == 0 &&
            system == ZIP_OPSYS_UNIX) {
            const auto type = static_cast<mode_t>((attributes >> 16) & S_IFMT);
            if (type == S_IFLNK) {
                archive.Fail(entry.name, "a link; the archive is refused");
            }
            if (type != 0 && type != S_IFREG && type != S_IFDIR) {
                archive.Fail(entry.name, "not a file or folder; the archive is refused");
            }
        }
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE) {
            entry.encryptionOverhead = AesOverhead(st.encryption_method);
            if (entry.encryptionOverhead == 0) {
                archive.Fail(entry.name,
                             "encrypted with a method that is not supported (only WinZip AES is)");
            }
            if (!archive.HasPassphrase()) {
                throw PassphraseError(archive.Path() +
                                          ": the archive is encrypted; its passphrase is needed "
                                          "to read it",
                                      true);
            }
            if (!entry.isFolder && !passphraseChecked) {
                CheckPassphrase(archive, i, entry.name);
                passphraseChecked = true;
            }
        }
        if (!entry.isFolder && (st.valid & ZIP_STAT_COMP_METHOD) != 0 &&
            !zip_compression_method_supported(st.comp_method, 0)) {
            archive.Fail(entry.name,
                         "unsupported compression method " + std::to_string(st.comp_method));
        }
        if (entry.isFolder && (st.valid & ZIP_STAT_SIZE) != 0 && st.size != 0) {
            archive.Fail(entry.name, "a folder entry with data");
        }
        entry.size = (st.valid & ZIP_STAT_SIZE) != 0 ? st.size : 0;
        entry.compressedSize = (st.valid & ZIP_STAT_COMP_SIZE) != 0 ? st.comp_size : 0;
        entry.method = (st.valid & ZIP_STAT_COMP_METHOD) != 0 ? st.comp_method : ZIP_CM_STORE;
        entry.crc = (st.valid & ZIP_STAT_CRC) != 0 ? st.crc : 0;
        entry.mtime = archive.MTime(i, st);

        // Paths are compared without regard to letter case: the data comes from, and goes
        // back to, file systems where Data.txt and data.txt are one file, and Yr2 and yr2
        // one folder. Every folder on the way takes part, not only the last name.
        const size_t folderCount = entry.isFolder ? entry.parts.size() : entry.parts.size() - 1;
        for (size_t k = 1; k <= folderCount; ++k) {
            std::string spelling = JoinParts(entry.parts, k);
            const std::string folded = FoldCase(spelling);
            if (const auto file = files.find(folded); file != files.end()) {
                archive.Fail(entry.name, (k < entry.parts.size() ? "lies below the file entry "
                                                                 : "the same path as the file "
                                                                   "entry ") +
                                             file->second + "; the archive is refused");
            }
            if (const auto seen = folders.find(folded); seen == folders.end()) {
                folders.emplace(folded, FolderSeen{std::move(spelling), entry.name});
            } else if (seen->second.spelling != spelling) {
                archive.Fail(entry.name, "the folder " + spelling + " differs from the folder " +
                                             seen->second.spelling + " of the entry " +
                                             seen->second.entry +
                                             " only in letter case, and both would be one "
                                             "folder; the archive is refused");
            }
        }
        if (!entry.isFolder) {
            const std::string path = FoldCase(JoinParts(entry.parts, entry.parts.size()));
            if (const auto file = files.find(path); file != files.end()) {
                archive.Fail(entry.name, Clash(file->second, entry.name));
            }
            if (const auto folder = folders.find(path); folder != folders.end()) {
                archive.Fail(entry.name, "the same path as the folder needed by " +
                                             folder->second.entry + "; the archive is refused");
            }
            files.emplace(path, entry.name);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

ArchiveProgress ReadTotals(const std::vector<ReadEntry>& entries) {
    ArchiveProgress progress;
    for (const ReadEntry& entry : entries) {
        if (!entry.isFolder) {
            progress.bytesTotal += entry.size;
            ++progress.filesTotal;
        }
    }
    return progress;
}

}  // namespace vornback::archive_internal
