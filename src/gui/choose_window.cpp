#include "gui/choose_window.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "base/clock.h"
#include "base/dialogs.h"
#include "base/errors.h"
#include "startup/firm_list.h"
#include "startup/workplace.h"

namespace vornback {
namespace {

constexpr int kNumberRole = Qt::UserRole;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

void Speak(QWidget* control, const char* name, const char* description) {
    control->setAccessibleName(QString::fromUtf8(name));
    control->setAccessibleDescription(QString::fromUtf8(description));
}

QLabel* Caption(const char* text, QWidget* buddy, QWidget* parent) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setBuddy(buddy);
    return label;
}

bool IsEnter(const QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const auto* key = static_cast<const QKeyEvent*>(event);
    return key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
}

}  // namespace

ChooseWindow::ChooseWindow(const std::string& dataTree, Dialogs& dialogs, Clock& clock,
                           QWidget* parent)
    : QDialog(parent), dialogs_(dialogs), clock_(clock) {
    setObjectName(QStringLiteral("ChooseFirm"));
    setWindowTitle(QStringLiteral("Choose Firm and Year"));

    txtTree = new QLineEdit(this);
    txtTree->setObjectName(QStringLiteral("txtTree"));
    txtTree->setReadOnly(true);
    Speak(txtTree, "Data tree", "The folder of the accounting data, which holds Root.mdb");
    cmdChange = new QPushButton(QStringLiteral("C&hange..."), this);
    cmdChange->setObjectName(QStringLiteral("cmdChange"));
    Speak(cmdChange, "Change the data tree",
          "Picks another folder of accounting data; it is remembered for the next start");

    lstFirms = new QListWidget(this);
    lstFirms->setObjectName(QStringLiteral("lstFirms"));
    Speak(lstFirms, "Firms",
          "The firms of the data tree by number and name; Enter moves to its years");
    lstYears = new QListWidget(this);
    lstYears->setObjectName(QStringLiteral("lstYears"));
    Speak(lstYears, "Years",
          "The financial years of the chosen firm by first and last day; Enter opens the backup");

    lblNote = new QLabel(this);
    lblNote->setObjectName(QStringLiteral("lblNote"));
    lblNote->setWordWrap(true);
    lblNote->setTextFormat(Qt::PlainText);
    lblNote->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    lblNote->hide();

    cmdBackup = new QPushButton(QStringLiteral("&Backup"), this);
    cmdBackup->setObjectName(QStringLiteral("cmdBackup"));
    Speak(cmdBackup, "Backup", "Opens the backup window for the chosen firm and year");
    cmdRestore = new QPushButton(QStringLiteral("&Restore"), this);
    cmdRestore->setObjectName(QStringLiteral("cmdRestore"));
    Speak(cmdRestore, "Restore", "Opens the restore window for the chosen firm and year");
    cmdClose = new QPushButton(QStringLiteral("&Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    Speak(cmdClose, "Close", "Ends the program without opening a window");
    cmdBackup->setDefault(true);
    cmdRestore->setAutoDefault(false);
    cmdClose->setAutoDefault(false);
    cmdChange->setAutoDefault(false);

    auto* grid = new QGridLayout;
    grid->addWidget(Caption("&Data tree:", txtTree, this), 0, 0);
    auto* treeRow = new QHBoxLayout;
    treeRow->addWidget(txtTree, 1);
    treeRow->addWidget(cmdChange);
    grid->addLayout(treeRow, 0, 1);
    grid->addWidget(Caption("&Firms", lstFirms, this), 1, 0, Qt::AlignTop);
    grid->addWidget(lstFirms, 1, 1);
    grid->addWidget(Caption("&Years", lstYears, this), 2, 0, Qt::AlignTop);
    grid->addWidget(lstYears, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cmdBackup);
    buttons->addWidget(cmdRestore);
    buttons->addWidget(cmdClose);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(grid, 1);
    outer->addWidget(lblNote);
    outer->addLayout(buttons);

    setTabOrder(lstFirms, lstYears);
    setTabOrder(lstYears, cmdBackup);
    setTabOrder(cmdBackup, cmdRestore);
    setTabOrder(cmdRestore, cmdClose);
    setTabOrder(cmdClose, txtTree);
    setTabOrder(txtTree, cmdChange);
    lstFirms->installEventFilter(this);
    lstYears->installEventFilter(this);

    connect(lstFirms, &QListWidget::currentRowChanged, this, [this] { ShowYears(); });
    connect(lstYears, &QListWidget::itemDoubleClicked, this, [this] { Choose("B"); });
    connect(cmdChange, &QPushButton::clicked, this, [this] { ChangeTree(); });
    connect(cmdBackup, &QPushButton::clicked, this, [this] { Choose("B"); });
    connect(cmdRestore, &QPushButton::clicked, this, [this] { Choose("R"); });
    connect(cmdClose, &QPushButton::clicked, this, [this] { reject(); });

    resize(560, 420);
    ShowTree(dataTree);
    // Without a firm to choose, the way on is another data tree.
    (lstFirms->count() > 0 ? static_cast<QWidget*>(lstFirms) : cmdChange)->setFocus();
}

ChooseWindow::~ChooseWindow() = default;

std::string ChooseWindow::Note() const {
    return lblNote->isHidden() ? "" : lblNote->text().toStdString();
}

void ChooseWindow::SetNote(const std::string& text) {
    lblNote->setText(Q(text));
    lblNote->setVisible(!text.empty());
}

bool ChooseWindow::eventFilter(QObject* watched, QEvent* event) {
    // Enter on a firm moves on to its years; Enter on a year opens the backup window.
    if (IsEnter(event)) {
        if (watched == lstFirms && lstYears->count() > 0) {
            lstYears->setFocus();
            return true;
        }
        if (watched == lstYears) {
            Choose("B");
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void ChooseWindow::ShowTree(const std::string& dataTree) {
    dataTree_ = dataTree;
    txtTree->setText(Q(dataTree));
    lstFirms->clear();
    lstYears->clear();
    SetNote("");
    if (dataTree.empty()) {
        SetNote(
            "No data tree is chosen yet: choose the folder of the accounting data (the one "
            "that holds Root.mdb) with \"Change...\".");
    } else {
        try {
            dataTree_ = CheckedDataTree(dataTree);
            txtTree->setText(Q(dataTree_));
            const std::vector<FirmEntry> firms = ListFirms(dataTree_);
            for (const FirmEntry& firm : firms) {
                auto* item = new QListWidgetItem(
                    QString::number(firm.no) + QStringLiteral("  ") + Q(firm.name), lstFirms);
                item->setData(kNumberRole, firm.no);
            }
            if (firms.empty()) {
                SetNote("The firm register of \"" + dataTree + "\" holds no firm.");
            }
        } catch (const Error& e) {
            SetNote(e.what());
        }
    }
    if (lstFirms->count() > 0) {
        lstFirms->setCurrentRow(0);
    }
    ShowYears();
}

void ChooseWindow::ShowYears() {
    lstYears->clear();
    const QListWidgetItem* firm = lstFirms->currentItem();
    if (firm != nullptr) {
        const int firmNo = firm->data(kNumberRole).toInt();
        try {
            const std::vector<YearRow> years = ListYears(dataTree_, firmNo);
            for (const YearRow& year : years) {
                auto* item =
                    new QListWidgetItem(QStringLiteral("Year ") + QString::number(year.Col99) +
                                            QStringLiteral(": ") + Q(DisplayDate(year.Col98)) +
                                            QStringLiteral(" to ") + Q(DisplayDate(year.Col97)),
                                        lstYears);
                item->setData(kNumberRole, static_cast<int>(year.Col99));
            }
            if (years.empty()) {
                SetNote("The year register of firm " + std::to_string(firmNo) + " holds no year.");
            } else {
                const Today today = clock_.Now();
                lstYears->setCurrentRow(static_cast<int>(
                    CurrentYearIndex(years, Date{today.year, today.month, today.day})));
                SetNote("");
            }
        } catch (const Error& e) {
            SetNote(e.what());
        }
    }
    const bool chosen = lstYears->currentItem() != nullptr;
    cmdBackup->setEnabled(chosen);
    cmdRestore->setEnabled(chosen);
}

void ChooseWindow::ChangeTree() {
    const std::string folder = dialogs_.BrowseForFolder(dataTree_, "Data Tree");
    if (folder.empty()) {
        return;
    }
    ShowTree(folder);
    if (lstFirms->count() == 0) {
        return;  // the note says why; the configuration keeps the tree it named
    }
    try {
        SaveConfiguredDataTree(dataTree_);
    } catch (const Error& e) {
        SetNote(std::string(e.what()) + " The data tree is used this time only.");
    }
}

void ChooseWindow::Choose(const char* mode) {
    const QListWidgetItem* firm = lstFirms->currentItem();
    const QListWidgetItem* year = lstYears->currentItem();
    if (firm == nullptr || year == nullptr) {
        return;
    }
    pick_ = {dataTree_, firm->data(kNumberRole).toInt(),
             std::to_string(year->data(kNumberRole).toInt()), mode};
    accept();
}

}  // namespace vornback
