#pragma once

#include "ravelgrid/protocols/KittyKeyEvent.h"
#include "ravelgrid/view/KeyEncoder.h"
#include "ravelgrid/view/ViewKeys.h"

#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QInputMethodEvent;
class QKeyEvent;

namespace ravelgrid {

class MarkedTextOverlay;
class TerminalView;

// The view's keyboard and input method: key presses and releases as xterm
// or kitty keyboard bytes, Option-as-Meta, the scrollback keys, the input
// method's marked text and its overlay, and which chords the view leaves to
// its window. The view's event handlers forward here.
class KeyboardInput {
public:
    explicit KeyboardInput(TerminalView& view);
    KeyboardInput(const KeyboardInput&) = delete;
    KeyboardInput& operator=(const KeyboardInput&) = delete;
    ~KeyboardInput();

    void press(QKeyEvent* event);
    void release(QKeyEvent* event);
    // True when the key is the terminal's before any shortcut sees it.
    bool claimsShortcutOverride(const QKeyEvent& event) const;
    void inputMethod(QInputMethodEvent* event);

    bool optionAsMetaKey() const { return optionAsMetaKey_; }
    void setOptionAsMetaKey(bool on) { optionAsMetaKey_ = on; }
    bool backspaceSendsControlH() const { return backspaceSendsControlH_; }
    void setBackspaceSendsControlH(bool on) { backspaceSendsControlH_ = on; }

    // Chords the window keeps: left to its shortcuts and never typed.
    const std::vector<KeyChord>& reservedKeys() const { return reserved_; }
    void setReservedKeys(std::vector<KeyChord> chords) { reserved_ = std::move(chords); }
    const std::vector<ViewKeyBinding>& commandKeys() const { return commandKeys_; }
    void setCommandKeys(std::vector<ViewKeyBinding> bindings) { commandKeys_ = std::move(bindings); }
    std::vector<KeyChord> chordsFor(ViewCommand command) const;
    // A scrollback key on the normal screen, carried out; false for any other key.
    bool scrollbackKey(int key, Qt::KeyboardModifiers modifiers);

    // Uncommitted text at the caret; empty text removes it.
    void setMarkedText(const QString& text, int cursor = -1);
    void unmarkText();
    const QString& markedText() const { return markedText_; }
    // Null without marked text.
    MarkedTextOverlay* markedTextOverlay() const { return markedOverlay_.get(); }
    bool kittyIsComposing() const { return kittyIsComposing_; }

    // Committed text while the kitty protocol is on: one text event.
    void sendKittyText(std::string_view text);

private:
    KeyModes keyModes() const;
    void updateMarkedTextOverlay();
    // Kitty keyboard events; only while the flags are not 0.
    bool kittyKeyPress(QKeyEvent* event);
    void kittyKeyRelease(QKeyEvent* event);
    std::optional<KittyKeyEvent> kittyKeyEvent(const QKeyEvent& event, KittyKeyboardEventType type,
                                               std::optional<std::string> text) const;
    KittyKeyEvent kittyTextEvent(std::string_view text) const;
    bool sendKittyKeyEvent(const KittyKeyEvent& event);

    TerminalView& view_;
    bool optionAsMetaKey_ = true;
    bool backspaceSendsControlH_ = false;
    std::vector<KeyChord> reserved_;
    std::vector<ViewKeyBinding> commandKeys_ = defaultViewKeyBindings();
    QString markedText_;
    int markedCursor_ = -1;
    std::unique_ptr<MarkedTextOverlay> markedOverlay_;
    bool kittyIsComposing_ = false;
};

}  // namespace ravelgrid
