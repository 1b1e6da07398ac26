// Encrypted copies of archives: made from the plain archive without packing again, read
// back here with the passphrase and by 7-Zip and bsdtar, and refused plainly without it.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "archive/aes_copy.h"
#include "archive/archive.h"
#include "archive/unpack_checks.h"
#include "startup/settings.h"
#include "support/sftp_fixture.h"
#include "support/smtp_fixture.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "support/tree_compare.h"

namespace fs = std::filesystem;

namespace vornback {
namespace {

using test::CompareTrees;
using test::ReadFile;
using test::RunCommand;
using test::SetMTime;
using test::TempDir;
using test::WriteFile;

const std::string kPassphrase = "correct horse battery staple";

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

// Entries of every kind the reader treats apart: tiny files (whose CRC the format leaves
// out), an empty one, a stored one, one read whole and one streamed in chunks, a
// non-ASCII name and an empty folder.
void MakeTree(const fs::path& root) {
    WriteFile(root / "Firm2.mdb", std::string(300000, 'f') + "end");
    WriteFile(root / "Yr1" / "DVorn1.mdb", "year one");
    WriteFile(root / "Yr1" / "Übersicht.txt", test::VoucherLines(40000, 2));
    WriteFile(root / "Yr1" / "empty.txt", "");
    WriteFile(root / "Yr1" / "scan.jpg", test::RandomBytes(70000, 4));
    WriteFile(root / "Yr1" / "Vch1.dat", test::CompressibleText(17 * 1024 * 1024 + 5, 3));
    fs::create_directories(root / "Yr2" / "Empty");
    int64_t t = 1500000001;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            SetMTime(entry.path(), t += 86400 + 3);
        }
    }
}

class Encrypted : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeTree(source_);
        PackFolder(source_.string(), plain_);
        EncryptArchiveCopy(plain_, encrypted_, kPassphrase);
    }
    TempDir dir_;
    const fs::path source_ = dir_.Path() / "Firm2";
    const std::string plain_ = dir_ / "Firm2.zip";
    const std::string encrypted_ = dir_ / "Firm2.aes.zip";
};

TEST_F(Encrypted, RoundTripsWithTheSameCompressedBytesAndExactTimes) {
    struct stat st {};
    ASSERT_EQ(::stat(encrypted_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(ArchiveEncrypted(encrypted_));
    EXPECT_FALSE(ArchiveEncrypted(plain_));

    // Every file entry holds its plain entry's compressed bytes plus the 28 bytes of
    // AES-256 (salt, password check, authentication code): nothing was deflated again.
    const std::vector<ArchiveEntry> plain = ListArchive(plain_);
    const std::vector<ArchiveEntry> sealed = ListArchive(encrypted_);
    ASSERT_EQ(plain.size(), sealed.size());
    for (size_t i = 0; i < plain.size(); ++i) {
        SCOPED_TRACE(plain[i].name);
        EXPECT_EQ(sealed[i].name, plain[i].name);
        EXPECT_EQ(sealed[i].size, plain[i].size);
        EXPECT_EQ(sealed[i].mtime, plain[i].mtime);
        EXPECT_EQ(sealed[i].compressedSize, plain[i].compressedSize + (plain[i].isFolder ? 0 : 28));
    }

    UnpackOptions options;
    options.passphrase = kPassphrase;
    VerifyArchive(encrypted_, options);
    UnpackArchive(encrypted_, dir_ / "out", options);
    EXPECT_EQ(CompareTrees(source_, dir_.Path() / "out"), "");
}

// An archive past the 16-bit entry count carries ZIP64 records, which the own writer does
// not write: libzip makes that copy, and it reads back with the passphrase only.
TEST(EncryptedZip64, AnArchiveOfMoreThan65535EntriesIsEncryptedByLibzipAndReadsBack) {
    TempDir dir;
    const std::string plain = dir / "Firm2.zip";
    const std::string encrypted = dir / "Firm2.aes.zip";
    std::string out;
    ASSERT_EQ(RunCommand("python3 -c \"import zipfile, sys\n"
                         "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                         "    z.writestr('Firm2.mdb', 'register ' * 900, zipfile.ZIP_DEFLATED)\n"
                         "    for i in range(65536): z.writestr(zipfile.ZipInfo(f'Docs/{i}/'), '')"
                         "\" " +
                             Quote(plain) + " 2>&1",
                         &out),
              0)
        << out;
    const auto directory = archive_internal::ReadRawDirectory(plain);
    ASSERT_TRUE(directory && directory->zip64);
    EncryptArchiveCopy(plain, encrypted, kPassphrase);
    EXPECT_TRUE(ArchiveEncrypted(encrypted));
    UnpackOptions options;
    options.passphrase = kPassphrase;
    VerifyArchive(encrypted, options);
    EXPECT_EQ(ListArchive(encrypted).size(), directory->entries.size());
    options.passphrase = "a wrong passphrase here";
    EXPECT_THROW(VerifyArchive(encrypted, options), ArchiveError);
}

// 7-Zip and bsdtar open the copy with the passphrase and refuse it with a wrong one.
TEST_F(Encrypted, SevenZipAndBsdtarReadItWithThePassphraseOnly) {
    struct Case {
        const char* tool;
        std::function<std::string(const std::string& pass, const std::string& out)> command;
    };
    const Case cases[] = {
        {"7z",
         [&](const std::string& pass, const std::string& out) {
             return "7z x -y -p" + Quote(pass) + " -o" + Quote(out) + " " + Quote(encrypted_);
         }},
        {"bsdtar",
         [&](const std::string& pass, const std::string& out) {
             return "mkdir -p " + Quote(out) + " && bsdtar -x -C " + Quote(out) + " --passphrase " +
                    Quote(pass) + " -f " + Quote(encrypted_);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool);
        const std::string good = dir_ / (std::string(c.tool) + "-good");
        std::string out;
        EXPECT_EQ(RunCommand(c.command(kPassphrase, good) + " 2>&1", &out), 0) << out;
        EXPECT_EQ(CompareTrees(source_, good, {.compareTimes = false}), "");

        const std::string bad = dir_ / (std::string(c.tool) + "-bad");
        out.clear();
        EXPECT_NE(RunCommand(c.command("not the passphrase", bad) + " 2>&1", &out), 0) << out;
        EXPECT_FALSE(fs::exists(fs::path(bad) / "Yr1" / "Vch1.dat") &&
                     ReadFile(fs::path(bad) / "Yr1" / "Vch1.dat") ==
                         ReadFile(source_ / "Yr1" / "Vch1.dat"));
    }
}

// A changed byte of the encrypted data or of an entry's authentication code is found, in
// an entry read whole and in one streamed in chunks; and a passphrase too short for the
// weak key derivation is refused before anything is written.
TEST_F(Encrypted, DamageIsFoundAndShortPassphrasesAreRefused) {
    const std::string bytes = ReadFile(encrypted_);
    const auto le16 = [&](size_t at) {
        return static_cast<size_t>(static_cast<unsigned char>(bytes[at])) |
               static_cast<size_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    // Where an entry's stored bytes lie, from its local header.
    const auto dataOf = [&](const std::string& name) {
        const size_t header = bytes.find(name) - 30;  // local headers come first
        const size_t start = header + 30 + le16(header + 26) + le16(header + 28);
        for (const ArchiveEntry& e : ListArchive(encrypted_)) {
            if (e.name == name) {
                return std::make_pair(start, start + e.compressedSize);
            }
        }
        return std::make_pair(size_t{0}, size_t{0});
    };
    struct Damage {
        const char* entry;
        bool authenticationCode;  // the last byte, else one in the middle
    };
    for (const Damage d : {Damage{"Firm2.mdb", true}, Damage{"Firm2.mdb", false},
                           Damage{"Yr1/Vch1.dat", true}, Damage{"Yr1/Vch1.dat", false}}) {
        SCOPED_TRACE(std::string(d.entry) + (d.authenticationCode ? " code" : " data"));
        const auto [start, end] = dataOf(d.entry);
        ASSERT_LT(start + 100, end);
        std::string damaged = bytes;
        const size_t at = d.authenticationCode ? end - 1 : (start + end) / 2;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x40);
        WriteFile(dir_ / "damaged.zip", damaged);
        UnpackOptions options;
        options.passphrase = kPassphrase;
        EXPECT_THROW(VerifyArchive(dir_ / "damaged.zip", options), ArchiveError);
    }

    for (const std::string& shortOne : {std::string("eleven char"), std::string()}) {
        const std::string target = dir_ / "short.zip";
        try {
            EncryptArchiveCopy(plain_, target, shortOne);
            ADD_FAILURE() << "a short passphrase was taken";
        } catch (const ArchiveError& e) {
            EXPECT_NE(std::string(e.what()).find("at least 12"), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists(target));
    }
}

// Each kind of entry the writer meets: its method stays inside the AES field (or, for a
// folder, the entry stays as it was), and bsdtar reads its bytes back.
TEST_F(Encrypted, EveryKindOfEntryKeepsItsMethodAndReadsBack) {
    using archive_internal::ReadRawDirectory;
    const auto plain = ReadRawDirectory(plain_);
    const auto sealed = ReadRawDirectory(encrypted_);
    ASSERT_TRUE(plain && sealed);
    ASSERT_EQ(plain->entries.size(), sealed->entries.size());
    // The extra fields of the local header at offset.
    const auto localExtra = [](const std::string& bytes, uint64_t at) {
        const auto le16 = [&](uint64_t i) {
            return static_cast<size_t>(static_cast<unsigned char>(bytes[i]) |
                                       static_cast<unsigned char>(bytes[i + 1]) << 8);
        };
        return bytes.substr(at + 30 + le16(at + 26), le16(at + 28));
    };
    const std::string plainBytes = ReadFile(plain_);
    const std::string sealedBytes = ReadFile(encrypted_);
    struct Case {
        const char* name;
        uint16_t method;
    };
    for (const Case c : {Case{"Firm2.mdb", 8}, Case{"Yr1/empty.txt", 0}, Case{"Yr1/scan.jpg", 0},
                         Case{"Yr1/DVorn1.mdb", 0}, Case{"Yr2/Empty/", 0}}) {
        SCOPED_TRACE(c.name);
        size_t i = 0;
        while (i < plain->entries.size() && plain->entries[i].name != c.name) {
            ++i;
        }
        ASSERT_LT(i, plain->entries.size());
        const archive_internal::RawEntry& from = plain->entries[i];
        const archive_internal::RawEntry& to = sealed->entries[i];
        ASSERT_EQ(from.method, c.method);
        EXPECT_EQ(to.name, from.name);
        EXPECT_EQ(to.size, from.size);
        EXPECT_EQ(to.externalAttributes, from.externalAttributes);
        const std::string out = dir_ / "entry";
        if (from.name.back() == '/') {
            EXPECT_EQ(std::tie(to.method, to.flags, to.crc, to.compressedSize, to.extra),
                      std::tie(from.method, from.flags, from.crc, from.compressedSize, from.extra));
            EXPECT_EQ(
                RunCommand("bsdtar -tf " + Quote(encrypted_) + " | grep -qx " + Quote(c.name)), 0);
            continue;
        }
        const std::string aes = std::string(
                                    "\x01\x99\x07\x00\x02\x00"
                                    "AE\x03",
                                    9) +
                                static_cast<char>(c.method) + '\0';
        EXPECT_EQ(to.method, 99);
        EXPECT_EQ(to.flags, from.flags | 1);
        EXPECT_EQ(to.extra, aes + from.extra);
        EXPECT_EQ(localExtra(sealedBytes, to.localOffset),
                  aes + localExtra(plainBytes, from.localOffset));
        EXPECT_EQ(to.compressedSize, from.compressedSize + 28);
        EXPECT_EQ(to.crc, from.size < 20 ? 0 : from.crc);
        std::string log;
        ASSERT_EQ(
            RunCommand("bsdtar -xOf " + Quote(encrypted_) + " --passphrase " + Quote(kPassphrase) +
                           " " + Quote(c.name) + " > " + Quote(out) + " 2>&1",
                       &log),
            0)
            << log;
        EXPECT_TRUE(ReadFile(out) == ReadFile(source_ / c.name));
    }
}

// The check after writing reads the copy from the disk: a changed byte in any part of an
// entry, read whole or in chunks, or of a header, is refused; the copy as written passes.
TEST_F(Encrypted, TheCheckRefusesAnyChangedByteOfTheWrittenCopy) {
    const std::string copy = dir_ / "copy.zip";
    std::optional<archive_internal::AesCopyKeys> keys;
    {
        const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        keys = archive_internal::WriteAesCopy(plain_, fd, copy, kPassphrase, {});
        ::close(fd);
    }
    ASSERT_TRUE(keys);
    const std::string bytes = ReadFile(copy);
    const auto directory = archive_internal::ReadRawDirectory(copy);
    ASSERT_TRUE(directory);
    const auto le16 = [&](uint64_t at) {
        return static_cast<uint64_t>(static_cast<unsigned char>(bytes[at])) |
               static_cast<uint64_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    // Where an entry's salt starts, and its last byte (of the authentication code).
    const auto dataOf = [&](const std::string& name) {
        for (const auto& e : directory->entries) {
            if (e.name == name) {
                const uint64_t start =
                    e.localOffset + 30 + le16(e.localOffset + 26) + le16(e.localOffset + 28);
                return std::make_pair(start, start + e.compressedSize - 1);
            }
        }
        return std::make_pair(uint64_t{0}, uint64_t{0});
    };
    const auto [small, smallEnd] = dataOf("Firm2.mdb");
    const auto [large, largeEnd] = dataOf("Yr1/Vch1.dat");
    struct Case {
        const char* what;
        uint64_t at;  // the byte changed; npos: none
        const char* refusal;
    };
    const Case cases[] = {
        {"nothing", std::string::npos, ""},
        {"salt", small + 3, "its salt is not one it was written with"},
        {"verifier", small + 17, "its password verifier is wrong"},
        {"ciphertext", (small + smallEnd) / 2, "do not decrypt to the archive's"},
        {"ciphertext in a later chunk", largeEnd - 20, "do not decrypt to the archive's"},
        {"authentication code", smallEnd, "its authentication code is wrong"},
        {"authentication code after chunks", largeEnd - 5, "its authentication code is wrong"},
        {"local header time", directory->entries[0].localOffset + 10, "its local header differs"},
        {"directory attributes", directory->directoryOffset + 40, "its directory record differs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string changed = bytes;
        if (c.at != std::string::npos) {
            changed[c.at] = static_cast<char>(changed[c.at] ^ 0x01);
        }
        WriteFile(copy, changed);
        try {
            archive_internal::CheckAesCopy(plain_, copy, *keys, {});
            EXPECT_EQ(c.at, std::string::npos) << "a changed byte passed";
        } catch (const ArchiveError& e) {
            EXPECT_NE(c.at, std::string::npos) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
        }
    }
}

// Progress runs through the writing and then the check; a cancel in either leaves no copy.
TEST_F(Encrypted, ProgressReachesTheEndAndACancelLeavesNoCopy) {
    enum class When { Never, Writing, Checking };
    for (const When when : {When::Never, When::Writing, When::Checking}) {
        SCOPED_TRACE(static_cast<int>(when));
        const std::string target = dir_ / "copy.zip";
        std::atomic<bool> cancel{false};
        std::vector<ArchiveProgress> seen;
        EncryptOptions options;
        options.cancel = &cancel;
        options.progress = [&](const ArchiveProgress& p) {
            const bool checking = !seen.empty() && p.bytesDone < seen.back().bytesDone;
            seen.push_back(p);
            if ((when == When::Writing && seen.size() == 2) ||
                (when == When::Checking && checking)) {
                cancel = true;
            }
        };
        if (when == When::Never) {
            EncryptArchiveCopy(plain_, target, kPassphrase, options);
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.back().filesDone, 6u);
            EXPECT_EQ(seen.back().filesTotal, 6u);
            EXPECT_EQ(seen.back().bytesDone, seen.back().bytesTotal);
            EXPECT_TRUE(fs::exists(target));
            fs::remove(target);
        } else {
            EXPECT_THROW(EncryptArchiveCopy(plain_, target, kPassphrase, options),
                         ArchiveCancelled);
            EXPECT_TRUE(cancel);
            // Neither the copy nor the piece it is written under.
            EXPECT_EQ(std::distance(fs::directory_iterator(dir_.Path()), {}), 3);
        }
    }
}

// The keys of an entry are OpenSSL's PBKDF2-HMAC-SHA1 (1000 iterations, 66 bytes) of the
// passphrase and salt, whatever the passphrase's length (longer than a SHA-1 block, it is
// hashed first), each way this CPU derives them: one chain at a time, and the vector paths
// four entries at once (six salts: a full four and a part-filled two).
TEST(AesKeys, AreThoseOfPbkdf2HmacSha1) {
    const std::vector<archive_internal::KeyDerivation> ways = archive_internal::KeyDerivations();
    EXPECT_EQ(ways.front(), archive_internal::KeyDerivation::OneChain);
    for (const size_t length : {12, 55, 63, 64, 65, 200}) {
        const std::string passphrase = test::RandomBytes(length, static_cast<unsigned>(length));
        std::vector<archive_internal::AesSalt> salts(6);
        std::vector<std::string> want;
        for (size_t i = 0; i < salts.size(); ++i) {
            const std::string salt = test::RandomBytes(16, static_cast<unsigned>(length + i));
            std::copy(salt.begin(), salt.end(), salts[i].begin());
            uint8_t bytes[66];
            ASSERT_EQ(PKCS5_PBKDF2_HMAC_SHA1(passphrase.data(), static_cast<int>(length),
                                             salts[i].data(), 16, 1000, sizeof bytes, bytes),
                      1);
            want.emplace_back(bytes, bytes + sizeof bytes);
        }
        for (const archive_internal::KeyDerivation way : ways) {
            std::vector<archive_internal::AesKeys> keys(salts.size());
            archive_internal::DeriveAesKeys(passphrase, salts.data(), salts.size(), keys.data(),
                                            way);
            for (size_t i = 0; i < salts.size(); ++i) {
                SCOPED_TRACE(testing::Message() << "length " << length << ", way "
                                                << static_cast<int>(way) << ", entry " << i);
                std::string got(keys[i].encryption.begin(), keys[i].encryption.end());
                got.append(keys[i].authentication.begin(), keys[i].authentication.end());
                got.append(keys[i].verifier.begin(), keys[i].verifier.end());
                EXPECT_EQ(got, want[i]);
            }
        }
    }
}

// ---- backups through the headless tool, against the real servers ----------------------

std::string Cli(const std::string& args) {
    return std::string(VORNBACK_CLI_PATH) + " " + args;
}

bool Readable(const std::string& archive, const std::string& passphrase) {
    UnpackOptions options;
    options.passphrase = passphrase;
    try {
        VerifyArchive(archive, options);
        return true;
    } catch (const ArchiveError&) {
        return false;
    }
}

// With Encrypt=1 the offsite copy and the mail carry the encrypted copy under the archive's
// name, the local generations stay plain and the copy is gone; a passphrase that cannot be
// used sends nothing at all, and the local backup stands.
TEST(EncryptedBackup, OffsiteAndMailCarryTheEncryptedCopyOnly) {
    if (const std::string why = test::SftpTestServer::Unavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    TempDir tmp;
    const std::string tree = tmp / "data";
    std::string out;
    ASSERT_EQ(RunCommand(Cli("make-sample '" + tree + "' --firms 1 --years 2 --seed 3"), &out), 0)
        << out;
    test::SftpTestServer sftp(tmp.Path() / "server");
    fs::create_directories(tmp.Path() / "smtp");
    test::SmtpTestServer smtp(tmp.Path() / "smtp");
    const SmtpSettings& account = smtp.Settings();
    const std::string passphraseFile = tmp / "passphrase";
    WriteFile(passphraseFile, kPassphrase + "\n");
    ::chmod(passphraseFile.c_str(), 0600);
    const std::string passwordFile = tmp / "mail-password";
    WriteFile(passwordFile, account.password + "\n");
    ::chmod(passwordFile.c_str(), 0600);
    const std::string env =
        "env -u VORNBACK_SMTP_HOST -u VORNBACK_SMTP_PORT -u VORNBACK_SMTP_USER -u "
        "VORNBACK_SMTP_PASSWORD -u DBUS_SESSION_BUS_ADDRESS VORNBACK_SMTP_CAFILE='" +
        account.caFile + "' ";
    const std::string program = " --program-folder '" + tree + "/Bkp'";
    const OffsiteSettings s = sftp.Settings("office");
    ASSERT_EQ(RunCommand(Cli("offsite set" + program + " --url '" + s.url + "' --host-key '" +
                             s.hostKeySha256 + "' --identity '" + s.identityFile +
                             "' --encrypt 1 --passphrase-file '" + passphraseFile + "'"),
                         &out),
              0)
        << out;
    ASSERT_EQ(RunCommand(env + Cli("mail set" + program + " --host " + account.host + " --port " +
                                   std::to_string(account.port) + " --user " + account.user +
                                   " --password-file '" + passwordFile + "'"),
                         &out),
              0)
        << out;
    const fs::path local = tmp.Path() / "backups";
    fs::create_directories(local);
    const std::string backup =
        env + Cli("backup 1,2" + program + " --to '" + local.string() + "' --mail owner@firm.test");

    out.clear();
    ASSERT_EQ(RunCommand(backup, &out), 0) << out;
    const fs::path remote = sftp.Remote() / "office" / "Firm1.zip";
    ASSERT_TRUE(fs::exists(remote));
    EXPECT_TRUE(ArchiveEncrypted(remote.string()));
    EXPECT_TRUE(Readable(remote.string(), kPassphrase));
    EXPECT_FALSE(Readable(remote.string(), ""));
    ASSERT_EQ(smtp.Received().size(), 1u);
    const test::ReceivedMail mail = smtp.Received()[0];
    ASSERT_EQ(mail.count("att/Firm1.zip"), 1u) << "the attachment is named as the archive";
    WriteFile(tmp / "mailed.zip", mail.at("att/Firm1.zip"));
    EXPECT_TRUE(ArchiveEncrypted(tmp / "mailed.zip"));
    EXPECT_TRUE(Readable(tmp / "mailed.zip", kPassphrase));
    EXPECT_FALSE(ArchiveEncrypted((local / "Firm1.zip").string()));
    EXPECT_TRUE(Readable((local / "Firm1.zip").string(), ""));
    EXPECT_EQ(test::Names(local), (std::vector<std::string>{"Firm1.zip"}));

    struct Case {
        const char* name;
        std::function<void()> change;
        const char* says;
    };
    const Case cases[] = {
        {"a passphrase file others may read", [&] { ::chmod(passphraseFile.c_str(), 0640); },
         "may be read or changed by others (mode 0640)"},
        {"a short passphrase",
         [&] {
             WriteFile(passphraseFile, "eleven char\n");
             ::chmod(passphraseFile.c_str(), 0600);
         },
         "has 11 characters"},
        {"no passphrase file", [&] { fs::remove(passphraseFile); }, "cannot be opened"},
    };
    const std::string remoteBefore = ReadFile(remote);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.change();
        out.clear();
        EXPECT_EQ(RunCommand(backup, &out), 4) << out;
        EXPECT_NE(out.find("offsite copy failed: no encrypted copy, so nothing was sent"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        EXPECT_TRUE(ReadFile(remote) == remoteBefore);
        EXPECT_EQ(test::Names(sftp.Remote() / "office"), (std::vector<std::string>{"Firm1.zip"}));
        EXPECT_EQ(smtp.Received().size(), 1u) << "a plain copy was mailed";
        EXPECT_EQ(test::Names(local), (std::vector<std::string>{"Firm1.zip", "OFirm1.zip"}));
        EXPECT_TRUE(Readable((local / "Firm1.zip").string(), ""));
    }
}

// EncryptLocal=1: the local archive itself is encrypted (and checked, and drilled, with the
// passphrase); restore, verify, drill and unpack read it with --passphrase-file only, and
// without it or with a wrong one say so and change nothing.
TEST(EncryptedBackup, EncryptedLocalArchivesAreReadWithThePassphraseFileOnly) {
    TempDir tmp;
    const std::string tree = tmp / "data";
    std::string out;
    ASSERT_EQ(RunCommand(Cli("make-sample '" + tree + "' --firms 1 --years 2 --seed 3"), &out), 0)
        << out;
    const std::string settings = tree + "/Bkp/settings.ini";
    const std::string right = tmp / "right";
    const std::string wrong = tmp / "wrong";
    WriteFile(right, kPassphrase + "\n");
    WriteFile(wrong, "correct horse battery stable\n");
    ::chmod(right.c_str(), 0600);
    ::chmod(wrong.c_str(), 0600);
    WriteSetting("Back", "EncryptLocal", "1", settings);
    WriteSetting("Offsite", "PassphraseFile", right, settings);
    const std::string program = " --program-folder '" + tree + "/Bkp'";
    const std::string local = tmp / "backups";
    fs::create_directories(local);
    ASSERT_EQ(RunCommand("env -u DBUS_SESSION_BUS_ADDRESS " +
                             Cli("backup 1,2" + program + " --to '" + local + "' --drill"),
                         &out),
              0)
        << out;
    const std::string archive = local + "/Firm1.zip";
    ASSERT_TRUE(ArchiveEncrypted(archive));
    EXPECT_TRUE(Readable(archive, kPassphrase));

    const std::string firm = tree + "/Firm1";
    struct Command {
        const char* name;
        std::string args;
    };
    // The unpack comes first: its destination stays missing until it is given the passphrase.
    const Command commands[] = {
        {"unpack", "unpack '" + archive + "' '" + (tmp / "unpacked") + "'"},
        {"verify", "verify '" + archive + "'"},
        {"drill", "drill 1,2" + program + " --archive '" + archive + "'"},
        {"restore", "restore 1,2" + program + " --archive '" + archive + "' --type full --yes"},
    };
    struct Given {
        const char* name;
        std::string option;
        int status;
        const char* says;
    };
    const Given givens[] = {
        {"no passphrase", "", 1, "--passphrase-file FILE"},
        {"a wrong one", " --passphrase-file '" + wrong + "'", 1, "wrong passphrase"},
        {"the right one", " --passphrase-file '" + right + "'", 0, ""},
    };
    for (const Command& command : commands) {
        for (const Given& given : givens) {
            SCOPED_TRACE(std::string(command.name) + " with " + given.name);
            const std::set<std::string> before = test::AllPaths(firm);
            out.clear();
            EXPECT_EQ(RunCommand(Cli(command.args + given.option), &out), given.status) << out;
            EXPECT_NE(out.find(given.says), std::string::npos) << out;
            if (given.status != 0) {
                EXPECT_EQ(test::AllPaths(firm), before);
                EXPECT_EQ(fs::exists(tmp / "unpacked"), std::string(command.name) != "unpack");
                EXPECT_FALSE(fs::exists(tree + "/Bkp/Back/Firm1"));
            }
        }
    }
    EXPECT_TRUE(fs::exists(tmp / "unpacked"));

    // A passphrase file that others may read is refused before the archive is opened.
    ::chmod(right.c_str(), 0644);
    out.clear();
    EXPECT_EQ(RunCommand(Cli("verify '" + archive + "' --passphrase-file '" + right + "'"), &out),
              1)
        << out;
    EXPECT_NE(out.find("chmod 600"), std::string::npos) << out;
}

}  // namespace
}  // namespace vornback
