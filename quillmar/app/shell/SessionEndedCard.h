#pragma once

#include "quillmar/app/shell/TerminalSession.h"
#include "quillmar/app/style/Metro.h"

#include <QWidget>

#include <memory>

class QLabel;
class QPushButton;

namespace quillmar {

class Pill;

// The tone of an ended session: green for exit 0, red for an end without a
// code (a signal, a failed start or channel) and for ssh's own failure code
// 255, amber for any other code.
Metro::Role exitRole(std::optional<std::int32_t> exitCode, SessionTarget::Kind kind);
// That tone in the variant of the widget's window.
QColor exitTone(std::optional<std::int32_t> exitCode, SessionTarget::Kind kind, const QWidget* widget = nullptr);

// The card laid over an ended session's terminal: a pill with how it ended,
// "Session ended." (or "Finished." for a tool), what to do next, and
// "Dismiss" (also Escape), which hides it for good for that session.
class SessionEndedCard : public QWidget {
    Q_OBJECT

public:
    explicit SessionEndedCard(std::shared_ptr<TerminalSession> session, QWidget* parent = nullptr);

    Pill* pill() const { return pill_; }
    QString title() const;
    QString hint() const;
    QPushButton* dismissButton() const { return dismissButton_; }

    // Reads the session's exit again.
    void refresh();
    void dismiss();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::shared_ptr<TerminalSession> session_;
    Pill* pill_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* hint_ = nullptr;
    QPushButton* dismissButton_ = nullptr;
};

}  // namespace quillmar
