#pragma once

#include "ravelgrid/process/LocalProcess.h"
#include "ravelgrid/process/LocalProcessDelegate.h"
#include "ravelgrid/view/TerminalView.h"

#include <sys/ioctl.h>

#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ravelgrid {

class LocalProcessTerminalView;

// What a LocalProcessTerminalView tells its host.
class LocalProcessTerminalViewDelegate {
public:
    virtual ~LocalProcessTerminalViewDelegate() = default;
    // The pseudo-terminal was given a new window size.
    virtual void sizeChanged(LocalProcessTerminalView& source, int newCols, int newRows) = 0;
    virtual void setTerminalTitle(LocalProcessTerminalView& source, const std::string& title) = 0;
    virtual void hostCurrentDirectoryUpdate(TerminalView& source, const std::optional<std::string>& directory) = 0;
    // The child ended: its raw wait status, absent when it could not be reaped.
    virtual void processTerminated(LocalProcessTerminalView& source, std::optional<int> exitCode) = 0;
};

// The pty's window size from a grid and a cell size in logical pixels, each
// field clamped to what its 16 bits hold.
winsize ptyWindowSize(int cols, int rows, QSizeF cell, qreal scale);

// A TerminalView joined to a child process on a pseudo-terminal: the child's
// output is fed to the terminal, typed bytes and pastes go to the child, and
// the pty's window size follows the grid. The child's output arrives on the
// Qt main thread. The host stops the child with terminate(); destroying the
// view only closes the pseudo-terminal.
//
// Trust follows the foreground: while a remote-login client runs in it, the
// child is not trusted, whatever the host set. A paste the child did not
// take is said so in a short notice over the terminal.
class LocalProcessTerminalView : public TerminalView, public TerminalViewDelegate, public LocalProcessDelegate {
    Q_OBJECT

public:
    explicit LocalProcessTerminalView(QWidget* parent = nullptr, std::optional<FontSet> font = std::nullopt,
                                      TerminalOptions options = {},
                                      platform::Scheduler& scheduler = QtScheduler::system());
    ~LocalProcessTerminalView() override;

    LocalProcess& process() { return *process_; }
    LocalProcessTerminalViewDelegate* processDelegate() const { return processDelegate_; }
    void setProcessDelegate(LocalProcessTerminalViewDelegate* delegate) { processDelegate_ = delegate; }

    // Starts the child unless one is running. `args` exclude argument 0.
    virtual void startProcess(const std::string& executable, const std::vector<std::string>& args = {},
                              const std::optional<std::vector<std::string>>& environment = std::nullopt,
                              const std::optional<std::string>& execName = std::nullopt,
                              const std::optional<std::string>& currentDirectory = std::nullopt);
    // Closes the pseudo-terminal and sends the child SIGTERM.
    virtual void terminate();
    virtual void setHostLogging(const std::optional<std::string>& directory);

    // The notice that a paste was dropped, hidden again after
    // inputNoticeDurationMs; null before the first.
    QLabel* inputNotice() const { return inputNotice_; }
    static constexpr int inputNoticeDurationMs = 4000;

    // The host's trust, unless the output being parsed was read while a
    // process that can write to the terminal was remote, or one is now.
    bool isProcessTrusted(Terminal& source) override;
    bool isOutputRemote(Terminal& source) override;
    RequestTrust requestTrust(Terminal& source) override;
    std::function<bool()> requestTrustAwaiter(Terminal& source) override;
    void inputResumed(Terminal& source) override;

    // --- TerminalViewDelegate (the view's own events) ------------------------------
    void sizeChanged(TerminalView& source, int newCols, int newRows) override;
    void setTerminalTitle(TerminalView& source, const std::string& title) override;
    void hostCurrentDirectoryUpdate(TerminalView& source, const std::optional<std::string>& directory) override;
    void send(TerminalView& source, std::span<const uint8_t> data) override;
    void scrolled(TerminalView& source, double position) override;
    // The view's own safe opening.
    void requestOpenLink(TerminalView& source, const std::string& link,
                         const std::map<std::string, std::string>& params) override;
    void bell(TerminalView& source) override;
    void clipboardCopy(TerminalView& source, std::span<const uint8_t> content) override;
    std::optional<std::vector<uint8_t>> clipboardRead(TerminalView& source) override;
    void rangeChanged(TerminalView& source, int startY, int endY) override;

    // --- LocalProcessDelegate ----------------------------------------------------------
    void processTerminated(LocalProcess& source, std::optional<int> exitCode) override;
    void dataReceived(std::span<const uint8_t> slice) override;
    winsize getWindowSize() override;
    void pasteDropped(PasteDrop why) override;
    bool outputHeld() override;

    using TerminalView::bell;
    using TerminalView::clipboardCopy;
    using TerminalView::clipboardRead;
    using TerminalView::scrolled;
    using TerminalView::send;
    using TerminalView::setTerminalTitle;
    using TerminalView::sizeChanged;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeInputNotice();

    std::unique_ptr<LocalProcess> process_;
    LocalProcessTerminalViewDelegate* processDelegate_ = nullptr;
    QLabel* inputNotice_ = nullptr;  // a child widget, made on the first notice
    QTimer inputNoticeTimer_;
};

}  // namespace ravelgrid
