#pragma once

#include <QWidget>

class QHBoxLayout;
class QToolButton;
class QVBoxLayout;

namespace quillmar {

class UserSettings;

// One section of the sidebar: a header row (the disclosure, the icon and
// upper-cased title, an optional button at the far end) over a body that
// folds away with the disclosure.
class SidebarSection : public QWidget {
    Q_OBJECT

public:
    SidebarSection(const QString& title, const QString& icon, QWidget* parent = nullptr);

    QToolButton* disclosure() const { return disclosure_; }
    // Does nothing by itself: the owner says whether it folds or opens a pane.
    QToolButton* titleButton() const { return title_; }
    QWidget* body() const { return body_; }
    QVBoxLayout* bodyLayout() const { return bodyLayout_; }
    // At the far end of the header, after the stretch.
    void addHeaderButton(QToolButton* button);

    // Open as the settings' flag says, written back on each toggle; a change
    // made elsewhere (another window) reaches the section.
    void followSetting(UserSettings& settings, bool (UserSettings::*get)() const, void (UserSettings::*set)(bool),
                       void (UserSettings::*changed)());

private:
    void showExpanded(bool on);

    QHBoxLayout* header_ = nullptr;
    QToolButton* disclosure_ = nullptr;
    QToolButton* title_ = nullptr;
    QWidget* body_ = nullptr;
    QVBoxLayout* bodyLayout_ = nullptr;
};

}  // namespace quillmar
