#pragma once

#include "platform/Scheduler.h"

#include <QObject>
#include <QPointer>

#include <cstdint>

class QKeyEvent;

namespace quillmar {

class UserSettings;
class Workspace;

// One key event as the router sees it: a key going down, or a change of the
// held modifiers (a modifier key pressed or released).
struct KeyStroke {
    enum class Kind { keyDown, modifiersChanged };
    Kind kind = Kind::keyDown;
    int key = 0;                      // Qt::Key
    Qt::KeyboardModifiers modifiers;  // after the change, for modifiersChanged
};

// The window's keyboard shortcuts (the window commands of shortcuts()), seen
// before any widget gets the key: an application event filter over the keys
// of one window. Shortcuts compare
// Shift, Ctrl, Alt and Super exactly; every key it does not consume reaches
// the focused widget unchanged. Holding Alt alone for `badgeDelay` shows the
// tab-number badges. Main thread only.
class KeyRouter : public QObject {
    Q_OBJECT

public:
    KeyRouter(UserSettings& settings, platform::Scheduler& scheduler, QObject* parent = nullptr);
    ~KeyRouter() override;

    bool showBadges() const { return showBadges_; }
    bool pendingShow() const { return pendingShow_ != 0; }
    double badgeDelay = 0.3;  // seconds

    Workspace* workspace() const { return workspace_; }
    void setWorkspace(Workspace* workspace) { workspace_ = workspace; }

    // Filters the keys of `window` (every window when null); at most one filter at a time.
    void install(QWidget* window);
    void stop();
    bool installed() const { return installed_; }

    // True when consumed.
    bool handle(const KeyStroke& stroke);
    // The stroke a Qt key event stands for; none for events the router ignores.
    static std::optional<KeyStroke> strokeFor(const QKeyEvent& event);

signals:
    void showBadgesChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setShowBadges(bool on);
    void hideBadges();
    bool handleKeyDown(int key, Qt::KeyboardModifiers mods);
    void activateAt(std::size_t index);
    void step(int delta);

    UserSettings& settings_;
    platform::ScopedTasks tasks_;
    QPointer<Workspace> workspace_;
    QPointer<QWidget> scope_;
    bool installed_ = false;
    bool showBadges_ = false;
    platform::Scheduler::TaskId pendingShow_ = 0;
};

}  // namespace quillmar
