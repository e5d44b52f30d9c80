// The store while the key source keeps it waiting: a key source held back by
// the test, and a Secret Service that never answers (with-keyring.sh
// --silent); and while another window holds the file's lock. The event loop
// must keep running and nothing may be written or lost.
#include "quillmar/snippets/FactorySnippets.h"
#include "quillmar/snippets/KeyringKeySource.h"
#include "quillmar/snippets/SnippetJson.h"
#include "quillmar/snippets/SnippetStore.h"
#include "quillmar/snippets/tests/support/HeldKeys.h"
#include "quillmar/snippets/tests/support/HeldLock.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

using namespace quillmar;
using quillmar::testing::HeldKeys;
using quillmar::testing::HeldLock;
using quillmar::testing::release;
using quillmar::testing::seen;
using namespace std::chrono_literals;

namespace {

// A timer on the main thread: its ticks are turns of the event loop, counted
// while `counts` holds (always, without one).
class Heartbeat {
public:
    explicit Heartbeat(std::function<bool()> counts = {}) : counts_(std::move(counts))
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (!counts_ || counts_())
                ++ticks_;
        });
        timer_.start(10);
    }
    int ticks() const { return ticks_; }

private:
    QTimer timer_;
    std::function<bool()> counts_;
    int ticks_ = 0;
};

// Starts a load; whether it came back with the key still to come.
bool startsWaiting(SnippetStore& store)
{
    store.load();
    return store.waitingForKeyring();
}

QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A key source that answers at once, with the key it made.
std::unique_ptr<HeldKeys> answeringKeys(const std::shared_ptr<HeldKeys::Gate>& gate)
{
    release(*gate);
    return std::make_unique<HeldKeys>(gate);
}

const QString otherWriterSaving = QStringLiteral("Another quillmar window is saving the snippets; try again.");

}  // namespace

class SnippetStoreWaitTests : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    int folders_ = 0;

    QString folder() { return dir_.filePath(QStringLiteral("data%1").arg(++folders_)); }

private slots:
    void theLoopRunsWhileTheKeySourceWaitsAndTheAnswerOpensTheFile()
    {
        auto gate = std::make_shared<HeldKeys::Gate>();
        SnippetStore store(SnippetPaths(folder().toStdString()), std::make_unique<HeldKeys>(gate));
        QSignalSpy snippets(&store, &SnippetStore::snippetsChanged);
        Heartbeat beat;
        QVERIFY(startsWaiting(store));
        // The gate is the test's: the loop turns while the source waits on it.
        QTRY_VERIFY(beat.ticks() >= 20);
        QVERIFY(store.waitingForKeyring());
        QVERIFY(store.allSnippets().empty());
        QVERIFY(store.add(Snippet{"", "t", "c", "k", {}, ""}).has_value());
        store.load();  // a second ask while one runs is the same ask
        QVERIFY(!QFile::exists(store.snippetsFilePath()));

        release(*gate);
        QTRY_VERIFY(!store.waitingForKeyring());
        QCOMPARE(store.allSnippets(), factorySnippets());
        QCOMPARE(snippets.count(), 1);
        QVERIFY(!store.hasLoadError());
        QVERIFY(QFile::exists(store.snippetsFilePath()));
    }

    // Past the time limit the store says the keyring didn't answer, and
    // what then; it doesn't give up: the late answer opens the snippets.
    void anAnswerAfterTheTimeLimitIsStillTaken()
    {
        auto gate = std::make_shared<HeldKeys::Gate>();
        const QString data = folder();
        SnippetStore store(SnippetPaths(data.toStdString()), std::make_unique<HeldKeys>(gate));
        store.setKeyringTimeLimit(300ms);
        QSignalSpy errors(&store, &SnippetStore::loadErrorChanged);
        store.load();
        QTRY_VERIFY(!store.waitingForKeyring());
        QCOMPARE(store.loadError(),
                 QString("Your snippets can't be saved. The keyring didn't answer in time. They open "
                         "once it answers; if it doesn't, log out and back in."));
        QCOMPARE(errors.count(), 1);
        QVERIFY(!seen(*gate, &HeldKeys::Gate::cancelled));
        QVERIFY(store.resetToFactory().has_value());
        QVERIFY(!QDir(data).exists());
        store.load();  // still the same ask
        QVERIFY(!store.waitingForKeyring());

        release(*gate);
        QTRY_VERIFY(!store.hasLoadError());
        QCOMPARE(store.allSnippets(), factorySnippets());
        QCOMPARE(errors.count(), 2);
    }

    void aStoreGoneWhileWaitingLeavesTheWorkerNoOneToTell()
    {
        auto gate = std::make_shared<HeldKeys::Gate>();
        const QString data = folder();
        auto store = std::make_unique<SnippetStore>(SnippetPaths(data.toStdString()), std::make_unique<HeldKeys>(gate));
        store->load();
        QTRY_VERIFY(seen(*gate, &HeldKeys::Gate::asked));
        store.reset();
        QVERIFY(seen(*gate, &HeldKeys::Gate::cancelled));
        QTest::qWait(50);  // the worker's answer would arrive now
        QVERIFY(!QDir(data).exists());
    }

    // Each kind of change while another window's save holds the lock
    // (stopped, or on a slow disk): each answers within a blink with the
    // sentence and leaves the file and the list as they were; once the lock
    // is free the change is saved.
    void changesUnderAHeldLockAnswerAtOnceAndKeepEverything()
    {
        auto gate = std::make_shared<HeldKeys::Gate>();
        const QString data = folder();
        SnippetStore store(SnippetPaths(data.toStdString()), answeringKeys(gate));
        store.load();
        QTRY_VERIFY(!store.waitingForKeyring());
        QVERIFY(!store.hasLoadError());
        const QByteArray before = bytesOf(store.snippetsFilePath());
        const std::vector<Snippet> list = store.allSnippets();
        Snippet edited = list.front();
        edited.title = "edited";
        const Snippet fresh{"", "new", "echo new", "Mine", {}, ""};

        const std::vector<std::function<std::optional<QString>()>> changes = {
            [&] { return store.add(fresh); },
            [&] { return store.edit(edited); },
            [&] { return store.remove(QString::fromStdString(list.back().id)); },
            [&] { return store.resetToFactory(); },
        };
        HeldLock other(data);
        QVERIFY(other.held());
        // Each answers while the lock is still taken: none waits for it.
        for (const auto& change : changes)
            QCOMPARE(change(), std::optional(otherWriterSaving));
        QCOMPARE(bytesOf(store.snippetsFilePath()), before);
        QCOMPARE(store.allSnippets(), list);

        other.release();
        QVERIFY(!store.edit(edited));
        SnippetStore reader(SnippetPaths(data.toStdString()), answeringKeys(gate));
        reader.load();
        QTRY_VERIFY(!reader.waitingForKeyring());
        QCOMPARE(reader.snippet(QString::fromStdString(edited.id)), std::optional(edited));
    }

    // The first start finds no file while another window holds the lock: the
    // window stays live and shows why, and once the lock is free it saves
    // the factory set, or takes the file the other window made meanwhile.
    void aFirstStartUnderAHeldLockWaitsWithoutHoldingTheLoop()
    {
        for (const bool otherMakesTheFile : {false, true}) {
            auto gate = std::make_shared<HeldKeys::Gate>();
            const QString data = folder();
            QVERIFY(QDir().mkpath(data));
            HeldLock other(data);
            QVERIFY(other.held());
            SnippetStore store(SnippetPaths(data.toStdString()), answeringKeys(gate));
            QSignalSpy errors(&store, &SnippetStore::loadErrorChanged);
            Heartbeat beat;
            store.load();
            QTRY_COMPARE(store.loadError(), otherWriterSaving);
            // The loop turns while the lock stays taken, for as many ticks
            // as span three retries.
            const int ticks = beat.ticks();
            QTRY_VERIFY_WITH_TIMEOUT(beat.ticks() >= ticks + int(3 * SnippetStore::kLoadRetry / 10ms), 30000);
            QCOMPARE(errors.count(), 1);
            QVERIFY(store.allSnippets().empty());
            QVERIFY(!QFile::exists(store.snippetsFilePath()));

            std::vector<Snippet> expected = factorySnippets();
            if (otherMakesTheFile) {
                expected = {Snippet{newSnippetId(), "theirs", "echo theirs", "Other", {}, ""}};
                std::lock_guard lock(gate->mutex);
                const auto sealed = SnippetFileFormat::sealSnippets(*gate->key, SnippetJson::encode(expected));
                QFile file(store.snippetsFilePath());
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(sealed.value().data(), qint64(sealed.value().size()));
            }
            other.release();
            QTRY_VERIFY(!store.hasLoadError());
            QCOMPARE(store.allSnippets(), expected);
            QVERIFY(QFile::exists(store.snippetsFilePath()));
            QVERIFY(!store.add(Snippet{"", "mine", "echo mine", "Mine", {}, ""}));
        }
    }

    // The real keyring layer against a service that never answers.
    void aSilentKeyringKeepsTheStoreUnopenedAndTheLoopLive()
    {
        if (!qEnvironmentVariableIsSet("QM_SILENT_KEYRING_TEST"))
            QSKIP("needs the silent service of with-keyring.sh --silent");
        const QString data = folder();
        QVERIFY(QDir().mkpath(data));
        const std::string sealed = SnippetFileFormat::sealSnippets(*platform::SymmetricKey::random(), "[]").value();
        QFile file(data + "/snippets");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(sealed.data(), qint64(sealed.size()));
        file.close();

        for (const bool withFile : {true, false}) {
            if (!withFile)
                QVERIFY(QFile::remove(data + "/snippets"));
            SnippetStore store(SnippetPaths(data.toStdString()), std::make_unique<KeyringKeySource>());
            store.setKeyringTimeLimit(1500ms);
            Heartbeat beat([&store] { return store.waitingForKeyring(); });
            QElapsedTimer waited;
            waited.start();
            QVERIFY(startsWaiting(store));
            QTRY_VERIFY_WITH_TIMEOUT(!store.waitingForKeyring(), 10000);
            QVERIFY(waited.elapsed() >= 1400);  // it waited out its limit
            // The loop turned all along: a call to the service on the main
            // thread would hold it for the whole wait.
            QVERIFY2(beat.ticks() >= 3, qPrintable(QString::number(beat.ticks())));
            const QString what = QStringLiteral(
                " The keyring didn't answer in time. They open once it answers; if it doesn't, log out and back in.");
            QCOMPARE(store.loadError(),
                     (withFile ? QString("Your snippets can't be opened.") : QString("Your snippets can't be saved.")) +
                         what);
            QVERIFY(store.add(Snippet{"", "t", "c", "k", {}, ""}).has_value());
        }
        QCOMPARE(QDir(data).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }
};

QTEST_GUILESS_MAIN(SnippetStoreWaitTests)
#include "SnippetStoreWaitTests.moc"
