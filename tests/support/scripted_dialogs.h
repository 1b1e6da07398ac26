// The scripted test double of the dialogs interface: records every message shown and
// answers from a queue (Ok for OK boxes when the queue is empty; a Yes/No box with an
// empty queue fails the test, since an unplanned question is a fault).
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "base/dialogs.h"

namespace vornback {

// Messages print as their fields when a comparison fails.
inline void PrintTo(const Message& m, std::ostream* os) {
    *os << "{\"" << m.text << "\", \"" << m.title << "\", buttons " << static_cast<int>(m.buttons)
        << ", icon " << static_cast<int>(m.icon) << ", default "
        << static_cast<int>(m.defaultButton) << ", detail \"" << m.detail << "\"}";
}

}  // namespace vornback

namespace vornback::test {

class ScriptedDialogs : public Dialogs {
  public:
    Answer Show(const Message& message) override {
        shown.push_back(message);
        if (onShow) {
            onShow(message);  // what the person might do while the message waits
        }
        if (message.buttons == Buttons::Ok) {
            return Answer::Ok;
        }
        return Next(answers, Answer::No, "question: " + message.text);
    }
    std::string BrowseForFolder(const std::string& initialFolder,
                                const std::string& title) override {
        folderRequests.push_back({initialFolder, title});
        return Next(folders, std::string(), "folder picker: " + title);
    }
    std::string OpenFile(const std::string& title, const std::string& filter,
                         const std::string& initialFile) override {
        fileRequests.push_back({title, filter, initialFile});
        return Next(files, std::string(), "file dialog: " + title);
    }

    // The texts of all messages shown, in order.
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto& m : shown) {
            texts.push_back(m.text);
        }
        return texts;
    }

    struct FolderRequest {
        std::string initialFolder;
        std::string title;
    };
    struct FileRequest {
        std::string title;
        std::string filter;
        std::string initialFile;
    };
    std::vector<Message> shown;
    std::deque<Answer> answers;       // answers to Yes/No questions, in order
    std::deque<std::string> folders;  // answers of the folder picker ("" = cancel)
    std::deque<std::string> files;    // answers of the file dialog ("" = cancel)
    std::vector<FolderRequest> folderRequests;
    std::vector<FileRequest> fileRequests;
    std::function<void(const Message&)> onShow;

  private:
    template <typename T>
    static T Next(std::deque<T>& queue, T none, const std::string& what) {
        if (queue.empty()) {
            ADD_FAILURE() << "unplanned " << what;
            return none;
        }
        T next = queue.front();
        queue.pop_front();
        return next;
    }
};

}  // namespace vornback::test
