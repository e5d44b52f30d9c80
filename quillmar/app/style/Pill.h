#pragma once

#include "quillmar/app/style/Metro.h"

#include <QColor>
#include <QWidget>

namespace quillmar {

// A small rounded status label: the text in its tone over a faint fill of
// it. The tone is a theme role, drawn in the variant of the pill's window.
class Pill : public QWidget {
    Q_OBJECT

public:
    Pill(const QString& text, Metro::Role tone, QWidget* parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString& text);
    QColor tone() const { return Metro::color(tone_, Metro::variantOf(this)); }
    void setTone(Metro::Role tone);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    Metro::Role tone_;
};

}  // namespace quillmar
