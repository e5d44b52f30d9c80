#pragma once

class QLabel;
class QPushButton;
class QWidget;

namespace quillmar {

class SnippetStore;

// "Waiting for the keyring…", or "Waiting for the keyring's password
// prompt…" while it waits for the user there; shown only while the store
// waits for its key, so that an unanswered keyring doesn't look like an
// empty library.
QLabel* makeKeyringWaitLabel(SnippetStore& store, QWidget* parent);

// "Unlock Keyring…", shown while the snippets can't be opened because the
// keyring is locked: asks again, through the keyring's password prompt.
QPushButton* makeKeyringUnlockButton(SnippetStore& store, QWidget* parent);

}  // namespace quillmar
