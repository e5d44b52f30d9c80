#include "quillmar/app/shell/KeyRouter.h"

#include "quillmar/app/UserSettings.h"
#include "quillmar/app/shell/Shortcuts.h"
#include "quillmar/app/shell/Workspace.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

namespace quillmar {
namespace {

constexpr Qt::KeyboardModifiers counted = ravelgrid::KeyChord::counted;

std::optional<Qt::KeyboardModifier> modifierOfKey(int key)
{
    switch (key) {
    case Qt::Key_Shift: return Qt::ShiftModifier;
    case Qt::Key_Control: return Qt::ControlModifier;
    case Qt::Key_Alt: return Qt::AltModifier;
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R: return Qt::MetaModifier;
    default: return std::nullopt;
    }
}

}  // namespace

KeyRouter::KeyRouter(UserSettings& settings, platform::Scheduler& scheduler, QObject* parent)
    : QObject(parent), settings_(settings), tasks_(scheduler)
{}

KeyRouter::~KeyRouter()
{
    stop();
}

void KeyRouter::install(QWidget* window)
{
    scope_ = window;
    if (installed_ || !qApp)
        return;
    qApp->installEventFilter(this);
    installed_ = true;
}

void KeyRouter::stop()
{
    if (installed_ && qApp)
        qApp->removeEventFilter(this);
    installed_ = false;
}

std::optional<KeyStroke> KeyRouter::strokeFor(const QKeyEvent& event)
{
    const Qt::KeyboardModifiers mods = event.modifiers() & counted;
    if (auto modifier = modifierOfKey(event.key())) {
        // Whether the event's own modifiers already include the key differs
        // between platforms; say what is held after it.
        const Qt::KeyboardModifiers after =
            event.type() == QEvent::KeyPress ? (mods | *modifier) : (mods & ~Qt::KeyboardModifiers(*modifier));
        return KeyStroke{KeyStroke::Kind::modifiersChanged, event.key(), after};
    }
    if (event.type() != QEvent::KeyPress)
        return std::nullopt;
    return KeyStroke{KeyStroke::Kind::keyDown, event.key(), mods};
}

bool KeyRouter::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
        // A key reaches the focused widget first and then, when ignored, each
        // parent: look at it once, on its first receiver, and only in our window.
        auto* widget = qobject_cast<QWidget*>(watched);
        if (!widget)
            return false;
        QWidget* focus = QApplication::focusWidget();
        if (focus ? widget != focus : !widget->isWindow())
            return false;
        if (scope_ && widget->window() != scope_->window())
            return false;
        auto stroke = strokeFor(*static_cast<QKeyEvent*>(event));
        return stroke && handle(*stroke);
    }
    case QEvent::ApplicationStateChange:
    case QEvent::WindowDeactivate:
        // The release of a held Alt may go to another window.
        hideBadges();
        return false;
    default: return false;
    }
}

void KeyRouter::setShowBadges(bool on)
{
    if (on == showBadges_)
        return;
    showBadges_ = on;
    emit showBadgesChanged();
}

void KeyRouter::hideBadges()
{
    if (pendingShow_) {
        tasks_.cancel(pendingShow_);
        pendingShow_ = 0;
    }
    setShowBadges(false);
}

bool KeyRouter::handle(const KeyStroke& stroke)
{
    const Qt::KeyboardModifiers mods = stroke.modifiers & counted;
    if (stroke.kind == KeyStroke::Kind::modifiersChanged) {
        if (mods == Qt::AltModifier) {
            // A repeating Alt must not push the badges further away.
            if (!pendingShow_ && !showBadges_) {
                const auto delay = std::uint64_t(std::max(0.0, badgeDelay) * 1e9);
                pendingShow_ = tasks_.after(delay, [this] {
                    pendingShow_ = 0;
                    setShowBadges(true);
                });
            }
        } else {
            hideBadges();
        }
        return false;
    }
    hideBadges();
    if (!workspace_)
        return false;
    return handleKeyDown(stroke.key, mods);
}

bool KeyRouter::handleKeyDown(int key, Qt::KeyboardModifiers mods)
{
    const std::optional<WindowCommand> command = windowCommandFor(key, mods);
    if (!command)
        return false;
    Workspace& ws = *workspace_;
    switch (*command) {
    case WindowCommand::closeTab:
        if (auto id = ws.activeID())
            ws.requestClose(*id);
        break;
    case WindowCommand::newLocalTab: ws.open(SessionTarget::local()); break;
    case WindowCommand::biggerText: settings_.stepFontSize(+1); break;
    case WindowCommand::smallerText: settings_.stepFontSize(-1); break;
    case WindowCommand::actualSizeText: settings_.setFontSize(UserSettings::defaultFontSize); break;
    case WindowCommand::openSettings:
        ws.setSettingsScrollTarget(std::nullopt);
        ws.openTool(ToolTab::settings);
        break;
    case WindowCommand::firstTab: activateAt(0); break;
    case WindowCommand::lastTab:
        if (const auto count = ws.tabIDs().size())
            activateAt(count - 1);
        break;
    case WindowCommand::previousTab: step(-1); break;
    case WindowCommand::nextTab: step(+1); break;
    case WindowCommand::tab1:
    case WindowCommand::tab2:
    case WindowCommand::tab3:
    case WindowCommand::tab4:
    case WindowCommand::tab5:
    case WindowCommand::tab6:
    case WindowCommand::tab7:
    case WindowCommand::tab8: activateAt(std::size_t(int(*command) - int(WindowCommand::tab1))); break;
    }
    return true;
}

void KeyRouter::activateAt(std::size_t index)
{
    const std::vector<TabID> ids = workspace_->tabIDs();
    if (index < ids.size())
        workspace_->activate(ids[index]);
}

void KeyRouter::step(int delta)
{
    const std::vector<TabID> ids = workspace_->tabIDs();
    if (ids.empty())
        return;
    const auto n = std::ptrdiff_t(ids.size());
    std::ptrdiff_t current = -1;
    if (auto active = workspace_->activeID()) {
        for (std::ptrdiff_t i = 0; i < n; ++i) {
            if (ids[std::size_t(i)] == *active)
                current = i;
        }
    }
    std::ptrdiff_t next;
    if (current < 0)
        next = delta > 0 ? 0 : n - 1;
    else
        next = ((current + delta) % n + n) % n;
    workspace_->activate(ids[std::size_t(next)]);
}

}  // namespace quillmar
