// The year list window ("Year Selection"): a grid of one firm's financial years, the year
// number in a hidden first column and the first and last day beside it. The grid's model
// holds all three columns; the view shows it through a proxy without the number column,
// so that neither the eye nor a screen reader meets the hidden column. Enter or a double
// click picks the current row, Esc picks it as the target year as well; the close box
// leaves without a pick. QtYearChooser shows it modally for the restore.
#pragma once

#include <QDialog>
#include <vector>

#include "restore/year_list.h"

class QStandardItemModel;
class QTableView;

namespace vornback {

class YearListWindow : public QDialog {
    Q_OBJECT

  public:
    // The heading of the grid: three captions split at "|"; the blanks of the two date
    // captions give their columns room for a date.
    static constexpr const char* kHeading = "No|From Date            | To Date            ";

    // Fills the grid with the rows in the order given; the first row is current.
    explicit YearListWindow(const std::vector<YearListRow>& rows, QWidget* parent = nullptr);
    ~YearListWindow() override;

    // The pick that closed the window; PickKey::None while none was made, after the close
    // box, and for every key of an empty list (there is no row to deliver).
    YearPick Pick() const { return pick_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void PickCurrent(PickKey key);

    QStandardItemModel* years_ = nullptr;  // "No", "From Date", "To Date"
    QTableView* msgYear = nullptr;
    YearPick pick_;
};

// The YearChooser of the program: the year list window, modal over the owner.
class QtYearChooser : public YearChooser {
  public:
    explicit QtYearChooser(QWidget* owner = nullptr) : owner_(owner) {}
    void SetOwner(QWidget* owner) { owner_ = owner; }

    YearPick ChooseYear(const std::vector<YearListRow>& rows) override;

  private:
    QWidget* owner_;
};

}  // namespace vornback
