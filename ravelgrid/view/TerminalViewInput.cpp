// Input methods: preedit (marked) text shown in an overlay at the caret,
// commits typed into the terminal, and the queries an input method asks.
#include "ravelgrid/view/TerminalView.h"

#include "ravelgrid/view/CaretView.h"
#include "ravelgrid/view/MarkedTextOverlay.h"
#include "ravelgrid/view/TerminalViewKeyboard.h"

#include <QInputMethodEvent>

namespace ravelgrid {

void TerminalView::inputMethodEvent(QInputMethodEvent* event)
{
    keyboard_.inputMethod(event);
}

void KeyboardInput::inputMethod(QInputMethodEvent* event)
{
    if (!event->commitString().isEmpty()) {
        unmarkText();
        view_.insertText(event->commitString().toStdString(), false);
        kittyIsComposing_ = false;
    }
    int cursor = -1;
    for (const QInputMethodEvent::Attribute& a : event->attributes())
        if (a.type == QInputMethodEvent::Cursor)
            cursor = a.start;
    // An event with neither commit nor preedit ends the composition too.
    if (!event->preeditString().isEmpty() || event->commitString().isEmpty())
        setMarkedText(event->preeditString(), cursor);
    event->accept();
}

void KeyboardInput::setMarkedText(const QString& text, int cursor)
{
    markedText_ = text;
    markedCursor_ = cursor;
    // Composing until a commit or an unmark, even when the text went empty.
    kittyIsComposing_ = true;
    updateMarkedTextOverlay();
}

void KeyboardInput::unmarkText()
{
    markedText_.clear();
    markedCursor_ = -1;
    kittyIsComposing_ = false;
    updateMarkedTextOverlay();
}

void KeyboardInput::updateMarkedTextOverlay()
{
    if (markedText_.isEmpty()) {
        markedOverlay_.reset();
        return;
    }
    const std::optional<QSizeF> cell = view_.cellDimension();
    const CaretView* caret = view_.caretView();
    if (!cell || !caret)
        return;
    if (!markedOverlay_)
        markedOverlay_ = std::make_unique<MarkedTextOverlay>(&view_);
    const bool reverse = view_.terminal().reverseColors;
    MarkedTextOverlay::Look look;
    look.font = view_.fontSet().normal();
    look.foreground = reverse ? view_.nativeBackgroundColor() : view_.nativeForegroundColor();
    look.background = reverse ? view_.nativeForegroundColor() : view_.nativeBackgroundColor();
    look.cell = *cell;
    markedOverlay_->setText(markedText_, markedCursor_, look, QRectF(caret->geometry()), view_.width());
    markedOverlay_->show();
    markedOverlay_->raise();
}

std::pair<int, int> TerminalView::selectedRange() const
{
    const int cols = terminal_->cols;
    if (selection_ && selection_->active() && selection_->hasSelectionRange()) {
        const Position a = selection_->start();
        const Position b = selection_->end();
        const long long ia = (long long)a.row * cols + a.col;
        const long long ib = (long long)b.row * cols + b.col;
        if (ia != ib)
            return {int(std::min(ia, ib)), int(std::llabs(ia - ib))};
    }
    // The cursor in buffer rows, as the selection's positions are.
    const Buffer& buffer = terminal_->activeBuffer();
    return {(buffer.yBase() + buffer.y()) * cols + buffer.x(), 0};
}

QVariant TerminalView::inputMethodQuery(Qt::InputMethodQuery query) const
{
    switch (query) {
    case Qt::ImEnabled: return true;
    case Qt::ImCursorRectangle: return caret_ ? QVariant(QRectF(caret_->geometry())) : QVariant(QRectF());
    case Qt::ImFont: return frame_.fontSet().normal();
    case Qt::ImCursorPosition:
    case Qt::ImAnchorPosition: {
        const auto [location, length] = selectedRange();
        return query == Qt::ImCursorPosition ? location + length : location;
    }
    case Qt::ImHints: return int(Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase);
    case Qt::ImSurroundingText:
    case Qt::ImCurrentSelection: return QString();
    default: return QWidget::inputMethodQuery(query);
    }
}

}  // namespace ravelgrid
