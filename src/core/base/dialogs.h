// The one small interface through which operations talk to the person. The Qt program
// implements it with message boxes and file dialogs; tests implement it with a scripted
// fake that records every message and answers from a queue.
#pragma once

#include <string>

namespace vornback {

enum class Buttons { Ok, YesNo };
enum class Icon { None, Information, Question, Exclamation, Critical };
enum class Answer { Ok, Yes, No };

struct Message {
    std::string text;
    std::string title;
    Buttons buttons = Buttons::Ok;
    Icon icon = Icon::None;
    Answer defaultButton = Answer::Ok;  // Yes or No for Buttons::YesNo
    // A line under the text that says more (the cause of a failure, where an archive
    // went); the text itself stays as the system words it. Empty when there is nothing.
    std::string detail{};

    bool operator==(const Message&) const = default;
};

class Dialogs {
  public:
    virtual ~Dialogs() = default;

    // Shows a message and waits for the answer (Ok for an OK box).
    virtual Answer Show(const Message& message) = 0;

    // The folder picker: starts on initialFolder (when it exists), folders only; returns
    // the chosen folder, or "" on cancel.
    virtual std::string BrowseForFolder(const std::string& initialFolder,
                                        const std::string& title) = 0;

    // The file dialog: returns the chosen file, or "" on cancel. filter is written as
    // "Zip Files (Firm*.zip)|Firm*.zip"; initialFile is where the dialog starts.
    virtual std::string OpenFile(const std::string& title, const std::string& filter,
                                 const std::string& initialFile) = 0;
};

// The program's own title, used where no other title is named.
inline constexpr const char* kProgramTitle = "vornback";

}  // namespace vornback
