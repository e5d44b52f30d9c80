#include "quillmar/app/panes/KeyringWaitLabel.h"

#include "quillmar/snippets/SnippetStore.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>

namespace quillmar {

QLabel* makeKeyringWaitLabel(SnippetStore& store, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QStringLiteral("snippetsWaiting"));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    // A muted colour that follows the system's light or dark palette by itself.
    label->setForegroundRole(QPalette::PlaceholderText);
    const auto show = [label, &store] {
        label->setText(
            store.waitingForPrompt()
                ? QCoreApplication::translate("quillmar::KeyringWaitLabel",
                                              "Waiting for the keyring's password prompt\u2026")
                : QCoreApplication::translate("quillmar::KeyringWaitLabel", "Waiting for the keyring\u2026"));
        label->setVisible(store.waitingForKeyring());
    };
    show();
    QObject::connect(&store, &SnippetStore::waitingForKeyringChanged, label, show);
    return label;
}

QPushButton* makeKeyringUnlockButton(SnippetStore& store, QWidget* parent)
{
    auto* button =
        new QPushButton(QCoreApplication::translate("quillmar::KeyringWaitLabel", "Unlock Keyring\u2026"), parent);
    button->setObjectName(QStringLiteral("snippetsUnlock"));
    const auto show = [button, &store] { button->setVisible(store.keyringLocked()); };
    show();
    QObject::connect(&store, &SnippetStore::waitingForKeyringChanged, button, show);
    QObject::connect(button, &QPushButton::clicked, &store, &SnippetStore::load);
    return button;
}

}  // namespace quillmar
