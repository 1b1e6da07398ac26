// Reading an archive's directory, and the checks every archive passes before anything of it
// is written: safe, well-formed names (UTF-8, no NUL byte, no two on one path even in
// another letter case, in any of their folders), only files and folders, nothing encrypted
// but with WinZip AES and a passphrase that opens it, methods that can be read. Private to the
// archive folder.
#pragma once

#include <zip.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"

namespace vornback::archive_internal {

// One entry of an archive as the checks read it.
struct ReadEntry {
    zip_uint64_t index = 0;
    std::string name;                // as stored
    std::vector<std::string> parts;  // the safe path components
    bool isFolder = false;
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    int32_t method = ZIP_CM_STORE;
    uint32_t crc = 0;
    int64_t mtime = 0;
    // The bytes of a WinZip AES entry that are not its data (salt, password check and
    // authentication code); 0 for a plain entry.
    uint64_t encryptionOverhead = 0;
    bool Encrypted() const { return encryptionOverhead != 0; }
};

// A read-only handle on an archive. Every failure throws ArchiveError naming the archive.
class ReadArchive {
  public:
    // check: libzip's consistency check of every local header, done once by the handle
    // that reads the directory; the workers' own handles skip it.
    // passphrase: the one encrypted entries are read with ("" for none).
    explicit ReadArchive(const std::string& path, bool check = true,
                         const std::string& passphrase = "");
    ~ReadArchive();
    ReadArchive(const ReadArchive&) = delete;
    ReadArchive& operator=(const ReadArchive&) = delete;

    zip_t* Get() const { return za_; }
    const std::string& Path() const { return path_; }
    bool HasPassphrase() const { return hasPassphrase_; }

    [[noreturn]] void Fail(const std::string& entry, const std::string& what) const;

    zip_uint64_t Count() const;
    zip_stat_t Stat(zip_uint64_t index) const;
    // The modification time: the extended timestamp when the entry has one (central
    // header first, then local header), otherwise the DOS time libzip read.
    int64_t MTime(zip_uint64_t index, const zip_stat_t& st) const;

  private:
    std::string path_;
    zip_t* za_ = nullptr;
    bool hasPassphrase_ = false;
};

// The first count path components joined with "/".
std::string JoinParts(const std::vector<std::string>& parts, size_t count);

// One central directory record as stored; sizes and offset as the 32-bit fields hold them.
struct RawEntry {
    std::string name;
    std::string extra;  // the central extra fields, whole
    std::string comment;
    uint16_t madeBy = 0;
    uint16_t needed = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint16_t time = 0;
    uint16_t date = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    uint16_t internalAttributes = 0;
    uint32_t externalAttributes = 0;
    uint64_t localOffset = 0;
};

struct RawDirectory {
    std::vector<RawEntry> entries;
    uint64_t directoryOffset = 0;
    // The archive has a ZIP64 end record, or an entry whose size or offset needs one
    // (its 32-bit fields then hold 0xFFFFFFFF, not the value).
    bool zip64 = false;
};

// The central directory read straight from the file, in directory order; empty when it
// cannot be found or read.
std::optional<RawDirectory> ReadRawDirectory(const std::string& archivePath);

// The names of the entries exactly as the archive's central directory stores them, bytes
// and length, in directory order; empty when the directory cannot be found or read.
// libzip gives a name only up to a NUL byte (which it turns into a space) and turns a name
// it takes for an old code page into UTF-8, so the stored bytes are read here.
std::optional<std::vector<std::string>> StoredNames(const std::string& archivePath);

// Where the first byte that breaks UTF-8 lies in text (a stray or missing continuation
// byte, an overlong form, a surrogate, beyond U+10FFFF); npos when it is all UTF-8.
size_t BadUtf8At(std::string_view text);

// Reads the whole directory of the archive and checks it before anything is written:
// every name safe and UTF-8 without NUL bytes, no link or special entry, nothing
// encrypted but with WinZip AES (the passphrase given and opening the first encrypted
// file, PassphraseError otherwise), no method libzip cannot read, no two entries on one path, no
// file that is needed as a folder too, and no two spellings of one path in letter case (files and
// folders alike).
std::vector<ReadEntry> CheckedEntries(const ReadArchive& archive);

// The bytes and files that an unpack of the entries writes.
ArchiveProgress ReadTotals(const std::vector<ReadEntry>& entries);

}  // namespace vornback::archive_internal
