// The store against a keyring that is locked when the window starts (a key
// source standing for one with a password prompt): the prompt is the user's
// for as long as they take, nothing withdraws it, and the snippets open once
// the keyring is unlocked, by the prompt or from elsewhere, without a restart.
#include "quillmar/snippets/FactorySnippets.h"
#include "quillmar/snippets/SnippetStore.h"
#include "quillmar/snippets/tests/support/PromptKeys.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace quillmar;
using quillmar::testing::change;
using quillmar::testing::PromptKeys;
using quillmar::testing::read;
using namespace std::chrono_literals;
using Desk = PromptKeys::Desk;
using State = platform::KeyringState;

namespace {

// Turns the event loop until `limit` has passed, thrice over.
bool runPast(std::chrono::milliseconds limit)
{
    bool past = false;
    QTimer::singleShot(3 * limit, [&] { past = true; });
    return QTest::qWaitFor([&] { return past; }, 60000);
}

void answer(Desk& desk, Desk::Answer how)
{
    change(desk, [how](Desk& d) { d.answer = how; });
}
void unlockElsewhere(Desk& desk)
{
    change(desk, [](Desk& d) { d.state = State::open; });
}

const QString lockedForSaving =
    QStringLiteral("Your snippets can't be saved. The keyring is locked. They open once it is unlocked.");

}  // namespace

class SnippetStoreUnlockTests : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    int folders_ = 0;

    std::unique_ptr<SnippetStore> storeOn(const std::shared_ptr<Desk>& desk)
    {
        const QString data = dir_.filePath(QStringLiteral("data%1").arg(++folders_));
        return std::make_unique<SnippetStore>(SnippetPaths(data.toStdString()), std::make_unique<PromptKeys>(desk));
    }

private slots:
    // The time limit is the keyring's, not the user's: once the prompt is
    // open it passes unsaid, nothing is cancelled, and the password, however
    // late, opens the snippets.
    void thePasswordPromptHasNoTimeLimit()
    {
        auto desk = std::make_shared<Desk>();
        auto store = storeOn(desk);
        QSignalSpy errors(store.get(), &SnippetStore::loadErrorChanged);
        store->load();
        QTRY_VERIFY(store->waitingForPrompt());
        QVERIFY(store->waitingForKeyring());
        QVERIFY(read(*desk, &Desk::prompting));
        store->setKeyringTimeLimit(50ms);  // a running limit would start over, and end soon
        QVERIFY(runPast(50ms));
        QVERIFY(store->waitingForPrompt());
        QCOMPARE(errors.count(), 0);
        QVERIFY(read(*desk, &Desk::prompting));
        QVERIFY(!read(*desk, &Desk::cancelled));
        QVERIFY(store->add(Snippet{"", "t", "c", "k", {}, ""}).has_value());
        QVERIFY(!QFile::exists(store->snippetsFilePath()));

        answer(*desk, Desk::Answer::password);
        QTRY_VERIFY(!store->waitingForKeyring());
        QVERIFY(!store->waitingForPrompt());
        QVERIFY(!store->hasLoadError());
        QCOMPARE(store->allSnippets(), factorySnippets());
        QVERIFY(QFile::exists(store->snippetsFilePath()));
    }

    // Unlocked by another program, while the prompt is open or after it was
    // dismissed: the snippets open either way. After a dismissal the store
    // says what then.
    void unlockingElsewhereOpensTheSnippets()
    {
        for (const bool dismissedFirst : {false, true}) {
            auto desk = std::make_shared<Desk>();
            auto store = storeOn(desk);
            store->load();
            QTRY_VERIFY(store->waitingForPrompt());
            if (dismissedFirst) {
                answer(*desk, Desk::Answer::dismissed);
                QTRY_COMPARE(store->loadError(), lockedForSaving);
                QVERIFY(store->keyringLocked());
                QVERIFY(!store->waitingForKeyring());
                QTRY_COMPARE(read(*desk, &Desk::watchedFrom), std::optional(State::locked));
                QVERIFY(!QFile::exists(store->snippetsFilePath()));
            }
            unlockElsewhere(*desk);
            QTRY_COMPARE(store->allSnippets(), factorySnippets());
            QVERIFY(!store->hasLoadError());
            QVERIFY(QFile::exists(store->snippetsFilePath()));
            QVERIFY(!store->keyringLocked());
            QCOMPARE(read(*desk, &Desk::asks), dismissedFirst ? 2 : 1);
        }
    }

    // A keyring that seems unlocked and still refuses is asked again only
    // when it changes once more, not over and over.
    void aRefusalAfterAChangeWaitsForTheNextChange()
    {
        auto desk = std::make_shared<Desk>();
        change(*desk, [](Desk& d) { d.refuses = true; });
        auto store = storeOn(desk);
        store->load();
        QTRY_COMPARE(read(*desk, &Desk::watchedFrom), std::optional(State::locked));
        unlockElsewhere(*desk);
        QTRY_COMPARE(read(*desk, &Desk::watchedFrom), std::optional(State::open));
        QCOMPARE(read(*desk, &Desk::asks), 2);
        QCOMPARE(store->loadError(), lockedForSaving);

        change(*desk, [](Desk& d) {
            d.state = State::locked;
            d.refuses = false;
        });
        QTRY_VERIFY(store->waitingForPrompt());
        QCOMPARE(read(*desk, &Desk::asks), 3);
        answer(*desk, Desk::Answer::password);
        QTRY_COMPARE(store->allSnippets(), factorySnippets());
        QVERIFY(!store->hasLoadError());
    }
};

QTEST_GUILESS_MAIN(SnippetStoreUnlockTests)
#include "SnippetStoreUnlockTests.moc"
