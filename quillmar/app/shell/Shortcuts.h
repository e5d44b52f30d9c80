#pragma once

#include "ravelgrid/view/ViewKeys.h"

#include <optional>
#include <variant>
#include <vector>

namespace quillmar {

// What the window's own keys do; the key router carries them out.
enum class WindowCommand {
    closeTab,
    newLocalTab,
    biggerText,
    smallerText,
    actualSizeText,
    openSettings,
    firstTab,
    lastTab,
    previousTab,
    nextTab,
    // The tab in that place (Alt+1 to Alt+8).
    tab1,
    tab2,
    tab3,
    tab4,
    tab5,
    tab6,
    tab7,
    tab8,
};

// A command is the window's or a terminal view's own.
using Command = std::variant<WindowCommand, ravelgrid::ViewCommand>;

struct Shortcut {
    Command command;
    ravelgrid::KeyChord chord;
};

// Every key of the window, one chord per row: a command may have several.
const std::vector<Shortcut>& shortcuts();

// The window command of a key with exactly these modifiers, if any.
std::optional<WindowCommand> windowCommandFor(int key, Qt::KeyboardModifiers modifiers);

// What a terminal view in the window is handed: the window's chords, which
// it leaves to the router, and the chords of its own commands.
std::vector<ravelgrid::KeyChord> windowChords();
std::vector<ravelgrid::ViewKeyBinding> viewKeyBindings();

}  // namespace quillmar
