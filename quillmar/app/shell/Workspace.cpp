#include "quillmar/app/shell/Workspace.h"

#include <algorithm>

namespace quillmar {

Workspace::Workspace(platform::Scheduler& clock, QObject* parent) : QObject(parent), clock_(clock) {}

void Workspace::setSettingsScrollTarget(const std::optional<QString>& target) {
    if (target == settingsScrollTarget_)
        return;
    settingsScrollTarget_ = target;
    emit settingsScrollTargetChanged();
}

std::shared_ptr<TerminalSession> Workspace::open(const SessionTarget& target) {
    int highest = 0;
    for (const auto& s : sessions_) {
        if (s->target == target)
            highest = std::max(highest, s->ordinal);
    }
    auto session = std::make_shared<TerminalSession>(target, highest + 1, clock_.nowNs());
    session->lastFocused = nextFocusStamp();
    sessions_.push_back(session);
    emit sessionsChanged();
    setActive(session->id);
    return session;
}

void Workspace::openTool(ToolTab tool) {
    if (openTools_.insert(tool).second)
        emit openToolsChanged();
    activate(tabID(tool));
}

void Workspace::activate(const QUuid& id) {
    if (auto tool = toolTabFor(id)) {
        if (!openTools_.count(*tool))
            return;
        toolLastFocused_[*tool] = nextFocusStamp();
    } else if (auto s = session(id)) {
        s->lastFocused = nextFocusStamp();
    } else {
        return;  // not an open tab
    }
    setActive(id);
}

void Workspace::requestClose(const QUuid& id) {
    if (closeGuard_ && !closeGuard_(id))
        return;
    close(id);
}

void Workspace::close(const QUuid& id) {
    if (auto tool = toolTabFor(id)) {
        if (!openTools_.erase(*tool))
            return;
        toolLastFocused_.erase(*tool);
        emit openToolsChanged();
    } else {
        auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return s->id == id; });
        if (it == sessions_.end())
            return;
        sessions_.erase(it);
        emit sessionsChanged();
    }
    if (activeID_ != id)
        return;
    std::optional<QUuid> next;
    std::uint64_t latest = 0;
    for (const auto& s : sessions_) {
        if (!next || s->lastFocused > latest) {
            next = s->id;
            latest = s->lastFocused;
        }
    }
    for (const auto& [tool, stamp] : toolLastFocused_) {
        if (!next || stamp > latest) {
            next = tabID(tool);
            latest = stamp;
        }
    }
    setActive(next);
}

std::shared_ptr<TerminalSession> Workspace::session(const QUuid& id) const {
    for (const auto& s : sessions_) {
        if (s->id == id)
            return s;
    }
    return nullptr;
}

std::shared_ptr<TerminalSession> Workspace::activeSession() const {
    return activeID_ ? session(*activeID_) : nullptr;
}

std::shared_ptr<TerminalSession> Workspace::mostRecentSession(const SessionTarget& target) const {
    std::shared_ptr<TerminalSession> best;
    for (const auto& s : sessions_) {
        if (s->target == target && (!best || s->lastFocused > best->lastFocused))
            best = s;
    }
    return best;
}

std::vector<QUuid> Workspace::tabIDs() const {
    std::vector<QUuid> ids;
    ids.reserve(sessions_.size() + openTools_.size());
    for (const auto& s : sessions_)
        ids.push_back(s->id);
    for (ToolTab tool : allToolTabs) {
        if (openTools_.count(tool))
            ids.push_back(tabID(tool));
    }
    return ids;
}

void Workspace::setActive(const std::optional<QUuid>& id) {
    if (id == activeID_)
        return;
    activeID_ = id;
    emit activeIDChanged();
}

}  // namespace quillmar
