// Helpers for the window tests on the offscreen platform: finding controls by object name,
// showing a window and waiting until it is active, answering the next modal widget from a
// timer, waiting for a condition, and the sample data tree with its program values that
// the backup and restore windows work in.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QWidget>
#include <functional>
#include <string>

#include "startup/launch.h"

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

// A sample data tree below root with firms firms of years years each (the reserved firm
// 1001 as well) and the program values of the given launch mode for firm 1, year 2.
ProgramValues SampleProgram(const std::string& root, int firms, int years, double scale,
                            const std::string& launchMode, int firstYear = 2021);

}  // namespace vornback::test
