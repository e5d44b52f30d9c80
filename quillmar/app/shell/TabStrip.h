#pragma once

#include "quillmar/app/shell/TabChip.h"
#include "quillmar/app/shell/TabWidgets.h"
#include "quillmar/app/shell/ToolTab.h"
#include "quillmar/app/shell/Workspace.h"

#include <QRect>
#include <QWidget>

#include <optional>

class QHBoxLayout;
class QPushButton;
class QScrollArea;

namespace quillmar {

class Pill;
class ToolChip;

// The row above the detail area: a chip per session, then per open tool in
// declaration order (scrolling sideways without a bar when too wide), the
// "Local" button for a new local shell, and the build pill that opens the
// About section of Settings.
class TabStrip : public QWidget {
    Q_OBJECT

public:
    explicit TabStrip(Workspace& workspace, QWidget* parent = nullptr);

    // The badge number of the tab at 0-based `index` of `count`: 1 to 8 for
    // the first eight, 9 for the last of more than eight, none in between.
    static std::optional<int> badgeNumber(std::size_t index, std::size_t count);
    // "Version: " and the build's version text.
    static QString pillText();
    static QString pillHelp();

    // The chips in strip order, each with its tab id.
    std::vector<std::pair<TabID, ChipBase*>> chips() const { return chips_.inOrder(); }
    TabChip* chipFor(const QUuid& sessionID) const;
    ToolChip* chipFor(ToolTab tool) const;
    // A laid-out chip's frame in `reference`'s coordinates; none before layout.
    std::optional<QRect> chipFrame(const TabID& id, const QWidget* reference) const;

    QPushButton* localButton() const { return localButton_; }
    QPushButton* buildButton() const { return buildButton_; }
    Pill* buildPill() const { return buildPill_; }
    QScrollArea* scrollArea() const { return scroll_; }

    // Takes the theme's colours again (on a palette change).
    void restyle();

    void openLocalShell();
    void openAbout();

signals:
    // A chip moved, appeared or went.
    void chipsChanged();
    // A rename that had the keyboard ended: it goes back to the terminal.
    void renameEnded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void sync();
    ChipBase* makeChip(const TabID& id);
    void markActive();
    // Scrolls the chips so that the active one is whole in view.
    void revealActive();
    void scheduleReveal();

    Workspace& workspace_;
    QScrollArea* scroll_ = nullptr;
    QWidget* row_ = nullptr;
    QHBoxLayout* rowLayout_ = nullptr;
    QPushButton* localButton_ = nullptr;
    QPushButton* buildButton_ = nullptr;
    Pill* buildPill_ = nullptr;
    TabWidgets<ChipBase> chips_;
    bool revealPending_ = false;
};

}  // namespace quillmar
