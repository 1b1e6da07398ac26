// Archives written here open in Info-ZIP unzip and Python's zipfile with exact times, and
// archives those tools write unpack here.
#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "archive/archive.h"
#include "support/cli_tool.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "support/tree_compare.h"

namespace fs = std::filesystem;

namespace vornback {
namespace {

using namespace test;

// Runs a command that must succeed; gives its output.
std::string Succeeds(const std::string& command) {
    std::string out;
    EXPECT_EQ(RunCommand(command, &out), 0) << command << "\n" << out;
    return out;
}

// Runs a Python script with Debian's interpreter, which must succeed; gives its output.
std::string Python(const TempDir& dir, const std::string& script, const std::string& args) {
    const std::string file = dir / "script.py";
    WriteFile(file, script);
    return Succeeds("/usr/bin/python3 " + Quote(file) + " " + args);
}

void MakeTree(const fs::path& root) {
    WriteFile(root / "Firm2.mdb", std::string(300000, 'f') + "end");
    WriteFile(root / "Yr1" / "DVorn1.mdb", "year one");
    WriteFile(root / "Yr1" / "Übersicht.txt", "non-ASCII name");
    WriteFile(root / "Yr1" / "empty.txt", "");
    // Large enough to be deflated in chunks joined into one stream.
    WriteFile(root / "Yr1" / "Vch1.dat", test::CompressibleText(9 * 1024 * 1024 + 5, 3));
    fs::create_directories(root / "Yr2" / "Empty");
    int64_t t = 1500000001;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            SetMTime(entry.path(), t += 86400 + 2 * 3600 + 3);  // odd seconds throughout
        }
    }
}

TEST(ArchiveInterop, OurArchivesPassUnzipAndZipfileWithExactTimes) {
    TempDir dir;
    const fs::path source = dir.Path() / "Firm2";
    MakeTree(source);
    const std::string archive = dir / "Firm2.zip";
    PackFolder(source.string(), archive);

    const std::string tested = Succeeds("unzip -t " + Quote(archive));
    EXPECT_NE(tested.find("No errors detected"), std::string::npos) << tested;

    // Info-ZIP takes the times from the extended timestamp: exact to the second.
    const fs::path extracted = dir.Path() / "unzipped";
    Succeeds("unzip -q " + Quote(archive) + " -d " + Quote(extracted.string()));
    EXPECT_EQ(CompareTrees(source, extracted), "");

    // Python: testzip() finds nothing, a file is deflated when that shrinks it and stored
    // only when deflate would not, non-ASCII names carry the UTF-8 flag, and each entry's
    // extended timestamp holds the file's time.
    const std::string script = R"(
import os, struct, sys, zipfile, zlib
src = sys.argv[2]
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    if bad is not None:
        sys.exit('testzip: ' + bad)
    for i in z.infolist():
        if not i.is_dir():
            data = z.read(i)
            c = zlib.compressobj(6, zlib.DEFLATED, -15)
            deflated = len(c.compress(data) + c.flush())
            if i.compress_type == zipfile.ZIP_DEFLATED:
                if i.compress_size >= i.file_size:
                    sys.exit('deflated but not smaller: ' + i.filename)
            elif i.compress_type != zipfile.ZIP_STORED or deflated < len(data):
                sys.exit('stored though deflate shrinks it: ' + i.filename)
        if not i.filename.isascii() and not (i.flag_bits & 0x800):
            sys.exit('no UTF-8 flag: ' + i.filename)
        extra, t = i.extra, None
        while len(extra) >= 4:
            tag, size = struct.unpack('<HH', extra[:4])
            if tag == 0x5455 and extra[4] & 1:
                t = struct.unpack('<I', extra[5:9])[0]
            extra = extra[4 + size:]
        want = int(os.lstat(os.path.join(src, i.filename)).st_mtime)
        if t != want:
            sys.exit('time of %s: %r, want %d' % (i.filename, t, want))
    print(len(z.infolist()))
)";
    EXPECT_EQ(Python(dir, script, Quote(archive) + " " + Quote(source.string())), "8\n");
}

TEST(ArchiveInterop, InfoZipArchivesUnpackWithTheirTimes) {
    TempDir dir;
    const fs::path source = dir.Path() / "Firm2";
    MakeTree(source);
    // Run from inside the folder, as a person zipping a firm folder by hand would.
    Succeeds("cd " + Quote(source.string()) + " && zip -q -r " + Quote(dir / "infozip.zip") + " .");
    UnpackArchive(dir / "infozip.zip", dir / "out");
    EXPECT_EQ(CompareTrees(source, dir.Path() / "out"), "");
}

TEST(ArchiveInterop, PythonArchivesWithBackslashesAndZip64Unpack) {
    TempDir dir;
    const std::string script = R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:
    for name, data in (('Yr1\\DVorn1.mdb', b'year one' * 1000), ('Yr1\\Sub\\note.txt', b'note'),
                       ('Firm4.mdb', b'firm')):
        info = zipfile.ZipInfo(name, date_time=(2021, 3, 4, 5, 6, 8))
        info.compress_type = zipfile.ZIP_DEFLATED
        z.writestr(info, data)
    with z.open(zipfile.ZipInfo('big\\zip64.bin', date_time=(2020, 1, 2, 3, 4, 6)), 'w',
                force_zip64=True) as f:
        f.write(b'z' * 70000)
)";
    Python(dir, script, Quote(dir / "py.zip"));
    const fs::path dest = dir.Path() / "dest";
    UnpackArchive(dir / "py.zip", dest.string());

    EXPECT_EQ(ReadFile(dest / "Yr1" / "DVorn1.mdb").size(), 8000u);
    EXPECT_EQ(ReadFile(dest / "Yr1" / "Sub" / "note.txt"), "note");
    EXPECT_EQ(ReadFile(dest / "Firm4.mdb"), "firm");
    EXPECT_EQ(ReadFile(dest / "big" / "zip64.bin"), std::string(70000, 'z'));
    // Without an extended timestamp the DOS time counts, which is local time.
    std::tm local{};
    ::strptime("2021-03-04 05:06:08", "%Y-%m-%d %H:%M:%S", &local);
    local.tm_isdst = -1;
    EXPECT_EQ(MTime(dest / "Yr1" / "DVorn1.mdb"), static_cast<int64_t>(std::mktime(&local)));

    std::string names;
    for (const ArchiveEntry& entry : ListArchive(dir / "py.zip")) {
        names += entry.name + " ";
    }
    EXPECT_EQ(names, "Yr1/DVorn1.mdb Yr1/Sub/note.txt Firm4.mdb big/zip64.bin ");
}

}  // namespace
}  // namespace vornback
