// The fixture of the backup run's tests: a sample tree, a backup folder, the run's
// doubles and the helpers that tell generations apart.
#pragma once

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <iostream>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"
#include "backup/backup_run.h"
#include "base/clock.h"
#include "base/errors.h"
#include "base/temp_names.h"
#include "base/warnings.h"
#include "history/history.h"
#include "mail/mail.h"
#include "platform/file_system.h"
#include "platform/run_lock.h"
#include "recovery/recovery.h"
#include "retention/prune.h"
#include "sample/sample_tree.h"
#include "startup/settings.h"
#include "store/registers.h"
#include "support/crash_points.h"
#include "support/run_doubles.h"
#include "support/temp_dir.h"
#include "support/test_data.h"
#include "support/tree_compare.h"

namespace vornback {
namespace {

using test::FixedClock;

namespace fs = std::filesystem;
using test::FileEntries;
using test::Names;
using test::ReadFile;
using test::WriteFile;
using Strings = std::vector<std::string>;

constexpr const char* kCompleted = "Back up Completed. Do You Want To Exit?";
constexpr const char* kPermission = "Problem with folder permission, Please try again later";

struct FakeView : BackupView {
    explicit FakeView(test::EventLog& l) : log(l) {}
    void BusyOn() override { log.events.push_back("BusyOn"); }
    void BusyOff() override { log.events.push_back("BusyOff"); }
    void FocusBrowseButton() override { log.events.push_back("Focus"); }
    void ShowProgress(const ArchiveProgress& progress) override {
        if (onProgress) {
            onProgress(progress);
        }
    }
    void KeepAlive() override {}
    test::EventLog& log;
    std::function<void(const ArchiveProgress&)> onProgress;
};

struct FakeMail : MailTransport {
    SendResult Send(const MailToSend& mail) override {
        sent.push_back(mail);
        attached.push_back(mail.attachmentPath.empty() ? "" : ReadFile(mail.attachmentPath));
        return SendResult{succeed, succeed ? "" : "535 authentication failed"};
    }
    bool succeed = true;
    std::vector<MailToSend> sent;
    Strings attached;  // the attachments' bytes, as read while sent
};

class BackupRunTest : public ::testing::Test {
  protected:
    BackupRunTest() { fs::create_directory(backups_); }

    BackupChoices Others(const std::string& folder, bool currentYear = false) const {
        BackupChoices c;
        c.folder = FolderChoice::Other;
        c.backupPath = folder;
        c.currentYearOnly = currentYear;
        return c;
    }

    RunEnd Run(const BackupChoices& choices, Answer completion = Answer::Yes) {
        dialogs_.answers.push_back(completion);
        return RunBackup(ctx_, choices, backupSourceFolder_);
    }

    std::string Settings() const { return program_ + "/settings.ini"; }

    // The files below a folder that keep() accepts, relative and "/" separated.
    static std::set<std::string> FilesBelow(const std::string& folder,
                                            const std::function<bool(const std::string&)>& keep) {
        std::set<std::string> names;
        std::ranges::copy_if(
            test::AllPaths(folder), std::inserter(names, names.end()),
            [&](const std::string& rel) { return !rel.ends_with("/") && keep(rel); });
        return names;
    }

    test::TempDir tmp_;
    std::string root_ = tmp_ / "data", program_ = MakeSampleTree(root_, SampleOptions{});
    ProgramValues values_{2, "2", "B", program_, root_};
    std::string firm_ = root_ + "/Firm2", backups_ = tmp_ / "backups";
    test::EventLog log_;
    FakeView view_{log_};
    test::LoggingDialogs dialogs_{log_};
    LocalFileSystem fs_;
    FixedClock clock_;
    FakeMail mail_;
    BackupContext ctx_{values_, fs_, dialogs_, clock_, mail_, view_, "."};
    std::string backupSourceFolder_;
};

class BackupSafetyTest : public BackupRunTest {
  protected:
    // An archive whose only file is the marker, so that a generation can be told by name.
    void Generation(const std::string& path, const std::string& marker) {
        WriteFile(tmp_ / ("gen-" + marker) + "/" + marker, marker);
        PackFolder(tmp_ / ("gen-" + marker), path);
    }

    // What the next start and the next run of the firm do before anything else.
    Strings NextStart() {
        Strings lines = RecoverAtStartup(values_, fs_);
        const RunLock lock =
            RunLock::Take(DestinationLockFile(backups_, 2), "firm 2", TheSystemClock());
        for (const std::string& line : RecoverDestination(fs_, backups_, 2)) {
            lines.push_back(line);
        }
        return lines;
    }

    // The marker of the generation at path ("" when there is none), checked whole (with
    // the passphrase of an encrypted one).
    std::string MarkerOf(const std::string& path, const std::string& passphrase = "") {
        if (!fs::exists(path)) {
            return "";
        }
        UnpackOptions check;
        check.passphrase = passphrase;
        EXPECT_NO_THROW(VerifyArchive(path, check)) << path;
        const auto e = FileEntries(path);
        return e.count("A") ? "A" : e.count("B") ? "B" : e.count("New.txt") ? "new" : "?";
    }
};

}  // namespace
}  // namespace vornback
