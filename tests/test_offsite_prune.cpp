// The keep policy on the offsite folder, against a real OpenSSH server: which remote
// archives go and which stay whatever the policy, and the same through a backup run and
// the headless tool's prune and list --why.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "history/history.h"
#include "offsite/offsite_prune.h"
#include "platform/run_lock.h"
#include "startup/settings.h"
#include "support/cli_tool.h"
#include "support/run_doubles.h"
#include "support/sftp_fixture.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback {
namespace {

using namespace test;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const std::string kPassphrase = "correct horse battery staple";

// Local time "YYYY-MM-DD HH:MM" in seconds since the epoch.
int64_t At(const std::string& text) {
    std::tm t{};
    t.tm_isdst = -1;
    if (::strptime(text.c_str(), "%Y-%m-%d %H:%M", &t) == nullptr) {
        ADD_FAILURE() << "not a time: " << text;
    }
    return static_cast<int64_t>(std::mktime(&t));
}

class OffsitePrune : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = SftpTestServer::Unavailable();
        if (!why.empty()) {
            GTEST_SKIP() << why;
        }
        server_ = std::make_unique<SftpTestServer>(tmp_.Path() / "server");
        WriteFile(tmp_.Path() / "source/Firm1.mdb", RandomBytes(20000, 5));
        PackFolder((tmp_.Path() / "source").string(), archive_);
        EncryptArchiveCopy(archive_, encrypted_, kPassphrase);
    }

    // Puts a copy of a good archive (or a damaged one, or an encrypted one) on the server
    // with the given time.
    void Put(const std::string& relative, int64_t time, bool damaged = false,
             bool encrypted = false) {
        std::string bytes = ReadFile(encrypted ? encrypted_ : archive_);
        if (damaged) {
            bytes[bytes.size() / 3] ^= 0x55;
        }
        WriteFile(Remote() / relative, bytes);
        SetMTime(Remote() / relative, time);
    }

    fs::path Remote() const { return server_->Remote() / "backups"; }

    TempDir tmp_;
    std::string archive_ = tmp_ / "good.zip";
    std::string encrypted_ = tmp_ / "encrypted.zip";
    std::unique_ptr<SftpTestServer> server_;
};

TEST_F(OffsitePrune, RemoteArchivesGoOldestFirstAndTheProtectedOnesStay) {
    struct File {
        std::string path;
        std::string time;
        bool damaged = false;
        bool encrypted = false;
    };
    using SetUp = std::function<void(OffsitePruneRequest&)>;
    const SetUp asIs = [](OffsitePruneRequest&) {};
    struct Case {
        std::string what;
        std::vector<File> files;
        KeepPolicy policy;
        SetUp setUp;      // what the request sets besides the policy and firm 1
        Strings removed;  // oldest first
        Strings folders;  // the sub-folders left
    };
    // clang-format off
    const Case cases[] = {
        {"two backups on one day, daily 2",
         {{"20261101/Firm1.zip", "2026-11-01 12:00"}, {"20261102/Firm1.zip", "2026-11-02 12:00"},
          {"20261103/OFirm1.zip", "2026-11-03 10:00"}, {"20261103/Firm1.zip", "2026-11-03 12:00"}},
         {0, 2, 0, 0, 0}, asIs, {"20261101/Firm1.zip", "20261103/OFirm1.zip"},
         {"20261102", "20261103"}},
        {"a person's file keeps its folder; other firms, series and sets stay",
         {{"20261101/Firm1.zip", "2026-11-01 12:00"}, {"20261101/notes.txt", "2026-11-01 12:00"},
          {"20261102/Firm1.zip", "2026-11-02 12:00"}, {"20261102/Firm2.zip", "2026-11-01 12:00"},
          {"20261102/Firm1Yr2.zip", "2026-11-01 12:00"}, {"Monday/Firm1.zip", "2026-10-26 12:00"},
          {"old/Firm1.zip", "2026-10-20 12:00"}},
         {1, 0, 0, 0, 0}, [](OffsitePruneRequest& r) { r.set = ArchiveSet::DateWise; },
         {"20261101/Firm1.zip"}, {"20261101", "20261102", "Monday", "old"}},
        {"the newest copy is damaged: the newest good one stays too",
         {{"20261101/Firm1.zip", "2026-11-01 12:00"}, {"20261102/Firm1.zip", "2026-11-02 12:00"},
          {"20261103/Firm1.zip", "2026-11-03 12:00", true}},
         {1, 0, 0, 0, 0}, asIs, {"20261101/Firm1.zip"}, {"20261102", "20261103"}},
        {"encrypted copies are read with the archives' passphrase",
         {{"20261101/Firm1.zip", "2026-11-01 12:00", false, true},
          {"20261102/Firm1.zip", "2026-11-02 12:00", false, true},
          {"20261103/Firm1.zip", "2026-11-03 12:00", true, true}},
         {1, 0, 0, 0, 0}, [](OffsitePruneRequest& r) { r.passphrase = kPassphrase; },
         {"20261101/Firm1.zip"}, {"20261102", "20261103"}},
        {"the archive just copied counts as good unread",
         {{"20261101/Firm1.zip", "2026-11-01 12:00"}, {"20261102/Firm1.zip", "2026-11-02 12:00"},
          {"20261103/Firm1.zip", "2026-11-03 12:00", true}},
         {1, 0, 0, 0, 0}, [](OffsitePruneRequest& r) { r.knownGood = "20261103/Firm1.zip"; },
         {"20261101/Firm1.zip", "20261102/Firm1.zip"}, {"20261103"}},
        {"the only copy of a year stays",
         {{"20250601/Firm1.zip", "2025-06-01 12:00"}, {"20261102/Firm1.zip", "2026-11-02 12:00"},
          {"20261103/Firm1.zip", "2026-11-03 12:00"}},
         {1, 0, 0, 0, 0}, asIs, {"20261102/Firm1.zip"}, {"20250601", "20261103"}},
        {"a firm that another run holds keeps everything",
         {{"20261101/Firm1.zip", "2026-11-01 12:00"}, {"20261102/Firm1.zip", "2026-11-02 12:00"}},
         {1, 0, 0, 0, 0},
         [](OffsitePruneRequest& r) { r.heldByRun = [](int64_t firm) { return firm == 1; }; },
         {}, {"20261101", "20261102"}},
        {"day-wise folders are a destination of their own",
         {{"20261101/Firm1.zip", "2026-11-01 12:00"}, {"Monday/Firm1.zip", "2026-11-02 12:00"},
          {"Tuesday/Firm1.zip", "2026-11-03 12:00"}},
         {1, 0, 0, 0, 0}, [](OffsitePruneRequest& r) { r.set = ArchiveSet::DayWise; },
         {"Monday/Firm1.zip"}, {"20261101", "Tuesday"}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Remote());
        for (const File& f : c.files) {
            Put(f.path, At(f.time), f.damaged, f.encrypted);
        }
        const std::string history = tmp_ / "history.tsv";
        fs::remove(history);
        OffsitePruneRequest request;
        request.policy = c.policy;
        request.firm = 1;
        request.yearNo = "";
        request.scratch = tmp_ / "scratch.zip";
        request.historyFile = history;
        c.setUp(request);
        test::FixedClock clock;
        const PruneOutcome outcome = PruneOffsiteFolder(server_->Settings(), clock, request);
        EXPECT_EQ(outcome.removed, c.removed);
        EXPECT_TRUE(outcome.failures.empty());
        for (const File& f : c.files) {
            const bool gone =
                std::find(c.removed.begin(), c.removed.end(), f.path) != c.removed.end();
            EXPECT_EQ(fs::exists(Remote() / f.path), !gone) << f.path;
        }
        EXPECT_EQ(Names(Remote()), c.folders);
        EXPECT_FALSE(fs::exists(request.scratch));
        const std::vector<HistoryRecord> records =
            fs::exists(history) ? ReadHistory(history) : std::vector<HistoryRecord>{};
        ASSERT_EQ(records.size(), c.removed.size());
        for (size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(std::make_pair(records[i].kind, records[i].time),
                      std::make_pair(std::string("prune"), clock.seconds));
            EXPECT_EQ(records[i].archive,
                      server_->Settings().url.substr(0, server_->Settings().url.find('/', 7)) +
                          (Remote() / c.removed[i]).string());
        }
    }
}

// A date-wise backup with a keep policy prunes the offsite folder as it prunes the local
// one, and says so; prune and list --why reach the offsite folder by its address.
TEST_F(OffsitePrune, BackupPruneAndListWhyReachTheOffsiteFolder) {
    const std::string tree = tmp_ / "data";
    RunCli("make-sample " + Quote(tree) + " --firms 1 --years 2 --seed 3", 0);
    const std::string program = " --program-folder " + Quote(tree + "/Bkp");
    const OffsiteSettings s = server_->Settings();
    RunCli("offsite set" + program + " --url " + Quote(s.url) + " --host-key " +
               Quote(s.hostKeySha256) + " --identity " + Quote(s.identityFile),
           0);
    // Minutes before the backup, in other dated folders; a year ago and more, the only
    // copy of that year.
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    Put("20200101/Firm1.zip", now - 1800);
    Put("20200102/Firm1.zip", now - 1200);
    Put("20190601/Firm1.zip", now - 400 * 86400);
    const std::string local = tmp_ / "backups";
    fs::create_directories(local);
    EXPECT_EQ(RunCli("backup 1,2 --type date --keep-last 1 -q --to " + Quote(local) + program, 0),
              "vornback-cli: offsite: removed 2 older backups: 20200101/Firm1.zip, "
              "20200102/Firm1.zip\n");
    const std::string today = test::Today("%Y%m%d");
    EXPECT_EQ(Names(Remote()), (Strings{"20190601", today}));
    const std::vector<HistoryRecord> history = ReadHistory(tree + "/Bkp/history.tsv");
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0].kind + " " + history[2].kind, "prune backup");
    EXPECT_TRUE(history[0].archive.starts_with("sftp://") &&
                history[0].archive.ends_with("/20200101/Firm1.zip"))
        << history[0].archive;

    // One more remote archive: list --why and prune --dry-run explain, prune removes it,
    // and a firm that a run holds keeps it.
    Put("20200103/Firm1.zip", now - 600);
    const std::string url = Quote(s.url);
    const std::string oldYear = LocalTimeText(now - 400 * 86400).substr(0, 4);
    const std::string badKey = "--offsite-host-key SHA256:" + std::string(43, 'x');
    struct Row {
        bool holdFirm;
        int status;
        bool removed;  // 20200103/Firm1.zip gone afterwards
        std::string command, options;
        Strings lines;  // each found in the output
    } rows[] = {
        {false, 0, false, "list", "--why", {"keep policy: last 1", "20200103/", "remove\n"}},
        {false, 0, false, "list", "--why", {"newest good copy\n", "only copy of " + oldYear}},
        {false, 0, false, "prune 1", "--dry-run", {"20200103/Firm1.zip", " remove\n"}},
        {true, 0, false, "prune 1", "", {"of firm 1 are kept: ", "nothing removed"}},
        {false, 1, false, "prune 1", badKey, {"host key mismatch"}},
        {false, 0, true, "prune 1", "", {"removed 1 older backup: 20200103/Firm1.zip\n"}},
    };
    for (const Row& row : rows) {
        const std::string args = row.command + " " + url + " --keep-last 1 " + row.options;
        SCOPED_TRACE(args);
        std::optional<RunLock> lock;
        if (row.holdFirm) {
            ProgramValues values;
            values.ProgramFolder = tree + "/Bkp";
            lock.emplace(LockFirm(values, 1, TheSystemClock()));
        }
        const std::string out = RunCli(args + program, row.status);
        for (const std::string& line : row.lines) {
            EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
        }
        EXPECT_EQ(fs::exists(Remote() / "20200103/Firm1.zip"), !row.removed);
    }
    EXPECT_EQ(Names(Remote()), (Strings{"20190601", today}));
}

}  // namespace
}  // namespace vornback
