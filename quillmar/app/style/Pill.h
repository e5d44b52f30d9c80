#pragma once

#include <QColor>
#include <QWidget>

namespace quillmar {

// A small rounded status label: the text in its tone over a faint fill of it.
class Pill : public QWidget {
    Q_OBJECT

public:
    Pill(const QString& text, const QColor& tone, QWidget* parent = nullptr);

    QString text() const { return text_; }
    void setText(const QString& text);
    QColor tone() const { return tone_; }
    void setTone(const QColor& tone);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    QColor tone_;
};

}  // namespace quillmar
