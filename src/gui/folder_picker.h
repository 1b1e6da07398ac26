// The folder picker: the platform's folder dialog, opened on the folder a window's text box
// already holds, showing folders only. Both main windows reach it through
// Dialogs::BrowseForFolder.
#pragma once

#include <string>

class QFileDialog;
class QWidget;

namespace vornback {

// Shows a modal folder dialog owned by owner (may be null) with the title above it. It
// starts on initialFolder when that folder exists, otherwise at the dialog's own starting
// point. Returns the chosen folder's path (a root keeps its separator, any other folder
// has none at its end), or "" when the person cancels.
// Runs a prepared file dialog modally and deletes it; returns the first chosen path with
// the platform's separators, or "" when the person cancels.
std::string RunFileDialog(QFileDialog* dialog);

std::string BrowseForFolder(QWidget* owner, const std::string& initialFolder,
                            const std::string& title);

}  // namespace vornback
