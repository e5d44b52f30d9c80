#include "quillmar/app/panes/KeyringWaitLabel.h"

#include "quillmar/snippets/SnippetStore.h"

#include <QCoreApplication>
#include <QLabel>

namespace quillmar {

QLabel* makeKeyringWaitLabel(SnippetStore& store, QWidget* parent)
{
    auto* label =
        new QLabel(QCoreApplication::translate("quillmar::KeyringWaitLabel", "Waiting for the keyring\u2026"), parent);
    label->setObjectName(QStringLiteral("snippetsWaiting"));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    // A muted colour that follows the system's light or dark palette by itself.
    label->setForegroundRole(QPalette::PlaceholderText);
    label->setVisible(store.waitingForKeyring());
    QObject::connect(&store, &SnippetStore::waitingForKeyringChanged, label,
                     [label, &store] { label->setVisible(store.waitingForKeyring()); });
    return label;
}

}  // namespace quillmar
