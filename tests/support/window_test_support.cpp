#include "support/window_test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <utility>

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
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < 2000) {
        QTest::qWait(5);
    }
    return condition();
}

void WhenModal(std::function<void(QWidget*)> act) {
    QTimer::singleShot(0, [act = std::move(act)] {
        QWidget* modal = QApplication::activeModalWidget();
        ASSERT_NE(modal, nullptr);
        act(modal);
    });
}

ProgramValues SampleProgram(const std::string& root, int firms, int years, double scale,
                            const std::string& launchMode, int firstYear) {
    SampleOptions options;
    options.firms = firms;
    options.years = years;
    options.scale = scale;
    options.firstYear = firstYear;
    ProgramValues values;
    values.ProgramFolder = MakeSampleTree(root, options);
    values.AppFolder = values.ProgramFolder.substr(0, values.ProgramFolder.size() - 4);
    values.CurrentFirmNo = 1;
    values.CurrentYearNo = "2";
    values.LaunchMode = launchMode;
    return values;
}

}  // namespace vornback::test
