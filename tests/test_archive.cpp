// The archive component against real archives on disk: round trips, exclusions, the
// compression used, hostile and damaged archives, refusals, cancel and progress.
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "archive/deflate_chunks.h"
#include "base/errors.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "support/tree_compare.h"

namespace fs = std::filesystem;

namespace vornback {
namespace {

using test::AllPaths;
using test::CompareTrees;
using test::CompressibleText;
using test::HasTemporaryFile;
using test::MTime;
using test::PythonZip;
using test::RandomBytes;
using test::ReadFile;
using test::RunCommand;
using test::SetMTime;
using test::TempDir;
using test::WriteFile;

// A tree with the kinds of things a firm folder holds, all with odd-second times.
void MakeSampleTree(const fs::path& root) {
    WriteFile(root / "Firm3.mdb", CompressibleText(3 * 1024 * 1024, 1));
    WriteFile(root / "Yr1" / "DVorn1.mdb", RandomBytes(700 * 1024, 2));
    WriteFile(root / "Yr1" / "Reports" / "empty.txt", "");
    WriteFile(root / "Yr1" / "Reports" / "deep" / "note.txt", "a note\n");
    WriteFile(root / "Yr2" / "Jahresübersicht – März.txt", "Umlaute äöü ß €\n");
    fs::create_directories(root / "Yr2" / "Empty Folder");
    fs::create_directories(root / "Ünïcödé");
    WriteFile(root / "Ünïcödé" / "日本語.txt", "utf-8\n");
    int64_t t = 1600000001;  // odd: the DOS time alone would round it
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            SetMTime(entry.path(), t += 7200 * 24 + 3);
        }
    }
    // A time before 1980, which the DOS date cannot hold at all.
    SetMTime(root / "Yr1" / "Reports" / "deep" / "note.txt", 300000001);
    // Folder times last, deepest first, as writing into a folder changes its time.
    std::vector<fs::path> folders;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_directory()) {
            folders.push_back(entry.path());
        }
    }
    std::sort(folders.rbegin(), folders.rend());
    for (const fs::path& folder : folders) {
        SetMTime(folder, t += 1001);
    }
}

TEST(Archive, RoundTripKeepsNamesBytesAndTimesAndListsSorted) {
    TempDir dir;
    const fs::path source = dir.Path() / "Firm3";
    MakeSampleTree(source);
    const std::string archive = dir / "Firm3.zip";
    PackFolder(source.string(), archive);

    const fs::path out = dir.Path() / "restore" / "staging" / "Firm3";  // parents missing
    UnpackArchive(archive, out.string());
    EXPECT_EQ(CompareTrees(source, out, {.compareTimes = true, .compareFolderTimes = true}), "");
    EXPECT_EQ(MTime(out / "Yr1" / "Reports" / "deep" / "note.txt"), 300000001);
    EXPECT_FALSE(HasTemporaryFile(dir.Path()));
    EXPECT_NO_THROW(VerifyArchive(archive));

    const std::vector<ArchiveEntry> entries = ListArchive(archive);
    std::vector<std::string> names;
    for (const ArchiveEntry& entry : entries) {
        names.push_back(entry.name);
        const fs::path onDisk = source / entry.name;
        EXPECT_EQ(entry.isFolder, fs::is_directory(onDisk)) << entry.name;
        EXPECT_EQ(entry.mtime, MTime(onDisk)) << entry.name;
        if (!entry.isFolder) {
            const std::string bytes = ReadFile(onDisk);
            EXPECT_EQ(entry.size, bytes.size()) << entry.name;
            EXPECT_EQ(entry.crc, crc32(0, reinterpret_cast<const Bytef*>(bytes.data()),
                                       static_cast<uInt>(bytes.size())))
                << entry.name;
        }
    }
    const std::vector<std::string> expected = {
        "Firm3.mdb",
        "Yr1/",
        "Yr1/DVorn1.mdb",
        "Yr1/Reports/",
        "Yr1/Reports/deep/",
        "Yr1/Reports/deep/note.txt",
        "Yr1/Reports/empty.txt",
        "Yr2/",
        "Yr2/Empty Folder/",
        "Yr2/Jahresübersicht – März.txt",
        "Ünïcödé/",
        "Ünïcödé/日本語.txt",
    };
    EXPECT_EQ(names, expected);

    // Packing the same tree again gives the same bytes: the order does not depend on the
    // order the folder happens to list its names in.
    const std::string again = dir / "again.zip";
    PackFolder(source.string(), again);
    EXPECT_TRUE(ReadFile(archive) == ReadFile(again));
}

TEST(Archive, CompressibleFilesAreDeflatedAtLevelSixTheOthersStored) {
    TempDir dir;
    const std::string text = CompressibleText(4 * 1024 * 1024, 7);
    WriteFile(dir.Path() / "src" / "big.txt", text);
    WriteFile(dir.Path() / "src" / "random.bin", RandomBytes(200 * 1024, 8));
    WriteFile(dir.Path() / "src" / "tiny.txt", "x");
    WriteFile(dir.Path() / "src" / "small.txt", CompressibleText(3000, 9));
    PackFolder(dir / "src", dir / "a.zip");

    auto rawDeflateSize = [&](int level) {
        z_stream stream{};
        EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
        std::string out(deflateBound(&stream, text.size()), '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        stream.avail_in = static_cast<uInt>(text.size());
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(::deflate(&stream, Z_FINISH), Z_STREAM_END);
        const auto size = static_cast<int64_t>(stream.total_out);
        deflateEnd(&stream);
        return size;
    };

    // Deflate where it shrinks the file; random bytes and a file of one byte, which deflate
    // would only make larger, are stored as they are.
    const std::map<std::string, int> methods = {{"big.txt", ZIP_CM_DEFLATE},
                                                {"small.txt", ZIP_CM_DEFLATE},
                                                {"random.bin", ZIP_CM_STORE},
                                                {"tiny.txt", ZIP_CM_STORE}};
    int error = 0;
    zip_t* za = zip_open((dir / "a.zip").c_str(), ZIP_RDONLY, &error);
    ASSERT_NE(za, nullptr);
    ASSERT_EQ(zip_get_num_entries(za, 0), 4);
    for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
        zip_stat_t st;
        ASSERT_EQ(zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st), 0);
        EXPECT_EQ(st.comp_method, methods.at(st.name)) << st.name;
        if (st.comp_method == ZIP_CM_STORE) {
            EXPECT_EQ(st.comp_size, st.size) << st.name;
        }
        if (std::string(st.name) == "big.txt") {
            const auto packed = static_cast<int64_t>(st.comp_size);
            const int64_t level1 = rawDeflateSize(1);
            const int64_t level6 = rawDeflateSize(6);
            const int64_t level9 = rawDeflateSize(9);
            // Level 6 and level 9 lie close; the archive must sit nearest to level 6.
            EXPECT_LT(std::llabs(packed - level6), std::llabs(packed - level1));
            EXPECT_LT(std::llabs(packed - level6), std::llabs(packed - level9))
                << "packed " << packed << ", level 6 " << level6 << ", level 9 " << level9;
        }
    }
    zip_discard(za);
    EXPECT_NO_THROW(VerifyArchive(dir / "a.zip"));
}

TEST(Archive, ExclusionLeavesTheFolderOutWholeAndNothingElse) {
    TempDir dir;
    const fs::path source = dir.Path() / "Firm1";
    WriteFile(source / "Firm1.mdb", "db");
    WriteFile(source / "AttachDocs" / "scan.PDF", "pdf");
    WriteFile(source / "AttachDocs" / "sub" / "photo", "jpg");
    fs::create_directories(source / "AttachDocs" / "empty");
    WriteFile(source / "AttachDocsX", "kept: only the folder named AttachDocs goes");
    WriteFile(source / "Yr1" / "AttachDocs" / "kept.txt", "kept: patterns start at the top");

    const std::set<std::string> expected = {"AttachDocsX", "Firm1.mdb", "Yr1/", "Yr1/AttachDocs/",
                                            "Yr1/AttachDocs/kept.txt"};
    int n = 0;
    for (const std::string pattern :
         {"AttachDocs\\*.*", "AttachDocs/*.*", "attachdocs\\*.*", "ATTACHDOCS", "Attach?ocs\\*"}) {
        const std::string archive = dir / ("a" + std::to_string(n++) + ".zip");
        PackOptions options;
        options.excludePatterns = {pattern};
        PackFolder(source.string(), archive, options);
        std::set<std::string> names;
        for (const ArchiveEntry& entry : ListArchive(archive)) {
            names.insert(entry.name);
        }
        EXPECT_EQ(names, expected) << pattern;
    }

    // The matching rules themselves.
    EXPECT_TRUE(MatchesExclusion("AttachDocs/sub/x", "AttachDocs\\*.*"));
    EXPECT_TRUE(MatchesExclusion("Yr1/old.BAK", "yr?\\*.bak"));
    EXPECT_FALSE(MatchesExclusion("Yr1/old.bak.txt", "Yr1\\*.bak"));
    EXPECT_FALSE(MatchesExclusion("Yr10/old.bak", "yr?\\*.bak"));
    EXPECT_TRUE(MatchesExclusion("Yr1/noext", "Yr1\\*.*"));  // "*.*" takes names without a dot
    EXPECT_TRUE(MatchesExclusion("Ärger/x", "?rger"));       // "?" is one character, not one byte
    EXPECT_FALSE(MatchesExclusion("Ärger/x", "ärger"));      // only ASCII folds case
    EXPECT_FALSE(MatchesExclusion("AttachDoc", "AttachDocs\\*.*"));
    EXPECT_FALSE(MatchesExclusion("anything", ""));
}

TEST(Archive, UnpackReplacesFilesAndKeepsOthers) {
    TempDir dir;
    WriteFile(dir.Path() / "src" / "Yr1" / "DVorn1.mdb", "new contents");
    WriteFile(dir.Path() / "src" / "A.txt", "comes first in the archive");
    PackFolder(dir / "src", dir / "a.zip");
    const fs::path out = dir.Path() / "out";
    WriteFile(out / "Yr1" / "DVorn1.mdb", "old contents, longer than the new");
    ::chmod((out / "Yr1" / "DVorn1.mdb").c_str(), 0444);
    WriteFile(out / "unrelated.txt", "stays");
    UnpackArchive(dir / "a.zip", out.string());
    EXPECT_EQ(ReadFile(out / "Yr1" / "DVorn1.mdb"), "new contents");
    EXPECT_EQ(ReadFile(out / "unrelated.txt"), "stays");
    EXPECT_EQ(ReadFile(out / "A.txt"), "comes first in the archive");
    EXPECT_FALSE(HasTemporaryFile(out));

    // A folder in the way of a file refuses before anything is written.
    fs::remove_all(out);
    fs::create_directories(out / "Yr1" / "DVorn1.mdb");
    EXPECT_THROW(UnpackArchive(dir / "a.zip", out.string()), ArchiveError);
    EXPECT_EQ(AllPaths(out), (std::set<std::string>{"Yr1/", "Yr1/DVorn1.mdb/"}));
}

TEST(Archive, HostileNamesRefuseTheWholeArchiveBeforeWriting) {
    TempDir dir;
    const std::vector<std::string> badNames = {
        "../x", "a/../../x", "/x", "\\\\x", "C:x", "C:\\\\x", "a\\\\..\\\\..\\\\x", "a/../b",
    };
    int n = 0;
    for (const std::string& bad : badNames) {
        const std::string archive = dir / ("bad" + std::to_string(n++) + ".zip");
        // A harmless entry first: it must not be written either.
        PythonZip(archive, "z.writestr('good.txt', 'good')\nz.writestr(zipfile.ZipInfo('" + bad +
                               "'), 'evil')");
        const fs::path out = dir.Path() / "out" / "dest";
        try {
            UnpackArchive(archive, out.string());
            ADD_FAILURE() << bad << " was unpacked";
        } catch (const ArchiveError& e) {
            EXPECT_NE(std::string(e.what()).find(archive), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists(out)) << bad;
        EXPECT_THROW(VerifyArchive(archive), ArchiveError) << bad;
    }
    EXPECT_EQ(AllPaths(dir.Path() / "out"), std::set<std::string>{});
    EXPECT_FALSE(fs::exists(dir.Path() / "x"));
    EXPECT_FALSE(fs::exists(dir.Path() / "b"));

    // Other entries that cannot be unpacked faithfully refuse the archive the same way.
    const std::vector<std::pair<std::string, std::string>> badArchives = {
        {"link",
         "i = zipfile.ZipInfo('link')\ni.create_system = 3\n"
         "i.external_attr = 0o120777 << 16\nz.writestr(i, '/etc/passwd')"},
        {"twice", "z.writestr('a.txt', '1')\nz.writestr('a.txt', '2')"},
        {"file as folder", "z.writestr('d', '1')\nz.writestr('d/x', '2')"},
        {"folder as file", "z.writestr('d/', '')\nz.writestr('d', '2')"},
        {"same by backslash", "z.writestr('d/x', '1')\nz.writestr('d\\\\x', '2')"},
    };
    for (const auto& [what, body] : badArchives) {
        const std::string archive = dir / "other.zip";
        fs::remove(archive);
        PythonZip(archive, "z.writestr('good.txt', 'good')\n" + body);
        const fs::path out = dir.Path() / "out2";
        EXPECT_THROW(UnpackArchive(archive, out.string()), ArchiveError) << what;
        EXPECT_FALSE(fs::exists(out)) << what;
    }

    // An encrypted entry (Info-ZIP's traditional encryption).
    WriteFile(dir.Path() / "plain.txt", "secret");
    ASSERT_EQ(RunCommand("cd '" + dir.Path().string() + "' && zip -q -P pw enc.zip plain.txt"), 0);
    try {
        UnpackArchive(dir / "enc.zip", dir / "out3");
        ADD_FAILURE() << "encrypted archive unpacked";
    } catch (const ArchiveError& e) {
        EXPECT_NE(std::string(e.what()).find("encrypted"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(dir.Path() / "out3"));

    // A link already in the destination is never followed out of it.
    const std::string archive = dir / "through.zip";
    PythonZip(archive, "z.writestr('Yr1/DVorn1.mdb', 'data')");
    fs::create_directories(dir.Path() / "elsewhere");
    fs::create_directories(dir.Path() / "out4");
    fs::create_directory_symlink(dir.Path() / "elsewhere", dir.Path() / "out4" / "Yr1");
    EXPECT_THROW(UnpackArchive(archive, dir / "out4"), ArchiveError);
    EXPECT_TRUE(fs::is_empty(dir.Path() / "elsewhere"));

    // Names that only look odd are fine, and so is "\" as a separator.
    EXPECT_TRUE(IsSafeEntryName("ok/..hidden..name.txt"));
    EXPECT_TRUE(IsSafeEntryName("Yr1\\DVorn1.mdb"));
    EXPECT_TRUE(IsSafeEntryName("a..b/c.."));
    EXPECT_FALSE(IsSafeEntryName(""));
    EXPECT_FALSE(IsSafeEntryName("c:/x"));
    EXPECT_FALSE(IsSafeEntryName(".."));
    const std::string fine = dir / "fine.zip";
    PythonZip(fine, "z.writestr('ok/..hidden..name.txt', 'fine')\nz.writestr('..x', 'too')");
    UnpackArchive(fine, dir / "out5");
    EXPECT_EQ(ReadFile(dir.Path() / "out5" / "ok" / "..hidden..name.txt"), "fine");
    EXPECT_EQ(ReadFile(dir.Path() / "out5" / "..x"), "too");
}

TEST(Archive, DamagedArchivesFailClearlyAndLeaveNoPartialFile) {
    TempDir dir;
    auto expectError = [&](const std::string& archive, const std::string& text) {
        const fs::path out = dir.Path() / "out";
        try {
            UnpackArchive(archive, out.string());
            ADD_FAILURE() << archive << " was unpacked";
        } catch (const ArchiveError& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
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

    // A stored entry with one byte changed: its CRC no longer fits. The good file before it
    // is complete; the bad one is not there at all.
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
    EXPECT_EQ(AllPaths(dir.Path() / "out"), (std::set<std::string>{"Yr1/", "Yr1/good.txt"}));
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

TEST(Archive, PackRefusalsLeaveNothingBehind) {
    TempDir dir;
    WriteFile(dir.Path() / "src" / "a.txt", "a");
    WriteFile(dir.Path() / "Firm1.zip", "the previous backup");
    EXPECT_THROW(PackFolder(dir / "src", dir / "Firm1.zip"), ArchiveError);
    EXPECT_EQ(ReadFile(dir.Path() / "Firm1.zip"), "the previous backup");
    EXPECT_THROW(PackFolder(dir / "nothere", dir / "new.zip"), ArchiveError);
    EXPECT_THROW(PackFolder(dir / "src", dir / "no/such/folder.zip"), ArchiveError);
    EXPECT_EQ(AllPaths(dir.Path()), (std::set<std::string>{"Firm1.zip", "src/", "src/a.txt"}));

    // A file that grows while the archive is written stops it: no archive, no temporary.
    WriteFile(dir.Path() / "src" / "b.txt", "b");
    PackOptions growing;
    growing.progress = [&](const ArchiveProgress& p) {
        if (p.currentName == "a.txt") {
            WriteFile(dir.Path() / "src" / "b.txt", "grown since the folder was read");
        }
    };
    try {
        PackFolder(dir / "src", dir / "grown.zip", growing);
        ADD_FAILURE() << "a changing file was packed";
    } catch (const ArchiveError& e) {
        EXPECT_NE(std::string(e.what()).find("b.txt: the file changed"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(AllPaths(dir.Path()),
              (std::set<std::string>{"Firm1.zip", "src/", "src/a.txt", "src/b.txt"}));
    fs::remove(dir.Path() / "src" / "b.txt");

    // Links inside the folder are neither stored nor followed.
    WriteFile(dir.Path() / "outside" / "secret.txt", "not part of the firm");
    fs::create_directory_symlink(dir.Path() / "outside", dir.Path() / "src" / "linkdir");
    fs::create_symlink(dir.Path() / "outside" / "secret.txt", dir.Path() / "src" / "link.txt");
    PackFolder(dir / "src", dir / "links.zip");
    std::vector<std::string> names;
    for (const ArchiveEntry& entry : ListArchive(dir / "links.zip")) {
        names.push_back(entry.name);
    }
    EXPECT_EQ(names, std::vector<std::string>{"a.txt"});

    // An empty folder makes an empty archive that unpacks to an empty folder.
    fs::create_directories(dir.Path() / "emptysrc");
    PackFolder(dir / "emptysrc", dir / "empty.zip");
    EXPECT_TRUE(ListArchive(dir / "empty.zip").empty());
    UnpackArchive(dir / "empty.zip", dir / "emptyout");
    EXPECT_TRUE(fs::is_directory(dir.Path() / "emptyout"));
    EXPECT_TRUE(fs::is_empty(dir.Path() / "emptyout"));
}

TEST(Archive, ProgressIsMonotonicAndCancelLeavesNothing) {
    TempDir dir;
    const fs::path source = dir.Path() / "src";
    uint64_t totalBytes = 0;
    // Enough files that the workers, which may run a few megabytes ahead of the progress
    // reported, cannot finish them all before a cancel at half way is seen.
    constexpr int kFiles = 40;
    for (int i = 0; i < kFiles; ++i) {
        const std::string bytes =
            CompressibleText(static_cast<size_t>(900000 + i * 1000), static_cast<unsigned>(i));
        totalBytes += bytes.size();
        WriteFile(source / ("Yr" + std::to_string(i)) / "DVorn.mdb", bytes);
    }
    WriteFile(source / "empty", "");

    // Progress comes on the calling thread only: the window's callback touches its widgets.
    const std::thread::id caller = std::this_thread::get_id();
    auto checker = [caller](std::vector<ArchiveProgress>& seen) {
        return [&seen, caller](const ArchiveProgress& p) {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            if (!seen.empty()) {
                EXPECT_GE(p.bytesDone, seen.back().bytesDone);
                EXPECT_GE(p.filesDone, seen.back().filesDone);
            }
            EXPECT_LE(p.bytesDone, p.bytesTotal);
            EXPECT_LE(p.filesDone, p.filesTotal);
            seen.push_back(p);
        };
    };
    std::vector<ArchiveProgress> packSeen;
    PackOptions packOptions;
    packOptions.progress = checker(packSeen);
    PackFolder(source.string(), dir / "a.zip", packOptions);
    ASSERT_GT(packSeen.size(), kFiles + 1u);
    EXPECT_EQ(packSeen.back().bytesTotal, totalBytes);
    EXPECT_EQ(packSeen.back().bytesDone, totalBytes);
    EXPECT_EQ(packSeen.back().filesDone, kFiles + 1u);
    EXPECT_EQ(packSeen.back().filesTotal, kFiles + 1u);
    bool namedAFile = false;
    for (const ArchiveProgress& p : packSeen) {
        namedAFile = namedAFile || p.currentName == "Yr3/DVorn.mdb";
    }
    EXPECT_TRUE(namedAFile);

    std::vector<ArchiveProgress> unpackSeen;
    UnpackOptions unpackOptions;
    unpackOptions.progress = checker(unpackSeen);
    UnpackArchive(dir / "a.zip", dir / "out", unpackOptions);
    ASSERT_FALSE(unpackSeen.empty());
    EXPECT_EQ(unpackSeen.back().bytesDone, totalBytes);
    EXPECT_EQ(unpackSeen.back().filesDone, kFiles + 1u);
    EXPECT_EQ(unpackSeen.back().filesTotal, kFiles + 1u);
    EXPECT_EQ(CompareTrees(source, dir.Path() / "out"), "");

    // Cancel halfway through packing: no archive and no temporary file.
    std::atomic<bool> cancel{false};
    PackOptions cancelPack;
    cancelPack.cancel = &cancel;
    cancelPack.progress = [&](const ArchiveProgress& p) {
        if (p.bytesDone > totalBytes / 2) {
            cancel = true;
        }
    };
    EXPECT_THROW(PackFolder(source.string(), dir / "cancelled.zip", cancelPack), ArchiveCancelled);
    EXPECT_FALSE(fs::exists(dir.Path() / "cancelled.zip"));
    EXPECT_FALSE(HasTemporaryFile(dir.Path()));

    // Cancel halfway through unpacking: the files done are whole, none is half written.
    cancel = false;
    UnpackOptions cancelUnpack;
    cancelUnpack.cancel = &cancel;
    cancelUnpack.progress = [&](const ArchiveProgress& p) {
        if (p.bytesDone > totalBytes / 2) {
            cancel = true;
        }
    };
    EXPECT_THROW(UnpackArchive(dir / "a.zip", dir / "out2", cancelUnpack), ArchiveCancelled);
    EXPECT_FALSE(HasTemporaryFile(dir.Path()));
    int whole = 0;
    for (const std::string& path : AllPaths(dir.Path() / "out2")) {
        if (path.back() != '/') {
            EXPECT_EQ(ReadFile(dir.Path() / "out2" / path), ReadFile(source / path)) << path;
            ++whole;
        }
    }
    EXPECT_GT(whole, 0);
    EXPECT_LT(whole, kFiles);
}

// A file many times the size held whole goes in chunks on several threads; the archive
// must be one ordinary zip whatever the number of threads, byte for byte the same.
TEST(Archive, LargeAndMixedTreesRoundTripWithTheSameBytesWhateverTheThreads) {
    TempDir dir;
    const fs::path source = dir.Path() / "Firm5";
    const std::string bigText = CompressibleText(40 * 1024 * 1024 + 12345, 21);
    const std::string bigRandom = RandomBytes(20 * 1024 * 1024 + 7, 22);
    WriteFile(source / "Yr1" / "Vch1.dat", bigText);           // chunked, deflated
    WriteFile(source / "AttachDocs" / "scan.bin", bigRandom);  // chunked, stored
    WriteFile(source / "AttachDocs" / "photo.jpg", RandomBytes(3 * 1024 * 1024, 23));
    WriteFile(source / "Yr1" / "DVorn1.mdb", CompressibleText(5 * 1024 * 1024, 24));
    WriteFile(source / "Yr1" / "zeros.bin", std::string(17 * 1024 * 1024, '\0'));
    WriteFile(source / "empty.txt", "");
    for (int i = 0; i < 300; ++i) {
        WriteFile(source / "d" / ("Doc" + std::to_string(i) + ".txt"),
                  CompressibleText(static_cast<size_t>(i * 37), static_cast<unsigned>(i)));
    }
    int64_t t = 1650000001;
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
        if (entry.is_regular_file()) {
            SetMTime(entry.path(), t += 3601);
        }
    }

    PackOptions one;
    one.threads = 1;
    PackFolder(source.string(), dir / "one.zip", one);
    PackOptions four;
    four.threads = 4;
    PackFolder(source.string(), dir / "four.zip", four);
    const std::string bytes = ReadFile(dir.Path() / "one.zip");
    EXPECT_TRUE(bytes == ReadFile(dir.Path() / "four.zip")) << "the archives differ";
    EXPECT_LT(bytes.size(), bigRandom.size() + bigText.size() / 3);

    // Every entry reads back with its CRC here, in unzip and in Python.
    EXPECT_NO_THROW(VerifyArchive(dir / "four.zip"));
    std::string out;
    EXPECT_EQ(RunCommand("unzip -tq '" + dir / "four.zip" + "'", &out), 0) << out;
    // Deflated where that shrinks a file, stored where it would not.
    for (const ArchiveEntry& entry : ListArchive(dir / "four.zip")) {
        if (entry.name == "AttachDocs/scan.bin" || entry.name == "AttachDocs/photo.jpg" ||
            entry.name == "empty.txt") {
            EXPECT_EQ(entry.compressedSize, entry.size) << entry.name;
        } else if (entry.name == "Yr1/zeros.bin") {
            EXPECT_LT(entry.compressedSize, entry.size / 500);
        } else if (entry.name == "Yr1/Vch1.dat") {
            EXPECT_LT(entry.compressedSize, entry.size / 2);
        }
    }

    for (unsigned threads : {1u, 3u}) {
        const fs::path dest = dir.Path() / ("out" + std::to_string(threads));
        UnpackOptions options;
        options.threads = threads;
        UnpackArchive(dir / "four.zip", dest.string(), options);
        EXPECT_EQ(CompareTrees(source, dest, {.compareTimes = true}), "") << threads;
    }
    EXPECT_FALSE(HasTemporaryFile(dir.Path()));

    // Damage near the end of the large stored entry: its CRC fails only once most of it is
    // written, and still no part of it stays behind.
    std::string damaged = bytes;
    const size_t at = damaged.find(bigRandom.substr(bigRandom.size() - 4096, 64));
    ASSERT_NE(at, std::string::npos);
    damaged[at + 10] = static_cast<char>(damaged[at + 10] ^ 0x01);
    WriteFile(dir.Path() / "damaged.zip", damaged);
    const fs::path dest = dir.Path() / "damaged";
    try {
        UnpackArchive(dir / "damaged.zip", dest.string());
        ADD_FAILURE() << "a damaged archive was unpacked";
    } catch (const ArchiveError& e) {
        EXPECT_NE(std::string(e.what()).find("entry AttachDocs/scan.bin: CRC error"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(fs::exists(dest / "AttachDocs" / "scan.bin"));
    EXPECT_FALSE(HasTemporaryFile(dir.Path()));
    EXPECT_THROW(VerifyArchive(dir / "damaged.zip"), ArchiveError);

    // Cancel while the large deflated file is handed over: no archive, no temporary file.
    std::atomic<bool> cancel{false};
    PackOptions cancelled;
    cancelled.cancel = &cancel;
    cancelled.progress = [&](const ArchiveProgress& p) {
        if (p.currentName == "Yr1/Vch1.dat" && p.bytesDone > 0) {
            cancel = true;
        }
    };
    EXPECT_THROW(PackFolder(source.string(), dir / "cancelled.zip", cancelled), ArchiveCancelled);
    EXPECT_FALSE(fs::exists(dir.Path() / "cancelled.zip"));
    EXPECT_FALSE(HasTemporaryFile(dir.Path()));
}

// The pieces a large file is packed from: chunks deflated apart, each primed with the
// 32 KiB before it, must join into one stream that inflates to the file, and their CRCs
// into the CRC of the whole, or the archive holds a wrong CRC that only a reader notices.
TEST(DeflateChunks, ChunksJoinIntoOneStreamAndOneCrc) {
    std::string data = CompressibleText(3 * 1024 * 1024, 31) + RandomBytes(700000, 32) +
                       std::string(200000, 'z') + CompressibleText(1234567, 33);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    const uLong whole = crc32(0, bytes, static_cast<uInt>(data.size()));
    // Uneven chunk sizes, one smaller than the dictionary and one of a single byte.
    const std::vector<size_t> sizes = {1024 * 1024, 777777, 1, 20000, 1024 * 1024};
    deflate::Deflater deflater;
    std::string stream;
    uint32_t crc = 0;
    size_t offset = 0;
    for (size_t k = 0; offset < data.size(); ++k) {
        const size_t length =
            k < sizes.size() ? std::min(sizes[k], data.size() - offset) : data.size() - offset;
        deflate::Buffer out;
        deflater.Chunk(bytes + offset, length, offset + length == data.size(), out);
        stream.append(reinterpret_cast<const char*>(out.Data()), out.Size());
        crc = deflate::Crc32Combine(crc, deflate::Crc32(0, bytes + offset, length), length);
        offset += length;
    }
    EXPECT_EQ(crc, whole);
    EXPECT_LT(stream.size(), data.size());

    std::string inflated(data.size() + 1, '\0');
    z_stream zs{};
    ASSERT_EQ(inflateInit2(&zs, -15), Z_OK);
    zs.next_in = reinterpret_cast<Bytef*>(stream.data());
    zs.avail_in = static_cast<uInt>(stream.size());
    zs.next_out = reinterpret_cast<Bytef*>(inflated.data());
    zs.avail_out = static_cast<uInt>(inflated.size());
    EXPECT_EQ(inflate(&zs, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(zs.avail_in, 0u);  // the last chunk ends the stream exactly
    inflated.resize(zs.total_out);
    inflateEnd(&zs);
    EXPECT_TRUE(inflated == data);

    // Whole buffers: deflated when that shrinks them, inflated back exactly, and damage,
    // a short or a long result are told apart.
    const std::string text = CompressibleText(500000, 34);
    const auto* textBytes = reinterpret_cast<const uint8_t*>(text.data());
    EXPECT_TRUE(deflater.WorthDeflating(textBytes, text.size()));
    const std::string noise = RandomBytes(500000, 35);
    EXPECT_FALSE(
        deflater.WorthDeflating(reinterpret_cast<const uint8_t*>(noise.data()), noise.size()));
    deflate::Buffer packed;
    EXPECT_EQ(deflater.Whole(reinterpret_cast<const uint8_t*>(noise.data()), noise.size(), packed),
              0u);
    const size_t n = deflater.Whole(textBytes, text.size(), packed);
    ASSERT_GT(n, 0u);
    deflate::Inflater inflater;
    deflate::Buffer exact(text.size());
    EXPECT_EQ(inflater.Whole(packed.Data(), n, exact), deflate::Inflater::Result::Ok);
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(exact.Data()), exact.Size()) == text);
    deflate::Buffer small(text.size() - 1);
    EXPECT_EQ(inflater.Whole(packed.Data(), n, small), deflate::Inflater::Result::TooLong);
    deflate::Buffer large(text.size() + 1);
    EXPECT_EQ(inflater.Whole(packed.Data(), n, large), deflate::Inflater::Result::TooShort);
    EXPECT_NE(inflater.Whole(packed.Data(), n / 2, exact), deflate::Inflater::Result::Ok);
}

}  // namespace
}  // namespace vornback
