#pragma once

#include "platform/Scheduler.h"
#include "quillmar/app/shell/TerminalSession.h"

#include <QWidget>

#include <memory>

class QLabel;
class QPainterPath;
class QToolButton;

namespace quillmar {

class Pill;

// The banner over a new local shell that has gone quiet right after its
// start: the desktop may be asking for a password in a window of its own.
// It asks the session's stall probe once a second and shows while the probe
// says so; Dismiss hides it for good for that session. (Linux has no privacy
// settings pane to offer, so there is no button for one.)
class StallHint : public QWidget {
    Q_OBJECT

public:
    static constexpr std::uint64_t tickNs = 1'000'000'000;
    static constexpr const char* text = QT_TR_NOOP(
        "Shell waiting? The desktop may be asking for a password in a separate dialog, possibly behind this window.");

    StallHint(std::shared_ptr<TerminalSession> session, platform::Scheduler& clock, QWidget* parent = nullptr);

    // Whether the probe said yes at the last tick.
    bool showing() const { return showing_; }
    void dismiss();
    QToolButton* dismissButton() const { return dismissButton_; }

    // Re-asks the probe now (the ticks call it).
    void evaluate();

signals:
    void showingChanged(bool showing);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void tick();
    QPainterPath card() const;

    std::shared_ptr<TerminalSession> session_;
    platform::ScopedTasks ticks_;
    bool showing_ = false;
    Pill* pill_ = nullptr;
    QLabel* label_ = nullptr;
    QToolButton* dismissButton_ = nullptr;
};

}  // namespace quillmar
