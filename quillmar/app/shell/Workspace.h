#pragma once

#include "platform/Scheduler.h"
#include "quillmar/app/shell/SessionTarget.h"
#include "quillmar/app/shell/TerminalSession.h"
#include "quillmar/app/shell/ToolTab.h"

#include <QObject>
#include <QUuid>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace quillmar {

// The window's tabs: terminal sessions in tab order, then the open tool
// panes, and which one is active. Main thread only.
class Workspace : public QObject {
    Q_OBJECT

public:
    // The scheduler's clock dates each session's stall probe.
    explicit Workspace(platform::Scheduler& clock, QObject* parent = nullptr);

    const std::vector<std::shared_ptr<TerminalSession>>& sessions() const { return sessions_; }
    std::optional<TabID> activeID() const { return activeID_; }
    const std::set<ToolTab>& openTools() const { return openTools_; }
    // Every open tab's last activation; a higher stamp is more recent.
    const std::map<TabID, std::uint64_t>& lastFocused() const { return lastFocused_; }
    std::optional<QString> settingsScrollTarget() const { return settingsScrollTarget_; }
    void setSettingsScrollTarget(const std::optional<QString>& target);

    // Always a new tab, made active.
    std::shared_ptr<TerminalSession> open(const SessionTarget& target);
    // Opens the pane once; opening it again only activates it.
    void openTool(ToolTab tool);
    void activate(const TabID& id);
    void close(const TabID& id);
    // Closing as the user asks for it (a key, a chip's cross): the guard,
    // when set, may keep the tab by answering false.
    using CloseGuard = std::function<bool(const TabID&)>;
    void setCloseGuard(CloseGuard guard) { closeGuard_ = std::move(guard); }
    void requestClose(const TabID& id);
    bool isOpen(const TabID& id) const;

    std::shared_ptr<TerminalSession> session(const QUuid& id) const;
    std::shared_ptr<TerminalSession> activeSession() const;
    std::shared_ptr<TerminalSession> mostRecentSession(const SessionTarget& target) const;
    // Sessions in order, then the open tools in declaration order.
    std::vector<TabID> tabIDs() const;

signals:
    void sessionsChanged();
    void activeIDChanged();
    void openToolsChanged();
    void settingsScrollTargetChanged();

private:
    void setActive(const std::optional<TabID>& id);
    void stampFocus(const TabID& id) { lastFocused_[id] = ++focusCounter_; }

    platform::Scheduler& clock_;
    std::vector<std::shared_ptr<TerminalSession>> sessions_;
    std::optional<TabID> activeID_;
    std::set<ToolTab> openTools_;
    std::map<TabID, std::uint64_t> lastFocused_;
    std::optional<QString> settingsScrollTarget_;
    CloseGuard closeGuard_;
    // Focus times are a strictly growing count, so two activations in the
    // same clock tick still have an order.
    std::uint64_t focusCounter_ = 0;
};

}  // namespace quillmar
