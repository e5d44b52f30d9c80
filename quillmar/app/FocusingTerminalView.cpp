#include "quillmar/app/FocusingTerminalView.h"

#include "ravelgrid/terminal/EscapeSequences.h"

#include <QMouseEvent>

namespace quillmar {

FocusingTerminalView::FocusingTerminalView(QWidget* parent, std::optional<ravelgrid::FontSet> font)
    : LocalProcessTerminalView(parent, std::move(font)) {}

bool FocusingTerminalView::pasteSnippet(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    const std::string_view bytes(utf8.constData(), std::size_t(utf8.size()));
    if (terminal().bracketedPasteMode) {
        send(std::span<const uint8_t>(ravelgrid::EscapeSequences::bracketedPasteStart));
        send(bytes);
        send(std::span<const uint8_t>(ravelgrid::EscapeSequences::bracketedPasteEnd));
    } else if (bytes.find('\n') != std::string_view::npos) {
        return false;
    } else {
        send(bytes);
    }
    if (window())
        setFocus(Qt::OtherFocusReason);
    return true;
}

void FocusingTerminalView::dataReceived(std::span<const uint8_t> slice) {
    LocalProcessTerminalView::dataReceived(slice);
    outputSeen_ = true;
    if (onOutput)
        onOutput();
}

void FocusingTerminalView::mousePressEvent(QMouseEvent* event) {
    setFocus(Qt::MouseFocusReason);
    LocalProcessTerminalView::mousePressEvent(event);
}

void FocusingTerminalView::paintEvent(QPaintEvent* event) {
    LocalProcessTerminalView::paintEvent(event);
    if (!painted_) {
        painted_ = true;
        emit firstFramePainted();
    }
    if (outputSeen_ && !outputPainted_) {
        outputPainted_ = true;
        emit firstOutputPainted();
    }
}

}  // namespace quillmar
