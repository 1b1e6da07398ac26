// A label for a path or another long line that must not widen its window: it shows as much
// of the text as fits, cut in the middle, and keeps the whole text in its tooltip and in
// what a screen reader is told.
#pragma once

#include <QLabel>
#include <QString>

namespace vornback {

class ElidedLabel : public QLabel {
    Q_OBJECT

  public:
    // preferredWidth is the width the label asks for; it never asks for more.
    explicit ElidedLabel(int preferredWidth, QWidget* parent = nullptr);

    // The whole text; the label shows it cut to its width.
    void SetFullText(const QString& text);
    const QString& FullText() const { return full_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void ShowFitting();

    QString full_;
    int preferredWidth_;
};

}  // namespace vornback
