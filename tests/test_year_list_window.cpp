// The year list window driven through its grid on the offscreen platform: the heading and
// the hidden number column, the rows in the order given, the current cell, and each way of
// leaving it, also through the modal chooser the restore uses with the pick applied.
#include <gtest/gtest.h>

#include <QHeaderView>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTest>
#include <functional>
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
    QTableView* Open(const std::vector<YearListRow>& rows = kRows) {
        window = std::make_unique<YearListWindow>(rows);
        test::ShowActive(window.get());
        return Find<QTableView>(window.get(), "msgYear");
    }
    std::unique_ptr<YearListWindow> window;
};

TEST_F(YearListWindowTest, ShowsTheYearsInTheOrderGivenWithTheNumberColumnHidden) {
    QTableView* grid = Open();
    // The model holds the number beside the dates; the grid shows the dates only.
    const QAbstractItemModel* years =
        qobject_cast<QSortFilterProxyModel*>(grid->model())->sourceModel();
    QStringList heading;
    for (int c = 0; c < years->columnCount(); ++c) {
        heading << years->headerData(c, Qt::Horizontal).toString();
    }
    EXPECT_EQ(heading.join(QLatin1Char('|')).toStdString(), YearListWindow::kHeading);
    std::string rows;
    for (int r = 0; r < grid->model()->rowCount(); ++r) {
        rows += years->index(r, 0).data().toString().toStdString() + ":";
        for (int c = 0; c < grid->model()->columnCount(); ++c) {
            rows += " " + grid->model()->index(r, c).data().toString().toStdString();
        }
        rows += "|";
    }
    EXPECT_EQ(rows, "3: 01/04/2019 31/03/2020|1: 01/04/2020 31/03/2021|2: 01/04/2021 31/03/2022|");
    EXPECT_GE(grid->columnWidth(1),
              grid->fontMetrics().horizontalAdvance(QStringLiteral("31/03/2020")));
    // With the grid focused the first row's first day is current.
    EXPECT_TRUE(grid->hasFocus());
    EXPECT_EQ(grid->currentIndex(), grid->model()->index(0, 0));
    EXPECT_EQ(test::UnnamedControls(window.get()), "");
    // Typing changes nothing; other keys keep their effect in the grid.
    QTest::keyClicks(grid, QStringLiteral("9"));
    QTest::keyClick(grid, Qt::Key_F2);
    EXPECT_EQ(grid->model()->index(0, 0).data(), QStringLiteral("01/04/2019"));
    QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(grid->currentIndex().row(), 2);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->Pick().key, PickKey::None);
}

TEST_F(YearListWindowTest, EachWayOfLeavingGivesItsPick) {
    struct Case {
        std::vector<YearListRow> rows;
        int downs;
        std::function<void(QTableView*)> leave;
        PickKey key;
        size_t row;
    };
    const auto key = [](Qt::Key k, Qt::KeyboardModifiers m = {}) {
        return [k, m](QTableView* grid) { QTest::keyClick(grid, k, m); };
    };
    // A real double click is a first click and then a second press; mouseDClick sends only
    // the second half.
    const auto doubleClick = [](QTableView* grid) {
        const QPoint third = grid->visualRect(grid->model()->index(2, 1)).center();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, third);
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, third);
    };
    const std::vector<Case> cases = {
        {kRows, 1, key(Qt::Key_Return), PickKey::Enter, 1},
        {kRows, 2, key(Qt::Key_Enter, Qt::KeypadModifier), PickKey::Enter, 2},
        {kRows, 1, key(Qt::Key_Escape), PickKey::Esc, 1},  // a pick, not a cancel
        {kRows, 0, doubleClick, PickKey::Enter, 2},
        {kRows, 1, [](QTableView*) {}, PickKey::None, 0},  // the close box
        {{}, 0, key(Qt::Key_Return), PickKey::None, 0},    // an empty list has no row
        {{}, 0, key(Qt::Key_Escape), PickKey::None, 0}};
    for (const Case& c : cases) {
        QTableView* grid = Open(c.rows);
        for (int i = 0; i < c.downs; ++i) {
            QTest::keyClick(grid, Qt::Key_Down);
        }
        c.leave(grid);
        window->close();
        EXPECT_EQ(window->Pick().key, c.key) << c.downs;
        EXPECT_EQ(window->Pick().row, c.row) << c.downs;
        EXPECT_EQ(window->result(), c.key == PickKey::None ? QDialog::Rejected : QDialog::Accepted);
    }
}

// The chooser the restore uses: modal over its owner, a fresh window with the first row
// current each time, answered from a timer once it is up.
TEST(QtYearChooserTest, PicksThroughTheModalWindowAndAppliesToTheRestoreState) {
    QWidget owner;
    QtYearChooser chooser(&owner);
    RestoreState state;
    state.TargetYearNo = "7";
    std::string seen;  // per list: its owner and the row it opened on
    const auto answer = [&seen, &owner](std::vector<Qt::Key> keys) {
        test::WhenModal([&seen, &owner, keys](QWidget* modal) {
            auto* grid = Find<QTableView>(modal, "msgYear");
            seen += (modal->parentWidget() == &owner && modal->isModal() ? "owned " : "loose ") +
                    std::to_string(grid->currentIndex().row()) + " ";
            for (Qt::Key key : keys) {
                QTest::keyClick(grid, key);
            }
            modal->close();
        });
    };
    answer({});  // the close box: nothing written
    ApplyYearPick(state, kRows, chooser.ChooseYear(kRows));
    EXPECT_EQ(state.PickedYearNo + "|" + state.TargetYearNo, "|7");
    answer({Qt::Key_Down, Qt::Key_Return});  // Enter: the pick, the target stays
    ApplyYearPick(state, kRows, chooser.ChooseYear(kRows));
    EXPECT_EQ(state.PickedYearNo + "|" + state.TargetYearNo, "1|7");
    EXPECT_EQ(state.labels.LblFinYr.caption, "From Date 01/04/2020 To 31/03/2021");
    answer({Qt::Key_Down, Qt::Key_Down, Qt::Key_Escape});  // Esc: the target follows
    ApplyYearPick(state, kRows, chooser.ChooseYear(kRows));
    EXPECT_EQ(state.PickedYearNo + "|" + state.TargetYearNo + "|" + state.TargetYearTo,
              "2|2|31/03/2022");
    EXPECT_EQ(seen, "owned 0 owned 0 owned 0 ");
}

}  // namespace
}  // namespace vornback
