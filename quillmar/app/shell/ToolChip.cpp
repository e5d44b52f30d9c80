#include "quillmar/app/shell/ToolChip.h"

#include "quillmar/app/style/Metro.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

namespace quillmar {

QString toolTitle(ToolTab tool) {
    switch (tool) {
    case ToolTab::addHost: return QStringLiteral("Add host");
    case ToolTab::keys: return QStringLiteral("Keys");
    case ToolTab::snippets: return QStringLiteral("Snippets");
    case ToolTab::settings: return QStringLiteral("Settings");
    }
    return {};
}

QString toolHelp(ToolTab tool) {
    return tool == ToolTab::settings ? QStringLiteral("Settings (Ctrl+,)") : toolTitle(tool);
}

ToolChip::ToolChip(ToolTab tool, std::function<void()> onSelect, std::function<void()> onClose, QWidget* parent)
    : ChipBase(std::move(onSelect), std::move(onClose), parent), tool_(tool) {
    title_ = new QLabel(toolTitle(tool), this);
    title_->setFont(metroMonoFont(12));
    closeButton_ = makeCloseButton(QStringLiteral("Close ") + toolTitle(tool), this);
    connect(closeButton_, &QToolButton::clicked, this, [this] {
        if (onClose_)
            onClose_();
    });
    row_->addWidget(title_);
    row_->addWidget(closeButton_);
    setToolTip(toolHelp(tool));
    activeChanged();
}

QString ToolChip::titleText() const { return title_->text(); }

void ToolChip::activeChanged() {
    QPalette p = title_->palette();
    p.setColor(QPalette::WindowText, active_ ? Metro::text() : Metro::secondaryText());
    title_->setPalette(p);
}

}  // namespace quillmar
