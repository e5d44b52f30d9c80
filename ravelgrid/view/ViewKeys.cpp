#include "ravelgrid/view/ViewKeys.h"

#include <algorithm>

namespace ravelgrid {

bool anyMatches(const std::vector<KeyChord>& chords, int key, Qt::KeyboardModifiers held)
{
    return std::any_of(chords.begin(), chords.end(), [&](const KeyChord& c) { return c.matches(key, held); });
}

const std::vector<ViewKeyBinding>& defaultViewKeyBindings()
{
    constexpr Qt::KeyboardModifiers ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;
    constexpr Qt::KeyboardModifiers shift = Qt::ShiftModifier;
    using C = ViewCommand;
    static const std::vector<ViewKeyBinding> bindings{
        {C::copy, {Qt::Key_C, ctrlShift}},          {C::paste, {Qt::Key_V, ctrlShift}},
        {C::paste, {Qt::Key_Insert, shift}},        {C::selectAll, {Qt::Key_A, ctrlShift}},
        {C::showFindBar, {Qt::Key_F, ctrlShift}},   {C::findNext, {Qt::Key_G, ctrlShift}},
        {C::findPrevious, {Qt::Key_H, ctrlShift}},  {C::useSelectionForFind, {Qt::Key_E, ctrlShift}},
        {C::scrollPageUp, {Qt::Key_PageUp, shift}}, {C::scrollPageDown, {Qt::Key_PageDown, shift}},
        {C::scrollToTop, {Qt::Key_Home, shift}},    {C::scrollToBottom, {Qt::Key_End, shift}},
    };
    return bindings;
}

}  // namespace ravelgrid
