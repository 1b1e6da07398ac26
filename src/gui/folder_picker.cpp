#include "gui/folder_picker.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QStringList>

namespace vornback {

std::string RunFileDialog(QFileDialog* dialog) {
    // The dialog may be deleted while it runs (its owner closing); QPointer notices.
    QPointer<QFileDialog> guard = dialog;
    std::string result;
    if (dialog->exec() == QDialog::Accepted && guard) {
        const QStringList chosen = guard->selectedFiles();
        if (!chosen.isEmpty()) {
            result = QDir::toNativeSeparators(chosen.first()).toStdString();
        }
    }
    delete guard;
    return result;
}

std::string BrowseForFolder(QWidget* owner, const std::string& initialFolder,
                            const std::string& title) {
    QPointer<QFileDialog> dialog = new QFileDialog(owner, QString::fromStdString(title));
    dialog->setObjectName(QStringLiteral("folderPicker"));
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
    // Qt's own dialog has a line that shows the path under selection, which the platform
    // dialogs of some desktops lack.
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);

    const QString initial = QString::fromStdString(initialFolder);
    if (!initial.isEmpty() && QFileInfo(initial).isDir()) {
        const QString absolute = QDir::cleanPath(QFileInfo(initial).absoluteFilePath());
        dialog->setDirectory(absolute);
    }

    return RunFileDialog(dialog);
}

}  // namespace vornback
