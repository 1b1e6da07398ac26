#include "gui/qt_dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>

#include "gui/folder_picker.h"

namespace vornback {
namespace {

QMessageBox::Icon QtIcon(Icon icon) {
    switch (icon) {
        case Icon::Information:
            return QMessageBox::Information;
        case Icon::Question:
            return QMessageBox::Question;
        case Icon::Exclamation:
            return QMessageBox::Warning;
        case Icon::Critical:
            return QMessageBox::Critical;
        case Icon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

QWidget* QtDialogs::Owner() const {
    if (owner_ != nullptr) {
        return owner_;
    }
    if (QWidget* modal = QApplication::activeModalWidget()) {
        return modal;
    }
    return QApplication::activeWindow();
}

Answer QtDialogs::Show(const Message& message) {
    const std::string& title = message.title.empty() ? std::string(kProgramTitle) : message.title;
    QPointer<QMessageBox> box = new QMessageBox(Owner());
    box->setObjectName(QStringLiteral("messageBox"));
    box->setWindowTitle(QString::fromStdString(title));
    box->setTextFormat(Qt::PlainText);
    box->setText(QString::fromStdString(message.text));
    if (!message.detail.empty()) {
        box->setInformativeText(QString::fromStdString(message.detail));
    }
    box->setIcon(QtIcon(message.icon));

    QPushButton* yes = nullptr;
    if (message.buttons == Buttons::YesNo) {
        yes = box->addButton(QMessageBox::Yes);
        QPushButton* no = box->addButton(QMessageBox::No);
        box->setDefaultButton(message.defaultButton == Answer::No ? no : yes);
        box->setEscapeButton(no);
    } else {
        QPushButton* ok = box->addButton(QMessageBox::Ok);
        box->setDefaultButton(ok);
        box->setEscapeButton(ok);
    }

    box->exec();
    Answer answer = message.buttons == Buttons::YesNo ? Answer::No : Answer::Ok;
    if (box && yes != nullptr && box->clickedButton() == yes) {
        answer = Answer::Yes;
    }
    delete box;
    return answer;
}

std::string QtDialogs::BrowseForFolder(const std::string& initialFolder, const std::string& title) {
    return vornback::BrowseForFolder(Owner(), initialFolder, title);
}

std::string QtNameFilters(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        const QString description = parts.at(i).trimmed();
        if (i + 1 >= parts.size()) {
            if (!description.isEmpty()) {
                filters.append(description);
            }
            continue;
        }
        QStringList patterns = parts.at(i + 1).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString& p : patterns) {
            p = p.trimmed();
        }
        const QString joined = patterns.join(QLatin1Char(' '));
        if (description.contains(QLatin1Char('(')) || joined.isEmpty()) {
            filters.append(description);
        } else {
            filters.append(description + QStringLiteral(" (") + joined + QLatin1Char(')'));
        }
    }
    return filters.join(QStringLiteral(";;")).toStdString();
}

std::string QtDialogs::OpenFile(const std::string& title, const std::string& filter,
                                const std::string& initialFile) {
    QPointer<QFileDialog> dialog = new QFileDialog(Owner(), QString::fromStdString(title));
    dialog->setObjectName(QStringLiteral("openFile"));
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    const QString filters = QString::fromStdString(QtNameFilters(filter));
    if (!filters.isEmpty()) {
        dialog->setNameFilters(filters.split(QStringLiteral(";;")));
    }
    const QString initial = QString::fromStdString(initialFile);
    if (!initial.isEmpty()) {
        const QFileInfo info(initial);
        if (info.isDir()) {
            dialog->setDirectory(info.absoluteFilePath());
        } else if (info.absoluteDir().exists()) {
            dialog->setDirectory(info.absolutePath());
            dialog->selectFile(info.fileName());
        }
    }

    return RunFileDialog(dialog);
}

}  // namespace vornback
