#include "quillmar/snippets/SnippetStore.h"

#include "quillmar/snippets/KeyringKeySource.h"

namespace quillmar {
namespace {

QString toQt(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

SnippetStore::SnippetStore(QObject* parent)
    : SnippetStore(SnippetPaths::fromEnvironment(), std::make_unique<KeyringKeySource>(), parent) {}

SnippetStore::SnippetStore(SnippetPaths paths, std::unique_ptr<SnippetKeySource> keys, QObject* parent)
    : QObject(parent), library_(SnippetVault(std::move(paths), std::move(keys))) {}

SnippetStore::~SnippetStore() = default;

void SnippetStore::setLoaded(bool loaded) {
    if (loaded == library_.loaded()) return;
    library_.setLoaded(loaded);
    emit loadedChanged();
}

QString SnippetStore::loadError() const {
    const auto& error = library_.loadError();
    return error ? toQt(*error) : QString();
}

std::optional<Snippet> SnippetStore::snippet(const QString& id) const {
    const Snippet* s = library_.find(id.toStdString());
    if (!s) return std::nullopt;
    return *s;
}

std::vector<Snippet> SnippetStore::snippets(const QString& inCategory) const {
    return library_.snippets(inCategory.toStdString());
}

QString SnippetStore::snippetsFilePath() const { return toQt(library_.vault().paths().snippetsFile()); }

SnippetStore::Before SnippetStore::before() const {
    return {library_.loaded(), library_.loadError(), library_.revision()};
}

void SnippetStore::publish(const Before& was) {
    if (was.loaded != library_.loaded()) emit loadedChanged();
    if (was.loadError != library_.loadError()) emit loadErrorChanged();
    if (was.revision != library_.revision()) {
        QStringList categories;
        for (const std::string& c : library_.categories()) categories.push_back(toQt(c));
        const bool categoriesDiffer = categories != categories_;
        categories_ = std::move(categories);
        emit snippetsChanged();
        if (categoriesDiffer) emit categoriesChanged();
    }
}

std::optional<QString> SnippetStore::finish(const Before& was, const SnippetStatus& status) {
    publish(was);
    if (!status) return toQt(status.error().message);
    return std::nullopt;
}

void SnippetStore::load() {
    const Before was = before();
    library_.load();
    publish(was);
}

std::optional<QString> SnippetStore::add(const Snippet& snippet, QString* newId) {
    const Before was = before();
    auto id = library_.add(snippet);
    if (id && newId) *newId = toQt(id.value());
    return finish(was, id ? SnippetStatus(SnippetDone{}) : SnippetStatus(id.error()));
}

std::optional<QString> SnippetStore::edit(const Snippet& snippet) {
    const Before was = before();
    return finish(was, library_.edit(snippet));
}

std::optional<QString> SnippetStore::remove(const QString& id) {
    const Before was = before();
    return finish(was, library_.remove(id.toStdString()));
}

std::optional<QString> SnippetStore::resetToFactory() {
    const Before was = before();
    return finish(was, library_.resetToFactory());
}

std::optional<QString> SnippetStore::exportTo(const QString& path, const QString& passphrase, std::uint32_t rounds) {
    std::string secret = passphrase.toStdString();
    auto done = library_.exportTo(path.toStdString(), secret, rounds);
    platform::wipe(secret);
    if (!done) return toQt(done.error().message);
    return std::nullopt;
}

SnippetResult<SnippetImportPlan> SnippetStore::prepareImport(const QString& path, const QString& passphrase) const {
    std::string secret = passphrase.toStdString();
    auto plan = library_.prepareImport(path.toStdString(), secret);
    platform::wipe(secret);
    return plan;
}

SnippetResult<SnippetImportOutcome> SnippetStore::applyImport(const SnippetImportPlan& plan,
                                                              SnippetImportChoice choice) {
    const Before was = before();
    auto outcome = library_.applyImport(plan, choice);
    publish(was);
    return outcome;
}

}  // namespace quillmar
