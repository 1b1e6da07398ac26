// The backup run's test fixture: a sample tree with two firms of three years (firm 2,
// current year 2, is backed up), a fixed Saturday, a view that logs, a mail that records.
// Year 2 of a sample firm is unprotected, years 1 and 3 carry the year password.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "backup/backup_run.h"
#include "base/clock.h"
#include "mail/mail.h"
#include "platform/file_system.h"
#include "sample/sample_tree.h"
#include "store/registers.h"
#include "support/run_doubles.h"
#include "support/temp_dir.h"
#include "support/test_data.h"

namespace vornback::test {

inline constexpr const char* kCompleted = "Back up Completed. Do You Want To Exit?";
inline constexpr const char* kPermission = "Problem with folder permission, Please try again later";
inline constexpr const char* kSmtpProblem =
    "There is Some Problem with Your SMTP Settings, Please Check it with Your SMTP Provider";

// Saturday 14 March 2015.
class FixedClock : public Clock {
  public:
    Today Now() override { return Today{2015, 3, 14, "Saturday"}; }
};

class FakeView : public BackupView {
  public:
    explicit FakeView(EventLog& log) : log_(log) {}
    void BusyOn() override { log_.events.push_back("BusyOn"); }
    void BusyOff() override { log_.events.push_back("BusyOff"); }
    void FocusBrowseButton() override { log_.events.push_back("Focus"); }
    void ShowProgress(const ArchiveProgress& progress) override {
        ++progressCalls;
        if (onProgress) {
            onProgress(progress);
        }
    }
    void KeepAlive() override {}

    int progressCalls = 0;
    std::function<void(const ArchiveProgress&)> onProgress;

  private:
    EventLog& log_;
};

class FakeMail : public MailTransport {
  public:
    SendResult Send(const MailToSend& mail) override {
        sent.push_back(mail);
        return SendResult{succeed, succeed ? "" : "535 authentication failed"};
    }
    bool succeed = true;
    std::vector<MailToSend> sent;
};

class BackupRunTest : public ::testing::Test {
  protected:
    BackupRunTest()
        : root_(tmp_ / "data"),
          program_(MakeSampleTree(root_, SampleOptions{})),
          values_{2, "2", "B", program_, root_},
          firm_(root_ + "/Firm2"),
          backups_(tmp_ / "backups"),
          view_(log_),
          dialogs_(log_),
          ctx_{values_, fs_, dialogs_, clock_, mail_, view_, "."} {
        std::filesystem::create_directory(backups_);
    }

    BackupChoices Others(const std::string& folder) const {
        BackupChoices c;
        c.hardDiskIndex = 1;
        c.txtBackPath = folder;
        return c;
    }

    RunEnd Run(const BackupChoices& choices, Answer completion = Answer::Yes) {
        dialogs_.answers.push_back(completion);
        return RunBackup(ctx_, choices, backupSourceFolder_);
    }

    std::string Settings() const { return program_ + "/settings.ini"; }

    // The closing question as the run shows it for an archive.
    static Message Completed(const std::string& archive) {
        Message m{kCompleted, "Backup", Buttons::YesNo, Icon::None, Answer::Yes};
        m.detail = "The backup is " + archive + " (" +
                   SizeInMegabytes(std::filesystem::file_size(archive), ".") + " MB).";
        return m;
    }

    // The files below a folder, relative, "/" separated; pred leaves some out.
    static std::set<std::string> FilesBelow(const std::string& folder,
                                            const std::function<bool(const std::string&)>& keep) {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
            if (e.is_regular_file()) {
                const std::string rel =
                    std::filesystem::relative(e.path(), folder).generic_string();
                if (keep(rel)) {
                    names.insert(rel);
                }
            }
        }
        return names;
    }

    TempDir tmp_;
    std::string root_;
    std::string program_;
    ProgramValues values_;
    std::string firm_;
    std::string backups_;
    EventLog log_;
    FakeView view_;
    LoggingDialogs dialogs_;
    LocalFileSystem fs_;
    FixedClock clock_;
    FakeMail mail_;
    BackupContext ctx_;
    std::string backupSourceFolder_;
};

inline uint64_t RowCount(Database& db, const char* table) {
    return std::stoull(QueryValue(db, std::string("SELECT count(*) FROM ") + table));
}

}  // namespace vornback::test
