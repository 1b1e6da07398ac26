// The scripted test double of the dialogs interface: records every message shown and
// answers from a queue (Ok for OK boxes when the queue is empty; a Yes/No box with an
// empty queue fails the test, since an unplanned question is a fault).
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "common/dialogs.h"

namespace vornback::test {

class ScriptedDialogs : public Dialogs {
  public:
    Answer Show(const Message& message) override {
        shown.push_back(message);
        if (message.buttons == Buttons::Ok) {
            return Answer::Ok;
        }
        if (answers.empty()) {
            ADD_FAILURE() << "unplanned question: " << message.text;
            return Answer::No;
        }
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }

    // The texts of all messages shown, in order.
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& m : shown) {
            texts.push_back(m.text);
        }
        return texts;
    }

    std::vector<Message> shown;
    std::deque<Answer> answers;
};

}  // namespace vornback::test
