#pragma once

#include "quillmar/snippets/SnippetLibrary.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

namespace quillmar {

// The snippets for the views: the library with a signal per changed
// property. A new store holds nothing, has no load error, is not loaded and
// reads nothing until `load`. Main thread only.
//
// Every change returns none when it was saved, else the sentence to show
// (ending in "Nothing was changed.").
class SnippetStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool loaded READ loaded WRITE setLoaded NOTIFY loadedChanged)
    Q_PROPERTY(QString loadError READ loadError NOTIFY loadErrorChanged)
    Q_PROPERTY(QStringList categories READ categories NOTIFY categoriesChanged)

public:
    // The user's data folder and keyring.
    explicit SnippetStore(QObject* parent = nullptr);
    // Another folder or key source (tests).
    SnippetStore(SnippetPaths paths, std::unique_ptr<SnippetKeySource> keys, QObject* parent = nullptr);
    ~SnippetStore() override;

    bool loaded() const { return library_.loaded(); }
    void setLoaded(bool loaded);
    bool hasLoadError() const { return library_.loadError().has_value(); }
    // Empty when there is none.
    QString loadError() const;

    const std::vector<Snippet>& allSnippets() const { return library_.all(); }
    std::optional<Snippet> snippet(const QString& id) const;
    QStringList categories() const { return categories_; }
    std::vector<Snippet> snippets(const QString& inCategory) const;
    QString snippetsFilePath() const;

    std::optional<QString> add(const Snippet& snippet, QString* newId = nullptr);
    std::optional<QString> edit(const Snippet& snippet);
    std::optional<QString> remove(const QString& id);
    std::optional<QString> resetToFactory();

    std::optional<QString> exportTo(const QString& path, const QString& passphrase,
                                    std::uint32_t rounds = SnippetFileFormat::kExportRounds);
    // Reads an export and says what importing it would add and replace;
    // changes nothing. Hand the plan to `applyImport` once the user agreed.
    SnippetResult<SnippetImportPlan> prepareImport(const QString& path, const QString& passphrase) const;
    SnippetResult<SnippetImportOutcome> applyImport(const SnippetImportPlan& plan, SnippetImportChoice choice);

public slots:
    // Reads the snippets file (saving the factory set when there is none).
    void load();

signals:
    void loadedChanged();
    void loadErrorChanged();
    void snippetsChanged();
    void categoriesChanged();

private:
    // Emits what differs from the state before a step.
    struct Before {
        bool loaded;
        std::optional<std::string> loadError;
        std::uint64_t revision;
    };
    Before before() const;
    void publish(const Before& was);
    std::optional<QString> finish(const Before& was, const SnippetStatus& status);

    SnippetLibrary library_;
    QStringList categories_;
};

}  // namespace quillmar
