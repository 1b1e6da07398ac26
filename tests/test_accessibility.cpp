// What a screen reader finds in each window, read the way one reads it: through the AT-SPI
// registry of a real session bus, from another process (support/atspi_walk.py), while the
// windows run here on a virtual display. CTest starts this program through
// support/with_atspi_session.sh, which brings up the display and the buses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <stdlib.h>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/clock.h"
#include "gui/backup_window.h"
#include "gui/choose_window.h"
#include "gui/elided_label.h"
#include "gui/qt_dialogs.h"
#include "gui/restore_window.h"
#include "gui/year_list_window.h"
#include "mail/mail.h"
#include "support/run_doubles.h"
#include "support/window_test_support.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;

struct Node {
    std::string role, name, text;
    bool showing = false;
    bool focused = false;
    std::string Said() const { return role + "|" + (name.empty() ? text : name); }
};

// The tree of this program's showing windows as the walker read it; the event loop runs
// meanwhile, since every question the walker asks is answered here.
std::vector<Node> ReadTree() {
    QProcess walker;
    walker.setProgram(qEnvironmentVariable("VORNBACK_ATSPI_PYTHON", QStringLiteral("python3")));
    walker.setArguments({QStringLiteral(VORNBACK_TEST_SOURCE_DIR "/support/atspi_walk.py"),
                         QString::number(getpid())});
    walker.start();
    const bool ended =
        QTest::qWaitFor([&walker] { return walker.state() == QProcess::NotRunning; }, 60000);
    EXPECT_TRUE(ended) << "the walker hangs";
    EXPECT_EQ(walker.exitCode(), 0) << walker.readAllStandardError().toStdString();
    const auto tree =
        nlohmann::json::parse(walker.readAllStandardOutput().toStdString(), nullptr, false);
    std::vector<Node> nodes;
    for (const auto& n : tree.is_array() ? tree : nlohmann::json::array()) {
        nodes.push_back({n["role"], n["name"], n["text"].is_string() ? n["text"] : "", n["showing"],
                         n["focused"]});
    }
    return nodes;
}

// What no window may tell a reader, as lines: a control or label without a name or text,
// a visible label whose text cannot be read, a hidden label that still speaks.
std::string Faults(const std::vector<Node>& nodes, const QWidget* window) {
    std::string faults;
    for (const Node& n : nodes) {
        const bool speaks = !n.name.empty() || !n.text.empty();
        if (n.role == "label" && !n.showing && speaks) {
            faults += "hidden label speaks: " + n.Said() + "\n";
        }
        for (const char* role :
             {"push button", "check box", "radio button", "combo box", "label", "text", "table"}) {
            if (n.showing && n.role == role && n.name.empty()) {
                faults += "no name: " + n.Said() + "\n";
            }
        }
    }
    for (const QLabel* label : window->findChildren<QLabel*>()) {
        const auto* elided = qobject_cast<const ElidedLabel*>(label);
        QString text = elided ? elided->FullText() : label->text();
        if (label->buddy() != nullptr) {  // its "&" marks the shortcut key and is not read
            text.replace(QStringLiteral("&&"), QStringLiteral("\x01")).remove(QLatin1Char('&'));
            text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
        }
        const std::string shown = text.toStdString();
        if (!label->isVisible() || shown.empty()) {
            continue;
        }
        bool read = false;
        for (const Node& n : nodes) {
            read = read || (n.showing && (n.name == shown || n.text == shown));
        }
        faults += read ? "" : "not readable: " + shown + "\n";
    }
    return faults;
}

template <typename T>
T Next(std::deque<T>& queue) {
    T next = queue.empty() ? T{} : queue.front();
    if (!queue.empty()) {
        queue.pop_front();
    }
    return next;
}

struct NoMail : MailTransport {
    SendResult Send(const MailToSend&) override { return {false, "no mail here"}; }
};
struct PlannedYears : YearChooser {
    YearPick ChooseYear(const std::vector<YearListRow>&) override { return Next(picks); }
    std::deque<YearPick> picks;
};

// Qt's own message boxes, answered with Esc as soon as they show ("Ok", or "No" for a
// question), so that the focus comes back as it does for a person; file choices are planned.
struct RealMessageBoxes : Dialogs {
    Answer Show(const Message& message) override {
        shown.push_back(message.text);
        QTimer::singleShot(50, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                QTest::keyClick(box, Qt::Key_Escape);
            }
        });
        return QtDialogs().Show(message);
    }
    std::string BrowseForFolder(const std::string&, const std::string&) override { return ""; }
    std::string OpenFile(const std::string&, const std::string&, const std::string&) override {
        return Next(files);
    }
    std::vector<std::string> shown;
    std::deque<std::string> files;
};

class AccessibilityTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QStringLiteral("xcb") ||
            qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
            GTEST_SKIP() << "needs a display and a session bus: run through "
                            "support/with_atspi_session.sh (CTest does)";
        }
        values = test::SampleProgram(dir / "data", 2, 3, 0.05, "B");
        folder = dir / "backups";
        fs::create_directories(folder);
    }
    std::unique_ptr<BackupWindow> Backup(int firm, const BackupWindowSettings& stored) {
        values.CurrentFirmNo = firm;
        auto w = std::make_unique<BackupWindow>(values, folder, files, dialogs, clock, mail, ".");
        w->FillForm("", stored);
        test::ShowActive(w.get());
        return w;
    }
    std::unique_ptr<RestoreWindow> Restore(const RestoreWindowSettings& stored) {
        values.LaunchMode = "R";
        auto w = std::make_unique<RestoreWindow>(values, folder, files, dialogs, years);
        w->FillForm("", stored);
        test::ShowActive(w.get());
        return w;
    }

    test::TempDir dir;
    ProgramValues values;
    std::string folder;
    LocalFileSystem files;
    RealMessageBoxes dialogs;
    PlannedYears years;
    test::FixedClock clock;
    NoMail mail;
};

TEST_F(AccessibilityTest, EachWindowStateSpeaksWhatItShowsAndNothingHidden) {
    const std::string archive = folder + "/Firm1.zip";
    PackFolder(FirmFolder(values, 1), archive);
    const std::string overwritten =
        "Year 1 of firm 1 (01/04/2021 to 31/03/2022) will be overwritten from the archive " +
        archive + ".";
    std::unique_ptr<QWidget> window;
    struct State {
        const char* name;
        std::function<QWidget*()> open;
        std::vector<std::string> said;       // "role|name or text", each by a showing node
        std::vector<std::string> forbidden;  // by no node, showing or hidden
        std::string focused;                 // the one node with the focus
    };
    // clang-format off
    const std::vector<State> states = {
        {"backup window, fresh", [&] { return (window = Backup(1, {})).get(); },
         {"dialog|Backup For Firm No.1", "panel|Data Backup", "radio button|Default Directory",
          "radio button|Others", "label|" + folder, "check box|Send Email",
          "check box|Advance Back Type", "push button|Backup", "push button|Close",
          "label|No backup yet"},
         {"label|Default backup folder", "label|Note", "label|Progress details"},
         "radio button|Default Directory"},
        {"backup window of a firm without a folder, after its message",
         [&] {
             window = Backup(9, {});
             test::Click(test::Find<QPushButton>(window.get(), "cmdOk"));
             return window.get();
         },
         {"label|The folder of firm 9 was not found (" + FirmFolder(values, 9) +
          "); a backup of this firm cannot be made."},
         {"label|Note"}, "push button|Backup"},
        {"backup window after a backup, its closing question answered No",
         [&] {
             window = Backup(1, {});
             test::Find<QPushButton>(window.get(), "cmdOk")->setFocus(Qt::TabFocusReason);
             QTest::keyClick(test::Find<QPushButton>(window.get(), "cmdOk"), Qt::Key_Return);
             return window.get();
         },
         {"push button|Backup", "push button|Close"}, {"label|No backup yet"},
         "push button|Backup"},
        {"restore window, fresh, on Selected Year",
         [&] { return (window = Restore({1, 1})).get(); },
         {"dialog|Restore For Firm No.1", "combo box|Restore type", "push button|Select Year",
          "label|Target Firm No.", "label|1", "label|" + folder, "push button|Restore drill"},
         {"combo box|Selected Year", "label|XX", "label|0", "label|Default restore folder"},
         "check box|Advance Back Type"},  // the folder choice is disabled for this type
        {"restore window, Add Firm after choosing an archive",
         [&] {
             window = Restore({2, 1});
             dialogs.files = {archive};
             test::Click(test::Find<QPushButton>(window.get(), "cmdSelectPath"));
             return window.get();
         },
         {"combo box|Restore type", "label|" + archive},
         {"combo box|Add Firm", "label|XX", "label|Target Firm No."},
         "push button|Restore"},  // the select button has gone; the next step has the focus
        {"restore window, Selected Year with the note of what it overwrites",
         [&] {
             window = Restore({1, 1});
             years.picks = {{PickKey::Esc, 1}, {PickKey::Enter, 0}};
             dialogs.files = {archive};
             auto* select = test::Find<QPushButton>(window.get(), "cmdSelectPath");
             test::Click(select);
             test::Click(select);
             return window.get();
         },
         {"label|" + overwritten, "label|From Date 01/04/2021 To 31/03/2022", "label|Year No.",
          "label|Source Firm No."},
         {"label|XX", "label|Note"}, ""},
        {"chooser",
         [&] {
             ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);  // it keeps the tree
             window = std::make_unique<ChooseWindow>(values.AppFolder, dialogs, clock);
             test::ShowActive(window.get());
             return window.get();
         },
         {"dialog|Choose Firm and Year", "text|Data tree", "list|Firms", "list|Years",
          "push button|Backup", "push button|Restore", "push button|Close"}, {}, ""},
        {"year list",
         [&] {
             window = std::make_unique<YearListWindow>(std::vector<YearListRow>{
                 {"7", "01/04/2021", "31/03/2022"}, {"8", "01/04/2022", "31/03/2023"}});
             test::ShowActive(window.get());
             return window.get();
         },
         {"dialog|Year Selection", "table|Years", "table cell|01/04/2022", "table cell|31/03/2023"},
         {"table cell|7", "table cell|8", "column header|No"},
         "table|Years, table cell|01/04/2021"},
    };
    // clang-format on
    for (const State& state : states) {
        SCOPED_TRACE(state.name);
        QWidget* shown = state.open();
        // No window manager runs here to give the activation back once a message box has
        // closed, as a desktop does; the window's own focus is what is checked.
        shown->activateWindow();
        ASSERT_TRUE(test::WaitFor([shown] { return shown->isActiveWindow(); }));
        const std::vector<Node> nodes = ReadTree();
        ASSERT_FALSE(nodes.empty());
        std::string said;
        std::string focused;
        for (const Node& n : nodes) {
            said += n.showing ? n.Said() + "\n" : "";
            focused += n.focused ? (focused.empty() ? "" : ", ") + n.Said() : "";
        }
        for (const std::string& expected : state.said) {
            EXPECT_NE(said.find(expected + "\n"), std::string::npos) << expected << "\n" << said;
        }
        for (const std::string& forbidden : state.forbidden) {
            for (const Node& n : nodes) {
                EXPECT_NE(n.role + "|" + n.name, forbidden);
            }
        }
        EXPECT_EQ(Faults(nodes, shown), "");
        if (!state.focused.empty()) {
            EXPECT_EQ(focused, state.focused);
        }
    }
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(dialogs.shown, (std::vector<std::string>{
                                 "The folder of firm 9 was not found (" + FirmFolder(values, 9) +
                                     "); a backup of this firm cannot be made.",
                                 "Back up Completed. Do You Want To Exit?"}));
}

}  // namespace
}  // namespace vornback
