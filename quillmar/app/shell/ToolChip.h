#pragma once

#include "quillmar/app/shell/TabChip.h"
#include "quillmar/app/shell/ToolTab.h"

namespace quillmar {

// "Add host", "Keys", "Snippets", "Settings".
QString toolTitle(ToolTab tool);
// The chip's help text: the title, and Settings names its shortcut.
QString toolHelp(ToolTab tool);

// One open tool pane's tab: its title and a close button.
class ToolChip : public ChipBase {
    Q_OBJECT

public:
    ToolChip(ToolTab tool, std::function<void()> onSelect, std::function<void()> onClose, QWidget* parent = nullptr);

    ToolTab tool() const { return tool_; }
    QString titleText() const;

protected:
    void activeChanged() override;

private:
    ToolTab tool_;
    QLabel* title_ = nullptr;
};

}  // namespace quillmar
