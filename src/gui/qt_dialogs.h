// The Dialogs interface on Qt: message boxes with the system's exact texts, titles, buttons
// and icons, the folder picker and the open-file dialog. The program wires one of these at
// start-up; the windows and the operations see only Dialogs.
#pragma once

#include <string>

#include "base/dialogs.h"

class QWidget;

namespace vornback {

class QtDialogs : public Dialogs {
  public:
    // owner is the window the dialogs belong to; when null, the active window at the
    // moment of each call owns them.
    explicit QtDialogs(QWidget* owner = nullptr) : owner_(owner) {}

    void SetOwner(QWidget* owner) { owner_ = owner; }

    // An OK box answers Ok whichever way it is closed. A Yes/No box answers Yes only for
    // its Yes button; Esc or the close box answer No.
    Answer Show(const Message& message) override;
    std::string BrowseForFolder(const std::string& initialFolder,
                                const std::string& title) override;
    // filter pairs "description|pattern" (more pairs follow with further "|") are shown as
    // Qt's "description (pattern)" entries. initialFile may name a folder or a file.
    std::string OpenFile(const std::string& title, const std::string& filter,
                         const std::string& initialFile) override;

  private:
    QWidget* Owner() const;
    QWidget* owner_;
};

// The "description|pattern|description|pattern" filter form as Qt's name filters, one per
// pair: "Zip Files (Firm*.zip)|Firm*.zip" gives "Zip Files (Firm*.zip)". A description
// that does not already show its patterns in brackets gets them added; several patterns
// separated by ";" become blank-separated. A lone description without a pattern is kept.
std::string QtNameFilters(const std::string& filter);

}  // namespace vornback
