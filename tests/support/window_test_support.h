// Helpers for the window tests on the offscreen platform: finding controls by object name,
// showing a window and waiting until it is active, answering the next modal widget from a
// timer, waiting for a condition, the names a screen reader gets, and the sample data tree
// with its program values that the backup and restore windows work in.
#pragma once

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QString>
#include <QTest>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "base/data_tree.h"
#include "platform/file_system.h"
#include "startup/launch.h"
#include "startup/settings.h"
#include "support/scripted_dialogs.h"
#include "support/temp_dir.h"

namespace vornback::test {

// The child of window with the object name; a missing one fails the test.
template <typename T>
T* Find(const QWidget* window, const char* name) {
    T* c = window->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
}

// Shows the window (not modal), activates it and waits until it has the keyboard.
void ShowActive(QWidget* window);
void Click(QWidget* w);
// The object name of the widget with the keyboard focus, "(none)" without one.
std::string Focused();
// Waits up to two seconds for condition, processing events; returns its last value.
bool WaitFor(const std::function<bool()>& condition);
// Runs act on the first modal widget that opens once the event loop runs again (the
// modal call that follows); a missing modal widget fails the test.
void WhenModal(std::function<void(QWidget*)> act);
// The controls below window a person can act on (buttons, boxes, lists, grids, progress
// bars) that a screen reader would find without a name or a description, as
// "objectName: what is missing" lines; also the columns of a grid the reader is told of
// though they are hidden.
std::string UnnamedControls(QWidget* window);

// A sample data tree below root with firms firms of years years each (the reserved firm
// 1001 as well) and the program values of the given launch mode for firm 1, year 2.
ProgramValues SampleProgram(const std::string& root, int firms, int years, double scale,
                            const std::string& launchMode, int firstYear = 2021);

// What the backup and the restore window tests share: the sample tree and its values, the
// real file system, the scripted dialogs, the window under test with its controls by
// name, and the window's section of the settings that the runs write.
template <typename Window, typename StoredChoices>
class WindowTest : public ::testing::Test {
  protected:
    WindowTest(const char* section, const char* othersOption, const char* pathBox)
        : section_(section), othersOption_(othersOption), pathBox_(pathBox) {}

    std::string Stored(const std::string& key) const {
        return ReadSetting(section_, key, SettingsFile(values));
    }
    bool SettingsWritten() const { return std::filesystem::exists(SettingsFile(values)); }

    // Fills the window as ShowForm does and shows it, active but not modal.
    void Show(const std::string& startLocation, const StoredChoices& stored) {
        window->FillForm(startLocation, stored);
        ShowActive(window.get());
    }

    template <typename T>
    T* Control(const char* name) {
        return Find<T>(window.get(), name);
    }
    QPushButton* Button(const char* name) { return Control<QPushButton>(name); }
    QLabel* Label(const char* name) { return Control<QLabel>(name); }
    QLineEdit* Edit(const char* name) { return Control<QLineEdit>(name); }
    QRadioButton* Option(const char* name) { return Control<QRadioButton>(name); }
    bool Visible(const char* name) { return Control<QWidget>(name)->isVisible(); }

    // "Others" with the folder typed into the box.
    void ChooseOthers(const std::string& folder) {
        Click(Option(othersOption_));
        QLineEdit* path = Edit(pathBox_);
        path->clear();
        QTest::keyClicks(path, QString::fromStdString(folder));
    }

    TempDir dir;
    ProgramValues values;
    LocalFileSystem files;
    ScriptedDialogs dialogs;
    std::unique_ptr<Window> window;

  private:
    const char* section_;
    const char* othersOption_;
    const char* pathBox_;
};

}  // namespace vornback::test
