#pragma once

#include <QKeySequence>
#include <Qt>

#include <vector>

namespace ravelgrid {

// A key with exactly these modifiers held. Only Shift, Ctrl, Alt and Super
// count: the keypad flag and layout groups do not make another chord.
struct KeyChord {
    int key = 0;  // Qt::Key
    Qt::KeyboardModifiers modifiers;

    static constexpr Qt::KeyboardModifiers counted =
        Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    bool matches(int pressed, Qt::KeyboardModifiers held) const
    {
        return pressed == key && (held & counted) == (modifiers & counted);
    }
    QKeySequence sequence() const { return QKeySequence(QKeyCombination(modifiers, Qt::Key(key))); }
    bool operator==(const KeyChord&) const = default;
};

bool anyMatches(const std::vector<KeyChord>& chords, int key, Qt::KeyboardModifiers held);

// The view's own commands that keys reach.
enum class ViewCommand {
    copy,
    paste,
    selectAll,
    showFindBar,
    findNext,
    findPrevious,
    useSelectionForFind,
    // The normal screen's scrollback; on the alternate screen these keys are the program's.
    scrollPageUp,
    scrollPageDown,
    scrollToTop,
    scrollToBottom,
};

struct ViewKeyBinding {
    ViewCommand command;
    KeyChord chord;
    bool operator==(const ViewKeyBinding&) const = default;
};

// The keys of a view whose host names none: Ctrl+Shift+C, V (and
// Shift+Insert), A, F, G, H, E, and Shift with PageUp, PageDown, Home, End.
const std::vector<ViewKeyBinding>& defaultViewKeyBindings();

}  // namespace ravelgrid
