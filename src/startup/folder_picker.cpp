#include "startup/folder_picker.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QStringList>

namespace vornback {

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

    std::string result;
    if (dialog->exec() == QDialog::Accepted && dialog) {
        const QStringList chosen = dialog->selectedFiles();
        if (!chosen.isEmpty()) {
            result = QDir::toNativeSeparators(chosen.first()).toStdString();
        }
    }
    delete dialog;
    return result;
}

}  // namespace vornback
