// LocalFileSystem against a real disk: results, failures and what each failure leaves.
// The tests run as root too, where the kernel ignores permission bits, so read-only cases
// rest on the owner write bit that the service checks itself.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/errors.h"
#include "platform/file_system.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace fs = std::filesystem;

namespace vornback {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Everything lstat and the contents say about a tree, keyed by relative path, so that
// "untouched" and "copied faithfully" compare kinds, bytes, link targets, permission bits
// and modification times to the nanosecond.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> items;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        EXPECT_EQ(::lstat(entry.path().c_str(), &st), 0) << entry.path();
        std::string item = std::to_string(st.st_mode) + " ";
        if (S_ISREG(st.st_mode)) {
            item += std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                    " " + ReadFile(entry.path());
        } else if (S_ISLNK(st.st_mode)) {
            item += "-> " + fs::read_symlink(entry.path()).string();
        }
        items[fs::relative(entry.path(), root).string()] = item;
    }
    return items;
}

void SetTimeNs(const fs::path& path, int64_t seconds, long nanoseconds) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void MakeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

// Runs the call, expects a FileSystemError and checks that its text holds every piece.
void ExpectFailure(const std::function<void()>& call, const std::vector<std::string>& pieces) {
    try {
        call();
        ADD_FAILURE() << "no FileSystemError; expected one with \"" << pieces.front() << "\"";
    } catch (const FileSystemError& e) {
        for (const std::string& piece : pieces) {
            EXPECT_NE(std::string(e.what()).find(piece), std::string::npos)
                << "\"" << piece << "\" not in: " << e.what();
        }
    }
}

std::vector<std::string> Names(const std::vector<FileEntry>& entries) {
    std::vector<std::string> names;
    for (const FileEntry& entry : entries) {
        names.push_back(entry.name);
    }
    return names;
}

TEST(FileSystem, ExistenceTellsFilesFromFoldersAndFollowsLinks) {
    TempDir dir;
    LocalFileSystem fsys;
    WriteFile(dir / "f.txt", "x");
    fs::create_directory(dir / "d");
    fs::create_symlink(dir / "f.txt", dir / "link-f");
    fs::create_symlink(dir / "d", dir / "link-d");
    fs::create_symlink(dir / "gone", dir / "dangling");
    const struct {
        std::string path;
        bool file, folder;
    } cases[] = {{dir / "f.txt", true, false},
                 {dir / "d", false, true},
                 {dir / "d/", false, true},
                 {dir / "link-f", true, false},
                 {dir / "link-d", false, true},
                 {dir / "dangling", false, false},
                 {dir / "missing", false, false},
                 {dir / "f.txt/", false, false},
                 {"", false, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(fsys.FileExists(c.path), c.file) << c.path;
        EXPECT_EQ(fsys.FolderExists(c.path), c.folder) << c.path;
    }
}

// Every failure names the call, the path and the system's reason, and makes nothing.
TEST(FileSystem, FailuresNameTheCallThePathAndTheReason) {
    TempDir dir;
    LocalFileSystem fsys;
    WriteFile(dir / "file", "x");
    fs::create_directory(dir / "Empty");
    fsys.CreateFolder(dir / "Back");  // exactly one level
    EXPECT_TRUE(fs::is_directory(dir / "Back"));
    const std::string missing = dir / "missing";
    const std::string noSuch = "No such file or directory";
    const struct {
        std::function<void()> call;
        std::vector<std::string> pieces;
    } cases[] = {
        {[&] { fsys.CreateFolder(dir / "Back"); },
         {"CreateFolder", "\"" + (dir / "Back") + "\"", "File exists"}},
        {[&] { fsys.CreateFolder(dir / "no/Firm3"); }, {"CreateFolder", dir / "no/Firm3", noSuch}},
        {[&] { fsys.DeleteFile(missing, true); }, {"DeleteFile", missing, noSuch}},
        {[&] { fsys.DeleteFile(dir / "Empty", true); },
         {"DeleteFile", dir / "Empty", "Is a directory"}},
        {[&] { fsys.DeleteFolder(missing, false); }, {"DeleteFolder", missing, noSuch}},
        {[&] { fsys.DeleteFolder(dir / "file", true); },
         {"DeleteFolder", dir / "file", "Not a directory"}},
        {[&] { fsys.CopyFolder(dir / "Back", dir / "no/dst", false); },
         {"CopyFolder", dir / "no/dst", noSuch}},
        {[&] { fsys.CopyFolder(missing, dir / "dst", false); }, {"CopyFolder", missing, noSuch}},
        {[&] { fsys.MoveFile(missing, dir / "x"); }, {"MoveFile", missing, noSuch}},
        {[&] { fsys.MoveFolder(missing, dir / "x"); }, {"MoveFolder", missing, noSuch}},
        {[&] { fsys.MoveFile(dir / "Empty", dir / "x"); },
         {"MoveFile", dir / "Empty", "Is a directory"}},
        {[&] { fsys.MoveFolder(dir / "file", dir / "x"); },
         {"MoveFolder", dir / "file", "Not a directory"}},
        {[&] { fsys.MoveFolder(dir / "Back", dir / "Back/inner"); },
         {"MoveFolder", "Invalid argument"}},
        {[&] { fsys.Files(missing); }, {"Files", missing, noSuch}},
        {[&] { fsys.SubFolders(missing); }, {"SubFolders", missing, noSuch}},
        {[&] { fsys.FileLength(missing); }, {"FileLength", missing, noSuch}},
        {[&] { fsys.FileLength(dir / "Empty"); }, {"FileLength", dir / "Empty", "Is a directory"}},
        {[&] { fsys.Kill(missing); }, {"Kill", missing, noSuch}},
    };
    for (const auto& c : cases) {
        ExpectFailure(c.call, c.pieces);
    }
    EXPECT_EQ(test::AllPaths(dir.Path()), (std::set<std::string>{"Back/", "Empty/", "file"}));
    EXPECT_EQ(ReadFile(dir / "file"), "x");
}

TEST(FileSystem, DeleteFileRefusesReadOnlyUnlessForced) {
    TempDir dir;
    LocalFileSystem fsys;
    WriteFile(dir / "plain", "a");
    WriteFile(dir / "locked", "keep me");
    MakeReadOnly(dir / "locked");

    fsys.DeleteFile(dir / "plain", false);
    EXPECT_FALSE(fs::exists(dir / "plain"));

    ExpectFailure([&] { fsys.DeleteFile(dir / "locked", false); },
                  {"DeleteFile", dir / "locked", "Permission denied"});
    EXPECT_EQ(ReadFile(dir / "locked"), "keep me");
    fsys.DeleteFile(dir / "locked", true);
    EXPECT_FALSE(fs::exists(dir / "locked"));
}

TEST(FileSystem, DeleteFolderChecksTheWholeTreeBeforeRemovingAnything) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path tree = dir.Path() / "Firm3";
    // Files that sort before the read-only one, at every level, so a deletion that only
    // stopped on meeting it would already have removed them.
    WriteFile(tree / "a.mdb", "firm");
    WriteFile(tree / "Yr1/a.mdb", "year");
    WriteFile(tree / "Yr1/D/b.txt", "doc");
    WriteFile(tree / "Yr1/D/z.txt", "locked");
    WriteFile(tree / "Yr2/c.txt", "later");
    MakeReadOnly(tree / "Yr1/D/z.txt");
    const auto before = Snapshot(tree);

    ExpectFailure(
        [&] { fsys.DeleteFolder(tree.string(), false); },
        {"DeleteFolder", tree.string(), (tree / "Yr1/D/z.txt").string(), "Permission denied"});
    EXPECT_EQ(Snapshot(tree), before);

    fsys.DeleteFolder(tree.string(), true);
    EXPECT_FALSE(fs::exists(tree));
}

TEST(FileSystem, DeleteFolderReadOnlyFolderNeedsForce) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path tree = dir.Path() / "t";
    WriteFile(tree / "sub/f", "x");
    fs::create_directory(tree / "empty");
    MakeReadOnly(tree / "empty");  // empty: nothing to remove from it, so no obstacle
    MakeReadOnly(tree / "sub");
    const auto before = Snapshot(tree);

    ExpectFailure([&] { fsys.DeleteFolder(tree.string(), false); },
                  {"DeleteFolder", (tree / "sub").string(), "Permission denied"});
    EXPECT_EQ(Snapshot(tree), before);

    fs::permissions(tree / "sub", fs::perms::owner_write, fs::perm_options::add);
    fsys.DeleteFolder(tree.string(), false);
    EXPECT_FALSE(fs::exists(tree));

    WriteFile(tree / "sub/f", "x");
    MakeReadOnly(tree / "sub");
    MakeReadOnly(tree);
    fsys.DeleteFolder(tree.string(), true);
    EXPECT_FALSE(fs::exists(tree));
}

TEST(FileSystem, DeleteFolderRemovesLinksWithoutFollowingThem) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path outside = dir.Path() / "outside";
    WriteFile(outside / "precious.txt", "books");
    WriteFile(outside / "locked.txt", "ro");
    MakeReadOnly(outside / "locked.txt");
    const auto outsideBefore = Snapshot(outside);

    const fs::path tree = dir.Path() / "staging";
    WriteFile(tree / "f", "x");
    fs::create_directory(tree / "sub");
    fs::create_directory_symlink(outside, tree / "sub/to-folder");
    fs::create_symlink(outside / "locked.txt", tree / "to-locked");
    fs::create_symlink(dir.Path() / "nowhere", tree / "dangling");

    // A link to a read-only file is not itself read-only: the non-forced deletion goes on.
    fsys.DeleteFolder(tree.string(), false);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_EQ(Snapshot(outside), outsideBefore);

    // Named directly, a link to a folder is removed as a link.
    fs::create_directory_symlink(outside, dir.Path() / "alias");
    fsys.DeleteFolder((dir.Path() / "alias").string(), false);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.Path() / "alias")));
    EXPECT_EQ(Snapshot(outside), outsideBefore);
}

// A source tree with nested and empty folders, a hidden file, a read-only file, a link and
// modification times with nanoseconds.
fs::path MakeSourceTree(const TempDir& dir) {
    const fs::path src = dir.Path() / "src";
    WriteFile(src / "Firm3.mdb", "firm database");
    WriteFile(src / ".hidden", "h");
    WriteFile(src / "Yr1/DVorn1.mdb", std::string(200000, 'y'));
    WriteFile(src / "Yr1/D/readonly.txt", "ro");
    fs::create_directory(src / "Empty");
    fs::create_symlink("Yr1/DVorn1.mdb", src / "link.mdb");
    SetTimeNs(src / "Firm3.mdb", 1600000000, 123456789);
    SetTimeNs(src / "Yr1/DVorn1.mdb", 1500000000, 1);
    SetTimeNs(src / "Yr1/D/readonly.txt", 1400000000, 999999999);
    SetTimeNs(src / "link.mdb", 1300000000, 5);
    fs::permissions(src / "Yr1/D/readonly.txt", fs::perms::owner_read | fs::perms::group_read);
    fs::permissions(src / "Empty", fs::perms::owner_all);
    return src;
}

TEST(FileSystem, CopyFolderCreatesAFaithfulCopy) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path src = MakeSourceTree(dir);
    const auto before = Snapshot(src);

    fsys.CopyFolder(src.string(), dir / "dst", false);
    EXPECT_EQ(Snapshot(dir.Path() / "dst"), before);  // also: no temporary files left
    EXPECT_EQ(Snapshot(src), before);

    // A trailing separator on either side names the same folders.
    fsys.CopyFolder(src.string() + "/", dir / "dst2/", false);
    EXPECT_EQ(Snapshot(dir.Path() / "dst2"), before);
}

TEST(FileSystem, CopyFolderMergesAndReplacesOnlyWithOverwrite) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path src = MakeSourceTree(dir);
    const fs::path dst = dir.Path() / "dst";
    WriteFile(dst / "extra.txt", "mine");
    WriteFile(dst / "Yr1/DVorn1.mdb", "old year");
    MakeReadOnly(dst / "Yr1/DVorn1.mdb");
    const auto dstBefore = Snapshot(dst);

    ExpectFailure([&] { fsys.CopyFolder(src.string(), dst.string(), false); },
                  {"CopyFolder", src.string(), dst.string(), (dst / "Yr1/DVorn1.mdb").string(),
                   "File exists"});
    EXPECT_EQ(ReadFile(dst / "Yr1/DVorn1.mdb"), "old year");
    EXPECT_EQ(ReadFile(dst / "extra.txt"), "mine");
    // Entries copied before the clash stay; nothing half-written is left behind.
    EXPECT_EQ(ReadFile(dst / "Firm3.mdb"), "firm database");
    const auto srcItems = Snapshot(src);
    for (const auto& [name, item] : Snapshot(dst)) {
        const auto& origin = dstBefore.count(name) ? dstBefore : srcItems;
        EXPECT_TRUE(origin.count(name) && origin.at(name) == item) << name;
    }

    fsys.CopyFolder(src.string(), dst.string(), true);
    auto expected = srcItems;
    expected["extra.txt"] = dstBefore.at("extra.txt");
    EXPECT_EQ(Snapshot(dst), expected);
}

TEST(FileSystem, CopyFolderRefusalsWriteNothing) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path src = MakeSourceTree(dir);
    const auto before = Snapshot(src);

    ExpectFailure([&] { fsys.CopyFolder(src.string(), (src / "Yr1/Copy").string(), true); },
                  {"CopyFolder", src.string(), (src / "Yr1/Copy").string(), "inside"});
    ExpectFailure([&] { fsys.CopyFolder(src.string(), src.string(), true); },
                  {"CopyFolder", "inside"});
    // The same folder reached through a link is still inside.
    fs::create_directory_symlink(src, dir.Path() / "alias");
    ExpectFailure([&] { fsys.CopyFolder((dir.Path() / "alias").string(), src / "New", false); },
                  {"CopyFolder", "inside"});
    EXPECT_EQ(Snapshot(src), before);

    // A file where the source has a folder is never replaced, with or without overwrite.
    WriteFile(dir.Path() / "dst/Yr1", "a file");
    ExpectFailure([&] { fsys.CopyFolder(src.string(), dir / "dst", true); },
                  {"CopyFolder", dir / "dst/Yr1", "Not a directory"});
    EXPECT_EQ(ReadFile(dir.Path() / "dst/Yr1"), "a file");
}

TEST(FileSystem, MovesRenameAndNeverReplace) {
    TempDir dir;
    LocalFileSystem fsys;
    WriteFile(dir / "Back/Firm3.zip", "new");
    WriteFile(dir / "Back/OFirm3.zip", "old");
    WriteFile(dir / "Firm3/Yr1/a", "year");
    fs::create_directory(dir / "Empty");

    // Rename within one folder, then a move to another folder.
    fsys.MoveFile(dir / "Back/OFirm3.zip", dir / "Back/Older.zip");
    EXPECT_EQ(ReadFile(dir / "Back/Older.zip"), "old");
    EXPECT_FALSE(fs::exists(dir / "Back/OFirm3.zip"));
    fsys.MoveFile(dir / "Back/Older.zip", dir / "Older.zip");
    EXPECT_EQ(ReadFile(dir / "Older.zip"), "old");

    ExpectFailure(
        [&] { fsys.MoveFile(dir / "Older.zip", dir / "Back/Firm3.zip"); },
        {"MoveFile", "\"" + (dir / "Older.zip") + "\" to \"" + (dir / "Back/Firm3.zip") + "\"",
         "File exists"});
    EXPECT_EQ(ReadFile(dir / "Older.zip"), "old");
    EXPECT_EQ(ReadFile(dir / "Back/Firm3.zip"), "new");

    fsys.MoveFolder(dir / "Firm3/Yr1", dir / "Firm3/Yr7");
    EXPECT_EQ(ReadFile(dir / "Firm3/Yr7/a"), "year");
    fsys.MoveFolder(dir / "Firm3", dir / "Back/Firm9");
    EXPECT_EQ(ReadFile(dir / "Back/Firm9/Yr7/a"), "year");

    // A plain rename would replace an empty folder; a move must not.
    ExpectFailure([&] { fsys.MoveFolder(dir / "Back/Firm9", dir / "Empty"); },
                  {"MoveFolder", dir / "Back/Firm9", dir / "Empty", "File exists"});
    EXPECT_EQ(ReadFile(dir / "Back/Firm9/Yr7/a"), "year");
    EXPECT_TRUE(fs::is_empty(dir / "Empty"));
    ExpectFailure([&] { fsys.MoveFile(dir / "Older.zip", dir / "Empty"); }, {"File exists"});
}

TEST(FileSystem, ListingsGiveDirectChildrenSortedByName) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path d = dir.Path() / "Firm3";
    for (const char* name : {"b.txt", "A.txt", "a.txt", ".hidden"}) {
        WriteFile(d / name, "x");
    }
    WriteFile(d / "yr2/deep.txt", "x");
    fs::create_directories(d / "Yr10/inner");
    fs::create_directory(d / "D");
    fs::create_directory_symlink(d / "D", d / "linkdir");
    fs::create_symlink(d / "a.txt", d / "linkfile");
    fs::create_symlink(d / "gone", d / "dangling");

    const auto files = fsys.Files(d.string());
    EXPECT_EQ(Names(files),
              (std::vector<std::string>{".hidden", "A.txt", "a.txt", "b.txt", "linkfile"}));
    EXPECT_EQ(Names(fsys.SubFolders(d.string())),
              (std::vector<std::string>{"D", "Yr10", "linkdir", "yr2"}));
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(files[1].path, (d / "A.txt").string());
    // The folder is joined as it stands: a trailing separator doubles.
    EXPECT_EQ(fsys.SubFolders(d.string() + "/")[0].path, d.string() + "//D");
    EXPECT_TRUE(fsys.Files((d / "D").string()).empty());
}

TEST(FileSystem, DirNamesPlainFilesAndFoldersOnlyWhenAsked) {
    TempDir dir;
    LocalFileSystem fsys;
    WriteFile(dir / "Firm12Yr3.zip", "x");
    WriteFile(dir / ".settings", "x");
    fs::create_directory(dir / "VornBack");
    fs::create_directory(dir / ".cache");

    EXPECT_EQ(fsys.Dir(dir / "Firm12Yr3.zip"), "Firm12Yr3.zip");
    EXPECT_EQ(fsys.Dir(dir / "Firm12Yr3.zip", true), "Firm12Yr3.zip");
    EXPECT_EQ(fsys.Dir(dir / "Firm12Yr3.zip/", true), "");
    EXPECT_EQ(fsys.Dir(dir / ".settings"), "");
    EXPECT_EQ(fsys.Dir(dir / ".settings", true), "");
    EXPECT_EQ(fsys.Dir(dir / "VornBack"), "");
    EXPECT_EQ(fsys.Dir(dir / "VornBack", true), "VornBack");
    EXPECT_EQ(fsys.Dir(dir / "VornBack//", true), "VornBack");
    EXPECT_EQ(fsys.Dir(dir / ".cache", true), ".cache");
    EXPECT_EQ(fsys.Dir("/", true), "/");
    EXPECT_EQ(fsys.Dir("/"), "");
    EXPECT_EQ(fsys.Dir(dir / "missing", true), "");
    EXPECT_EQ(fsys.Dir(dir / "*.zip"), "");
    EXPECT_EQ(fsys.Dir("", true), "");
}

TEST(FileSystem, KillAndFileLength) {
    TempDir dir;
    LocalFileSystem fsys;
    WriteFile(dir / "Firm3.zip", std::string(12345, 'z'));
    EXPECT_EQ(fsys.FileLength(dir / "Firm3.zip"), 12345u);

    // Sparse, so cheap: the length must come through beyond 32 bits exactly.
    const uint64_t big = 5ull * 1024 * 1024 * 1024 + 7;
    fs::resize_file(dir / "Firm3.zip", big);
    EXPECT_EQ(fsys.FileLength(dir / "Firm3.zip"), big);

    MakeReadOnly(dir / "Firm3.zip");
    fsys.Kill(dir / "Firm3.zip");
    EXPECT_FALSE(fs::exists(dir / "Firm3.zip"));
}

}  // namespace
}  // namespace vornback
