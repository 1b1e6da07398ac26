// The year list window driven through its grid on the offscreen platform: the heading and
// the hidden number column, the rows in the order given, the current cell, and each way of
// leaving it (Enter, the keypad's Enter, Esc, a double click, the close box), also through
// the modal chooser the restore uses and with a pick applied to the restore state.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QTableWidget>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "gui/year_list_window.h"
#include "restore/restore_state.h"
#include "restore/year_list.h"
#include "support/window_test_support.h"

namespace vornback {
namespace {

using test::Find;

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
        test::ShowActive(window.get());
        return Find<QTableWidget>(window.get(), "msgYear");
    }

    // Opens the list, moves down, presses key and returns the pick it left with.
    YearPick LeaveWith(int downs, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QTableWidget* grid = Open();
        for (int i = 0; i < downs; ++i) {
            QTest::keyClick(grid, Qt::Key_Down);
        }
        QTest::keyClick(grid, key, modifiers);
        EXPECT_FALSE(window->isVisible());
        EXPECT_EQ(window->result(), QDialog::Accepted);
        return window->Pick();
    }

    std::unique_ptr<YearListWindow> window;
};

TEST_F(YearListWindowTest, ShowsTheYearsInTheOrderGivenWithTheNumberColumnHidden) {
    QTableWidget* grid = Open();
    ASSERT_EQ(grid->columnCount(), 3);
    EXPECT_EQ(grid->horizontalHeaderItem(0)->text(), QStringLiteral("No"));
    EXPECT_EQ(grid->horizontalHeaderItem(1)->text(), QStringLiteral("From Date            "));
    EXPECT_EQ(grid->horizontalHeaderItem(2)->text(), QStringLiteral(" To Date            "));
    EXPECT_EQ(grid->columnWidth(0), 0);
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
    YearPick pick = LeaveWith(1, Qt::Key_Return);
    EXPECT_EQ(pick.key, PickKey::Enter);
    EXPECT_EQ(pick.row, 1u);
    pick = LeaveWith(2, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(pick.key, PickKey::Enter);
    EXPECT_EQ(pick.row, 2u);
    // Esc is a pick of its own, not a cancel.
    pick = LeaveWith(1, Qt::Key_Escape);
    EXPECT_EQ(pick.key, PickKey::Esc);
    EXPECT_EQ(pick.row, 1u);

    // A double click picks the row clicked, as Enter does. A real double click is a first
    // click and then a second press that the platform reports as a double click; Qt Test's
    // mouseDClick sends only the second half.
    QTableWidget* grid = Open();
    const QPoint third = grid->visualItemRect(grid->item(2, 2)).center();
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

    // An empty list opens, and every key leaves it without a pick.
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        grid = Open({});
        EXPECT_EQ(grid->columnWidth(0), 0);
        QTest::keyClick(grid, key);
        EXPECT_FALSE(window->isVisible());
        EXPECT_EQ(window->Pick().key, PickKey::None);
    }
}

// The chooser the restore uses: modal over its owner, a fresh window with the first row
// current each time, answered from a timer once it is up.
TEST(QtYearChooserTest, PicksThroughTheModalWindowAndAppliesToTheRestoreState) {
    QWidget owner;
    QtYearChooser chooser(&owner);
    RestoreState state;
    state.TargetYearNo = "7";

    // Keys for the grid of the modal list; the current row it opened on is kept.
    int openedOn = -1;
    const auto answer = [&openedOn](std::vector<Qt::Key> keys) {
        test::WhenModal([&openedOn, keys](QWidget* modal) {
            auto* grid = Find<QTableWidget>(modal, "msgYear");
            openedOn = grid->currentRow();
            for (Qt::Key key : keys) {
                QTest::keyClick(grid, key);
            }
        });
    };

    // The close box: no pick, nothing written.
    QWidget* parent = nullptr;
    test::WhenModal([&parent](QWidget* w) {
        parent = w->parentWidget();
        EXPECT_TRUE(qobject_cast<YearListWindow*>(w) != nullptr);
        EXPECT_TRUE(w->isModal());
        w->close();
    });
    YearPick pick = chooser.ChooseYear(kRows);
    EXPECT_EQ(parent, &owner);
    EXPECT_EQ(pick.key, PickKey::None);
    ApplyYearPick(state, kRows, pick);
    EXPECT_EQ(state.PickedYearNo, "");
    EXPECT_EQ(state.TargetYearNo, "7");

    // Enter on the second row: the picked year and its labels, the target stays.
    answer({Qt::Key_Down, Qt::Key_Return});
    ApplyYearPick(state, kRows, chooser.ChooseYear(kRows));
    EXPECT_EQ(openedOn, 0);
    EXPECT_EQ(state.PickedYearNo, "1");
    EXPECT_EQ(state.labels.LblFinYr.caption, "From Date 01/04/2020 To 31/03/2021");
    EXPECT_EQ(state.TargetYearNo, "7");

    // Esc on the third row: the target follows the pick.
    answer({Qt::Key_Down, Qt::Key_Down, Qt::Key_Escape});
    ApplyYearPick(state, kRows, chooser.ChooseYear(kRows));
    EXPECT_EQ(openedOn, 0);
    EXPECT_EQ(state.PickedYearNo, "2");
    EXPECT_EQ(state.TargetYearNo, "2");
    EXPECT_EQ(state.TargetYearTo, "31/03/2022");
}

}  // namespace
}  // namespace vornback
