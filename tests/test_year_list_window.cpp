// The year list window through its grid, and the modal chooser the restore uses.
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
#include "restore/year_list.h"
#include "support/window_test_support.h"

namespace vornback {
namespace {

using test::Find;

// Three years handed over out of number order: the window keeps the order it is given.
const std::vector<YearListRow> kRows = {{"3", "01/04/2019", "31/03/2020"},
                                        {"1", "01/04/2020", "31/03/2021"},
                                        {"2", "01/04/2021", "31/03/2022"}};

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
    // With the grid focused the first row's first day is current.
    EXPECT_TRUE(grid->hasFocus());
    EXPECT_EQ(grid->currentIndex(), grid->model()->index(0, 0));
    EXPECT_EQ(test::UnnamedControls(window.get()), "");
    // Other keys keep their effect in the grid; nothing can be edited.
    QTest::keyClick(grid, Qt::Key_F2);
    QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
    EXPECT_EQ(grid->currentIndex().row(), 2);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->Pick().key, PickKey::None);
}

TEST_F(YearListWindowTest, EachWayOfLeavingGivesItsPick) {
    struct Case {
        std::vector<YearListRow> rows;  // an empty list has no row to pick
        int downs;
        std::function<void(QTableView*)> leave;
        PickKey key;
        size_t row;
    };
    const auto key = [](Qt::Key k, Qt::KeyboardModifiers m = {}) {
        return [k, m](QTableView* grid) { QTest::keyClick(grid, k, m); };
    };
    // mouseDClick sends only the second half of a double click.
    const auto doubleClick = [](QTableView* grid) {
        const QPoint third = grid->visualRect(grid->model()->index(2, 1)).center();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, third);
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, Qt::NoModifier, third);
    };
    // clang-format off
    const std::vector<Case> cases = {
        {kRows, 1, key(Qt::Key_Return), PickKey::Enter, 1},
        {kRows, 2, key(Qt::Key_Enter, Qt::KeypadModifier), PickKey::Enter, 2},
        {kRows, 1, key(Qt::Key_Escape), PickKey::Esc, 1},     // a pick, not a cancel
        {kRows, 0, doubleClick, PickKey::Enter, 2},
        {kRows, 1, [](QTableView*) {}, PickKey::None, 0},     // the close box
        {{}, 0, key(Qt::Key_Return), PickKey::None, 0}, {{}, 0, key(Qt::Key_Escape), PickKey::None, 0}};
    // clang-format on
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

TEST(QtYearChooserTest, PicksThroughTheModalWindow) {
    QWidget owner;
    QtYearChooser chooser(&owner);
    std::string seen;
    for (int i = 0; i < 2; ++i) {
        test::WhenModal([&seen, &owner](QWidget* modal) {
            auto* grid = Find<QTableView>(modal, "msgYear");
            seen += (modal->parentWidget() == &owner && modal->isModal() ? "owned " : "loose ") +
                    std::to_string(grid->currentIndex().row()) + " ";
            QTest::keyClick(grid, Qt::Key_Down);
            QTest::keyClick(grid, Qt::Key_Escape);
        });
        const YearPick pick = chooser.ChooseYear(kRows);
        EXPECT_EQ(pick.key, PickKey::Esc);
        EXPECT_EQ(pick.row, 1u);
    }
    EXPECT_EQ(seen, "owned 0 owned 0 ");
}

}  // namespace
}  // namespace vornback
