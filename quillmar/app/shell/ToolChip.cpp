#include "quillmar/app/shell/ToolChip.h"

#include "quillmar/app/style/Metro.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

namespace quillmar {

QString toolTitle(ToolTab tool)
{
    switch (tool) {
    case ToolTab::addHost: return QCoreApplication::translate("quillmar::ToolChip", "Add host");
    case ToolTab::keys: return QCoreApplication::translate("quillmar::ToolChip", "Keys");
    case ToolTab::snippets: return QCoreApplication::translate("quillmar::ToolChip", "Snippets");
    case ToolTab::settings: return QCoreApplication::translate("quillmar::ToolChip", "Settings");
    }
    return {};
}

QString toolHelp(ToolTab tool)
{
    return tool == ToolTab::settings ? QCoreApplication::translate("quillmar::ToolChip", "Settings (Ctrl+,)")
                                     : toolTitle(tool);
}

ToolChip::ToolChip(ToolTab tool, std::function<void()> onSelect, std::function<void()> onClose, QWidget* parent)
    : ChipBase(std::move(onSelect), std::move(onClose), parent), tool_(tool)
{
    title_ = new QLabel(toolTitle(tool), this);
    title_->setFont(metroMonoFont(12));
    closeButton_ = makeCloseButton(tr("Close %1").arg(toolTitle(tool)), this);
    connect(closeButton_, &QToolButton::clicked, this, [this] {
        if (onClose_)
            onClose_();
    });
    row_->addWidget(title_);
    row_->addWidget(closeButton_);
    setToolTip(toolHelp(tool));
    activeChanged();
}

QString ToolChip::titleText() const
{
    return title_->text();
}

void ToolChip::activeChanged()
{
    setTextRole(title_, active_ ? Metro::Role::text : Metro::Role::secondaryText);
}

}  // namespace quillmar
