#include "quillmar/snippets/SnippetStore.h"

#include "quillmar/snippets/KeyringKeySource.h"

#include "platform/SafeFile.h"

#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace quillmar {
namespace {

QString toQt(const std::string& s)
{
    return QString::fromStdString(s);
}

// What the user can do, said after why the keyring couldn't give the key.
std::string whatToDo(platform::KeyringState state)
{
    switch (state) {
    case platform::KeyringState::locked: return " They open once it is unlocked.";
    case platform::KeyringState::silent: return " They open once it answers; if it doesn't, log out and back in.";
    case platform::KeyringState::open:
    case platform::KeyringState::missing: break;
    }
    return "";
}

}  // namespace

struct SnippetStore::Mailbox {
    std::mutex mutex;
    SnippetStore* store = nullptr;

    // Runs `step` on the store's thread, unless the store has gone by then.
    template <class Step>
    void post(Step step)
    {
        std::lock_guard lock(mutex);
        if (SnippetStore* s = store)
            QMetaObject::invokeMethod(
                s, [s, step = std::move(step)]() mutable { step(*s); }, Qt::QueuedConnection);
    }
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
    library_.vault().keySource()->setPromptListener(
        [mailbox = mailbox_] { mailbox->post([](SnippetStore& store) { store.promptShown(); }); });
}

SnippetStore::~SnippetStore()
{
    {
        std::lock_guard lock(mailbox_->mutex);
        mailbox_->store = nullptr;
    }
    // The workers give up soon and find no one to tell; a prompt stays open.
    if (asking_ || watching_)
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
    if (asking_)
        return;
    if (library_.vault().hasKey()) {
        readNow();
        return;
    }
    keyForOpening_ = platform::somethingAt(library_.vault().paths().snippetsFile());
    const std::uint64_t ticket = ++ticket_;
    try {
        // An ask of its own, so that the store's cancel ends it whenever it comes.
        std::thread([mailbox = mailbox_, keys = library_.vault().keySource()->askFromNow(), forOpening = keyForOpening_,
                     ticket] {
            auto fetched = SnippetVault::fetchKey(*keys, forOpening);
            mailbox->post([ticket, fetched](SnippetStore& store) { store.keyFetched(ticket, fetched); });
        }).detach();
    } catch (const std::system_error&) {
        library_.vault().setFetchedKey(
            SnippetVault::keyFailure(keyForOpening_, "No thread could be started to ask the keyring."));
        readNow();
        return;
    }
    asking_ = true;
    prompting_ = overdue_ = false;
    keyWait_.start();
    emit waitingForKeyringChanged();
}

void SnippetStore::keyFetched(std::uint64_t ticket, SnippetResult<platform::SymmetricKey> fetched)
{
    if (ticket != ticket_ || !asking_)
        return;
    asking_ = prompting_ = overdue_ = false;
    keyWait_.stop();
    const bool afterChange = std::exchange(askedOnChange_, false);
    closed_ = fetched ? std::nullopt : fetched.error().keyring;
    if (fetched) {
        library_.vault().setFetchedKey(std::move(fetched));
        readNow();
    } else {
        failKey(fetched.error());
    }
    emit waitingForKeyringChanged();
    // Asked again because the keyring changed, and refused again: only a
    // further change is worth another ask (a prompt each time otherwise).
    if (closed_)
        watchKeyring(afterChange ? seen_ : *closed_);
}

void SnippetStore::promptShown()
{
    if (!asking_ || prompting_)
        return;
    // The user's time, which has no limit.
    prompting_ = true;
    keyWait_.stop();
    emit waitingForKeyringChanged();
}

void SnippetStore::keyringTooSlow()
{
    if (!asking_ || prompting_)
        return;
    // Said, not given up on: a later answer is still taken.
    overdue_ = true;
    failKey(SnippetVault::keyFailure(
        keyForOpening_, SnippetError{"The keyring didn't answer in time.", platform::KeyringState::silent}));
    emit waitingForKeyringChanged();
}

void SnippetStore::failKey(SnippetError error)
{
    if (error.keyring)
        error.message += whatToDo(*error.keyring);
    library_.vault().setFetchedKey(std::move(error));
    readNow();
}

void SnippetStore::watchKeyring(platform::KeyringState from)
{
    if (watching_)
        return;
    try {
        std::thread([mailbox = mailbox_, keys = library_.vault().keySource()->askFromNow(), from] {
            auto now = keys->waitForChange(from);
            mailbox->post([now](SnippetStore& store) { store.keyringChanged(now); });
        }).detach();
    } catch (const std::system_error&) {
        return;  // the snippets open at the next start
    }
    watching_ = true;
}

void SnippetStore::keyringChanged(std::optional<platform::KeyringState> now)
{
    watching_ = false;
    if (!now || asking_ || !closed_)
        return;
    seen_ = *now;
    askedOnChange_ = true;
    load();
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
