// LocalFileSystem and the run lock against a real disk: results, failures and what each
// failure leaves.
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
#include "platform/run_lock.h"
#include "support/refusal.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace fs = std::filesystem;

namespace vornback {
namespace {

using namespace test;

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

// Runs the call, expects a FileSystemError that is one sentence a person can act on
// ("Could not ... . ... then try again.") and holds every piece.
void ExpectFailure(const std::function<void()>& call, const std::vector<std::string>& pieces) {
    const std::string text = ErrorText<FileSystemError>(call);
    EXPECT_TRUE(text.starts_with("Could not ") && text.ends_with(", then try again.")) << text;
    for (const std::string& piece : pieces) {
        EXPECT_TRUE(test::Mentions(text, piece));
    }
}

std::vector<std::string> Names(const std::vector<FileEntry>& entries) {
    std::vector<std::string> names;
    for (const FileEntry& entry : entries) {
        names.push_back(entry.name);
    }
    return names;
}

// Every failure says what could not be done, on which path, why and what to try, and
// makes nothing; a read-only file is deleted only when forced, and Kill never asks.
TEST(FileSystem, FailuresSayWhatWhereWhyAndWhatToTry) {
    TempDir dir;
    LocalFileSystem fsys;
    const std::string file = dir / "file", locked = dir / "locked", zip = dir / "Firm3.zip",
                      empty = dir / "Empty", back = dir / "Back", missing = dir / "missing";
    for (const std::string& name : {file, locked, zip}) {
        WriteFile(name, "x");
    }
    MakeReadOnly(locked);
    MakeReadOnly(zip);
    fs::create_directory(empty);
    fsys.CreateFolder(back);  // exactly one level
    const std::string noSuch = "No such file or directory. Check that it exists";
    const struct {
        std::function<void()> call;
        std::vector<std::string> pieces;
    } cases[] = {
        {[&] { fsys.CreateFolder(back); },
         {"create the folder \"" + back + "\": File exists. Move or rename"}},
        {[&] { fsys.CreateFolder(missing + "/F"); }, {"create the folder", missing, noSuch}},
        {[&] { fsys.DeleteFile(missing, true); }, {"delete the file", missing, noSuch}},
        {[&] { fsys.DeleteFile(locked, false); }, {"delete the file", locked, "(read-only)"}},
        {[&] { fsys.DeleteFolder(missing, false); }, {"delete the folder", missing, noSuch}},
        {[&] { fsys.DeleteFolder(file, true); }, {"delete the folder", "Not a directory"}},
        {[&] { fsys.CopyFolder(back, missing + "/d", false); }, {"copy the folder", noSuch}},
        {[&] { fsys.CopyFolder(missing, dir / "d", false); }, {"copy the folder", missing, noSuch}},
        {[&] { fsys.CopyFolder(back, back + "/Copy", true); }, {"copy the folder", "inside"}},
        {[&] { fsys.MoveFile(missing, dir / "x"); }, {"move the file", missing, noSuch}},
        {[&] { fsys.MoveFile(file, locked); },
         {"move the file \"" + file + "\" to \"" + locked + "\"", "File exists"}},
        {[&] { fsys.MoveFile(file, empty); }, {"move the file", "File exists"}},
        // A plain rename would replace an empty folder; a move must not.
        {[&] { fsys.MoveFolder(back, empty); }, {"move the folder", back, empty, "File exists"}},
        {[&] { fsys.MoveFile(empty, dir / "x"); }, {"move the file", "Is a directory"}},
        {[&] { fsys.MoveFolder(file, dir / "x"); }, {"move the folder", "Not a directory"}},
        {[&] { fsys.MoveFolder(back, back + "/inner"); }, {"Invalid argument"}},
        {[&] { fsys.Files(missing); }, {"list the files in", missing, noSuch}},
        {[&] { fsys.FileLength(missing); }, {"read the size of the file", missing, noSuch}},
        {[&] { fsys.FileLength(empty); }, {"size", empty, "Is a directory"}},
        {[&] { fsys.HardLink(missing, dir / "y"); }, {"link the file", missing, noSuch}},
        {[&] { fsys.ReplaceFile(missing, file); }, {"rename the file", missing, noSuch}},
        {[&] { fsys.ReplaceFile(empty, file); }, {"rename", "Is a directory"}},
        {[&] { fsys.SyncFolder(missing); }, {"write to the disk", missing, noSuch}},
        {[&] { RunLock::Take(missing + "/.F3.lock", "firm 3", TheSystemClock()); },
         {"lock file", missing, "No such file or directory"}},
    };
    for (const auto& c : cases) {
        ExpectFailure(c.call, c.pieces);
    }
    EXPECT_EQ(test::AllPaths(dir.Path()),
              (std::set<std::string>{"Back/", "Empty/", "Firm3.zip", "file", "locked"}));
    fsys.DeleteFile(locked, true);
    fsys.Kill(zip);
    EXPECT_EQ(test::AllPaths(dir.Path()), (std::set<std::string>{"Back/", "Empty/", "file"}));
}

// A read-only file anywhere, or a read-only folder with entries, refuses a deletion that
// is not forced before anything is removed. Links go as links: never followed, and what
// they point to does not count.
TEST(FileSystem, DeleteFolderChecksTheWholeTreeAndNeverFollowsLinks) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path tree = dir.Path() / "Firm3", outside = dir.Path() / "outside";
    WriteFile(outside / "locked.txt", "ro");
    MakeReadOnly(outside / "locked.txt");
    const auto outsideBefore = Snapshot(outside);
    for (const std::string readOnly : {"Yr1/D/z.txt", "Yr1/D", ""}) {
        SCOPED_TRACE(readOnly);
        // Files that sort before the read-only one, at every level, so a deletion that only
        // stopped on meeting it would already have removed them.
        for (const char* name : {"a.mdb", "Yr1/a.mdb", "Yr1/D/b.txt", "Yr1/D/z.txt", "Yr2/c.txt"}) {
            WriteFile(tree / name, name);
        }
        fs::create_directory(tree / "Yr0");
        MakeReadOnly(tree / "Yr0");  // empty: nothing to remove from it, so no obstacle
        fs::create_directory_symlink(outside, tree / "Yr1/to-folder");
        fs::create_symlink(outside / "locked.txt", tree / "to-locked");
        fs::create_symlink(dir.Path() / "nowhere", tree / "dangling");
        if (!readOnly.empty()) {
            MakeReadOnly(tree / readOnly);
            const auto before = Snapshot(tree);
            ExpectFailure([&] { fsys.DeleteFolder(tree.string(), false); },
                          {"delete the folder \"" + tree.string() + "\" (at \"" +
                           (tree / readOnly).string() + "\"): Permission denied"});
            EXPECT_EQ(Snapshot(tree), before);
            MakeReadOnly(tree);
        }
        fsys.DeleteFolder(tree.string(), !readOnly.empty());
        EXPECT_FALSE(fs::exists(tree));
        EXPECT_EQ(Snapshot(outside), outsideBefore);
    }
    // Named directly, a link to a folder is removed as a link.
    fs::create_directory_symlink(outside, dir.Path() / "alias");
    fsys.DeleteFolder((dir.Path() / "alias").string(), false);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.Path() / "alias")));
    EXPECT_EQ(Snapshot(outside), outsideBefore);
}

// A tree with nested and empty folders, a hidden file, a read-only file, a link and
// modification times with nanoseconds is copied faithfully; it merges into an existing
// folder and replaces what is there only with overwrite.
TEST(FileSystem, CopyFolderCopiesFaithfullyMergesAndReplacesOnlyWithOverwrite) {
    TempDir dir;
    LocalFileSystem fsys;
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
    const auto srcItems = Snapshot(src);
    // A trailing separator on either side names the same folders; no temporary file stays.
    fsys.CopyFolder(src.string() + "/", dir / "copy/", false);
    EXPECT_EQ(Snapshot(dir.Path() / "copy"), srcItems);
    EXPECT_EQ(Snapshot(src), srcItems);

    const fs::path dst = dir.Path() / "dst";
    WriteFile(dst / "extra.txt", "mine");
    WriteFile(dst / "Yr1/DVorn1.mdb", "old year");
    MakeReadOnly(dst / "Yr1/DVorn1.mdb");
    const auto dstBefore = Snapshot(dst);

    ExpectFailure([&] { fsys.CopyFolder(src.string(), dst.string(), false); },
                  {"copy the folder", src.string(), dst.string(), (dst / "Yr1/DVorn1.mdb").string(),
                   "File exists"});
    // What was there stays; entries copied before the clash stay whole, nothing half-written.
    for (const auto& [name, item] : Snapshot(dst)) {
        const auto& origin = dstBefore.count(name) ? dstBefore : srcItems;
        EXPECT_TRUE(origin.count(name) && origin.at(name) == item) << name;
    }

    fsys.CopyFolder(src.string(), dst.string(), true);
    auto expected = srcItems;
    expected["extra.txt"] = dstBefore.at("extra.txt");
    EXPECT_EQ(Snapshot(dst), expected);
}

TEST(FileSystem, MovesRenameAndTheRotationStepsReplace) {
    TempDir dir;
    LocalFileSystem fsys;
    WriteFile(dir / "Back/Firm3.zip", "new");
    WriteFile(dir / "Older.zip", "old");
    WriteFile(dir / "Firm3/Yr1/a", "year");
    fsys.MoveFile(dir / "Older.zip", dir / "Back/OFirm3.zip");
    fsys.MoveFolder(dir / "Firm3", dir / "Back/Firm9");
    EXPECT_EQ(ReadFile(dir / "Back/OFirm3.zip") + ReadFile(dir / "Back/Firm9/Yr1/a"), "oldyear");
    // The rotation's own steps: a second name, then renames that replace.
    EXPECT_TRUE(fsys.HardLink(dir / "Back/Firm3.zip", dir / "Back/.link"));
    EXPECT_TRUE(fsys.SameFile(dir / "Back/Firm3.zip", dir / "Back/.link"));
    EXPECT_FALSE(fsys.SameFile(dir / "Back/Firm3.zip", dir / "Back/OFirm3.zip"));
    EXPECT_FALSE(fsys.SameFile(dir / "Back/Firm3.zip", dir / "missing"));
    fsys.ReplaceFile(dir / "Back/.link", dir / "Back/OFirm3.zip");
    EXPECT_EQ(test::Names(dir / "Back"),
              (std::vector<std::string>{"Firm3.zip", "Firm9", "OFirm3.zip"}));
    EXPECT_EQ(ReadFile(dir / "Back/OFirm3.zip") + ReadFile(dir / "Back/Firm3.zip"), "newnew");
}

// A small file written whole: the new bytes and mode in place of the old, or, when a step
// fails, the old file as it was, a sentence naming the file and no temporary file left.
TEST(FileSystem, WriteWholeFileReplacesWholeOrLeavesTheOldFile) {
    TempDir dir;
    LocalFileSystem fsys;
    WriteFile(dir / "old.ini", "old");
    fs::create_directory(dir / "folder.ini");
    const struct {
        std::string path;
        unsigned mode;
        const char* failure;  // a part of the sentence, "" when the write works
    } cases[] = {{dir / "new.ini", 0600, ""},
                 {dir / "old.ini", 0644, ""},
                 {dir / "missing/x.ini", 0600, "(create). Check that it exists"},
                 {dir / "folder.ini", 0600, "(rename)"}};
    for (const auto& c : cases) {
        const std::set<std::string> before = test::AllPaths(dir.Path().string());
        try {
            fsys.WriteWholeFile(c.path, "new bytes", c.mode);
            EXPECT_STREQ(c.failure, "") << c.path;
            EXPECT_EQ(ReadFile(c.path), "new bytes");
            struct stat st {};
            ASSERT_EQ(::stat(c.path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, c.mode) << c.path;
        } catch (const FileSystemError& e) {
            const std::string said = e.what();
            EXPECT_TRUE(said.starts_with("Could not write the file \"" + c.path + "\": ")) << said;
            EXPECT_NE(said.find(c.failure), std::string::npos) << said;
            EXPECT_EQ(test::AllPaths(dir.Path().string()), before) << c.path;
        }
    }
    EXPECT_EQ(test::Names(dir.Path().string()),
              (std::vector<std::string>{"folder.ini", "new.ini", "old.ini"}));
}

TEST(FileSystem, LookupNoCaseTakesTheCaseFoundAndKeepsTheRestAsGiven) {
    TempDir dir;
    LocalFileSystem fsys;
    WriteFile(dir / "Firm2/YR2/dvorn2.MDB", "x");
    WriteFile(dir / "Firm2/yr3/DVorn3.mdb", "x");
    WriteFile(dir / "Firm2/Yr3/DVorn3.mdb", "x");  // the exact spelling wins
    const std::string root = dir / "";
    const struct {
        std::initializer_list<std::string> components;
        std::string found;
    } cases[] = {{{"firm2", "Yr2", "DVorn2.mdb"}, "Firm2/YR2/dvorn2.MDB"},
                 {{"Firm2", "Yr3", "DVorn3.mdb"}, "Firm2/Yr3/DVorn3.mdb"},
                 {{"Firm2", "Yr4", "DVorn4.mdb"}, "Firm2/Yr4/DVorn4.mdb"},
                 {{"FIRM2", "yr2", "Other", "yr2"}, "Firm2/YR2/Other/yr2"}};
    for (const auto& c : cases) {
        EXPECT_EQ(LookupNoCase(fsys, dir.Path().string(), c.components), root + c.found);
    }
    // The one lookup of an entry of one kind: an entry of the other kind does not count.
    WriteFile(dir / "Firm2/YR2/firm2.mdb/inner", "x");
    WriteFile(dir / "Firm2/YR2/FIRM2.MDB", "x");
    const struct {
        std::string folder, name;
        bool wantFolder;
        std::optional<std::string> found;
    } entries[] = {
        // clang-format off
        {"Firm2", "yr3", true, "Firm2/yr3"}, {"Firm2", "yr2", true, "Firm2/YR2"},
        {"Firm2", "Yr3", true, "Firm2/Yr3"}, {"Firm2", "Yr3", false, std::nullopt},
        {"Firm2/YR2", "Firm2.mdb", false, "Firm2/YR2/FIRM2.MDB"},
        {"Firm2/YR2", "Firm2.mdb", true, "Firm2/YR2/firm2.mdb"},
        {"Firm2", "Yr9", true, std::nullopt}, {"Firm9", "Yr2", true, std::nullopt},
        // clang-format on
    };
    for (const auto& e : entries) {
        const auto found = FindNoCase(fsys, root + e.folder, e.name, e.wantFolder);
        EXPECT_EQ(found, e.found ? std::optional(root + *e.found) : std::nullopt)
            << e.folder << " " << e.name;
    }
}

// One run per firm: a lock taken once is refused to every other open (another process
// alike), and a lock file whose holder ended is free again.
TEST(RunLock, RefusesASecondHolderAndFreesWithTheHolder) {
    TempDir dir;
    const std::string file = dir / ".Firm3.lock";
    {
        const RunLock held = RunLock::Take(file, "firm 3", TheSystemClock());
        EXPECT_FALSE(RunLock::TryTake(file, TheSystemClock()).has_value());
        EXPECT_THROW(RunLock::Take(file, "firm 3", TheSystemClock()),
                     RunLocked);  // its text: see the backup run
    }
    EXPECT_FALSE(fs::exists(file));
    WriteFile(file, "99999 vornback 2015-03-14T10:00:00\n");  // left by a killed run
    EXPECT_TRUE(RunLock::TryTake(file, TheSystemClock()).has_value());
}

// Listings give the direct children sorted by name; existence follows links; Dir names
// plain files, and folders only when asked.
TEST(FileSystem, ListingsExistenceAndDir) {
    TempDir dir;
    LocalFileSystem fsys;
    const fs::path d = dir.Path() / "Firm3";
    for (const char* name : {"b.zip", "A.txt", "a.txt", ".hidden", "yr2/deep.txt", "Yr10/a/b"}) {
        WriteFile(d / name, "x");
    }
    fs::create_directories(d / ".cache/D");
    fs::create_directory_symlink(d / ".cache", d / "linkdir");
    fs::create_symlink(d / "a.txt", d / "linkfile");
    fs::create_symlink(d / "gone", d / "dangling");

    const auto files = fsys.Files(d.string());
    EXPECT_EQ(Names(files),
              (std::vector<std::string>{".hidden", "A.txt", "a.txt", "b.zip", "linkfile"}));
    EXPECT_EQ(Names(fsys.SubFolders(d.string())),
              (std::vector<std::string>{".cache", "Yr10", "linkdir", "yr2"}));
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(files[1].path, (d / "A.txt").string());
    // The folder is joined as it stands: a trailing separator doubles.
    EXPECT_EQ(fsys.SubFolders(d.string() + "/")[0].path, d.string() + "//.cache");
    EXPECT_TRUE(fsys.Files((d / ".cache").string()).empty());
    EXPECT_TRUE(fsys.FileExists(d / "linkfile") && fsys.FolderExists(d / "linkdir/"));
    EXPECT_FALSE(fsys.FileExists(d / "yr2") || fsys.FolderExists(d / "a.txt"));
    EXPECT_FALSE(fsys.FileExists(d / "dangling") || fsys.FolderExists(d / "dangling"));

    const struct {
        std::string path, plain, withFolders;
    } cases[] = {// clang-format off
        {d / "b.zip", "b.zip", "b.zip"}, {d / "b.zip/", "", ""}, {d / ".hidden", "", ""},
        {d / "yr2", "", "yr2"}, {d / "yr2//", "", "yr2"}, {d / ".cache", "", ".cache"},
        {"/", "", "/"}, {d / "missing", "", ""}, {d / "*.zip", "", ""}, {"", "", ""}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(fsys.Dir(c.path), c.plain) << c.path;
        EXPECT_EQ(fsys.Dir(c.path, true), c.withFolders) << c.path;
    }
}

}  // namespace
}  // namespace vornback
