// The chooser ("vornback --choose", the desktop menu's entry): the data tree (the one kept
// in the user's configuration; "C&hange..." picks another and keeps it), the firms of its
// root register and the years of the current firm's year register, and "&Backup" or
// "&Restore" for the firm and year chosen. It only chooses: the program then opens the
// backup or the restore window as the host's command line would. A tree or register that
// cannot be read is said in the note line under the lists, and nothing can be chosen from it.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vornback {

class Clock;
class Dialogs;

// What the person chose: the data tree, the firm, its year and "B" or "R"; mode "" when
// the window was closed without a choice.
struct ChooserPick {
    std::string dataTree;
    int firm = 0;
    std::string year;
    std::string mode;
};

class ChooseWindow : public QDialog {
    Q_OBJECT

  public:
    // Lists dataTree ("" asks for one). The collaborators are borrowed: dialogs for the
    // folder picker, clock for today (which year is current).
    ChooseWindow(const std::string& dataTree, Dialogs& dialogs, Clock& clock,
                 QWidget* parent = nullptr);
    ~ChooseWindow() override;

    const ChooserPick& Pick() const { return pick_; }
    // The note line's text ("" while it is hidden).
    std::string Note() const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void ShowTree(const std::string& dataTree);
    void ShowYears();
    void ChangeTree();
    void Choose(const char* mode);
    void SetNote(const std::string& text);

    Dialogs& dialogs_;
    Clock& clock_;
    std::string dataTree_;
    ChooserPick pick_;

    QLineEdit* txtTree = nullptr;
    QPushButton* cmdChange = nullptr;
    QListWidget* lstFirms = nullptr;
    QListWidget* lstYears = nullptr;
    QLabel* lblNote = nullptr;
    QPushButton* cmdBackup = nullptr;
    QPushButton* cmdRestore = nullptr;
    QPushButton* cmdClose = nullptr;
};

}  // namespace vornback
