#pragma once

#include <QUuid>

#include <array>
#include <optional>

namespace quillmar {

// The tool panes that open as tabs, in tab order after the sessions.
enum class ToolTab { addHost, keys, snippets, settings };

inline constexpr std::array<ToolTab, 4> allToolTabs = {ToolTab::addHost, ToolTab::keys, ToolTab::snippets,
                                                       ToolTab::settings};

// Each tool's fixed tab id; never equal to a session's random id.
QUuid tabID(ToolTab tool);
// The tool whose fixed id this is; none for any other id.
std::optional<ToolTab> toolTabFor(const QUuid& id);

}  // namespace quillmar
