#pragma once

#include <QUuid>

#include <array>
#include <optional>
#include <variant>

namespace quillmar {

// The tool panes that open as tabs, in tab order after the sessions.
enum class ToolTab { addHost, keys, snippets, settings };

inline constexpr std::array<ToolTab, 4> allToolTabs = {ToolTab::addHost, ToolTab::keys, ToolTab::snippets,
                                                       ToolTab::settings};

// A tab of the window: a terminal session by its id, or an open tool pane.
// Built implicitly from either, so a session id can stand where a tab is meant.
class TabID {
public:
    TabID(const QUuid& session) : value_(session) {}
    TabID(ToolTab tool) : value_(tool) {}

    const std::variant<QUuid, ToolTab>& value() const { return value_; }
    // None for a tool's tab.
    std::optional<QUuid> session() const;
    // None for a session's tab.
    std::optional<ToolTab> tool() const;

    friend bool operator==(const TabID&, const TabID&) = default;
    friend bool operator<(const TabID& a, const TabID& b) { return a.value_ < b.value_; }

private:
    std::variant<QUuid, ToolTab> value_;
};

}  // namespace quillmar
