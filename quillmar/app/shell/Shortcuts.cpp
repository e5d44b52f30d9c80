#include "quillmar/app/shell/Shortcuts.h"

namespace quillmar {

const std::vector<Shortcut>& shortcuts()
{
    static const std::vector<Shortcut> table = [] {
        constexpr Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
        constexpr Qt::KeyboardModifiers ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;
        constexpr Qt::KeyboardModifiers alt = Qt::AltModifier;
        using W = WindowCommand;
        std::vector<Shortcut> rows{
            {W::closeTab, {Qt::Key_W, ctrlShift}},
            {W::newLocalTab, {Qt::Key_T, ctrlShift}},
            // Plus is Shift+= on most layouts; either way with or without Shift.
            {W::biggerText, {Qt::Key_Equal, ctrl}},
            {W::biggerText, {Qt::Key_Plus, ctrl}},
            {W::biggerText, {Qt::Key_Equal, ctrlShift}},
            {W::biggerText, {Qt::Key_Plus, ctrlShift}},
            {W::smallerText, {Qt::Key_Minus, ctrl}},
            {W::actualSizeText, {Qt::Key_0, ctrl}},
            {W::openSettings, {Qt::Key_Comma, ctrl}},
            {W::firstTab, {Qt::Key_Home, ctrlShift}},
            {W::lastTab, {Qt::Key_End, ctrlShift}},
            {W::lastTab, {Qt::Key_9, alt}},
            {W::previousTab, {Qt::Key_PageUp, ctrl}},
            {W::nextTab, {Qt::Key_PageDown, ctrl}},
            // Shift turns the bracket keys into braces on most layouts.
            {W::previousTab, {Qt::Key_BracketLeft, ctrlShift}},
            {W::previousTab, {Qt::Key_BraceLeft, ctrlShift}},
            {W::nextTab, {Qt::Key_BracketRight, ctrlShift}},
            {W::nextTab, {Qt::Key_BraceRight, ctrlShift}},
            {W::nextTab, {Qt::Key_Tab, ctrl}},
            {W::previousTab, {Qt::Key_Tab, ctrlShift}},
            {W::previousTab, {Qt::Key_Backtab, ctrlShift}},
        };
        for (int i = 0; i < 8; ++i)
            rows.push_back({WindowCommand(int(W::tab1) + i), {Qt::Key_1 + i, alt}});
        // The terminal's own commands keep the view library's keys.
        for (const ravelgrid::ViewKeyBinding& b : ravelgrid::defaultViewKeyBindings())
            rows.push_back({b.command, b.chord});
        return rows;
    }();
    return table;
}

std::optional<WindowCommand> windowCommandFor(int key, Qt::KeyboardModifiers modifiers)
{
    for (const Shortcut& s : shortcuts())
        if (const auto* command = std::get_if<WindowCommand>(&s.command); command && s.chord.matches(key, modifiers))
            return *command;
    return std::nullopt;
}

std::vector<ravelgrid::KeyChord> windowChords()
{
    std::vector<ravelgrid::KeyChord> chords;
    for (const Shortcut& s : shortcuts())
        if (std::holds_alternative<WindowCommand>(s.command))
            chords.push_back(s.chord);
    return chords;
}

std::vector<ravelgrid::ViewKeyBinding> viewKeyBindings()
{
    std::vector<ravelgrid::ViewKeyBinding> bindings;
    for (const Shortcut& s : shortcuts())
        if (const auto* command = std::get_if<ravelgrid::ViewCommand>(&s.command))
            bindings.push_back({*command, s.chord});
    return bindings;
}

}  // namespace quillmar
