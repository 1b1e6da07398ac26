// The archive component's refusals against real archives on disk: hostile names (climbing
// out, links, duplicates in letter case down to every folder, NUL bytes, names that are not
// UTF-8), damaged archives, a full disk and failed syncs, each refused with a plain message
// and leaving nothing behind.
#include <zip.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "archive/unpack_destination.h"
#include "base/errors.h"
#include "support/refusal.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "support/tree_compare.h"

namespace fs = std::filesystem;

namespace vornback {
namespace {

using namespace test;

TEST(Archive, HostileNamesRefuseTheWholeArchiveBeforeWriting) {
    TempDir dir;
    // Each after a harmless entry, which must not be written either.
    std::vector<std::pair<std::string, std::string>> bad = {
        {"link",
         "i = zipfile.ZipInfo('link')\ni.create_system = 3\n"
         "i.external_attr = 0o120777 << 16\nz.writestr(i, '/etc/passwd')"},
        {"twice", "z.writestr('a.txt', '1')\nz.writestr('a.txt', '2')"},
        {"letter case", "z.writestr('Yr1/Data.txt', '1')\nz.writestr('Yr1/data.TXT', '2')"},
        {"non-ASCII case", "z.writestr('Ärger.txt', '1')\nz.writestr('ärger.txt', '2')"},
        {"file as folder", "z.writestr('d', '1')\nz.writestr('d/x', '2')"},
        {"folder as file", "z.writestr('d/', '')\nz.writestr('d', '2')"},
        {"same by backslash", "z.writestr('d/x', '1')\nz.writestr('d\\\\x', '2')"},
        {"folder case", "z.writestr('Dir/a.txt', '1')\nz.writestr('DIR/b.txt', '2')"},
        {"year folder case", "z.writestr('Yr2/DVorn2.mdb', '1')\nz.writestr('yr2/Other.txt', '2')"},
        {"deep folder case", "z.writestr('Yr2/A/a.txt', '1')\nz.writestr('Yr2/a/b.txt', '2')"},
        {"stored folder case", "z.writestr('Dir/', '')\nz.writestr('dIR/', '')"},
        {"stored folder, file below", "z.writestr('Ärger/', '')\nz.writestr('ärger/x', '1')"}};
    for (const std::string name :
         {"../x", "a/../../x", "/x", "\\\\x", "C:x", "C:\\\\x", "a\\\\..\\\\..\\\\x", "a/../b"}) {
        bad.emplace_back(name, "z.writestr(zipfile.ZipInfo('" + name + "'), 'evil')");
    }
    int n = 0;
    for (const auto& [what, body] : bad) {
        const std::string archive = dir / ("bad" + std::to_string(n++) + ".zip");
        PythonZip(archive, "z.writestr('good.txt', 'good')\n" + body);
        const fs::path out = dir.Path() / "out" / "dest";
        EXPECT_TRUE(
            Mentions(ErrorText<ArchiveError>([&] { UnpackArchive(archive, out); }), archive))
            << what;
        EXPECT_FALSE(fs::exists(out)) << what;
        EXPECT_THROW(VerifyArchive(archive), ArchiveError) << what;
    }
    EXPECT_EQ(AllPaths(dir.Path() / "out"), std::set<std::string>{});
    EXPECT_FALSE(fs::exists(dir.Path() / "x"));
    EXPECT_FALSE(fs::exists(dir.Path() / "b"));
    // Duplicates are named in the refusal.
    EXPECT_EQ(ErrorText<ArchiveError>([&] { UnpackArchive(dir / "bad2.zip", dir / "out2"); }),
              dir / "bad2.zip" +
                  ": entry Yr1/data.TXT: differs from the entry Yr1/Data.txt only in letter "
                  "case, and both would be one file; the archive is refused");
    EXPECT_EQ(ErrorText<ArchiveError>([&] { UnpackArchive(dir / "bad7.zip", dir / "out2"); }),
              dir / "bad7.zip" +
                  ": entry DIR/b.txt: the folder DIR differs from the folder Dir of the entry "
                  "Dir/a.txt only in letter case, and both would be one folder; the archive "
                  "is refused");

    // An encrypted entry (Info-ZIP's traditional encryption).
    WriteFile(dir.Path() / "plain.txt", "secret");
    ASSERT_EQ(RunCommand("cd '" + dir.Path().string() + "' && zip -q -P pw enc.zip plain.txt"), 0);
    EXPECT_TRUE(
        Mentions(ErrorText<ArchiveError>([&] { UnpackArchive(dir / "enc.zip", dir / "out3"); }),
                 "encrypted"));
    EXPECT_FALSE(fs::exists(dir.Path() / "out3"));

    // A link already in the destination is never followed out of it.
    const std::string archive = dir / "through.zip";
    PythonZip(archive, "z.writestr('Yr1/DVorn1.mdb', 'data')");
    fs::create_directories(dir.Path() / "elsewhere");
    fs::create_directories(dir.Path() / "out4");
    fs::create_directory_symlink(dir.Path() / "elsewhere", dir.Path() / "out4" / "Yr1");
    EXPECT_THROW(UnpackArchive(archive, dir / "out4"), FileSystemError);
    EXPECT_TRUE(fs::is_empty(dir.Path() / "elsewhere"));

    // Names that only look odd are fine.
    const std::string fine = dir / "fine.zip";
    PythonZip(fine, "z.writestr('ok/..hidden..name.txt', 'fine')\nz.writestr('..x', 'too')");
    UnpackArchive(fine, dir / "out5");
    EXPECT_EQ(ReadFile(dir.Path() / "out5" / "ok" / "..hidden..name.txt"), "fine");
    EXPECT_EQ(ReadFile(dir.Path() / "out5" / "..x"), "too");
}

// Bytes of a name that Python's zipfile will not write: the archive is made with a
// stand-in of the same length, whose bytes are then replaced in the local and the central
// header alike.
void PatchNames(const std::string& archive, const std::string& standIn, const std::string& name) {
    std::string bytes = ReadFile(archive);
    for (size_t at = bytes.find(standIn); at != std::string::npos; at = bytes.find(standIn, at)) {
        bytes.replace(at, standIn.size(), name);
    }
    WriteFile(archive, bytes);
}

TEST(Archive, NamesThatAreNotTextRefuseTheArchiveAndSaySo) {
    TempDir dir;
    using namespace std::string_literals;
    const std::string nul = ": the name holds a NUL byte", notText = ": the name is not UTF-8 text";
    const struct {
        std::string what;
        std::string standIn;  // an entry name zipfile writes (with the UTF-8 flag when not ASCII)
        std::string name;     // its stored bytes
        std::string message;  // after "<archive>: entry "
    } cases[] = {
        // clang-format off
        {"NUL", "aQb.txt", "a\0b.txt"s, "a\\x00b.txt" + nul},
        {"NUL hiding a climb", "aaaaa/../../x", "a\0aaa/../../x"s, "a\\x00aaa/../../x" + nul},
        {"marked UTF-8, is not", "Ärger.txt", "\xC3(rger.txt", "\\xC3(rger.txt" + notText},
        {"Latin-1, unmarked", "aQb.txt", "a\xE9" "b.txt", "a\\xE9b.txt" + notText},
        {"overlong slash", "aQQb.txt", "a\xC0\xAF" "b.txt", "a\\xC0\\xAFb.txt" + notText},
        {"surrogate", "Ärger.txt", "\xED\xA0\x80ger.txt", "\\xED\\xA0\\x80ger.txt" + notText},
        {"beyond U+10FFFF", "Ärger.txt", "\xF4\x90\x80\x80" "er.txt",
         "\\xF4\\x90\\x80\\x80er.txt" + notText},
        {"cut short at the end", "aÄ", "a\xE2\x82", "a\\xE2\\x82" + notText},
        // clang-format on
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string archive = dir / ("name" + std::to_string(n++) + ".zip");
        PythonZip(archive, "z.writestr('good.txt', 'good')\nz.writestr('" + c.standIn + "', 'x')");
        ASSERT_EQ(c.standIn.size(), c.name.size()) << c.what;
        PatchNames(archive, c.standIn, c.name);
        const fs::path out = dir.Path() / "out";
        for (const bool whole : {false, true}) {
            EXPECT_EQ(ErrorText<ArchiveError>([&] {
                          whole ? UnpackArchiveWhole(archive, out) : UnpackArchive(archive, out);
                      }),
                      archive + ": entry " + c.message + "; the archive is refused")
                << c.what;
            EXPECT_FALSE(fs::exists(out)) << c.what;
        }
        EXPECT_THROW(VerifyArchive(archive), ArchiveError) << c.what;
    }
    EXPECT_FALSE(HasTemporaryFile(dir.Path()));

    // Text in every length of UTF-8 sequence is fine.
    const std::string fine = dir / "fine.zip";
    PythonZip(fine, "z.writestr('é€𝄞/x.txt', 'x')");
    UnpackArchive(fine, dir / "out");
    EXPECT_EQ(ReadFile(dir.Path() / "out" / "é€𝄞" / "x.txt"), "x");
}

TEST(Archive, DamagedArchivesFailClearlyAndLeaveNoPartialFile) {
    TempDir dir;
    auto expectError = [&](const std::string& archive, const std::string& text) {
        EXPECT_TRUE(
            Mentions(ErrorText<ArchiveError>([&] { UnpackArchive(archive, dir / "out"); }), text));
        EXPECT_FALSE(HasTemporaryFile(dir.Path())) << archive;
    };

    WriteFile(dir.Path() / "garbage.zip", RandomBytes(5000, 3));
    expectError(dir / "garbage.zip", dir / "garbage.zip" + ": not a zip archive");
    WriteFile(dir.Path() / "empty.zip", "");
    expectError(dir / "empty.zip", dir / "empty.zip" + ": not a zip archive");
    expectError(dir / "missing.zip", dir / "missing.zip" + ": cannot open");
    EXPECT_FALSE(fs::exists(dir.Path() / "out"));

    WriteFile(dir.Path() / "src" / "a.txt", CompressibleText(100000, 4));
    WriteFile(dir.Path() / "src" / "b.txt", CompressibleText(100000, 5));
    PackFolder(dir / "src", dir / "whole.zip");
    const std::string whole = ReadFile(dir.Path() / "whole.zip");
    WriteFile(dir.Path() / "truncated.zip", whole.substr(0, whole.size() / 2));
    expectError(dir / "truncated.zip", dir / "truncated.zip" + ":");
    EXPECT_FALSE(fs::exists(dir.Path() / "out"));

    // A stored entry with one byte changed: its CRC no longer fits. No file is placed, not
    // even the good one before it: files are renamed into place only once all are written.
    const std::string payload(50000, 'Q');
    PythonZip(dir / "crc.zip",
              "z.writestr('Yr1/good.txt', 'fine')\n"
              "z.writestr('Yr1/DVorn1.mdb', 'Q' * 50000, compress_type=zipfile.ZIP_STORED)");
    std::string bytes = ReadFile(dir.Path() / "crc.zip");
    const size_t at = bytes.find(payload);
    ASSERT_NE(at, std::string::npos);
    bytes[at + 25000] = 'R';
    WriteFile(dir.Path() / "crc.zip", bytes);
    expectError(dir / "crc.zip", dir / "crc.zip" + ": entry Yr1/DVorn1.mdb: CRC error");
    EXPECT_EQ(AllPaths(dir.Path() / "out"), (std::set<std::string>{"Yr1/"}));
    EXPECT_THROW(VerifyArchive(dir / "crc.zip"), ArchiveError);

    // Damage inside deflated data is caught too, whether as bad data or a bad CRC.
    fs::remove_all(dir.Path() / "out");
    std::string deflated = whole;
    const std::vector<ArchiveEntry> entries = ListArchive(dir / "whole.zip");
    ASSERT_EQ(entries.size(), 2u);
    deflated[60] = static_cast<char>(deflated[60] ^ 0x55);  // inside a.txt's data
    WriteFile(dir.Path() / "deflated.zip", deflated);
    expectError(dir / "deflated.zip", dir / "deflated.zip" + ": entry a.txt:");
    EXPECT_FALSE(fs::exists(dir.Path() / "out" / "a.txt"));
}

// Failures of the destination are told apart from faults of the archive, in a sentence
// that names the folder and, for a full disk, the space needed and free. The disk is a
// tmpfs of 4 MB mounted by the test (the tests run as root).
TEST(Archive, FullDiskAndWholeUnpackLeaveNothingAndSaySo) {
    TempDir dir;
    WriteFile(dir.Path() / "src" / "a.bin", RandomBytes(3 * 1024 * 1024, 51));
    WriteFile(dir.Path() / "src" / "b.bin", RandomBytes(3 * 1024 * 1024, 52));
    PackFolder(dir / "src", dir / "a.zip");
    const fs::path disk = dir.Path() / "disk";
    fs::create_directories(disk);
    if (RunCommand("mount -t tmpfs -o size=4m tmpfs '" + disk.string() + "' 2>/dev/null") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here (not root, or no mount permission)";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { RunCommand("umount '" + path + "'"); }
    } unmount{disk.string()};
    // The destination does not exist yet: its nearest existing parent is checked.
    for (const std::string dest : {disk / "Back" / "Firm1", disk / "Firm1"}) {
        const std::string text =
            ErrorText<FileSystemError>([&] { UnpackArchiveWhole(dir / "a.zip", dest); });
        EXPECT_EQ(text.substr(0, text.find(" free")),
                  "Could not unpack the archive into " + dest +
                      ": the disk is full (6.0 MB needed, 4.0 MB")
            << text;
        EXPECT_TRUE(fs::is_empty(disk)) << dest;
    }
    // A whole unpack that fits: in place at once; into a folder that holds something: refused.
    WriteFile(dir.Path() / "src2" / "x.txt", "x");
    PackFolder(dir / "src2", dir / "b.zip");
    UnpackArchiveWhole(dir / "b.zip", disk / "Firm2");
    EXPECT_EQ(ReadFile(disk / "Firm2" / "x.txt"), "x");
    EXPECT_THROW(UnpackArchiveWhole(dir / "b.zip", disk / "Firm2"), FileSystemError);
    EXPECT_EQ(AllPaths(disk), (std::set<std::string>{"Firm2/", "Firm2/x.txt"}));
}

// Syncs that fail with EIO at a chosen call, counting the file-system and folder syncs
// together. The others succeed without syncing: what reaches the disk is not looked at here.
std::atomic<int> syncCalls{0};
std::atomic<int> failingSync{0};  // 0: none fails
int CountedSync(int) {
    if (++syncCalls == failingSync) {
        errno = EIO;
        return -1;
    }
    return 0;
}

TEST(Archive, EveryFailedSyncFailsTheUnpackAndSaysSo) {
    TempDir dir;
    // Enough files that the early sync always starts beside the workers.
    for (int i = 0; i < 200; ++i) {
        WriteFile(dir.Path() / "src" / ("Yr" + std::to_string(i % 5)) /
                      ("v" + std::to_string(i) + ".txt"),
                  CompressibleText(1500, static_cast<unsigned>(i)));
    }
    PackFolder(dir / "src", dir / "a.zip");
    archive_internal::ReplaceSyncCalls({CountedSync, CountedSync});
    struct Restore {
        ~Restore() { archive_internal::ReplaceSyncCalls({}); }
    } restore;

    enum class Kind { Fresh, Replacing, Whole };
    const struct {
        const char* what;
        Kind kind;
        int syncs;  // in a run where none fails
    } cases[] = {
        {"into a new folder", Kind::Fresh, 2},   // the early sync, the one at the end
        {"over its files", Kind::Replacing, 3},  // early, before the renames, after them
        {"whole", Kind::Whole, 3},               // early, at the end, the folder it went to
    };
    const fs::path dest = dir.Path() / "out";
    for (const auto& c : cases) {
        for (int failAt = 1; failAt <= c.syncs + 1; ++failAt) {
            SCOPED_TRACE(std::string(c.what) + ", sync " + std::to_string(failAt) + " fails");
            fs::remove_all(dest);
            failingSync = 0;
            if (c.kind == Kind::Replacing) {
                UnpackArchive(dir / "a.zip", dest.string());
            }
            syncCalls = 0;
            failingSync = failAt;
            std::string error;
            try {
                c.kind == Kind::Whole ? UnpackArchiveWhole(dir / "a.zip", dest.string())
                                      : UnpackArchive(dir / "a.zip", dest.string());
            } catch (const FileSystemError& e) {
                error = e.what();
            }
            EXPECT_FALSE(HasTemporaryFile(dir.Path()));
            if (failAt > c.syncs) {
                EXPECT_EQ(error, "");
                EXPECT_EQ(syncCalls.load(), c.syncs);
                EXPECT_EQ(CompareTrees(dir.Path() / "src", dest), "");
                continue;
            }
            const bool folder = c.kind == Kind::Whole && failAt == c.syncs;
            EXPECT_EQ(error, "Could not unpack the archive into " + dest.string() + ": writing " +
                                 (folder ? "its parent folder " : "") +
                                 "to the disk failed (Input/output error); check the disk and "
                                 "try again.");
            if (c.kind == Kind::Whole) {
                EXPECT_EQ(fs::exists(dest), folder);  // in place, but not known to be durable
            }
        }
    }
}

}  // namespace
}  // namespace vornback
