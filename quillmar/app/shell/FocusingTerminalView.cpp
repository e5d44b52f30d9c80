#include "quillmar/app/shell/FocusingTerminalView.h"

#include "quillmar/app/shell/Shortcuts.h"

#include <QMouseEvent>

namespace quillmar {

FocusingTerminalView::FocusingTerminalView(QWidget* parent, std::optional<ravelgrid::FontSet> font)
    : LocalProcessTerminalView(parent, std::move(font))
{
    keyboard().setReservedKeys(windowChords());
    setCommandKeys(viewKeyBindings());
}

bool FocusingTerminalView::pasteSnippet(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    const std::string_view bytes(utf8.constData(), std::size_t(utf8.size()));
    if (!terminal().bracketedPasteMode && bytes.find_first_of("\r\n") != std::string_view::npos)
        return false;
    // The paste path of every other text: cleaned of controls whatever the
    // mode, markers and text in one write. A line feed, not the Return a
    // keyboard paste sends, so the shell keeps the lines as one command.
    insertText(bytes, true, '\n');
    if (window())
        setFocus(Qt::OtherFocusReason);
    return true;
}

void FocusingTerminalView::dataReceived(std::span<const uint8_t> slice)
{
    LocalProcessTerminalView::dataReceived(slice);
    outputSeen_ = true;
    if (onOutput)
        onOutput();
}

bool FocusingTerminalView::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::InputMethod:
        // Typing meant for what is shown never runs in a tab behind it.
        if (!isVisible() && window()->isVisible()) {
            event->accept();
            return true;
        }
        break;
    default: break;
    }
    return LocalProcessTerminalView::event(event);
}

void FocusingTerminalView::mousePressEvent(QMouseEvent* event)
{
    setFocus(Qt::MouseFocusReason);
    LocalProcessTerminalView::mousePressEvent(event);
}

void FocusingTerminalView::paintEvent(QPaintEvent* event)
{
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
