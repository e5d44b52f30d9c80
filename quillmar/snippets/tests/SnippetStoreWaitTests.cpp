// The store while the key source keeps it waiting: a key source held back by
// the test, and a Secret Service that never answers (with-keyring.sh
// --silent). The event loop must keep running and nothing may be written.
#include "quillmar/snippets/FactorySnippets.h"
#include "quillmar/snippets/KeyringKeySource.h"
#include "quillmar/snippets/SnippetStore.h"
#include "quillmar/snippets/tests/support/HeldKeys.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace quillmar;
using quillmar::testing::HeldKeys;
using quillmar::testing::release;
using quillmar::testing::seen;
using namespace std::chrono_literals;

namespace {

// Counts the event loop's turns: the longest gap between two ticks shows
// whether anything held the main thread.
class Heartbeat {
public:
    Heartbeat()
    {
        clock_.start();
        QObject::connect(&timer_, &QTimer::timeout, [this] { longest_ = std::max(longest_, clock_.restart()); });
        timer_.start(10);
    }
    qint64 longestGapMs() const { return std::max(longest_, clock_.elapsed()); }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 longest_ = 0;
};

// Starts a load; whether it came back at once, still waiting for the key.
bool startsWaiting(SnippetStore& store)
{
    QElapsedTimer call;
    call.start();
    store.load();
    return call.elapsed() < 100 && store.waitingForKeyring();
}

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
        QTest::qWait(400);
        QVERIFY(beat.longestGapMs() < 200);
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

    void anAnswerAfterTheTimeLimitIsNotUsed()
    {
        auto gate = std::make_shared<HeldKeys::Gate>();
        const QString data = folder();
        SnippetStore store(SnippetPaths(data.toStdString()), std::make_unique<HeldKeys>(gate));
        store.setKeyringTimeLimit(300ms);
        QSignalSpy errors(&store, &SnippetStore::loadErrorChanged);
        store.load();
        QTRY_VERIFY(!store.waitingForKeyring());
        QCOMPARE(store.loadError(), QString("Your snippets can't be saved. The keyring didn't answer in time."));
        QCOMPARE(errors.count(), 1);
        QVERIFY(seen(*gate, &HeldKeys::Gate::cancelled));  // the worker was told to give up
        {
            std::lock_guard lock(gate->mutex);
            gate->cancelled = false;
        }
        QVERIFY(store.resetToFactory().has_value());
        QVERIFY(!QDir(data).exists());

        // Asking again asks the source again.
        store.load();
        QVERIFY(store.waitingForKeyring());
        release(*gate);
        QTRY_VERIFY(!store.waitingForKeyring());
        QVERIFY(!store.hasLoadError());
        QCOMPARE(store.allSnippets(), factorySnippets());
    }

    void aStoreGoneWhileWaitingLeavesTheWorkerNoOneToTell()
    {
        auto gate = std::make_shared<HeldKeys::Gate>();
        const QString data = folder();
        auto store = std::make_unique<SnippetStore>(SnippetPaths(data.toStdString()), std::make_unique<HeldKeys>(gate));
        store->load();
        QTRY_VERIFY(seen(*gate, &HeldKeys::Gate::asked));
        QElapsedTimer gone;
        gone.start();
        store.reset();
        QVERIFY(gone.elapsed() < 100);
        QVERIFY(seen(*gate, &HeldKeys::Gate::cancelled));
        QTest::qWait(50);  // the worker's answer would arrive now
        QVERIFY(!QDir(data).exists());
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
            Heartbeat beat;
            QElapsedTimer waited;
            waited.start();
            QVERIFY(startsWaiting(store));
            QTRY_VERIFY_WITH_TIMEOUT(!store.waitingForKeyring(), 10000);
            QVERIFY(waited.elapsed() >= 1400);
            QVERIFY2(beat.longestGapMs() < 200, qPrintable(QString::number(beat.longestGapMs())));
            QCOMPARE(store.loadError(),
                     withFile ? QString("Your snippets can't be opened. The keyring didn't answer in time.")
                              : QString("Your snippets can't be saved. The keyring didn't answer in time."));
            QVERIFY(store.add(Snippet{"", "t", "c", "k", {}, ""}).has_value());
        }
        QCOMPARE(QDir(data).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }
};

QTEST_GUILESS_MAIN(SnippetStoreWaitTests)
#include "SnippetStoreWaitTests.moc"
