#include "support/window_test_support.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleInterface>
#include <QApplication>
#include <QComboBox>
#include <QProgressBar>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <utility>

#include "history/history.h"
#include "sample/sample_tree.h"

namespace vornback::test {

void ShowActive(QWidget* window) {
    window->show();
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window));
}

void Click(QWidget* w) {
    QTest::mouseClick(w, Qt::LeftButton);
}

std::string Focused() {
    QWidget* w = QApplication::focusWidget();
    return w ? w->objectName().toStdString() : std::string("(none)");
}

bool WaitFor(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 2000);
}

void WhenModal(std::function<void(QWidget*)> act) {
    QTimer::singleShot(0, [act = std::move(act)] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        act(modal);
    });
}

namespace {

bool Interactive(const QWidget* w) {
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w) ||
           qobject_cast<const QComboBox*>(w) || qobject_cast<const QAbstractItemView*>(w) ||
           qobject_cast<const QProgressBar*>(w);
}

}  // namespace

std::string UnnamedControls(QWidget* window) {
    std::string missing;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        bool inner = false;  // a part of a control (a list's popup, a grid's header)
        for (QWidget* up = w->parentWidget(); up != nullptr && up != window;
             up = up->parentWidget()) {
            inner = inner || Interactive(up);
        }
        if (!Interactive(w) || inner) {
            continue;
        }
        QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(w);
        const std::string name = w->objectName().toStdString() + ": ";
        const QString spoken = reader->text(QAccessible::Name);
        if (spoken.isEmpty() || spoken == QStringLiteral("...")) {
            missing += name + "no name\n";
        }
        if (reader->text(QAccessible::Description).isEmpty()) {
            missing += name + "no description\n";
        }
        if (auto* table = qobject_cast<QTableView*>(w); table && reader->tableInterface()) {
            int shown = 0;
            for (int c = 0; c < table->model()->columnCount(); ++c) {
                shown += table->isColumnHidden(c) ? 0 : 1;
            }
            if (reader->tableInterface()->columnCount() != shown) {
                missing += name + "hidden columns told\n";
            }
        }
    }
    return missing;
}

std::string LastRun(const ProgramValues& values) {
    const std::vector<HistoryRecord> runs = ReadHistory(HistoryFile(values));
    return runs.empty() ? "none" : runs.back().kind + " " + ResultWord(runs.back().result);
}

ProgramValues SampleProgram(const std::string& root, int firms, int years, double scale,
                            const std::string& launchMode) {
    const std::string program =
        MakeSampleTree(root, {.firms = firms, .years = years, .scale = scale, .programFiles = {}});
    return ProgramValues{1, "2", launchMode, program, program.substr(0, program.size() - 4)};
}

}  // namespace vornback::test
