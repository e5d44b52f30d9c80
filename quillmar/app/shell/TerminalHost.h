#pragma once

#include "platform/Scheduler.h"
#include "quillmar/app/shell/FocusingTerminalView.h"
#include "quillmar/app/shell/TerminalSession.h"
#include "quillmar/app/style/TerminalScheme.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quillmar {

class SessionEndedCard;
class StallHint;

// The command line a session runs, or why it cannot run.
struct SessionLaunch {
    std::string executable;
    std::vector<std::string> args;  // without argument 0
    bool trusted = false;           // a local program of ours, not one that connects to a host
};
std::variant<SessionLaunch, QString> launchFor(const SessionTarget& target);

// The view of one terminal session: makes its terminal view, starts the
// session's child when first shown (in the home directory, with the
// session environment), restyles the terminal when the scheme or font
// changes, and records the child's end in the session before calling
// `onExit` from the event loop. Taking the host down sends the child
// SIGTERM and frees the view.
class TerminalHost : public QWidget, public ravelgrid::LocalProcessTerminalViewDelegate {
    Q_OBJECT

public:
    using ExitHandler = std::function<void(std::optional<std::int32_t>)>;

    TerminalHost(std::shared_ptr<TerminalSession> session, const TerminalScheme& scheme, const ravelgrid::FontSet& font,
                 platform::Scheduler& clock, ExitHandler onExit, QWidget* parent = nullptr);
    ~TerminalHost() override;

    const std::shared_ptr<TerminalSession>& session() const { return session_; }
    FocusingTerminalView* view() const { return view_; }

    bool isActive() const { return active_; }
    void setActive(bool active);
    void setScheme(const TerminalScheme& scheme);
    const TerminalScheme& scheme() const { return scheme_; }
    void setTerminalFont(const ravelgrid::FontSet& font);

    // Over the terminal: the stall banner (local shells only) and, once the
    // child has ended, the card that says how, until it is dismissed.
    StallHint* stallHint() const { return stallHint_; }
    SessionEndedCard* endedCard() const { return endedCard_; }
    bool endedCardShown() const;

    // Starts the child once; later calls do nothing.
    void start();
    bool started() const { return started_; }

    // What closing this tab would end: the program a local shell runs in the
    // foreground, "ssh" while a connection's client runs, or a tool's
    // program. Empty when the name cannot be told; none when nothing would
    // be lost (an idle shell, an ended session).
    std::optional<QString> runningProgram() const;

    // --- LocalProcessTerminalViewDelegate ---------------------------------------------
    void sizeChanged(ravelgrid::LocalProcessTerminalView&, int, int) override {}
    void setTerminalTitle(ravelgrid::LocalProcessTerminalView&, const std::string&) override {}
    void hostCurrentDirectoryUpdate(ravelgrid::TerminalView&, const std::optional<std::string>&) override {}
    void processTerminated(ravelgrid::LocalProcessTerminalView& source, std::optional<int> waitStatus) override;

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyScheme();
    // A session that never started also says why in the terminal.
    void ended(std::optional<std::int32_t> code, const QString& description, bool neverStarted = false);
    void placeOverlays();
    void updateEndedCard();

    std::shared_ptr<TerminalSession> session_;
    TerminalScheme scheme_;
    platform::Scheduler& clock_;
    ExitHandler onExit_;
    FocusingTerminalView* view_ = nullptr;   // a child widget
    StallHint* stallHint_ = nullptr;         // a child widget, local shells only
    SessionEndedCard* endedCard_ = nullptr;  // a child widget once the child ended
    bool active_ = false;
    bool started_ = false;
};

}  // namespace quillmar
