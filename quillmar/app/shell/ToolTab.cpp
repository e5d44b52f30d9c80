#include "quillmar/app/shell/ToolTab.h"

namespace quillmar {

QUuid tabID(ToolTab tool) {
    // Version-4-shaped constants, so they read like the random session ids
    // beside them but can never be drawn by QUuid::createUuid twice.
    switch (tool) {
    case ToolTab::addHost: return QUuid(0x5a0c41d2, 0x7e1b, 0x4c7a, 0x9b, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01);
    case ToolTab::keys: return QUuid(0x5a0c41d2, 0x7e1b, 0x4c7a, 0x9b, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02);
    case ToolTab::snippets: return QUuid(0x5a0c41d2, 0x7e1b, 0x4c7a, 0x9b, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03);
    case ToolTab::settings: return QUuid(0x5a0c41d2, 0x7e1b, 0x4c7a, 0x9b, 0x31, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04);
    }
    return {};
}

std::optional<ToolTab> toolTabFor(const QUuid& id) {
    for (ToolTab tool : allToolTabs) {
        if (tabID(tool) == id)
            return tool;
    }
    return std::nullopt;
}

}  // namespace quillmar
