#include "gui/year_list_window.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QStringList>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

namespace vornback {
namespace {

constexpr int kVisibleRows = 8;

QStandardItem* Cell(const std::string& text) {
    auto* item = new QStandardItem(QString::fromStdString(text));
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

// The grid as shown: every row, without the number column.
class WithoutNumberColumn : public QSortFilterProxyModel {
  public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

  protected:
    bool filterAcceptsColumn(int sourceColumn, const QModelIndex&) const override {
        return sourceColumn != 0;
    }
};

bool IsEnter(const QKeyEvent* key) {
    return key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
}

}  // namespace

YearListWindow::YearListWindow(const std::vector<YearListRow>& rows, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("SelectYear"));
    setWindowTitle(QStringLiteral("Year Selection"));

    years_ = new QStandardItemModel(static_cast<int>(rows.size()), 3, this);
    years_->setHorizontalHeaderLabels(QString::fromLatin1(kHeading).split(QLatin1Char('|')));
    for (size_t r = 0; r < rows.size(); ++r) {
        const int row = static_cast<int>(r);
        years_->setItem(row, 0, Cell(rows[r].no));
        years_->setItem(row, 1, Cell(rows[r].from));
        years_->setItem(row, 2, Cell(rows[r].to));
    }
    auto* shown = new WithoutNumberColumn(this);
    shown->setSourceModel(years_);

    msgYear = new QTableView(this);
    msgYear->setObjectName(QStringLiteral("msgYear"));
    msgYear->setAccessibleName(QStringLiteral("Years"));
    msgYear->setAccessibleDescription(
        QStringLiteral("The firm's financial years by first and last day; Enter picks the "
                       "current year, Esc picks it as the target year"));
    msgYear->setModel(shown);
    msgYear->verticalHeader()->hide();
    msgYear->setEditTriggers(QAbstractItemView::NoEditTriggers);
    msgYear->setSelectionMode(QAbstractItemView::SingleSelection);
    msgYear->setSelectionBehavior(QAbstractItemView::SelectRows);
    msgYear->setTabKeyNavigation(false);
    msgYear->horizontalHeader()->setSectionsClickable(false);
    msgYear->horizontalHeader()->setStretchLastSection(false);

    // The heading captions carry their own padding, so the date columns are as wide as
    // their headings (or their dates, should those be wider).
    msgYear->resizeColumnsToContents();
    if (!rows.empty()) {
        // The first row is current, on its first day (the number is never shown).
        msgYear->setCurrentIndex(shown->index(0, 0));
    }

    const int frame = 2 * msgYear->frameWidth();
    const int width = msgYear->columnWidth(0) + msgYear->columnWidth(1) + frame +
                      msgYear->verticalScrollBar()->sizeHint().width();
    const int rowHeight = msgYear->verticalHeader()->defaultSectionSize();
    const int height =
        msgYear->horizontalHeader()->sizeHint().height() + kVisibleRows * rowHeight + frame;
    msgYear->setMinimumSize(width, height);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(msgYear);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    msgYear->installEventFilter(this);
    connect(msgYear, &QTableView::doubleClicked, this,
            [this](const QModelIndex&) { PickCurrent(PickKey::Enter); });
    msgYear->setFocus(Qt::OtherFocusReason);
}

YearListWindow::~YearListWindow() = default;

bool YearListWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == msgYear && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier) {
            if (IsEnter(key)) {
                PickCurrent(PickKey::Enter);
                return true;
            }
            if (key->key() == Qt::Key_Escape) {
                PickCurrent(PickKey::Esc);
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

void YearListWindow::keyPressEvent(QKeyEvent* event) {
    // The grid is the only control; these keys reach the window itself only when the grid
    // has lost the focus. Esc is a pick here, never a plain cancel.
    if (IsEnter(event)) {
        PickCurrent(PickKey::Enter);
        return;
    }
    if (event->key() == Qt::Key_Escape) {
        PickCurrent(PickKey::Esc);
        return;
    }
    QDialog::keyPressEvent(event);
}

void YearListWindow::PickCurrent(PickKey key) {
    const int row = msgYear->currentIndex().row();
    if (row >= 0 && row < years_->rowCount()) {
        pick_ = YearPick{key, static_cast<size_t>(row)};
    } else {
        pick_ = YearPick{};
    }
    done(pick_.key == PickKey::None ? QDialog::Rejected : QDialog::Accepted);
}

YearPick QtYearChooser::ChooseYear(const std::vector<YearListRow>& rows) {
    YearListWindow window(rows, owner_);
    window.exec();
    return window.Pick();
}

}  // namespace vornback
