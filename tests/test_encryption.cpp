// Encrypted copies of archives: made from the plain archive without packing again, read
// back here with the passphrase and by 7-Zip and bsdtar, and refused plainly without it.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "archive/archive.h"
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

// A wrong or missing passphrase is told plainly by every way of reading, before anything
// is written.
TEST_F(Encrypted, AWrongOrMissingPassphraseWritesNothing) {
    struct Read {
        const char* name;
        std::function<void(const UnpackOptions&, const std::string& dest)> run;
    };
    const Read reads[] = {
        {"unpack",
         [&](const UnpackOptions& o, const std::string& d) { UnpackArchive(encrypted_, d, o); }},
        {"unpack whole", [&](const UnpackOptions& o,
                             const std::string& d) { UnpackArchiveWhole(encrypted_, d, o); }},
        {"verify",
         [&](const UnpackOptions& o, const std::string&) { VerifyArchive(encrypted_, o); }},
    };
    struct Given {
        const char* passphrase;
        bool missing;
        const char* says;
    };
    const Given givens[] = {
        {"", true, "encrypted; its passphrase is needed"},
        {"correct horse battery stapl", false, "wrong passphrase"},
    };
    for (const Read& read : reads) {
        for (const Given& given : givens) {
            SCOPED_TRACE(std::string(read.name) + " with '" + given.passphrase + "'");
            const std::string dest = dir_ / "dest";
            UnpackOptions options;
            options.passphrase = given.passphrase;
            try {
                read.run(options, dest);
                ADD_FAILURE() << "read without the right passphrase";
            } catch (const PassphraseError& e) {
                EXPECT_EQ(e.Missing(), given.missing);
                EXPECT_NE(std::string(e.what()).find(given.says), std::string::npos) << e.what();
            }
            EXPECT_FALSE(fs::exists(dest));
            EXPECT_EQ(test::Names(dir_.Path()),
                      (std::vector<std::string>{"Firm2", "Firm2.aes.zip", "Firm2.zip"}));
        }
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

}  // namespace
}  // namespace vornback
