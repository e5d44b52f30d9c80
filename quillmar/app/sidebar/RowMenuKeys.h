#pragma once

class QAbstractItemView;

namespace quillmar {

// Opens a list's context menu from the keyboard (the Menu key, Shift+F10)
// for its highlighted row, at that row. Qt asks for the menu at the current
// index, which need not be the highlighted row, or at the mouse pointer.
// The view's customContextMenuRequested gets a point inside that row, in
// viewport coordinates as for a right click; with no row, nothing opens.
void openRowMenusFromKeyboard(QAbstractItemView* view);

}  // namespace quillmar
