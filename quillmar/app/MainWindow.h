#pragma once

#include "ravelgrid/view/LocalProcessTerminalView.h"

#include <QMainWindow>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QStackedWidget;

namespace quillmar {

// One terminal tab of the window.
struct TerminalSessionEntry {
    std::string title;
    ravelgrid::LocalProcessTerminalView* view = nullptr;  // owned by the detail stack
    bool running = true;
    std::optional<int> exitCode;
    std::optional<std::string> exitDescription;
};

// The application's one window: a sidebar column, then a detail column with
// the tab strip above the detail stack that holds every session's terminal.
// The sidebar and tab strip slots stay empty and hidden until their views
// exist. When first shown it opens a local shell.
class MainWindow final : public QMainWindow, public ravelgrid::LocalProcessTerminalViewDelegate {
    Q_OBJECT

public:
    static constexpr int sidebarWidth = 230;
    static constexpr int tabStripHeight = 40;

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    QWidget* sidebarColumn() const { return sidebarColumn_; }
    QWidget* tabStripRow() const { return tabStripRow_; }
    QStackedWidget* detailStack() const { return detailStack_; }

    const std::vector<TerminalSessionEntry>& sessions() const { return sessions_; }
    ravelgrid::LocalProcessTerminalView* activeTerminal() const;

    // A new local shell tab, made active.
    ravelgrid::LocalProcessTerminalView* openLocalShell();

    // --- LocalProcessTerminalViewDelegate -------------------------------------------
    void sizeChanged(ravelgrid::LocalProcessTerminalView&, int, int) override {}
    void setTerminalTitle(ravelgrid::LocalProcessTerminalView& source, const std::string& title) override;
    void hostCurrentDirectoryUpdate(ravelgrid::TerminalView&, const std::optional<std::string>&) override {}
    void processTerminated(ravelgrid::LocalProcessTerminalView& source, std::optional<int> exitCode) override;

signals:
    void sessionEnded(const QString& description);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    TerminalSessionEntry* entryFor(const ravelgrid::TerminalView& view);
    void refreshTitle();

    QWidget* sidebarColumn_ = nullptr;
    QWidget* tabStripRow_ = nullptr;
    QStackedWidget* detailStack_ = nullptr;
    std::vector<TerminalSessionEntry> sessions_;
};

}  // namespace quillmar
