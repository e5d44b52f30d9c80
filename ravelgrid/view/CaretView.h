#pragma once

#include <QWidget>

namespace ravelgrid {

class TerminalView;

// The caret: a child widget over the cursor cell, so that moving it repaints
// two small rectangles instead of rows. The view paints its content.
class CaretView final : public QWidget {
public:
    explicit CaretView(TerminalView* view);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TerminalView* view_;
};

}  // namespace ravelgrid
