#include "quillmar/app/shell/ToolTab.h"

namespace quillmar {

std::optional<QUuid> TabID::session() const
{
    if (const QUuid* id = std::get_if<QUuid>(&value_))
        return *id;
    return std::nullopt;
}

std::optional<ToolTab> TabID::tool() const
{
    if (const ToolTab* tool = std::get_if<ToolTab>(&value_))
        return *tool;
    return std::nullopt;
}

}  // namespace quillmar
