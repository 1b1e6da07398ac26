// The AES-256 copy writer and its check; see aes_copy.h.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "archive/aes_copy.h"

#include <endian.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "archive/archive_internal.h"
#include "archive/unpack_checks.h"
#include "base/errors.h"
#include "base/thread_annotations.h"
#include "platform/posix.h"

namespace vornback::archive_internal {

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr size_t kLocalHeader = 30;
constexpr size_t kCentralHeader = 46;
constexpr size_t kEndRecord = 22;
constexpr uint16_t kAesMethod = 99;
constexpr uint16_t kAesNeeded = 51;  // the version a reader of WinZip AES needs (5.1)
constexpr uint16_t kEncryptedFlag = 0x0001;
constexpr uint16_t kDescriptorFlag = 0x0008;
constexpr size_t kAesOverhead = kAesSalt + kAesVerifier + kAesCode;
constexpr uint64_t kMax32 = 0xFFFFFFFF;

void Put16(std::string& out, uint64_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& out, uint64_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, (value >> 16) & 0xFFFF);
}

uint16_t Get16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                                 static_cast<unsigned char>(s[at + 1]) << 8);
}

uint32_t Get32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(Get16(s, at)) | static_cast<uint32_t>(Get16(s, at + 2)) << 16;
}

// The 0x9901 extra field: AE-2, "AE", AES-256, the method of the bytes inside.
std::string AesExtraField(uint16_t method) {
    std::string field;
    Put16(field, 0x9901);
    Put16(field, 7);
    Put16(field, 2);
    field += "AE";
    field += static_cast<char>(3);
    Put16(field, method);
    return field;
}

bool NamesFolder(const std::string& name) {
    return !name.empty() && name.back() == '/';
}

// A local header as stored: its fixed part, name and extra fields, and where its data starts.
struct LocalHeader {
    std::string fixed;
    std::string name;
    std::string extra;
    uint64_t dataOffset = 0;
};

std::optional<LocalHeader> ReadLocalHeader(int fd, uint64_t offset) {
    // One read for the header with its name and fields as they usually are, a second one
    // only for longer ones.
    std::string bytes(kLocalHeader + 512, '\0');
    const ssize_t got = ReadAt(fd, bytes.data(), bytes.size(), offset);
    if (got < static_cast<ssize_t>(kLocalHeader) || Get32(bytes, 0) != kLocalSignature) {
        return std::nullopt;
    }
    LocalHeader header;
    header.fixed = bytes.substr(0, kLocalHeader);
    const size_t nameLength = Get16(header.fixed, 26);
    const size_t fieldsLength = nameLength + Get16(header.fixed, 28);
    if (kLocalHeader + fieldsLength > static_cast<size_t>(got)) {
        bytes.resize(kLocalHeader + fieldsLength);
        const size_t more = bytes.size() - static_cast<size_t>(got);
        if (ReadAt(fd, bytes.data() + got, more, offset + static_cast<uint64_t>(got)) !=
            static_cast<ssize_t>(more)) {
            return std::nullopt;
        }
    }
    header.name = bytes.substr(kLocalHeader, nameLength);
    header.extra = bytes.substr(kLocalHeader + nameLength, fieldsLength - nameLength);
    header.dataOffset = offset + kLocalHeader + fieldsLength;
    return header;
}

// A source entry as the copy needs it: its central record, its local extra fields and
// where its compressed bytes lie.
struct SourceEntry {
    const RawEntry* raw = nullptr;
    std::string localExtra;
    uint64_t dataOffset = 0;
    bool encrypted = false;  // a file entry, encrypted in the copy
};

std::vector<SourceEntry> SourceEntries(const std::string& path, int fd,
                                       const RawDirectory& directory) {
    std::vector<SourceEntry> entries;
    entries.reserve(directory.entries.size());
    for (const RawEntry& raw : directory.entries) {
        const std::optional<LocalHeader> local = ReadLocalHeader(fd, raw.localOffset);
        if (!local || local->name != raw.name ||
            local->dataOffset + raw.compressedSize > directory.directoryOffset) {
            throw ArchiveError(path + ": entry " + raw.name +
                               ": damaged zip archive (its local header does not match)");
        }
        SourceEntry entry;
        entry.raw = &raw;
        entry.localExtra = local->extra;
        entry.dataOffset = local->dataOffset;
        entry.encrypted = !NamesFolder(raw.name);
        if ((raw.flags & kEncryptedFlag) != 0 || raw.method == kAesMethod) {
            throw ArchiveError(path + ": entry " + raw.name + ": already encrypted");
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The CRC an encrypted entry keeps: AE-2 leaves it out, but libzip, which reads the copy
// in restore, verify and drill, checks it on every entry of 20 bytes or more and leaves it
// out only below (as it writes them itself), so only those small entries store 0.
uint32_t StoredCrc(const RawEntry& r) {
    return r.size < 20 ? 0 : r.crc;
}

// What an encrypted entry's local header and central record hold.
std::string EncryptedLocalHeader(const SourceEntry& e) {
    const RawEntry& r = *e.raw;
    const std::string extra = AesExtraField(r.method) + e.localExtra;
    std::string h;
    Put32(h, kLocalSignature);
    Put16(h, kAesNeeded);
    Put16(h, (r.flags & ~kDescriptorFlag) | kEncryptedFlag);
    Put16(h, kAesMethod);
    Put16(h, r.time);
    Put16(h, r.date);
    Put32(h, StoredCrc(r));
    Put32(h, r.compressedSize + kAesOverhead);
    Put32(h, r.size);
    Put16(h, r.name.size());
    Put16(h, extra.size());
    return h + r.name + extra;
}

std::string CentralRecord(const SourceEntry& e, uint64_t localOffset) {
    const RawEntry& r = *e.raw;
    const std::string extra = e.encrypted ? AesExtraField(r.method) + r.extra : r.extra;
    std::string h;
    Put32(h, kCentralSignature);
    Put16(h, r.madeBy);
    Put16(h, e.encrypted ? kAesNeeded : r.needed);
    Put16(h, e.encrypted ? (r.flags & ~kDescriptorFlag) | kEncryptedFlag : r.flags);
    Put16(h, e.encrypted ? kAesMethod : r.method);
    Put16(h, r.time);
    Put16(h, r.date);
    Put32(h, e.encrypted ? StoredCrc(r) : r.crc);
    Put32(h, r.compressedSize + (e.encrypted ? kAesOverhead : 0));
    Put32(h, r.size);
    Put16(h, r.name.size());
    Put16(h, extra.size());
    Put16(h, r.comment.size());
    Put16(h, 0);  // disk
    Put16(h, r.internalAttributes);
    Put32(h, r.externalAttributes);
    Put32(h, localOffset);
    return h + r.name + extra + r.comment;
}

// WinZip's AES-CTR: the counter block is the block number, little endian, from 1. OpenSSL's
// CTR mode counts big endian, so the counter blocks are made here and encrypted with ECB,
// a few hundred at a time (the key stream stays in the CPU's cache).
class Ctr {
  public:
    Ctr() : ctx_(EVP_CIPHER_CTX_new()) {
        if (ctx_ == nullptr) {
            throw ArchiveError("cannot set up AES-256");
        }
    }
    ~Ctr() { EVP_CIPHER_CTX_free(ctx_); }
    Ctr(const Ctr&) = delete;
    Ctr& operator=(const Ctr&) = delete;

    void Start(const std::array<uint8_t, 32>& key) {
        if (EVP_EncryptInit_ex(ctx_, EVP_aes_256_ecb(), nullptr, key.data(), nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(ctx_, 0) != 1) {
            throw ArchiveError("cannot set up AES-256");
        }
        counter_ = 0;
    }
    // XORs the key stream into data; every call but an entry's last covers whole blocks.
    void Apply(uint8_t* data, size_t length) {
        for (size_t at = 0; at < length; at += sizeof stream_) {
            const size_t piece = std::min(sizeof stream_, length - at);
            const size_t blocks = (piece + 15) / 16;
            // Each counter block: the block number in its first 8 bytes, little endian,
            // then zeros.
            for (size_t b = 0; b < blocks; ++b) {
                const uint64_t number = htole64(++counter_);
                std::memcpy(counters_ + b * 16, &number, sizeof number);
            }
            int written = 0;
            if (EVP_EncryptUpdate(ctx_, stream_, &written, counters_,
                                  static_cast<int>(blocks * 16)) != 1 ||
                static_cast<size_t>(written) != blocks * 16) {
                throw ArchiveError("AES-256 failed");
            }
            size_t i = 0;
            for (; i + 8 <= piece; i += 8) {
                uint64_t word = 0;
                uint64_t key = 0;
                std::memcpy(&word, data + at + i, 8);
                std::memcpy(&key, stream_ + i, 8);
                word ^= key;
                std::memcpy(data + at + i, &word, 8);
            }
            for (; i < piece; ++i) {
                data[at + i] ^= stream_[i];
            }
        }
    }

  private:
    EVP_CIPHER_CTX* ctx_;
    uint64_t counter_ = 0;
    uint8_t counters_[16 * 1024] = {};
    uint8_t stream_[16 * 1024] = {};
};

// HMAC-SHA1 from the key's pad states, through OpenSSL's SHA-1 (deprecated in OpenSSL 3 but
// present, and cheap to start for every entry, where an EVP_MAC fetches its digest).
class Hmac {
  public:
    void Start(const std::array<uint8_t, 32>& key) {
        const HmacPads pads(key.data(), key.size());
        inner_ = pads.inner;
        outer_ = pads.outer;
    }
    void Update(const uint8_t* data, size_t length) { SHA1_Update(&inner_, data, length); }
    // The stored part of the code.
    std::string Final() {
        uint8_t digest[SHA_DIGEST_LENGTH];
        SHA1_Final(digest, &inner_);
        SHA1_Update(&outer_, digest, sizeof digest);
        SHA1_Final(digest, &outer_);
        return std::string(reinterpret_cast<const char*>(digest), kAesCode);
    }

  private:
    SHA_CTX inner_{};
    SHA_CTX outer_{};
};

using Salt = AesSalt;

constexpr size_t kBatch = 4;           // entries a worker takes at once: the key derivation's four
constexpr size_t kPiece = 256 * 1024;  // bytes read at once, kept in the CPU's cache

// What a worker keeps from one batch to the next.
struct PassState {
    Ctr ctr;
    Hmac hmac;
    std::vector<uint8_t> chunk = std::vector<uint8_t>(kPiece);
    std::vector<uint8_t> other = std::vector<uint8_t>(kPiece);
    std::string out;  // written once it holds kPiece bytes
    PassState() { out.reserve(2 * kPiece + 64 * 1024); }
};

// One pass over the entries on worker threads, each taking the next kBatch entries in
// order, while the calling thread reports progress (a file's bytes once it is through) and
// watches for a cancel. The first failure stops the other workers and is thrown by Run,
// ArchiveCancelled on a cancel.
class EntryPass {
  public:
    EntryPass(const std::vector<SourceEntry>& entries, const EncryptOptions& options)
        : entries_(entries), options_(options) {
        for (const SourceEntry& e : entries) {
            if (e.encrypted) {
                totals_.bytesTotal += e.raw->size;
                ++totals_.filesTotal;
            }
        }
    }

    // work(state, first, count) does entries [first, first + count) with its worker's own
    // state, calls Done after each file entry and returns early once Stopping().
    template <typename Work>
    void Run(const Work& work) {
        const size_t batches = (entries_.size() + kBatch - 1) / kBatch;
        const size_t workers = std::min<size_t>(WorkerThreads(0), std::max<size_t>(batches, 1));
        std::vector<std::thread> threads;
        try {
            for (size_t n = 0; n < workers; ++n) {
                threads.emplace_back([this, &work] { Serve(work); });
            }
            Watch(threads.size());
        } catch (...) {
            stop_ = true;
            for (std::thread& t : threads) {
                t.join();
            }
            throw;
        }
        for (std::thread& t : threads) {
            t.join();
        }
        std::exception_ptr failure;
        {
            MutexLock lock(mutex_);
            failure = failure_;
        }
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
    void Done(size_t index) {
        bytesDone_ += entries_[index].raw->size;
        ++filesDone_;
        lastDone_ = index;
    }
    bool Stopping() const { return stop_.load(); }

  private:
    template <typename Work>
    void Serve(const Work& work) {
        try {
            PassState state;
            for (;;) {
                const size_t first = next_.fetch_add(kBatch);
                if (first >= entries_.size() || stop_.load()) {
                    break;
                }
                work(state, first, std::min(kBatch, entries_.size() - first));
            }
        } catch (...) {
            MutexLock lock(mutex_);
            if (!failure_) {
                failure_ = std::current_exception();
            }
            stop_ = true;
        }
        {
            MutexLock lock(mutex_);
            ++finished_;
        }
        changed_.notify_all();
    }
    void Watch(size_t workers) {
        for (;;) {
            bool over = false;
            {
                MutexLock lock(mutex_);
                over = finished_ == workers;
            }
            Report();
            if (Cancelled(options_.cancel)) {
                throw ArchiveCancelled("encrypting cancelled");
            }
            if (over) {
                return;
            }
            MutexLock lock(mutex_);
            if (finished_ != workers) {
                lock.WaitUntil(changed_,
                               std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
            }
        }
    }
    void Report() {
        if (!options_.progress) {
            return;
        }
        ArchiveProgress now = totals_;
        now.bytesDone = bytesDone_.load();
        now.filesDone = filesDone_.load();
        if (const size_t last = lastDone_.load(); last < entries_.size()) {
            now.currentName = entries_[last].raw->name;
        }
        options_.progress(now);
    }

    const std::vector<SourceEntry>& entries_;
    const EncryptOptions& options_;
    ArchiveProgress totals_;
    std::atomic<size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> bytesDone_{0};
    std::atomic<uint64_t> filesDone_{0};
    std::atomic<size_t> lastDone_{SIZE_MAX};
    Mutex mutex_;
    std::condition_variable changed_;
    std::exception_ptr failure_ GUARDED_BY(mutex_);
    size_t finished_ GUARDED_BY(mutex_) = 0;
};

Fd OpenToRead(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        throw ArchiveError(path + ": cannot open: " + SystemReason(errno));
    }
    return fd;
}

RawDirectory ReadDirectoryOf(const std::string& path) {
    std::optional<RawDirectory> directory = ReadRawDirectory(path);
    if (!directory) {
        throw ArchiveError(path + ": damaged zip archive (its directory cannot be read)");
    }
    return std::move(*directory);
}

void ReadFully(int fd, const std::string& path, uint8_t* into, size_t length, uint64_t offset) {
    const ssize_t got = ReadAt(fd, into, length, offset);
    if (got != static_cast<ssize_t>(length)) {
        throw ArchiveError(path + ": cannot read: " +
                           (got < 0 ? SystemReason(errno) : std::string("the file ends early")));
    }
}

}  // namespace

std::optional<AesCopyKeys> WriteAesCopy(const std::string& sourcePath, int fd,
                                        const std::string& targetPath,
                                        const std::string& passphrase,
                                        const EncryptOptions& options) {
    const Fd source = OpenToRead(sourcePath);
    const RawDirectory directory = ReadDirectoryOf(sourcePath);
    if (directory.zip64 || directory.entries.size() > 0xFFFF) {
        return std::nullopt;
    }
    const std::vector<SourceEntry> entries = SourceEntries(sourcePath, source.Get(), directory);

    // Where every entry goes in the copy, known before a byte is written, so that the
    // workers write their entries in place; beyond 32-bit fields the copy needs ZIP64.
    std::vector<uint64_t> offsets(entries.size() + 1, 0);
    uint64_t directorySize = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const SourceEntry& e = entries[i];
        const uint64_t added = e.encrypted ? AesExtraField(0).size() : 0;
        if (e.localExtra.size() + added > 0xFFFF || e.raw->extra.size() + added > 0xFFFF) {
            return std::nullopt;
        }
        offsets[i + 1] = offsets[i] + e.dataOffset - e.raw->localOffset + e.raw->compressedSize +
                         (e.encrypted ? added + kAesOverhead : 0);
        directorySize += kCentralHeader + e.raw->name.size() + e.raw->extra.size() + added +
                         e.raw->comment.size();
    }
    if (offsets.back() + directorySize + kEndRecord > kMax32) {
        return std::nullopt;
    }

    // A fresh salt for every file entry, none twice in one copy.
    std::vector<Salt> salts(entries.size());
    std::set<Salt> taken;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!entries[i].encrypted) {
            continue;
        }
        do {
            if (RAND_bytes(salts[i].data(), static_cast<int>(kAesSalt)) != 1) {
                throw ArchiveError("cannot draw a random salt for the encrypted copy");
            }
        } while (!taken.insert(salts[i]).second);
    }

    std::vector<AesKeys> keys(entries.size());
    const auto write = [&](std::string& out, uint64_t& at) {
        if (const int err = WriteAllAt(fd, out.data(), out.size(), at); err != 0) {
            throw ArchiveError(targetPath +
                               ": cannot write the encrypted copy: " + SystemReason(err));
        }
        // The disk starts on it now, not at the sync.
        ::sync_file_range(fd, static_cast<off_t>(at), static_cast<off_t>(out.size()),
                          SYNC_FILE_RANGE_WRITE);
        at += out.size();
        out.clear();
    };
    EntryPass pass(entries, options);
    pass.Run([&](PassState& s, size_t first, size_t count) {
        // The keys of the batch's file entries, derived at once.
        Salt batchSalts[kBatch];
        AesKeys batchKeys[kBatch];
        size_t which[kBatch];
        size_t n = 0;
        for (size_t i = first; i < first + count; ++i) {
            if (entries[i].encrypted) {
                batchSalts[n] = salts[i];
                which[n++] = i;
            }
        }
        DeriveAesKeys(passphrase, batchSalts, n, batchKeys);
        for (size_t k = 0; k < n; ++k) {
            keys[which[k]] = batchKeys[k];
        }
        // The batch's entries lie one after another in the copy.
        uint64_t at = offsets[first];
        s.out.clear();
        for (size_t i = first; i < first + count; ++i) {
            const SourceEntry& e = entries[i];
            if (!e.encrypted) {
                // A folder entry: its local header and bytes as they stand.
                const uint64_t length = e.dataOffset + e.raw->compressedSize - e.raw->localOffset;
                const size_t start = s.out.size();
                s.out.resize(start + length);
                ReadFully(source.Get(), sourcePath, reinterpret_cast<uint8_t*>(&s.out[start]),
                          length, e.raw->localOffset);
                continue;
            }
            s.out += EncryptedLocalHeader(e);
            s.out.append(salts[i].begin(), salts[i].end());
            s.out.append(keys[i].verifier.begin(), keys[i].verifier.end());
            s.ctr.Start(keys[i].encryption);
            s.hmac.Start(keys[i].authentication);
            for (uint64_t done = 0; done < e.raw->compressedSize;) {
                if (pass.Stopping()) {
                    return;
                }
                const size_t piece =
                    static_cast<size_t>(std::min<uint64_t>(kPiece, e.raw->compressedSize - done));
                ReadFully(source.Get(), sourcePath, s.chunk.data(), piece, e.dataOffset + done);
                s.ctr.Apply(s.chunk.data(), piece);
                s.hmac.Update(s.chunk.data(), piece);
                s.out.append(reinterpret_cast<const char*>(s.chunk.data()), piece);
                if (s.out.size() >= kPiece) {
                    write(s.out, at);
                }
                done += piece;
            }
            s.out += s.hmac.Final();
            pass.Done(i);
        }
        write(s.out, at);
        if (at != offsets[first + count]) {
            throw ArchiveError(targetPath + ": the encrypted copy's entries do not add up");
        }
    });

    std::string out;
    for (size_t i = 0; i < entries.size(); ++i) {
        out += CentralRecord(entries[i], offsets[i]);
    }
    Put32(out, kEndSignature);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, entries.size());
    Put16(out, entries.size());
    Put32(out, directorySize);
    Put32(out, offsets.back());
    Put16(out, 0);
    uint64_t at = offsets.back();
    write(out, at);
    if (Cancelled(options.cancel)) {
        throw ArchiveCancelled("encrypting cancelled");
    }
    AesCopyKeys result;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].encrypted) {
            result.emplace(std::string(salts[i].begin(), salts[i].end()), keys[i]);
        }
    }
    return result;
}

void CheckAesCopy(const std::string& sourcePath, const std::string& copyPath,
                  const AesCopyKeys& keys, const EncryptOptions& options) {
    const Fd source = OpenToRead(sourcePath);
    const Fd copy = OpenToRead(copyPath);
    const RawDirectory sourceDirectory = ReadDirectoryOf(sourcePath);
    const RawDirectory copyDirectory = ReadDirectoryOf(copyPath);
    const std::vector<SourceEntry> entries =
        SourceEntries(sourcePath, source.Get(), sourceDirectory);
    if (copyDirectory.entries.size() != entries.size() || copyDirectory.zip64) {
        throw ArchiveError(copyPath + ": the encrypted copy does not hold the archive's entries");
    }
    const auto fail = [&](size_t i, const std::string& what) {
        throw ArchiveError(copyPath + ": entry " + entries[i].raw->name +
                           ": the encrypted copy does not read back: " + what);
    };
    std::vector<uint64_t> ends(entries.size(), 0);  // where each entry's bytes end
    EntryPass pass(entries, options);
    pass.Run([&](PassState& s, size_t first, size_t count) {
        for (size_t i = first; i < first + count; ++i) {
            const SourceEntry& e = entries[i];
            const RawEntry& c = copyDirectory.entries[i];
            const std::string record = CentralRecord(e, c.localOffset);
            const std::string stored = CentralRecord({&c, {}, 0, false}, c.localOffset);
            if (record != stored) {
                fail(i, "its directory record differs");
            }
            const std::optional<LocalHeader> local = ReadLocalHeader(copy.Get(), c.localOffset);
            if (!local) {
                fail(i, "its local header cannot be read");
            }
            if (!e.encrypted) {
                const uint64_t length = e.dataOffset + e.raw->compressedSize - e.raw->localOffset;
                std::string want(length, '\0');
                std::string got(length, '\0');
                ReadFully(source.Get(), sourcePath, reinterpret_cast<uint8_t*>(want.data()), length,
                          e.raw->localOffset);
                ReadFully(copy.Get(), copyPath, reinterpret_cast<uint8_t*>(got.data()), length,
                          c.localOffset);
                if (want != got) {
                    fail(i, "the folder entry differs");
                }
                ends[i] = c.localOffset + length;
                continue;
            }
            if (local->fixed + local->name + local->extra != EncryptedLocalHeader(e)) {
                fail(i, "its local header differs");
            }
            uint8_t head[kAesSalt + kAesVerifier];
            ReadFully(copy.Get(), copyPath, head, sizeof head, local->dataOffset);
            const auto found = keys.find(std::string(head, head + kAesSalt));
            if (found == keys.end()) {
                fail(i, "its salt is not one it was written with");
            }
            const AesKeys& k = found->second;
            if (!std::equal(k.verifier.begin(), k.verifier.end(), head + kAesSalt)) {
                fail(i, "its password verifier is wrong");
            }
            s.ctr.Start(k.encryption);
            s.hmac.Start(k.authentication);
            const uint64_t dataAt = local->dataOffset + sizeof head;
            for (uint64_t done = 0; done < e.raw->compressedSize;) {
                if (pass.Stopping()) {
                    return;
                }
                const size_t n =
                    static_cast<size_t>(std::min<uint64_t>(kPiece, e.raw->compressedSize - done));
                ReadFully(copy.Get(), copyPath, s.chunk.data(), n, dataAt + done);
                ReadFully(source.Get(), sourcePath, s.other.data(), n, e.dataOffset + done);
                s.hmac.Update(s.chunk.data(), n);
                s.ctr.Apply(s.chunk.data(), n);
                if (std::memcmp(s.chunk.data(), s.other.data(), n) != 0) {
                    fail(i, "its bytes do not decrypt to the archive's");
                }
                done += n;
            }
            std::string code(kAesCode, '\0');
            ReadFully(copy.Get(), copyPath, reinterpret_cast<uint8_t*>(code.data()), kAesCode,
                      dataAt + e.raw->compressedSize);
            if (code != s.hmac.Final()) {
                fail(i, "its authentication code is wrong");
            }
            ends[i] = dataAt + e.raw->compressedSize + kAesCode;
            pass.Done(i);
        }
    });
    // The entries one after another, none overlapping the one before.
    uint64_t end = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (copyDirectory.entries[i].localOffset < end) {
            fail(i, "its local header cannot be read");
        }
        end = ends[i];
    }
    if (copyDirectory.directoryOffset != end) {
        throw ArchiveError(copyPath +
                           ": the encrypted copy does not read back: bytes between "
                           "its entries and its directory");
    }

    // And its directory parses for libzip, every local header consistent with it.
    int code = 0;
    zip_t* za = zip_open(copyPath.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (za == nullptr) {
        const std::string reason = ZipErrorText(code);
        throw ArchiveError(copyPath + ": the encrypted copy does not open: " + reason);
    }
    const zip_int64_t count = zip_get_num_entries(za, 0);
    zip_discard(za);
    if (count != static_cast<zip_int64_t>(entries.size())) {
        throw ArchiveError(copyPath + ": the encrypted copy does not hold the archive's entries");
    }
}

}  // namespace vornback::archive_internal
