#include "quillmar/app/sidebar/SidebarSection.h"

#include "quillmar/app/UserSettings.h"
#include "quillmar/app/style/LucideIcon.h"
#include "quillmar/app/style/Metro.h"

#include <QHBoxLayout>
#include <QToolButton>
#include <QVBoxLayout>

namespace quillmar {
namespace {

// Added to the style's own space between a header's icon and its title.
constexpr int headerIconGap = 5;

}  // namespace

SidebarSection::SidebarSection(const QString& title, const QString& icon, QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 4, 0, 2);
    layout->setSpacing(0);
    auto* header = new QWidget(this);
    header->setObjectName(QStringLiteral("header"));
    header_ = new QHBoxLayout(header);
    header_->setContentsMargins(8, 0, 8, 0);
    header_->setSpacing(2);
    disclosure_ = new QToolButton(header);
    disclosure_->setObjectName(QStringLiteral("disclosure"));
    disclosure_->setAutoRaise(true);
    disclosure_->setCheckable(true);
    disclosure_->setFixedSize(16, 18);
    title_ = new QToolButton(header);
    title_->setText(title.toUpper());
    title_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    LucideIcon::decorate(title_, icon, 15, headerIconGap);
    QFont f = metroMonoFont(10);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 0.9);
    title_->setFont(f);
    title_->setAutoRaise(true);
    title_->setCursor(Qt::PointingHandCursor);
    header_->addWidget(disclosure_);
    header_->addWidget(title_);
    header_->addStretch(1);
    body_ = new QWidget(this);
    body_->setObjectName(QStringLiteral("body"));
    bodyLayout_ = new QVBoxLayout(body_);
    bodyLayout_->setContentsMargins(0, 0, 0, 0);
    bodyLayout_->setSpacing(0);
    layout->addWidget(header);
    layout->addWidget(body_, 1);
    showExpanded(false);
    connect(disclosure_, &QToolButton::toggled, this, &SidebarSection::showExpanded);
}

void SidebarSection::addHeaderButton(QToolButton* button)
{
    header_->addWidget(button);
}

void SidebarSection::showExpanded(bool on)
{
    disclosure_->setArrowType(on ? Qt::DownArrow : Qt::RightArrow);
    disclosure_->setToolTip(on ? tr("Collapse") : tr("Expand"));
    body_->setVisible(on);
}

void SidebarSection::followSetting(UserSettings& settings, bool (UserSettings::*get)() const,
                                   void (UserSettings::*set)(bool), void (UserSettings::*changed)())
{
    disclosure_->setChecked((settings.*get)());
    connect(disclosure_, &QToolButton::toggled, this, [&settings, get, set](bool on) {
        if ((settings.*get)() != on)
            (settings.*set)(on);
    });
    connect(&settings, changed, this, [this, &settings, get] { disclosure_->setChecked((settings.*get)()); });
}

}  // namespace quillmar
