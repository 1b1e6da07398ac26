// What a refusal says: the text of the error an operation throws, and a check that the text
// mentions what it must.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace vornback::test {

// The text of the error of type E that `run` throws; a test failure and an empty text when it
// throws nothing (any other error passes through and fails the test).
template <typename E, typename F>
std::string ErrorText(F&& run) {
    try {
        run();
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "nothing was refused";
    return "";
}

inline ::testing::AssertionResult Mentions(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "\"" << text << "\" does not mention \"" << part << "\"";
}

}  // namespace vornback::test
