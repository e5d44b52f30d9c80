#include "ravelgrid/view/CaretView.h"

#include "ravelgrid/view/TerminalView.h"

#include <QPainter>

namespace ravelgrid {

CaretView::CaretView(TerminalView* view) : QWidget(view), view_(view) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void CaretView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    view_->drawCaret(painter, QRectF(rect()));
}

}  // namespace ravelgrid
