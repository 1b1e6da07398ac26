#include "sample/sample_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/errors.h"
#include "base/names.h"
#include "base/text.h"
#include "sample/sample_content.h"
#include "store/registers.h"

namespace vornback {

namespace {

using namespace sample;

// ---- Writing the tree ----

[[noreturn]] void Fail(const std::string& what, const std::string& path, int error) {
    throw Error("Sample tree: " + what + " \"" + path + "\": " + std::strerror(error));
}

void SetTime(const std::string& path, int64_t seconds) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        Fail("cannot set the time of", path, errno);
    }
}

struct Sizes {
    double scale = 1.0;
    // The counts of small files and images grow more slowly than the total and their sizes
    // make up the rest, so that scale 1 stays a few dozen files and scale 100 has the
    // benchmark's shape: about 400 images and 1,200 small files for two firms.
    size_t Count(double at100) const {
        const double n = at100 * std::pow(scale / 100.0, 0.75);
        return n < 1.0 ? 1u : static_cast<size_t>(std::lround(n));
    }
    // A file size around the mean (half to one and a half times), given at scale 100.
    size_t Bytes(Random& r, double meanAt100) const {
        const double mean = meanAt100 * std::pow(scale / 100.0, 0.25);
        return static_cast<size_t>(std::max(64.0, mean * (0.5 + r.Unit())));
    }
    // Grows in proportion to the scale (the databases and data files).
    size_t Linear(double at100) const {
        return static_cast<size_t>(std::max(16.0, at100 * scale / 100.0));
    }
};

class TreeWriter {
  public:
    TreeWriter(std::string root, const SampleOptions& options)
        : root_(std::move(root)), options_(options), sizes_{options.scale} {}

    const SampleOptions& Options() const { return options_; }
    const Sizes& Scale() const { return sizes_; }
    std::string PathOf(const std::string& relative) const { return JoinPath(root_, relative); }
    Random Stream(const std::string& relative) const { return StreamFor(options_.seed, relative); }

    void Folder(const std::string& relative, int64_t time) {
        const std::string path = PathOf(relative);
        if (::mkdir(path.c_str(), 0755) != 0) {
            Fail("cannot create the folder", path, errno);
        }
        // A folder's time changes while it fills, so it is set when the tree is complete.
        folderTimes_.emplace_back(path, time);
    }

    void File(const std::string& relative, const std::string& bytes, int64_t time,
              mode_t mode = 0644) {
        const std::string path = PathOf(relative);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            Fail("cannot create the file", path, errno);
        }
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                const int error = n < 0 ? errno : EIO;
                ::close(fd);
                Fail("cannot write the file", path, error);
            }
            done += static_cast<size_t>(n);
        }
        if (::fchmod(fd, mode) != 0 || ::close(fd) != 0) {
            Fail("cannot finish the file", path, errno);
        }
        SetTime(path, time);
    }

    void FinishFolders() {
        for (const auto& [path, time] : folderTimes_) {
            SetTime(path, time);
        }
    }

  private:
    std::string root_;
    SampleOptions options_;
    Sizes sizes_;
    std::vector<std::pair<std::string, int64_t>> folderTimes_;
};

// Runs one insert with bound values on a sample database: the numbers bind to the first
// parameters, the texts to those after them. The statement stays prepared for the next row.
void Insert(Statement& insert, const std::vector<std::string>& texts,
            const std::vector<int64_t>& numbers) {
    int index = 1;
    for (const int64_t n : numbers) {
        insert.Bind(index++, n);
    }
    for (const auto& t : texts) {
        insert.Bind(index++, t);
    }
    insert.Run();
    insert.Reset();
}

struct FirmInfo {
    int no = 0;
    std::string name;       // ColName and Col98
    std::string shortName;  // ColF, and ColShort in the root register
    int colL = 0;
    std::string city;
};

FirmInfo DescribeFirm(const TreeWriter& w, int firmNo) {
    // One offset for the whole tree keeps the first dozen firms' names apart.
    Random names = w.Stream("firm names");
    const size_t pick =
        (static_cast<size_t>(firmNo - 1) + names.Below(kFirmNames.size())) % kFirmNames.size();
    Random r = w.Stream("firm:" + std::to_string(firmNo));
    FirmInfo f;
    f.no = firmNo;
    f.name = kFirmNames[pick];
    if (firmNo > static_cast<int>(kFirmNames.size())) {
        f.name += " " + std::to_string(firmNo);
    }
    f.shortName = ToLower(f.name).substr(0, 6);
    for (auto& c : f.shortName) {
        c = c == ' ' ? '_' : static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    f.colL = r.Between(1, 3);
    f.city = r.Pick(kCities);
    return f;
}

constexpr const char* kInsertFirmRow =
    "INSERT INTO TALVERNR01 (Col99, ColL, ColActive, Col98, ColF, ColShort, ColName, ColAdd1, "
    "ColCity, ColCreated) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

void InsertFirmRow(Database& db, const FirmInfo& f, bool root, const std::string& created) {
    Statement insert(db, kInsertFirmRow);
    Insert(insert,
           {f.name, f.shortName, root ? f.shortName : std::string(), f.name,
            std::to_string(10 + f.no) + " Station Road", f.city, created},
           {f.no, f.colL, 1});
}

void MakeRootRegister(TreeWriter& w, const std::vector<FirmInfo>& firms, int64_t time) {
    const std::string path = w.PathOf(kRootDatabaseName);
    {
        Database db = Database::Create(path, kRootPassword);
        CreateRootSchema(db);
        db.Execute("BEGIN;");
        const std::string created = IsoDate(Date{w.Options().firstYear, 4, 1});
        for (const auto& f : firms) {
            InsertFirmRow(db, f, true, created);
        }
        // The host's own demonstration firm holds the reserved number; it has no folder.
        FirmInfo demo{kReservedFirmNo, "Demo Company", "DEMO", 1, "Pune"};
        InsertFirmRow(db, demo, true, created);
        db.Execute("COMMIT;");
    }
    SetTime(path, time);
}

void MakeFirmRegister(TreeWriter& w, const FirmInfo& f, const std::string& relative, int64_t time) {
    const std::string path = w.PathOf(relative);
    {
        Database db = Database::Create(path, kFirmPassword);
        CreateFirmSchema(db);
        db.Execute("BEGIN;");
        InsertFirmRow(db, f, false, IsoDate(Date{w.Options().firstYear, 4, 1}));
        for (int k = 1; k <= w.Options().years; ++k) {
            const Period p = YearPeriod(w.Options().firstYear, k);
            AddYearRow(db, YearRow{static_cast<int16_t>(k), CivilFromDays(p.firstDay),
                                   CivilFromDays(p.lastDay)});
        }
        db.Execute("COMMIT;");
    }
    SetTime(path, time);
}

// A year's own database: accounts and vouchers, with cancelled vouchers deleted and a
// dropped work table, so that compaction has free space to give back.
void MakeYearDatabase(TreeWriter& w, const std::string& relative, bool isProtected,
                      const Period& period, int64_t time) {
    Random r = w.Stream(relative);
    const std::string path = w.PathOf(relative);
    {
        Database db = Database::Create(path, isProtected ? kYearPassword : "");
        db.Execute(
            "BEGIN;"
            "CREATE TABLE Accounts (AcCode INTEGER PRIMARY KEY, AcName TEXT NOT NULL,"
            " AcGroup TEXT NOT NULL, Opening INTEGER NOT NULL DEFAULT 0);"
            "CREATE TABLE Vouchers (VchNo INTEGER PRIMARY KEY, VchDate TEXT NOT NULL,"
            " DrAc INTEGER NOT NULL, CrAc INTEGER NOT NULL, Amount INTEGER NOT NULL,"
            " Narration TEXT NOT NULL DEFAULT '');"
            "CREATE TABLE TmpRep (Line INTEGER, Body TEXT);");
        Statement accountInsert(
            db, "INSERT INTO Accounts (AcCode, Opening, AcName, AcGroup) VALUES (?, ?, ?, ?)");
        for (size_t i = 0; i < kAccounts.size(); ++i) {
            const int opening = r.Between(0, 500000);
            Insert(accountInsert, {kAccounts[i], i < 3 ? "Cash and Bank" : "General"},
                   {static_cast<int64_t>(i + 1), opening});
        }
        Statement voucherInsert(db,
                                "INSERT INTO Vouchers (VchNo, DrAc, CrAc, Amount, VchDate, "
                                "Narration) VALUES (?, ?, ?, ?, ?, ?)");
        // The plain years are the working books of a real firm: many rows, tens of MB at
        // scale 100, and as compressible as such databases are.
        const size_t vouchers = w.Scale().Linear(isProtected ? 60000 : 320000);
        for (size_t i = 1; i <= vouchers; ++i) {
            const int64_t day = DayWithin(r, period);
            const std::string narration = Narration(r);
            const int accounts = static_cast<int>(kAccounts.size());
            Insert(voucherInsert, {IsoDay(day), narration},
                   {static_cast<int64_t>(i), r.Between(1, accounts), r.Between(1, accounts),
                    r.Between(100, 25000000)});
        }
        {
            Statement workInsert(db, "INSERT INTO TmpRep (Line, Body) VALUES (?, ?)");
            for (size_t i = 0; i < vouchers / 4; ++i) {
                Insert(workInsert, {Narration(r)}, {static_cast<int64_t>(i)});
            }
        }
        db.Execute(
            "DELETE FROM Vouchers WHERE VchNo % 5 = 0;"
            "DROP TABLE TmpRep;"
            "COMMIT;");
    }
    SetTime(path, time);
}

void CopyProgramFile(TreeWriter& w, const std::string& source, const std::string& folder,
                     int64_t time) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        Fail("cannot read the program file", source, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        Fail("cannot read the program file", source, EINVAL);
    }
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Fail("cannot read the program file", source, errno);
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            Fail("cannot read the program file", source, error);
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    w.File(JoinPath(folder, NameOf(source)), bytes, time, st.st_mode & 07777);
}

// A folder of count numbered files, "<prefix><0001>.<extension>". Each file's stream is
// drawn from its own path, the time first and then the contents, so that the tree's bytes
// depend only on the seed. kind(i) gives the file's extension and a flag for make;
// make(stream, flag) gives its contents.
template <typename Kind, typename Make>
void FillFolder(TreeWriter& w, const std::string& folder, const char* prefix, size_t count,
                Random& r, const Period& whole, Kind kind, Make make) {
    w.Folder(folder, TimeWithin(r, whole));
    for (size_t i = 1; i <= count; ++i) {
        const auto [extension, flag] = kind(i);
        char name[32];
        std::snprintf(name, sizeof name, "%s%04zu.%s", prefix, i, extension);
        const std::string rel = JoinPath(folder, name);
        Random stream = w.Stream(rel);
        const int64_t time = TimeWithin(stream, whole);
        w.File(rel, make(stream, flag), time);
    }
}

void MakeFirm(TreeWriter& w, const FirmInfo& f) {
    const SampleOptions& o = w.Options();
    const std::string firm = FirmFolderName(f.no);
    Random r = w.Stream(firm);
    const Period whole{YearPeriod(o.firstYear, 1).firstDay,
                       YearPeriod(o.firstYear, std::max(1, o.years)).lastDay};

    w.Folder(firm, TimeWithin(r, whole));
    MakeFirmRegister(w, f, JoinPath(firm, FirmDatabaseName(f.no)), TimeWithin(r, whole));

    for (int k = 1; k <= o.years; ++k) {
        const std::string yr = JoinPath(firm, YearFolderName(int64_t{k}));
        const Period p = YearPeriod(o.firstYear, k);
        w.Folder(yr, TimeWithin(r, p));
        MakeYearDatabase(w, JoinPath(yr, YearDatabaseName(int64_t{k})),
                         SampleYearProtected(f.no, k), p, TimeWithin(r, p));
        const std::string data = JoinPath(yr, "Vch" + std::to_string(k) + ".dat");
        Random dr = w.Stream(data);
        w.File(data, VoucherRecords(dr, w.Scale().Linear(10.0e6), p), TimeWithin(r, p));
        // The year's exported reports: several MB each at scale 100.
        const std::string ledger = JoinPath(yr, "Ledger" + std::to_string(k) + ".txt");
        Random lr = w.Stream(ledger);
        w.File(ledger, ReportText(lr, w.Scale().Linear(6.0e6), f.name, false), TimeWithin(lr, p));
        const std::string daybook = JoinPath(yr, "Daybook" + std::to_string(k) + ".csv");
        Random br = w.Stream(daybook);
        w.File(daybook, CsvExport(br, w.Scale().Linear(4.0e6), p), TimeWithin(br, p));
        const std::string balance = JoinPath(yr, "Balance" + std::to_string(k) + ".pdf");
        Random pr = w.Stream(balance);
        w.File(balance, PdfReport(pr, w.Scale().Linear(3.0e6), f.name), TimeWithin(pr, p));
        const size_t exports = w.Scale().Count(50);
        for (size_t i = 1; i <= exports; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "Exp%03zu.csv", i);
            const std::string rel = JoinPath(yr, name);
            Random er = w.Stream(rel);
            const int64_t time = TimeWithin(er, p);
            w.File(rel, CsvExport(er, w.Scale().Bytes(er, 20000), p), time);
        }
    }

    // Printed documents and exports.
    using Kind = std::pair<const char*, bool>;
    FillFolder(
        w, JoinPath(firm, "d"), "Doc", w.Scale().Count(300), r, whole,
        [](size_t i) {
            return i % 3 == 0 ? Kind{"xml", true} : Kind{"txt", false};
        },
        [&](Random& dr, bool xml) {
            return ReportText(dr, w.Scale().Bytes(dr, 20000), f.name, xml);
        });
    // Logos and signatures for the printed forms.
    FillFolder(
        w, JoinPath(firm, "g"), "Gfx", w.Scale().Count(150), r, whole,
        [](size_t i) {
            return i % 2 == 0 ? Kind{"png", true} : Kind{"jpg", false};
        },
        [&](Random& gr, bool png) { return ImageBytes(gr, w.Scale().Bytes(gr, 12000), png); });
    // Attached documents: scans and photographs, the bulk of a firm's bytes.
    FillFolder(
        w, JoinPath(firm, "AttachDocs"), "Scan", w.Scale().Count(200), r, whole,
        [](size_t i) {
            return i % 4 == 0 ? Kind{"png", true} : Kind{"jpg", false};
        },
        [&](Random& ir, bool png) { return ImageBytes(ir, w.Scale().Bytes(ir, 700000), png); });
}

void CheckOptions(const SampleOptions& o) {
    if (o.firms < 0 || o.firms >= kReservedFirmNo) {
        throw Error("Sample tree: the number of firms must be 0 to 1000, not " +
                    std::to_string(o.firms));
    }
    if (o.years < 0 || o.years > 99) {
        throw Error("Sample tree: the number of years must be 0 to 99, not " +
                    std::to_string(o.years));
    }
    if (!(o.scale > 0.0) || o.scale > 10000.0) {
        throw Error("Sample tree: the scale must be above 0 and at most 10000");
    }
    if (o.firstYear < 1981 || o.firstYear + o.years > 2099) {
        throw Error("Sample tree: the years must lie between 1981 and 2099");
    }
    // The program files are checked before anything is made.
    std::vector<std::string> names;
    for (const auto& source : o.programFiles) {
        struct stat st {};
        if (::stat(source.c_str(), &st) != 0) {
            Fail("cannot read the program file", source, errno);
        }
        if (!S_ISREG(st.st_mode)) {
            throw Error("Sample tree: the program file \"" + source + "\" is not a file");
        }
        const std::string name = NameOf(source);
        if (std::find(names.begin(), names.end(), name) != names.end()) {
            throw Error("Sample tree: two program files are named \"" + name + "\"");
        }
        names.push_back(name);
    }
}

// The root must be an empty folder or not exist yet (then it is made, with its parents).
void PrepareRoot(const std::string& root) {
    if (root.empty()) {
        throw Error("Sample tree: no root folder given");
    }
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            Fail("cannot use the root", root, errno);
        }
        for (size_t pos = root.find('/', 1);; pos = root.find('/', pos + 1)) {
            const std::string part = root.substr(0, pos);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
                Fail("cannot create the folder", part, errno);
            }
            if (pos == std::string::npos) {
                break;
            }
        }
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        throw Error("Sample tree: the root \"" + root + "\" is not a folder");
    }
    DIR* dir = ::opendir(root.c_str());
    if (dir == nullptr) {
        Fail("cannot read the root", root, errno);
    }
    bool empty = true;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    if (!empty) {
        throw Error("Sample tree: the root \"" + root + "\" is not empty");
    }
}

}  // namespace

bool SampleYearProtected(int /*firmNo*/, int yearNo) {
    return yearNo % 2 == 1;
}

std::string MakeSampleTree(const std::string& root, const SampleOptions& options) {
    CheckOptions(options);
    PrepareRoot(root);
    TreeWriter w(root, options);
    Random r = w.Stream("");
    const Period whole{YearPeriod(options.firstYear, 1).firstDay,
                       YearPeriod(options.firstYear, std::max(1, options.years)).lastDay};

    std::vector<FirmInfo> firms;
    for (int n = 1; n <= options.firms; ++n) {
        firms.push_back(DescribeFirm(w, n));
    }
    MakeRootRegister(w, firms, TimeWithin(r, whole));
    for (const auto& f : firms) {
        MakeFirm(w, f);
    }

    // The host's resources; the busy clip is not part of a sample tree.
    w.Folder("Res", TimeWithin(r, whole));
    {
        Random rr = w.Stream("Res/Logo.png");
        const int64_t logoTime = TimeWithin(rr, whole);
        w.File("Res/Logo.png", ImageBytes(rr, 6000, true), logoTime);
        Random hr = w.Stream("Res/Help.txt");
        const int64_t helpTime = TimeWithin(hr, whole);
        w.File("Res/Help.txt", ReportText(hr, 3000, "Help", false), helpTime);
    }

    // The program folder: three characters, directly inside the data root.
    const std::string program = "Bkp";
    w.Folder(program, TimeWithin(r, whole));
    for (const auto& source : options.programFiles) {
        CopyProgramFile(w, source, program, TimeWithin(r, whole));
    }
    w.FinishFolders();
    return w.PathOf(program);
}

}  // namespace vornback
