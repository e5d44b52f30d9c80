#pragma once

#include "quillmar/snippets/SnippetLibrary.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

namespace quillmar {

// The snippets for the views: the library with a signal per changed
// property. A new store holds nothing, has no load error, is not loaded and
// reads nothing until `load`. Main thread only; the key is asked for on a
// thread of its own, since the keyring may wait on its password prompt, which
// the store never withdraws. When the keyring couldn't give the key (locked,
// silent, missing) the store says so and watches it on another thread, and
// asks again once it stands otherwise: the snippets open without a restart.
//
// Every change returns none when it was saved, else the sentence to show
// (ending in "Nothing was changed."). A save waits only briefly for another
// window's lock, since the window can't answer meanwhile; past that it says
// `SnippetLibrary::kOtherWriterSaving` and changes nothing. The first save of
// the factory set is tried again every `kLoadRetry` until the lock is free.
class SnippetStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool loaded READ loaded WRITE setLoaded NOTIFY loadedChanged)
    Q_PROPERTY(QString loadError READ loadError NOTIFY loadErrorChanged)
    Q_PROPERTY(QStringList categories READ categories NOTIFY categoriesChanged)
    Q_PROPERTY(bool waitingForKeyring READ waitingForKeyring NOTIFY waitingForKeyringChanged)
    Q_PROPERTY(bool waitingForPrompt READ waitingForPrompt NOTIFY waitingForKeyringChanged)

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
    // Between `load` and the keyring's answer, unless the time limit passed
    // first; nothing is open meanwhile, and every change is refused.
    bool waitingForKeyring() const { return asking_ && (!overdue_ || prompting_); }
    // While the keyring waits for the user at its password prompt, which has
    // no time limit.
    bool waitingForPrompt() const { return asking_ && prompting_; }
    // Whether the key couldn't be had because the keyring is locked, and
    // nothing asks now: `load` asks again, through the password prompt.
    bool keyringLocked() const { return !asking_ && closed_ == platform::KeyringState::locked; }
    // How long the keyring may take, with no prompt open, before the store
    // says it didn't answer (tests shorten it). A later answer is still taken.
    static constexpr std::chrono::milliseconds kKeyringTimeLimit{30000};
    void setKeyringTimeLimit(std::chrono::milliseconds limit) { keyWait_.setInterval(limit); }
    // Longer than a save takes on a sound disk, short enough not to be felt.
    static constexpr std::chrono::milliseconds kLockWait{50};
    static constexpr std::chrono::milliseconds kLoadRetry{250};

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
    // Until the key is known, it is first asked for off the main thread and
    // the file is read when the answer comes; when none comes in time the
    // store says so meanwhile. Nothing while the key is being asked for.
    void load();

signals:
    void loadedChanged();
    void loadErrorChanged();
    void snippetsChanged();
    void categoriesChanged();
    void waitingForKeyringChanged();

private:
    // The worker's way back, cut when the store goes.
    struct Mailbox;
    void keyFetched(std::uint64_t ticket, SnippetResult<platform::SymmetricKey> fetched);
    void promptShown();
    void keyringTooSlow();
    // Sets the key's failure, with what the user can do, and reads.
    void failKey(SnippetError error);
    // Waits on another thread for the keyring to stand otherwise than `from`.
    void watchKeyring(platform::KeyringState from);
    void keyringChanged(std::optional<platform::KeyringState> now);
    void readNow();
    // Watches the snippets folder once it exists, so that another process's
    // save reaches this store's list.
    void watchFolder();
    void takeOtherSave();

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
    std::shared_ptr<Mailbox> mailbox_;
    QTimer keyWait_;  // runs while the keyring is asked and no prompt is open
    QFileSystemWatcher watcher_;
    QTimer settle_;             // one look after a burst of folder changes
    QTimer loadRetry_;          // runs while another window holds the lock at the first save
    std::uint64_t ticket_ = 0;  // tells the answer of the current ask from stale ones
    bool keyForOpening_ = false;
    bool asking_ = false;     // a worker asks for the key
    bool prompting_ = false;  // ... and waits at the keyring's password prompt
    bool overdue_ = false;    // ... past the time limit, which the store has said
    bool watching_ = false;   // a worker waits for the keyring to change
    // How the keyring stood when it couldn't give the key.
    std::optional<platform::KeyringState> closed_;
    // How the watch last saw it, and whether the current ask came of that.
    platform::KeyringState seen_ = platform::KeyringState::open;
    bool askedOnChange_ = false;
};

}  // namespace quillmar
