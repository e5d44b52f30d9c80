#pragma once

#include <QWidget>

class QVariantAnimation;

namespace ravelgrid {

class TerminalView;

// The caret: a child widget over the cursor cell, so that moving it repaints
// two small rectangles instead of rows, and blinking redraws no text. The
// view paints its content.
class CaretView final : public QWidget {
public:
    // One way of a blink; a whole cycle takes twice as long.
    static constexpr int blinkHalfPeriodMs = 700;

    explicit CaretView(TerminalView* view);

    // Whether the caret's look follows the view's focus; otherwise it is
    // drawn and blinks as focused.
    bool tracksFocus() const { return tracksFocus_; }
    void setTracksFocus(bool on);
    // The focus the caret is drawn with.
    bool drawsFocused() const;
    // Applies the blink of the current style and focus: blinking styles
    // blink only while focused, steady ones stay at full opacity.
    void updateAnimations();
    bool blinking() const;
    qreal caretOpacity() const { return opacity_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void setOpacity(qreal opacity);

    TerminalView* view_;
    QVariantAnimation* blink_;  // a child object
    bool tracksFocus_ = true;
    qreal opacity_ = 1.0;
};

}  // namespace ravelgrid
