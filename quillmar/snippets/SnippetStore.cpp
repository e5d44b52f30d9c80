#include "quillmar/snippets/SnippetStore.h"

#include "quillmar/snippets/KeyringKeySource.h"

#include "platform/SafeFile.h"

#include <mutex>
#include <system_error>
#include <thread>

namespace quillmar {
namespace {

QString toQt(const std::string& s)
{
    return QString::fromStdString(s);
}

}  // namespace

struct SnippetStore::Mailbox {
    std::mutex mutex;
    SnippetStore* store = nullptr;
};

SnippetStore::SnippetStore(QObject* parent)
    : SnippetStore(SnippetPaths::fromEnvironment(), std::make_unique<KeyringKeySource>(), parent)
{}

SnippetStore::SnippetStore(SnippetPaths paths, std::unique_ptr<SnippetKeySource> keys, QObject* parent)
    : QObject(parent), library_(SnippetVault(std::move(paths), std::move(keys))), mailbox_(std::make_shared<Mailbox>())
{
    mailbox_->store = this;
    library_.setLockWait(kLockWait);
    loadRetry_.setSingleShot(true);
    loadRetry_.setInterval(kLoadRetry);
    connect(&loadRetry_, &QTimer::timeout, this, &SnippetStore::readNow);
    keyWait_.setSingleShot(true);
    keyWait_.setInterval(kKeyringTimeLimit);
    connect(&keyWait_, &QTimer::timeout, this, &SnippetStore::keyringTooSlow);
    settle_.setSingleShot(true);
    settle_.setInterval(100);
    connect(&settle_, &QTimer::timeout, this, &SnippetStore::takeOtherSave);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settle_, qOverload<>(&QTimer::start));
}

SnippetStore::~SnippetStore()
{
    {
        std::lock_guard lock(mailbox_->mutex);
        mailbox_->store = nullptr;
    }
    // The worker gives up soon and finds no one to tell.
    if (waitingForKeyring())
        library_.vault().keySource()->cancel();
}

void SnippetStore::setLoaded(bool loaded)
{
    if (loaded == library_.loaded())
        return;
    library_.setLoaded(loaded);
    emit loadedChanged();
}

QString SnippetStore::loadError() const
{
    const auto& error = library_.loadError();
    return error ? toQt(*error) : QString();
}

std::optional<Snippet> SnippetStore::snippet(const QString& id) const
{
    const Snippet* s = library_.find(id.toStdString());
    if (!s)
        return std::nullopt;
    return *s;
}

std::vector<Snippet> SnippetStore::snippets(const QString& inCategory) const
{
    return library_.snippets(inCategory.toStdString());
}

QString SnippetStore::snippetsFilePath() const
{
    return toQt(library_.vault().paths().snippetsFile());
}

SnippetStore::Before SnippetStore::before() const
{
    return {library_.loaded(), library_.loadError(), library_.revision()};
}

void SnippetStore::publish(const Before& was)
{
    if (was.loaded != library_.loaded())
        emit loadedChanged();
    if (was.loadError != library_.loadError())
        emit loadErrorChanged();
    if (was.revision != library_.revision()) {
        QStringList categories;
        for (const std::string& c : library_.categories())
            categories.push_back(toQt(c));
        const bool categoriesDiffer = categories != categories_;
        categories_ = std::move(categories);
        emit snippetsChanged();
        if (categoriesDiffer)
            emit categoriesChanged();
    }
}

std::optional<QString> SnippetStore::finish(const Before& was, const SnippetStatus& status)
{
    publish(was);
    watchFolder();
    if (!status)
        return toQt(status.error().message);
    return std::nullopt;
}

void SnippetStore::load()
{
    if (waitingForKeyring())
        return;
    if (library_.vault().hasKey()) {
        readNow();
        return;
    }
    keyForOpening_ = platform::somethingAt(library_.vault().paths().snippetsFile());
    const std::uint64_t ticket = ++ticket_;
    try {
        std::thread([mailbox = mailbox_, keys = library_.vault().keySource(), forOpening = keyForOpening_, ticket] {
            auto fetched = SnippetVault::fetchKey(*keys, forOpening);
            std::lock_guard lock(mailbox->mutex);
            if (SnippetStore* store = mailbox->store)
                QMetaObject::invokeMethod(
                    store, [store, ticket, fetched] { store->keyFetched(ticket, fetched); }, Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error&) {
        library_.vault().setFetchedKey(
            SnippetVault::keyFailure(keyForOpening_, "No thread could be started to ask the keyring."));
        readNow();
        return;
    }
    keyWait_.start();
    emit waitingForKeyringChanged();
}

void SnippetStore::keyFetched(std::uint64_t ticket, SnippetResult<platform::SymmetricKey> fetched)
{
    if (ticket != ticket_ || !waitingForKeyring())
        return;  // given up on already
    keyWait_.stop();
    library_.vault().setFetchedKey(std::move(fetched));
    readNow();
    emit waitingForKeyringChanged();
}

void SnippetStore::keyringTooSlow()
{
    library_.vault().keySource()->cancel();
    library_.vault().setFetchedKey(SnippetVault::keyFailure(keyForOpening_, "The keyring didn't answer in time."));
    readNow();
    emit waitingForKeyringChanged();
}

void SnippetStore::readNow()
{
    const Before was = before();
    library_.load();
    publish(was);
    watchFolder();
    if (library_.loadWaitsForWriter())
        loadRetry_.start();
}

void SnippetStore::watchFolder()
{
    const QString folder = toQt(library_.vault().paths().dataDirectory());
    if (watcher_.directories().isEmpty() && platform::somethingAt(folder.toStdString()))
        watcher_.addPath(folder);
}

void SnippetStore::takeOtherSave()
{
    if (!library_.loaded() || library_.loadError() || waitingForKeyring())
        return;
    const Before was = before();
    (void)library_.reloadIfChanged();
    publish(was);
}

std::optional<QString> SnippetStore::add(const Snippet& snippet, QString* newId)
{
    const Before was = before();
    auto id = library_.add(snippet);
    if (id && newId)
        *newId = toQt(id.value());
    return finish(was, id ? SnippetStatus(SnippetDone{}) : SnippetStatus(id.error()));
}

std::optional<QString> SnippetStore::edit(const Snippet& snippet)
{
    const Before was = before();
    return finish(was, library_.edit(snippet));
}

std::optional<QString> SnippetStore::remove(const QString& id)
{
    const Before was = before();
    return finish(was, library_.remove(id.toStdString()));
}

std::optional<QString> SnippetStore::resetToFactory()
{
    const Before was = before();
    return finish(was, library_.resetToFactory());
}

std::optional<QString> SnippetStore::exportTo(const QString& path, const QString& passphrase, std::uint32_t rounds)
{
    std::string secret = passphrase.toStdString();
    auto done = library_.exportTo(path.toStdString(), secret, rounds);
    platform::wipe(secret);
    if (!done)
        return toQt(done.error().message);
    return std::nullopt;
}

SnippetResult<SnippetImportPlan> SnippetStore::prepareImport(const QString& path, const QString& passphrase) const
{
    std::string secret = passphrase.toStdString();
    auto plan = library_.prepareImport(path.toStdString(), secret);
    platform::wipe(secret);
    return plan;
}

SnippetResult<SnippetImportOutcome> SnippetStore::applyImport(const SnippetImportPlan& plan, SnippetImportChoice choice)
{
    const Before was = before();
    auto outcome = library_.applyImport(plan, choice);
    publish(was);
    return outcome;
}

}  // namespace quillmar
