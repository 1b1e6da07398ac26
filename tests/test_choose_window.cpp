// The chooser of data tree, firm and year on real registers of a sample tree, the window
// its pick opens, and the installed window program's data tree.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QListWidget>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "base/clock.h"
#include "gui/backup_window.h"
#include "gui/choose_window.h"
#include "gui/restore_window.h"
#include "gui/start_window.h"
#include "sample/sample_tree.h"
#include "store/registers.h"
#include "support/test_data.h"
#include "support/window_test_support.h"

namespace vornback {
namespace {

namespace fs = std::filesystem;
using namespace test;

class SetClock : public Clock {
  public:
    Today Now() override { return today; }
    int64_t Seconds() override { return 1655294400; }
    Today today{2022, 6, 15, "Wednesday"};
};

std::string Rows(const QListWidget* list) {
    std::string rows;
    for (int r = 0; r < list->count(); ++r) {
        rows += list->item(r)->text().toStdString() + "|";
    }
    return rows;
}

class ChooseWindowTest : public ::testing::Test {
  protected:
    ChooseWindowTest() {
        MakeSampleTree(tree, {.firms = 3, .years = 3, .programFiles = {}});
        ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    }
    ~ChooseWindowTest() override { ::unsetenv("XDG_CONFIG_HOME"); }

    void Open(const std::string& dataTree) {
        window = std::make_unique<ChooseWindow>(dataTree, dialogs, clock);
        test::ShowActive(window.get());
        firms = Find<QListWidget>(window.get(), "lstFirms");
        years = Find<QListWidget>(window.get(), "lstYears");
    }
    bool Enabled(const char* button) {
        return Find<QPushButton>(window.get(), button)->isEnabled();
    }

    test::TempDir dir;
    const std::string tree = dir / "data";
    test::ScriptedDialogs dialogs;
    SetClock clock;
    std::unique_ptr<ChooseWindow> window;
    QListWidget* firms = nullptr;
    QListWidget* years = nullptr;
};

TEST_F(ChooseWindowTest, ListsTheFirmsAndEachFirmsYearsFromTheRegistersWithTheCurrentYearChosen) {
    // Firm 2 gets a fourth year in its own register: the years are read per firm.
    {
        Database db = OpenFirmConnection(ProgramValues{2, "", "", "", tree});
        AddYearRow(db, YearRow{4, {2024, 4, 1}, {2025, 3, 31}});
    }
    const std::string threeYears =
        "Year 1: 01/04/2021 to 31/03/2022|Year 2: 01/04/2022 to 31/03/2023|"
        "Year 3: 01/04/2023 to 31/03/2024|";
    struct Case {
        Today today;
        int firmRow;
        std::string years;
        int current;  // the year row chosen: the one whose period holds today, else the latest
    };
    const std::vector<Case> cases = {
        {{2022, 6, 15, ""}, 0, threeYears, 1},
        {{2021, 4, 1, ""}, 0, threeYears, 0},
        {{2023, 3, 31, ""}, 2, threeYears, 1},
        {{2030, 1, 1, ""}, 0, threeYears, 2},
        {{2019, 1, 1, ""}, 0, threeYears, 2},
        {{2025, 3, 31, ""}, 1, threeYears + "Year 4: 01/04/2024 to 31/03/2025|", 3},
    };
    for (const Case& c : cases) {
        clock.today = c.today;
        Open(tree);
        EXPECT_EQ(Rows(firms),
                  "1  Silver Oak Foods|2  Sharma Traders|3  Northwind Supplies|1001  Demo "
                  "Company|");
        firms->setCurrentRow(c.firmRow);
        EXPECT_EQ(Rows(years), c.years) << c.firmRow;
        EXPECT_EQ(years->currentRow(), c.current) << c.today.year << "-" << c.today.month;
        EXPECT_EQ(window->Note(), "");
        EXPECT_TRUE(Enabled("cmdBackup") && Enabled("cmdRestore"));
    }
    // A screen reader finds a name and a description on every control; the keyboard goes
    // round the lists, the buttons and the tree in that order.
    EXPECT_EQ(test::UnnamedControls(window.get()), "");
    EXPECT_EQ(Focused(), "lstFirms");
    std::string order;
    for (int i = 0; i < 7; ++i) {
        order += Focused() + " ";
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(order, "lstFirms lstYears cmdBackup cmdRestore cmdClose txtTree cmdChange ");
    EXPECT_EQ(Focused(), "lstFirms");
}

TEST_F(ChooseWindowTest, ABadOrMissingTreeOrRegisterSaysSoAndOffersNothingToChoose) {
    fs::create_directories(dir / "plain");
    test::WriteFile(dir / "damaged/Root.mdb", "not a database at all");
    struct Case {
        std::string tree;
        int firmRow;  // -1: no firm to choose
        int firms;
        std::string note;  // what the note begins with
    };
    const std::vector<Case> cases = {
        {"", -1, 0,
         "No data tree is chosen yet: choose the folder of the accounting data (the one that "
         "holds Root.mdb) with \"Change...\"."},
        {dir / "missing", -1, 0, "The data tree \"" + dir / "missing" + "\" does not exist"},
        {dir / "plain", -1, 0,
         "The folder \"" + dir / "plain" + "\" holds no root register Root.mdb"},
        {dir / "damaged", -1, 0,
         "The firm register \"" + dir / "damaged/Root.mdb" + "\" cannot be read: "},
        // The register's own demonstration firm has no folder and so no year register.
        {tree, 3, 4, "The year register of firm 1001 cannot be read: "},
    };
    for (const Case& c : cases) {
        Open(c.tree);
        if (c.firmRow >= 0) {
            firms->setCurrentRow(c.firmRow);
        }
        EXPECT_EQ(firms->count(), c.firms) << c.tree;
        EXPECT_EQ(Focused(), c.firms == 0 ? "cmdChange" : "lstFirms") << c.tree;
        EXPECT_EQ(years->count(), 0) << c.tree;
        EXPECT_EQ(window->Note().rfind(c.note, 0), 0u) << window->Note();
        EXPECT_FALSE(Enabled("cmdBackup") || Enabled("cmdRestore")) << c.tree;
        // Neither Enter nor a mnemonic makes a choice of nothing.
        QTest::keyClick(years, Qt::Key_Return);
        QTest::keyClick(window.get(), Qt::Key_R, Qt::AltModifier);
        QTest::qWait(300);  // longer than a mnemonic's press
        EXPECT_EQ(window->Pick().mode, "") << c.tree;
        EXPECT_TRUE(window->isVisible()) << c.tree;
    }
}

TEST_F(ChooseWindowTest, KeyboardAndMouseChooseTheFirmTheYearAndTheWindow) {
    using Act = std::function<void()>;
    const auto key = [](Qt::Key k, Qt::KeyboardModifiers m = {}) {
        return [k, m] {
            QWidget* focused = QApplication::focusWidget();
            ASSERT_NE(focused, nullptr) << "a key after the window closed";
            QTest::keyClick(focused, k, m);
        };
    };
    struct Case {
        const char* name;
        std::vector<Act> acts;
        std::string pick;  // firm,year,mode; "0,," when closed without a choice
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"Enter on a firm, Enter on its year", {key(Qt::Key_Return), key(Qt::Key_Return)}, "1,2,B"},
        {"another firm and year",
         {key(Qt::Key_Down), key(Qt::Key_Enter), key(Qt::Key_Up), key(Qt::Key_Return)}, "2,1,B"},
        {"Alt+R", {key(Qt::Key_Down), key(Qt::Key_R, Qt::AltModifier)}, "2,2,R"},
        {"Alt+B", {key(Qt::Key_End), key(Qt::Key_Up), key(Qt::Key_B, Qt::AltModifier)}, "3,2,B"},
        {"Alt+Y then a year",
         {key(Qt::Key_Y, Qt::AltModifier), key(Qt::Key_Home), key(Qt::Key_Return)}, "1,1,B"},
        {"a double click on a year",
         {[this] {
             QWidget* viewport = years->viewport();
             const QPoint row = years->visualItemRect(years->item(2)).center();
             QTest::mouseClick(viewport, Qt::LeftButton, {}, row);
             QTest::mouseDClick(viewport, Qt::LeftButton, {}, row);
         }}, "1,3,B"},
        {"Restore clicked", {[this] { Click(Find<QPushButton>(window.get(), "cmdRestore")); }},
         "1,2,R"},
        {"Alt+C", {key(Qt::Key_C, Qt::AltModifier)}, "0,,"},
        {"Esc", {key(Qt::Key_Down), key(Qt::Key_Escape)}, "0,,"},
    };
    // clang-format on
    for (const Case& c : cases) {
        Open(tree);
        for (const Act& act : c.acts) {
            act();
        }
        // A mnemonic presses its button with a short animation: the pick comes after it.
        EXPECT_TRUE(test::WaitFor([&] { return !window->isVisible(); })) << c.name;
        const ChooserPick& pick = window->Pick();
        EXPECT_EQ(std::to_string(pick.firm) + "," + pick.year + "," + pick.mode, c.pick) << c.name;
        EXPECT_EQ(pick.dataTree, c.pick == "0,," ? "" : tree) << c.name;
    }
}

TEST_F(ChooseWindowTest, ChangePicksAnotherTreeAndRemembersOnlyOneThatCanBeRead) {
    const std::string config = dir / "config/vornback/vornback.conf";
    fs::create_directories(dir / "plain");
    dialogs.folders = {dir / "plain", "", tree + "/"};
    Open("");
    const auto change = [&] { Click(Find<QPushButton>(window.get(), "cmdChange")); };
    change();  // a folder that is no data tree: said, and not remembered
    EXPECT_EQ(window->Note().rfind("The folder \"" + dir / "plain" + "\" holds no root", 0), 0u)
        << window->Note();
    EXPECT_FALSE(fs::exists(config));
    change();  // cancelled: nothing changes
    EXPECT_EQ(firms->count(), 0);
    EXPECT_FALSE(fs::exists(config));
    change();
    EXPECT_EQ(firms->count(), 4);
    EXPECT_EQ(Find<QLineEdit>(window.get(), "txtTree")->text().toStdString(), tree);
    EXPECT_EQ(test::ReadFile(config), "data=" + tree + "\n");
    EXPECT_EQ(fs::status(config).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(dialogs.folderRequests.size(), 3u);
    EXPECT_EQ(dialogs.folderRequests[2].initialFolder, dir / "plain");
    EXPECT_EQ(ConfiguredDataTree(), tree);
}

// The pick opens the window the host's command line would: the backup or the restore
// window for the firm and year in the pick's data tree.
TEST_F(ChooseWindowTest, APickOpensItsWindowForItsFirmYearAndMode) {
    struct Case {
        int firmRow, yearRow;
        std::string title;  // its mnemonic (Alt+B or Alt+R) is pressed
        const char* year;
    };
    const std::vector<Case> cases = {
        {0, 1, "Backup For Firm No.1", "2"},
        {1, 2, "Restore For Firm No.2", "3"},
        {2, 0, "Backup For Firm No.3", "1"},
    };
    for (const Case& c : cases) {
        Open(tree);
        firms->setCurrentRow(c.firmRow);
        years->setCurrentRow(c.yearRow);
        const bool restore = c.title[0] == 'R';
        QTest::keyClick(window.get(), restore ? Qt::Key_R : Qt::Key_B, Qt::AltModifier);
        ASSERT_TRUE(test::WaitFor([&] { return !window->isVisible(); }));
        const Workplace place = FindWorkplace(std::nullopt, window->Pick().dataTree, "/usr/bin");
        const StartupDecision decision = DecideChosenStartup(window->Pick(), place);
        EXPECT_EQ(decision.values.ProgramFolder, tree + "/Bkp");
        EXPECT_EQ(decision.values.CurrentYearNo, c.year);
        std::string opened;
        test::WhenModal([&](QWidget* w) {
            opened = w->windowTitle().toStdString() + (qobject_cast<RestoreWindow*>(w)  ? " restore"
                                                       : qobject_cast<BackupWindow*>(w) ? " backup"
                                                                                        : " other");
            w->close();
        });
        EXPECT_EQ(RunStartWindow(decision), 0);
        EXPECT_EQ(opened, c.title + (restore ? " restore" : " backup"));
    }
}

// Installed (its folder in no data tree: a prefix beside the data tree), the window program
// works on the data tree of --data or of the user's configuration, refuses without either,
// and never writes into its own folder. No display: each start ends before a window.
TEST(InstalledWindowProgram, DataTreeFromOptionOrConfigurationAndNothingWrittenWhereInstalled) {
    test::TempDir dir;
    const std::string tree = dir / "data";
    MakeSampleTree(tree, {.firms = 1, .years = 2, .programFiles = {}});
    const std::string bin = dir / "usr/bin";
    fs::create_directories(bin);
    fs::copy_file(VORNBACK_APP_PATH, bin + "/vornback");
    fs::create_directories(dir / "plain");
    const std::string config = dir / "config/vornback/vornback.conf";
    const std::string program =
        "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME=" + dir / "home" +
        " XDG_CONFIG_HOME=" + dir / "config" + " XDG_STATE_HOME=" + dir / "state" + " " + bin +
        "/vornback ";
    const std::string noDisplay = "vornback: no display to open the window on";
    struct Case {
        std::string arguments;
        int status;
        std::string output;  // what it begins with
    };
    const std::vector<Case> cases = {
        {"1,2,B", 2,
         "vornback: no data tree: give --data DIR, or name it once with \"vornback-cli config "
         "--data DIR\" (kept in " +
             config + "); or choose it in \"vornback --choose\"\n"},
        {"--data " + dir / "plain" + " 1,2,B", 1,
         "vornback: The folder \"" + dir / "plain" + "\" holds no root register Root.mdb"},
        {"--data " + tree + " 1,2,R", 2, noDisplay},
        {"1,2,R --data=" + tree + "/", 2, noDisplay},
        {"-- --data", 2, "vornback: no data tree"},
        {"--data", 2, "vornback: --data needs a value\n"},
        {"--data " + tree + " --data=" + tree + " 1,2,B", 2, "vornback: --data is given twice\n"},
        {"--choose 1,2,B", 2, "vornback: --choose takes no command line"},
        {"--frobnicate=1 1,2,B", 2, "vornback: unknown option --frobnicate "},
        {"--choose", 2, noDisplay},
        {"", 2, noDisplay},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_EQ(test::RunCommand(program + c.arguments + " 2>&1", &output), c.status)
            << c.arguments << "\n"
            << output;
        EXPECT_EQ(output.rfind(c.output, 0), 0u) << c.arguments << "\n" << output;
    }
    test::WriteFile(config, "data=" + tree + "\n");
    std::string output;
    EXPECT_EQ(test::RunCommand(program + "1,2,B 2>&1", &output), 2);
    EXPECT_EQ(output.rfind(noDisplay, 0), 0u) << output;

    // A data tree whose program folder this user may not write to: the history and the
    // locks go to the user's state folder, and the start says so.
    std::string user;
    if (::geteuid() == 0) {
        ASSERT_EQ(test::RunCommand("chown -R 65534:65534 '" + dir.Path().string() + "'"), 0);
        user = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    fs::permissions(tree + "/Bkp", fs::perms::owner_write | fs::perms::group_write,
                    fs::perm_options::remove);
    const std::string state =
        dir / "state/vornback/" + std::regex_replace(tree, std::regex("/"), "%2F");
    output.clear();
    EXPECT_EQ(test::RunCommand(user + program + "1,2,B 2>&1", &output), 2);
    EXPECT_TRUE(
        output.starts_with("vornback: the program folder \"" + tree + "/Bkp\" is not " +
                           "writable for this user; the history and the locks are kept in \"" +
                           state + "\"\n" + noDisplay))
        << output;
    EXPECT_TRUE(fs::is_directory(state));
    // Nothing but the program itself below the installation prefix.
    EXPECT_EQ(test::AllPaths(dir / "usr"), (std::set<std::string>{"bin/", "bin/vornback"}));
}

}  // namespace
}  // namespace vornback
