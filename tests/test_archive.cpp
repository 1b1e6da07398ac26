// The archive component against real archives on disk: round trips, exclusions, the
// compression used, pack refusals, cancel and progress (the unpack's refusals are in
// test_archive_refusals.cpp).
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
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "archive/deflate_chunks.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "support/refusal.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "support/tree_compare.h"

namespace fs = std::filesystem;

namespace vornback {
namespace {

using namespace test;

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

// The names the archive lists, in its order.
std::vector<std::string> EntryNames(const std::string& archive) {
    std::vector<std::string> names;
    for (const ArchiveEntry& entry : ListArchive(archive)) {
        names.push_back(entry.name);
    }
    return names;
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

    for (const ArchiveEntry& entry : ListArchive(archive)) {
        EXPECT_EQ(entry.mtime, MTime(source / entry.name)) << entry.name;
        const std::string bytes = entry.isFolder ? "" : ReadFile(source / entry.name);
        EXPECT_EQ(entry.crc, crc32(0, reinterpret_cast<const Bytef*>(bytes.data()),
                                   static_cast<uInt>(bytes.size())))
            << entry.name;
    }
    // clang-format off
    EXPECT_EQ(EntryNames(archive), (std::vector<std::string>{
        "Firm3.mdb", "Yr1/", "Yr1/DVorn1.mdb", "Yr1/Reports/", "Yr1/Reports/deep/",
        "Yr1/Reports/deep/note.txt", "Yr1/Reports/empty.txt", "Yr2/", "Yr2/Empty Folder/",
        "Yr2/Jahresübersicht – März.txt", "Ünïcödé/", "Ünïcödé/日本語.txt"}));
    // clang-format on
}

// A raw deflate stream of data by zlib at a level (memory level 9 is the zip tool's).
std::string ZlibDeflate(const std::string& data, int level, int memLevel = 8,
                        int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, memLevel, strategy);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(::deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

int64_t DeflatedSize(const std::string& data, int level, int memLevel = 8) {
    return static_cast<int64_t>(ZlibDeflate(data, level, memLevel).size());
}

TEST(Archive, CompressibleFilesAreDeflatedAtLevelSixTheOthersStored) {
    TempDir dir;
    const std::string text = CompressibleText(3 * 1024 * 1024, 7);
    WriteFile(dir.Path() / "src" / "big.txt", text);
    WriteFile(dir.Path() / "src" / "random.bin", RandomBytes(200 * 1024, 8));
    WriteFile(dir.Path() / "src" / "tiny.txt", "x");
    WriteFile(dir.Path() / "src" / "small.txt", CompressibleText(3000, 9));
    PackFolder(dir / "src", dir / "a.zip");
    // Deflate where it shrinks the file; random bytes and a file of one byte, which deflate
    // would only make larger, are stored as they are. Level 6 and 9 lie close; the archive
    // must sit nearest to level 6.
    const std::map<std::string, bool> deflated = {
        {"big.txt", true}, {"small.txt", true}, {"random.bin", false}, {"tiny.txt", false}};
    for (const ArchiveEntry& entry : ListArchive(dir / "a.zip")) {
        EXPECT_EQ(entry.compressedSize < entry.size, deflated.at(entry.name)) << entry.name;
        if (entry.name == "big.txt") {
            const auto packed = static_cast<int64_t>(entry.compressedSize);
            const int64_t level6 = DeflatedSize(text, 6);
            EXPECT_LT(std::llabs(packed - level6), std::llabs(packed - DeflatedSize(text, 1)));
            EXPECT_LT(std::llabs(packed - level6), std::llabs(packed - DeflatedSize(text, 9)));
        }
    }
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

    const std::vector<std::string> expected = {"AttachDocsX", "Firm1.mdb", "Yr1/",
                                               "Yr1/AttachDocs/", "Yr1/AttachDocs/kept.txt"};
    int n = 0;
    for (const std::string pattern :
         {"AttachDocs\\*.*", "AttachDocs/*.*", "attachdocs\\*.*", "ATTACHDOCS", "Attach?ocs\\*"}) {
        const std::string archive = dir / ("a" + std::to_string(n++) + ".zip");
        PackOptions options;
        options.excludePatterns = {pattern};
        PackFolder(source.string(), archive, options);
        EXPECT_EQ(EntryNames(archive), expected) << pattern;
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

    // A folder in the way of a file refuses before anything is written: a fault of the
    // destination, not of the archive.
    fs::remove_all(out);
    fs::create_directories(out / "Yr1" / "DVorn1.mdb");
    EXPECT_THROW(UnpackArchive(dir / "a.zip", out.string()), FileSystemError);
    EXPECT_EQ(AllPaths(out), (std::set<std::string>{"Yr1/", "Yr1/DVorn1.mdb/"}));
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

    // A name that cannot be stored, found late in the walk while the workers are already
    // packing the files before it: the walk's refusal stops them, and nothing is written.
    for (int i = 0; i < 300; ++i) {
        WriteFile(dir.Path() / "late" / "a" / ("f" + std::to_string(i)), std::string(5000, 'x'));
    }
    WriteFile(dir.Path() / "late" / "z" / "bad\xff.txt", "x");
    EXPECT_TRUE(
        Mentions(ErrorText<ArchiveError>([&] { PackFolder(dir / "late", dir / "late.zip"); }),
                 "not valid UTF-8"));
    fs::remove_all(dir.Path() / "late");
    EXPECT_EQ(AllPaths(dir.Path()), (std::set<std::string>{"Firm1.zip", "src/", "src/a.txt"}));

    // A file that grows while the archive is written stops it: no archive, no temporary.
    WriteFile(dir.Path() / "src" / "b.txt", "b");
    PackOptions growing;
    growing.progress = [&](const ArchiveProgress& p) {
        if (p.currentName == "a.txt") {
            WriteFile(dir.Path() / "src" / "b.txt", "grown since the folder was read");
        }
    };
    EXPECT_TRUE(Mentions(
        ErrorText<ArchiveError>([&] { PackFolder(dir / "src", dir / "grown.zip", growing); }),
        "b.txt: the file changed"));
    EXPECT_EQ(AllPaths(dir.Path()),
              (std::set<std::string>{"Firm1.zip", "src/", "src/a.txt", "src/b.txt"}));
    fs::remove(dir.Path() / "src" / "b.txt");

    // Links inside the folder are neither stored nor followed.
    WriteFile(dir.Path() / "outside" / "secret.txt", "not part of the firm");
    fs::create_directory_symlink(dir.Path() / "outside", dir.Path() / "src" / "linkdir");
    fs::create_symlink(dir.Path() / "outside" / "secret.txt", dir.Path() / "src" / "link.txt");
    const PackSummary summary = PackFolder(dir / "src", dir / "links.zip");
    EXPECT_EQ(summary.skippedLinks, (std::vector<std::string>{"link.txt", "linkdir"}));
    EXPECT_EQ(EntryNames(dir / "links.zip"), std::vector<std::string>{"a.txt"});

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
    // The last report of each: every byte and file of the total done.
    const auto last = [](const std::vector<ArchiveProgress>& seen) {
        const ArchiveProgress& p = seen.back();
        return std::make_tuple(p.bytesDone, p.bytesTotal, p.filesDone, p.filesTotal);
    };
    const auto all = std::make_tuple(totalBytes, totalBytes, kFiles + 1ul, kFiles + 1ul);
    std::vector<ArchiveProgress> packSeen, unpackSeen;
    PackOptions packOptions;
    packOptions.progress = checker(packSeen);
    PackFolder(source.string(), dir / "a.zip", packOptions);
    ASSERT_GT(packSeen.size(), kFiles + 1u);
    EXPECT_EQ(last(packSeen), all);
    UnpackOptions unpackOptions;
    unpackOptions.progress = checker(unpackSeen);
    UnpackArchive(dir / "a.zip", dir / "out", unpackOptions);
    ASSERT_FALSE(unpackSeen.empty());
    EXPECT_EQ(last(unpackSeen), all);
    EXPECT_EQ(CompareTrees(source, dir.Path() / "out"), "");

    // Cancel halfway through packing: no archive and no temporary file.
    std::atomic<bool> cancel{false};
    const auto cancelAtHalf = [&](const ArchiveProgress& p) {
        cancel = cancel || p.bytesDone > totalBytes / 2;
    };
    PackOptions cancelPack;
    cancelPack.cancel = &cancel;
    cancelPack.progress = cancelAtHalf;
    EXPECT_THROW(PackFolder(source.string(), dir / "cancelled.zip", cancelPack), ArchiveCancelled);
    EXPECT_FALSE(fs::exists(dir.Path() / "cancelled.zip"));
    EXPECT_FALSE(HasTemporaryFile(dir.Path()));

    // Cancel halfway through unpacking: no file is left, whole or half written.
    cancel = false;
    UnpackOptions cancelUnpack;
    cancelUnpack.cancel = &cancel;
    cancelUnpack.progress = cancelAtHalf;
    EXPECT_THROW(UnpackArchive(dir / "a.zip", dir / "out2", cancelUnpack), ArchiveCancelled);
    EXPECT_FALSE(HasTemporaryFile(dir.Path()));
    for (const std::string& path : AllPaths(dir.Path() / "out2")) {
        EXPECT_EQ(path.back(), '/') << path;
    }
}

// A file many times the size held whole goes in chunks on several threads; the archive
// must be one ordinary zip whatever the number of threads, byte for byte the same.
TEST(Archive, LargeAndMixedTreesRoundTripWithTheSameBytesWhateverTheThreads) {
    TempDir dir;
    const fs::path source = dir.Path() / "Firm5";
    const std::string bigRandom = RandomBytes(20 * 1024 * 1024 + 7, 22);
    WriteFile(source / "AttachDocs" / "scan.bin", bigRandom);  // chunked, stored
    WriteFile(source / "AttachDocs" / "photo.jpg", RandomBytes(3 * 1024 * 1024, 23));
    WriteFile(source / "Yr1" / "DVorn1.mdb", CompressibleText(5 * 1024 * 1024, 24));
    WriteFile(source / "Yr1" / "zeros.bin", std::string(17 * 1024 * 1024, '\0'));
    WriteFile(source / "empty.txt", "");
    // Many files in one folder, and more folders than a pack holds open (the files of the
    // last ones are opened by their path).
    for (int i = 0; i < 300; ++i) {
        const fs::path folder = i < 40 ? source / "d" : source / "d" / ("f" + std::to_string(i));
        WriteFile(folder / ("Doc" + std::to_string(i) + ".txt"),
                  CompressibleText(static_cast<size_t>(i * 37), static_cast<unsigned>(i)));
    }
    int64_t t = 1650000001;
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
        if (entry.is_regular_file()) {
            SetMTime(entry.path(), t += 3601);
        }
    }

    PackOptions packing;
    packing.threads = 1;
    PackFolder(source.string(), dir / "one.zip", packing);
    packing.threads = 4;
    PackFolder(source.string(), dir / "four.zip", packing);
    const std::string bytes = ReadFile(dir.Path() / "one.zip");
    EXPECT_TRUE(bytes == ReadFile(dir.Path() / "four.zip")) << "the archives differ";
    EXPECT_LT(bytes.size(), bigRandom.size() + 5 * 1024 * 1024);

    // Every entry reads back with its CRC here, in unzip and in Python.
    EXPECT_NO_THROW(VerifyArchive(dir / "four.zip"));
    std::string out;
    EXPECT_EQ(RunCommand("unzip -tq '" + dir / "four.zip" + "'", &out), 0) << out;
    for (unsigned threads : {1u, 3u}) {
        const fs::path dest = dir.Path() / ("out" + std::to_string(threads));
        UnpackOptions options;
        options.threads = threads;
        UnpackArchive(dir / "four.zip", dest.string(), options);
        EXPECT_EQ(CompareTrees(source, dest, {.compareTimes = true}), "") << threads;
    }
    EXPECT_FALSE(HasTemporaryFile(dir.Path()));

    // Damage late in the large stored entry (its CRC fails only once most of it is
    // written) or inside the large deflated one (inflated a chunk at a time): no part of
    // either stays behind.
    const size_t zerosData = bytes.find("Yr1/zeros.bin") + 13 + 9;  // name, time field
    const size_t lateInScan = bytes.find(bigRandom.substr(bigRandom.size() - 4096, 64)) + 10;
    const struct {
        size_t at;
        std::string entry;
    } damages[] = {{lateInScan, "AttachDocs/scan.bin"}, {zerosData + 2000, "Yr1/zeros.bin"}};
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.entry);
        std::string damaged = bytes;
        damaged[damage.at] = static_cast<char>(damaged[damage.at] ^ 0x21);
        WriteFile(dir.Path() / "damaged.zip", damaged);
        const fs::path dest = dir.Path() / "damaged";
        EXPECT_TRUE(
            Mentions(ErrorText<ArchiveError>([&] { UnpackArchive(dir / "damaged.zip", dest); }),
                     "entry " + damage.entry + ": "));
        EXPECT_FALSE(fs::exists(dest / damage.entry));
        EXPECT_FALSE(HasTemporaryFile(dir.Path()));
        EXPECT_THROW(VerifyArchive(dir / "damaged.zip"), ArchiveError);
        fs::remove_all(dest);
    }
}

// Large files are deflated in independent chunks joined into one stream, by libdeflate or,
// where it deflates clearly smaller (word lists), by zlib. Sizes on, just under and just
// over the chunk boundaries: one ordinary deflate stream each (zlib inflates it to the file,
// unzip tests it), the same archive whatever the number of threads, and next to no larger
// than the file deflated whole by the better of the two deflaters.
TEST(Archive, ChunkJoinedStreamsInflateWithZlibAtEverySize) {
    constexpr size_t kChunk = 4 * 1024 * 1024;
    TempDir dir;
    const std::string texts[] = {VoucherLines(3 * kChunk + 2, 41),
                                 CompressibleText(3 * kChunk + 2, 41)};
    for (const std::string& text : texts) {
        for (const size_t size : {kChunk - 1, kChunk, kChunk + 1, 2 * kChunk, 3 * kChunk + 2}) {
            SCOPED_TRACE(text.substr(0, 20) + " " + std::to_string(size));
            const std::string data = text.substr(0, size);
            fs::remove_all(dir.Path() / "src");
            WriteFile(dir.Path() / "src" / "Vch.dat", data);
            std::string bytes;
            for (const unsigned threads : {1u, 3u}) {
                const std::string archive = dir / ("t" + std::to_string(threads) + ".zip");
                fs::remove(archive);
                PackOptions options;
                options.threads = threads;
                PackFolder(dir / "src", archive, options);
                if (threads == 1) {
                    bytes = ReadFile(archive);
                } else {
                    EXPECT_TRUE(ReadFile(archive) == bytes) << "the archive depends on the threads";
                }
            }
            int error = 0;
            zip_t* za = zip_open((dir / "t1.zip").c_str(), ZIP_RDONLY, &error);
            ASSERT_NE(za, nullptr);
            zip_stat_t st;
            ASSERT_EQ(zip_stat_index(za, 0, 0, &st), 0);
            deflate::Buffer whole;
            deflate::Deflater().Whole(reinterpret_cast<const uint8_t*>(data.data()), size, whole);
            const size_t best =
                std::min(whole.Size(), static_cast<size_t>(DeflatedSize(data, 6, 9)));
            EXPECT_LE(st.comp_size, best + best / 500);
            std::string raw(st.comp_size, '\0');
            zip_file_t* file = zip_fopen_index(za, 0, ZIP_FL_COMPRESSED);
            ASSERT_EQ(zip_fread(file, raw.data(), raw.size()),
                      static_cast<zip_int64_t>(raw.size()));
            zip_fclose(file);
            zip_discard(za);
            std::string inflated(size + 1, '\0');
            z_stream z{};
            inflateInit2(&z, -15);
            z.next_in = reinterpret_cast<Bytef*>(raw.data());
            z.avail_in = static_cast<uInt>(raw.size());
            z.next_out = reinterpret_cast<Bytef*>(inflated.data());
            z.avail_out = static_cast<uInt>(inflated.size());
            EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
            EXPECT_EQ(z.avail_in, 0u);  // the last chunk ends the stream exactly
            inflated.resize(z.total_out);
            inflateEnd(&z);
            EXPECT_TRUE(inflated == data);
            EXPECT_NO_THROW(VerifyArchive(dir / "t1.zip"));
            std::string out;
            EXPECT_EQ(RunCommand("unzip -tq '" + dir / "t1.zip" + "'", &out), 0) << out;
        }
    }
}

// A chunk's last block is found by reading its codes; the reader must agree with zlib on
// every kind of block (stored, fixed, dynamic; libdeflate's and zlib's) and refuse what is
// not a whole stream of the given length.
TEST(Archive, BlockScanAgreesWithZlib) {
    const std::string text = CompressibleText(300000, 42);
    const std::string noise = RandomBytes(70000, 43);
    auto libdeflateStream = [](const std::string& data) {
        deflate::Buffer out;
        deflate::Deflater().Whole(reinterpret_cast<const uint8_t*>(data.data()), data.size(), out);
        return std::string(reinterpret_cast<const char*>(out.Data()), out.Size());
    };
    // Where zlib finds the last block and the end, stopping at every block.
    auto zlibBlocks = [](const std::string& stream) {
        z_stream z{};
        inflateInit2(&z, -15);
        std::string sink(1 << 16, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
        z.avail_in = static_cast<uInt>(stream.size());
        deflate::StreamBlocks blocks;
        for (int result = Z_OK; result == Z_OK;) {
            z.next_out = reinterpret_cast<Bytef*>(sink.data());
            z.avail_out = static_cast<uInt>(sink.size());
            result = inflate(&z, Z_BLOCK);
            const uint64_t bits = (z.total_in) * 8 - static_cast<uint64_t>(z.data_type & 7);
            if ((z.data_type & 128) != 0) {
                ((z.data_type & 64) != 0 ? blocks.end : blocks.finalHeader) = bits;
            }
        }
        inflateEnd(&z);
        return std::make_pair(blocks.finalHeader, blocks.end);
    };
    const struct {
        const char* what;
        std::string data;
        std::string stream;
    } cases[] = {
        {"libdeflate, dynamic", text, libdeflateStream(text)},
        {"zlib, dynamic", text, ZlibDeflate(text, 6, 8, Z_DEFAULT_STRATEGY)},
        {"zlib, fixed", text.substr(0, 5000), ZlibDeflate(text.substr(0, 5000), 6, 8, Z_FIXED)},
        {"zlib, stored", noise, ZlibDeflate(noise, 0, 8, Z_DEFAULT_STRATEGY)},
        {"zlib, codes only", text, ZlibDeflate(text, 6, 8, Z_HUFFMAN_ONLY)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.stream.data());
        deflate::StreamBlocks blocks;
        ASSERT_TRUE(deflate::ScanBlocks(bytes, c.stream.size(), c.data.size(), blocks));
        EXPECT_EQ(std::make_pair(blocks.finalHeader, blocks.end), zlibBlocks(c.stream));
        EXPECT_FALSE(deflate::ScanBlocks(bytes, c.stream.size(), c.data.size() + 1, blocks));
        EXPECT_FALSE(deflate::ScanBlocks(bytes, c.stream.size() - 1, c.data.size(), blocks));
        EXPECT_FALSE(deflate::ScanBlocks(bytes, c.stream.size() / 2, c.data.size(), blocks));
    }
}

// The temporary names a killed run may leave are told from everything else by name alone.
TEST(Archive, TemporaryNamesAreRecognizedAndUnique) {
    const std::string pack = temp_names::PackTemporaryPath("/b/Firm1.zip");
    EXPECT_NE(pack, temp_names::PackTemporaryPath("/b/Firm1.zip"));
    EXPECT_EQ(pack.rfind("/b/Firm1.zip.", 0), 0u);
    const std::string name = fs::path(pack).filename().string();
    const std::string folder = fs::path(temp_names::UnpackTemporaryFolder("/s/Firm1")).filename();
    for (const auto& [candidate, isPack, isUnpack] :
         std::vector<std::tuple<std::string, bool, bool>>{
             {name, true, false},
             {name + ".aB3xYz", true, false},  // libzip's beside it
             {temp_names::UnpackTemporaryFileName(), false, true},
             {folder, false, true},
             {"Firm1.zip", false, false},
             {name + ".aB3x", false, false},
             {"Firm1.zip.part-vb-abc", false, false},
             {folder + ".x", false, false}}) {
        EXPECT_EQ(temp_names::IsPackTemporaryName(candidate), isPack) << candidate;
        EXPECT_EQ(temp_names::IsUnpackTemporaryName(candidate), isUnpack) << candidate;
    }
}

}  // namespace
}  // namespace vornback
