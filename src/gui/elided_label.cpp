#include "gui/elided_label.h"

#include <QFontMetrics>
#include <QResizeEvent>
#include <algorithm>

namespace vornback {

ElidedLabel::ElidedLabel(int preferredWidth, QWidget* parent)
    : QLabel(parent), preferredWidth_(preferredWidth) {
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void ElidedLabel::SetFullText(const QString& text) {
    // A screen reader hears the whole text as the label's name, however much of it shows;
    // what the line is for stays in its description.
    setAccessibleName(text);
    full_ = text;
    setToolTip(text);
    ShowFitting();
    updateGeometry();
}

QSize ElidedLabel::sizeHint() const {
    const int wanted = fontMetrics().horizontalAdvance(full_) + 2 * frameWidth() + 2 * margin() + 4;
    return {std::min(wanted, preferredWidth_), QLabel::sizeHint().height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    return {std::min(sizeHint().width(), preferredWidth_ / 3), QLabel::minimumSizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    ShowFitting();
}

void ElidedLabel::ShowFitting() {
    const int room = std::max(0, contentsRect().width() - 2 * margin());
    const QString shown = fontMetrics().elidedText(full_, Qt::ElideMiddle, room);
    if (shown != text()) {
        setText(shown);
    }
}

}  // namespace vornback
