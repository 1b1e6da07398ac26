#include "gui/year_list_window.h"

#include <QAbstractItemView>
#include <QEvent>
#include <QFocusEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QStringList>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <QVBoxLayout>
#include <algorithm>

namespace vornback {
namespace {

constexpr int kVisibleRows = 8;

QTableWidgetItem* Cell(const std::string& text) {
    auto* item = new QTableWidgetItem(QString::fromStdString(text));
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

bool IsEnter(const QKeyEvent* key) {
    return key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
}

}  // namespace

YearListWindow::YearListWindow(const std::vector<YearListRow>& rows, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("SelectYear"));
    setWindowTitle(QStringLiteral("Year Selection"));

    msgYear = new QTableWidget(static_cast<int>(rows.size()), 3, this);
    msgYear->setObjectName(QStringLiteral("msgYear"));
    msgYear->setHorizontalHeaderLabels(QString::fromLatin1(kHeading).split(QLatin1Char('|')));
    msgYear->verticalHeader()->hide();
    msgYear->setEditTriggers(QAbstractItemView::NoEditTriggers);
    msgYear->setSelectionMode(QAbstractItemView::SingleSelection);
    msgYear->setSelectionBehavior(QAbstractItemView::SelectRows);
    msgYear->setTabKeyNavigation(false);
    msgYear->horizontalHeader()->setSectionsClickable(false);
    msgYear->horizontalHeader()->setStretchLastSection(false);

    for (size_t r = 0; r < rows.size(); ++r) {
        const int row = static_cast<int>(r);
        msgYear->setItem(row, 0, Cell(rows[r].no));
        msgYear->setItem(row, 1, Cell(rows[r].from));
        msgYear->setItem(row, 2, Cell(rows[r].to));
    }
    // The heading captions carry their own padding, so the date columns are as wide as
    // their headings (or their dates, should those be wider).
    msgYear->resizeColumnsToContents();
    // The number travels with the row but is never shown.
    msgYear->setColumnHidden(0, true);
    if (!rows.empty()) {
        // The number column is current until the grid has the focus (eventFilter).
        msgYear->setCurrentCell(0, 0);
    }

    const int frame = 2 * msgYear->frameWidth();
    const int width = msgYear->columnWidth(1) + msgYear->columnWidth(2) + frame +
                      msgYear->verticalScrollBar()->sizeHint().width();
    const int rowHeight = msgYear->verticalHeader()->defaultSectionSize();
    const int height =
        msgYear->horizontalHeader()->sizeHint().height() + kVisibleRows * rowHeight + frame;
    msgYear->setMinimumSize(width, height);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(msgYear);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    msgYear->installEventFilter(this);
    connect(msgYear, &QTableWidget::cellDoubleClicked, this,
            [this](int, int) { PickCurrent(PickKey::Enter); });
    msgYear->setFocus(Qt::OtherFocusReason);
}

YearListWindow::~YearListWindow() = default;

bool YearListWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == msgYear && event->type() == QEvent::FocusIn) {
        // The current cell leaves the hidden number column for the first day, so that the
        // person sees which row is current.
        if (msgYear->currentRow() >= 0 && msgYear->currentColumn() == 0) {
            msgYear->setCurrentCell(msgYear->currentRow(), 1);
        }
    } else if (watched == msgYear && event->type() == QEvent::KeyPress) {
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
    const int row = msgYear->currentRow();
    if (row >= 0 && row < msgYear->rowCount()) {
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
