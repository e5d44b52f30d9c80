#include "quillmar/app/shell/Workspace.h"

#include <algorithm>

namespace quillmar {

Workspace::Workspace(platform::Scheduler& clock, QObject* parent) : QObject(parent), clock_(clock)
{}

void Workspace::setSettingsScrollTarget(const std::optional<QString>& target)
{
    if (target == settingsScrollTarget_)
        return;
    settingsScrollTarget_ = target;
    emit settingsScrollTargetChanged();
}

std::shared_ptr<TerminalSession> Workspace::open(const SessionTarget& target)
{
    int highest = 0;
    for (const auto& s : sessions_) {
        if (s->target == target)
            highest = std::max(highest, s->ordinal);
    }
    auto session = std::make_shared<TerminalSession>(target, highest + 1, clock_.nowNs());
    stampFocus(session->id);
    sessions_.push_back(session);
    emit sessionsChanged();
    setActive(session->id);
    return session;
}

void Workspace::openTool(ToolTab tool)
{
    if (openTools_.insert(tool).second)
        emit openToolsChanged();
    activate(tool);
}

bool Workspace::isOpen(const TabID& id) const
{
    if (auto tool = id.tool())
        return openTools_.count(*tool) > 0;
    return session(*id.session()) != nullptr;
}

void Workspace::activate(const TabID& id)
{
    if (!isOpen(id))
        return;
    stampFocus(id);
    setActive(id);
}

void Workspace::requestClose(const TabID& id)
{
    if (closeGuard_ && !closeGuard_(id))
        return;
    close(id);
}

void Workspace::close(const TabID& id)
{
    if (auto tool = id.tool()) {
        if (!openTools_.erase(*tool))
            return;
        lastFocused_.erase(id);
        emit openToolsChanged();
    } else {
        const QUuid sessionID = *id.session();
        auto it = std::find_if(sessions_.begin(), sessions_.end(), [&](const auto& s) { return s->id == sessionID; });
        if (it == sessions_.end())
            return;
        sessions_.erase(it);
        lastFocused_.erase(id);
        emit sessionsChanged();
    }
    if (activeID_ != id)
        return;
    std::optional<TabID> next;
    std::uint64_t latest = 0;
    for (const auto& [tab, stamp] : lastFocused_) {
        if (!next || stamp > latest) {
            next = tab;
            latest = stamp;
        }
    }
    setActive(next);
}

std::shared_ptr<TerminalSession> Workspace::session(const QUuid& id) const
{
    for (const auto& s : sessions_) {
        if (s->id == id)
            return s;
    }
    return nullptr;
}

std::shared_ptr<TerminalSession> Workspace::activeSession() const
{
    const auto id = activeID_ ? activeID_->session() : std::nullopt;
    return id ? session(*id) : nullptr;
}

std::shared_ptr<TerminalSession> Workspace::mostRecentSession(const SessionTarget& target) const
{
    std::shared_ptr<TerminalSession> best;
    std::uint64_t latest = 0;
    for (const auto& s : sessions_) {
        if (s->target != target)
            continue;
        const auto it = lastFocused_.find(s->id);
        const std::uint64_t stamp = it == lastFocused_.end() ? 0 : it->second;
        if (!best || stamp > latest) {
            best = s;
            latest = stamp;
        }
    }
    return best;
}

std::vector<TabID> Workspace::tabIDs() const
{
    std::vector<TabID> ids;
    ids.reserve(sessions_.size() + openTools_.size());
    for (const auto& s : sessions_)
        ids.emplace_back(s->id);
    for (ToolTab tool : allToolTabs) {
        if (openTools_.count(tool))
            ids.emplace_back(tool);
    }
    return ids;
}

void Workspace::setActive(const std::optional<TabID>& id)
{
    if (id == activeID_)
        return;
    activeID_ = id;
    emit activeIDChanged();
}

}  // namespace quillmar
