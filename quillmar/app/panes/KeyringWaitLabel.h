#pragma once

class QLabel;
class QWidget;

namespace quillmar {

class SnippetStore;

// "Waiting for the keyring…", shown only while the store waits for its key,
// so that an unlock prompt left open doesn't look like an empty library.
QLabel* makeKeyringWaitLabel(SnippetStore& store, QWidget* parent);

}  // namespace quillmar
