// The year list window driven through its grid on the offscreen platform: the heading and
// the hidden number column, the rows in the order given, the current cell, and each way of
// leaving it (Enter, the keypad's Enter, Esc, a double click, the close box), also through
// the modal chooser the restore uses and with a pick applied to the restore state.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "restore/restore_state.h"
#include "yearlist/year_list.h"
#include "yearlist/year_list_window.h"

namespace vornback {
namespace {

// Three years handed over out of number order: the window keeps the order it is given.
const std::vector<YearListRow> kRows = {
    {"3", "01/04/2019", "31/03/2020"},
    {"1", "01/04/2020", "31/03/2021"},
    {"2", "01/04/2021", "31/03/2022"},
};

class YearListWindowTest : public ::testing::Test {
  protected:
    QTableWidget* Open(const std::vector<YearListRow>& rows = kRows) {
        window = std::make_unique<YearListWindow>(rows);
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        auto* grid = window->findChild<QTableWidget*>(QStringLiteral("msgYear"));
        EXPECT_NE(grid, nullptr);
        return grid;
    }

    std::unique_ptr<YearListWindow> window;
};

TEST_F(YearListWindowTest, ShowsTheYearsInTheOrderGivenWithTheNumberColumnHidden) {
    QTableWidget* grid = Open();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Year Selection"));
    ASSERT_EQ(grid->columnCount(), 3);
    EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), QStringLiteral("No"));
    EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), QStringLiteral("From Date            "));
    EXPECT_EQ(grid->horizontalHeaderItem(2)->text(), QStringLiteral(" To Date            "));
    EXPECT_EQ(grid->columnWidth(0), 0);
    EXPECT_GT(grid->columnWidth(1), 0);
    EXPECT_GT(grid->columnWidth(2), 0);
    // The dates fit their columns.
    const int dateWidth = grid->fontMetrics().horizontalAdvance(QStringLiteral("01/04/2019"));
    EXPECT_GE(grid->columnWidth(1), dateWidth);
    EXPECT_GE(grid->columnWidth(2), dateWidth);

    ASSERT_EQ(grid->rowCount(), 3);
    for (int r = 0; r < 3; ++r) {
        const YearListRow& expected = kRows[static_cast<size_t>(r)];
        EXPECT_EQ(grid->item(r, 0)->text().toStdString(), expected.no);
        EXPECT_EQ(grid->item(r, 1)->text().toStdString(), expected.from);
        EXPECT_EQ(grid->item(r, 2)->text().toStdString(), expected.to);
    }

    // The first row is current, and with the grid focused its first day is the current
    // cell, not the hidden number.
    EXPECT_TRUE(grid->hasFocus());
    EXPECT_EQ(grid->currentRow(), 0);
    EXPECT_EQ(grid->currentColumn(), 1);
    EXPECT_EQ(window->Pick().key, PickKey::None);

    // Typing in a cell changes nothing; other keys keep their effect in the grid.
    QTest::keyClicks(grid, QStringLiteral("9"));
    QTest::keyClick(grid, Qt::Key_F2);
    EXPECT_EQ(grid->item(0, 1)->text(), QStringLiteral("01/04/2019"));
    QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(grid->currentRow(), 2);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(YearListWindowTest, EachWayOfLeavingGivesItsPick) {
    // Enter on the second row.
    QTableWidget* grid = Open();
    QTest::keyClick(grid, Qt::Key_Down);
    QTest::keyClick(grid, Qt::Key_Return);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Accepted);
    EXPECT_EQ(window->Pick().key, PickKey::Enter);
    EXPECT_EQ(window->Pick().row, 1u);

    // The keypad's Enter on the last row.
    grid = Open();
    QTest::keyClick(grid, Qt::Key_Down);
    QTest::keyClick(grid, Qt::Key_Down);
    QTest::keyClick(grid, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->Pick().key, PickKey::Enter);
    EXPECT_EQ(window->Pick().row, 2u);

    // Esc is a pick of its own, not a cancel.
    grid = Open();
    QTest::keyClick(grid, Qt::Key_Down);
    QTest::keyClick(grid, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Accepted);
    EXPECT_EQ(window->Pick().key, PickKey::Esc);
    EXPECT_EQ(window->Pick().row, 1u);

    // A double click picks the row clicked, as Enter does.
    grid = Open();
    const QPoint third = grid->visualItemRect(grid->item(2, 2)).center();
    // A real double click is a first click and then a second press that the platform
    // reports as a double click; Qt Test's mouseDClick sends only the second half.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, third);
    EXPECT_TRUE(window->isVisible()) << "a single click only moves the current row";
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, third);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->Pick().key, PickKey::Enter);
    EXPECT_EQ(window->Pick().row, 2u);

    // The close box leaves without a pick, wherever the current row stands.
    grid = Open();
    QTest::keyClick(grid, Qt::Key_Down);
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Rejected);
    EXPECT_EQ(window->Pick().key, PickKey::None);
}

TEST_F(YearListWindowTest, AnEmptyListOpensAndEveryKeyLeavesWithoutAPick) {
    QTableWidget* grid = Open({});
    EXPECT_EQ(grid->rowCount(), 0);
    EXPECT_EQ(grid->columnCount(), 3);
    EXPECT_EQ(grid->columnWidth(0), 0);
    QTest::keyClick(grid, Qt::Key_Return);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->Pick().key, PickKey::None);

    grid = Open({});
    QTest::keyClick(grid, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->Pick().key, PickKey::None);
}

// The chooser the restore uses: modal over its owner, answered from a timer once it is up.
class QtYearChooserTest : public ::testing::Test {
  protected:
    void WhenModal(std::function<void(YearListWindow*, QTableWidget*)> act) {
        QTimer::singleShot(0, [act] {
            auto* modal = qobject_cast<YearListWindow*>(QApplication::activeModalWidget());
            ASSERT_NE(modal, nullptr);
            auto* grid = modal->findChild<QTableWidget*>(QStringLiteral("msgYear"));
            ASSERT_NE(grid, nullptr);
            act(modal, grid);
        });
    }
};

TEST_F(QtYearChooserTest, PicksThroughTheModalWindowAndAppliesToTheRestoreState) {
    QWidget owner;
    QtYearChooser chooser(&owner);
    RestoreState state;
    state.TargetYearNo = "7";
    state.TargetYearFrom = "01/04/2001";
    state.TargetYearTo = "31/03/2002";

    // The close box: nothing is written.
    QWidget* parent = nullptr;
    WhenModal([&parent](YearListWindow* w, QTableWidget* grid) {
        parent = w->parentWidget();
        EXPECT_TRUE(w->isModal());
        QTest::keyClick(grid, Qt::Key_Down);
        w->close();
    });
    YearPick pick = chooser.ChooseYear(kRows);
    EXPECT_EQ(parent, &owner);
    EXPECT_EQ(pick.key, PickKey::None);
    ApplyYearPick(state, kRows, pick);
    EXPECT_EQ(state.PickedYearNo, "");
    EXPECT_FALSE(state.labels.LblTargetYNo.visible);
    EXPECT_EQ(state.labels.LblFinYr.caption, "XX");
    EXPECT_EQ(state.TargetYearNo, "7");

    // Enter on the second row: the picked year and its labels, the target stays.
    WhenModal([](YearListWindow*, QTableWidget* grid) {
        QTest::keyClick(grid, Qt::Key_Down);
        QTest::keyClick(grid, Qt::Key_Return);
    });
    pick = chooser.ChooseYear(kRows);
    ApplyYearPick(state, kRows, pick);
    EXPECT_EQ(state.PickedYearNo, "1");
    EXPECT_EQ(state.PickedYearFrom, "01/04/2020");
    EXPECT_EQ(state.PickedYearTo, "31/03/2021");
    EXPECT_TRUE(state.labels.LblTxtTrYr.visible);
    EXPECT_EQ(state.labels.LblTargetYNo.caption, "1");
    EXPECT_TRUE(state.labels.LblTargetYNo.visible);
    EXPECT_EQ(state.labels.LblFinYr.caption, "From Date 01/04/2020 To 31/03/2021");
    EXPECT_TRUE(state.labels.LblFinYr.visible);
    EXPECT_EQ(state.TargetYearNo, "7");
    EXPECT_EQ(state.TargetYearFrom, "01/04/2001");

    // Esc on the third row: the target follows the pick.
    WhenModal([](YearListWindow*, QTableWidget* grid) {
        QTest::keyClick(grid, Qt::Key_Down);
        QTest::keyClick(grid, Qt::Key_Down);
        QTest::keyClick(grid, Qt::Key_Escape);
    });
    pick = chooser.ChooseYear(kRows);
    ApplyYearPick(state, kRows, pick);
    EXPECT_EQ(state.PickedYearNo, "2");
    EXPECT_EQ(state.TargetYearNo, "2");
    EXPECT_EQ(state.TargetYearFrom, "01/04/2021");
    EXPECT_EQ(state.TargetYearTo, "31/03/2022");
    EXPECT_EQ(state.labels.LblFinYr.caption, "From Date 01/04/2021 To 31/03/2022");

    // A fresh window each time: the first row is current again.
    int currentRow = -1;
    WhenModal([&currentRow](YearListWindow*, QTableWidget* grid) {
        currentRow = grid->currentRow();
        QTest::keyClick(grid, Qt::Key_Return);
    });
    pick = chooser.ChooseYear(kRows);
    EXPECT_EQ(currentRow, 0);
    EXPECT_EQ(pick.row, 0u);
}

}  // namespace
}  // namespace vornback

namespace {

// The offscreen platform says for every window that it cannot pass size hints on.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith(QStringLiteral("This plugin does not support propagateSizeHints"))) {
        return;
    }
    qt_message_output(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(QuietMessages);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
