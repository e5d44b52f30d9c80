#pragma once

#include <QColor>
#include <QIcon>
#include <QWidget>

#include <optional>

class QAbstractButton;
class QPainter;

namespace quillmar {

// One of the application's monochrome icons ("qm-plus", "qm-x",
// "qm-square-terminal", "qm-server", "qm-key-round", "qm-scroll-text",
// "qm-settings"), drawn as
// strokes in the widget's foreground colour (its palette's window text,
// unless a colour is set) at a side of `size` pixels.
// An unknown name draws nothing.
class LucideIcon : public QWidget {
    Q_OBJECT

public:
    LucideIcon(const QString& name, int size, QWidget* parent = nullptr);

    QString name() const { return name_; }
    void setColor(const QColor& colour);
    QColor color() const { return colour_.value_or(palette().color(QPalette::WindowText)); }

    QSize sizeHint() const override { return {size_, size_}; }

    static bool known(const QString& name);
    // Draws the icon into `box` (the 24-unit artwork scaled to fit).
    static void paint(QPainter& painter, const QString& name, const QRectF& box, const QColor& colour);
    // The icon as pixmaps for 1x and 2x screens, with `gap` clear pixels on
    // its right (a button's own space before its text is too narrow).
    static QIcon icon(const QString& name, int size, const QColor& colour, int gap = 0);
    // Gives the button this icon in its text colour, redrawn when that changes.
    static void decorate(QAbstractButton* button, const QString& name, int size, int gap = 0);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString name_;
    int size_;
    std::optional<QColor> colour_;
};

}  // namespace quillmar
