// Helpers for the window tests on the offscreen platform: controls by object name, modal
// widgets answered from a timer, what a screen reader is told, and the sample data tree.
#pragma once

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
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

void ShowActive(QWidget* window);  // shown, active, with the keyboard
void Click(QWidget* w);
std::string Focused();  // the focused widget's object name, "(none)" without one
bool WaitFor(const std::function<bool()>& condition);  // up to two seconds
// Runs act on the modal widget the next modal call opens; none fails the test.
void WhenModal(std::function<void(QWidget*)> act);
// "objectName: what is missing" for each control a person can act on below window that a
// screen reader finds without a name or description, or a grid telling of hidden columns.
std::string UnnamedControls(QWidget* window);

// "kind result" of the history's last line ("backup ok"), "none" without one.
std::string LastRun(const ProgramValues& values);

// A sample data tree below root and its program values for firm 1, year 2.
ProgramValues SampleProgram(const std::string& root, int firms, int years, double scale,
                            const std::string& launchMode);

// What the backup and the restore window tests share.
template <typename Window, typename StoredChoices>
class WindowTest : public ::testing::Test {
  protected:
    WindowTest(const char* section, const char* othersOption, const char* pathBox)
        : section_(section), othersOption_(othersOption), pathBox_(pathBox) {}

    std::string Stored(const std::string& key) const {
        return ReadSetting(section_, key, SettingsFile(values));
    }
    bool SettingsWritten() const { return std::filesystem::exists(SettingsFile(values)); }

    void Show(const std::string& startLocation, const StoredChoices& stored) {  // as ShowForm
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
