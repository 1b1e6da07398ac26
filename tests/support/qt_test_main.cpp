// The main of the window tests: GoogleTest on a QApplication of its own, on the offscreen
// platform unless another is asked for.
#include <gtest/gtest.h>

#include <QApplication>

namespace {

// The offscreen platform says for every window that it cannot pass size hints on.
void QuietMessages(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text.startsWith(QStringLiteral("This plugin does not support propagateSizeHints"))) {
        return;
    }
    qt_message_output(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    qInstallMessageHandler(QuietMessages);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
