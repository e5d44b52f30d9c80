#pragma once

#include "ravelgrid/view/LocalProcessTerminalView.h"

#include <QString>

#include <functional>

namespace quillmar {

// The terminal view of a session tab: takes the keyboard focus when clicked,
// keys as the window's shortcut table says (its chords left to the window),
// reports the child's output and its first frames to its host, and writes
// snippets at the prompt.
class FocusingTerminalView : public ravelgrid::LocalProcessTerminalView {
    Q_OBJECT

public:
    explicit FocusingTerminalView(QWidget* parent = nullptr, std::optional<ravelgrid::FontSet> font = std::nullopt);

    // Writes `text` as a paste without a trailing newline, cleaned of control
    // characters but tab and line feed: inside the bracketed-paste markers
    // while the child has that mode on; bare when it is off and the text is
    // one line; not at all (false) when it is off and the text holds a line
    // break, since the shell would run each line.
    bool pasteSnippet(const QString& text);

    std::function<void()> onOutput;  // each slice of child output

    void dataReceived(std::span<const uint8_t> slice) override;
    bool hasPainted() const { return painted_; }

signals:
    void firstFramePainted();
    // The first paint after the child's output arrived: its prompt, usually.
    void firstOutputPainted();

protected:
    bool event(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool painted_ = false;
    bool outputSeen_ = false;
    bool outputPainted_ = false;
};

}  // namespace quillmar
