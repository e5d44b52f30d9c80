// The observable store over a real Secret Service (see with-keyring.sh):
// what it tells its observers, and when.
#include "platform/Keyring.h"
#include "quillmar/snippets/FactorySnippets.h"
#include "quillmar/snippets/KeyringKeySource.h"
#include "quillmar/snippets/SnippetStore.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <memory>
#include <sstream>

using namespace quillmar;

namespace {

struct Spies {
    explicit Spies(SnippetStore& store)
        : loaded(&store, &SnippetStore::loadedChanged), error(&store, &SnippetStore::loadErrorChanged),
          snippets(&store, &SnippetStore::snippetsChanged), categories(&store, &SnippetStore::categoriesChanged)
    {}
    // loaded, loadError, snippets, categories
    QList<int> counts() const
    {
        return {int(loaded.count()), int(error.count()), int(snippets.count()), int(categories.count())};
    }
    void clear()
    {
        loaded.clear();
        error.clear();
        snippets.clear();
        categories.clear();
    }
    QSignalSpy loaded, error, snippets, categories;
};

QStringList titles(const std::vector<Snippet>& list)
{
    QStringList out;
    for (const Snippet& s : list)
        out << QString::fromStdString(s.title);
    return out;
}

std::string slurp(const QString& path)
{
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Loads and lets the event loop take the keyring's answer, as the window's would.
bool loadNow(SnippetStore& store)
{
    store.load();
    return QTest::qWaitFor([&] { return !store.waitingForKeyring(); }, 20000);
}

Snippet made(const std::string& title, const std::string& category = "Shared")
{
    return Snippet{"", title, "echo " + title, category, {}, ""};
}

}  // namespace

class SnippetStoreTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<SnippetStore> makeStore(const QString& folder)
    {
        return std::make_unique<SnippetStore>(SnippetPaths(dir_.filePath(folder).toStdString()),
                                              std::make_unique<KeyringKeySource>());
    }
    QTemporaryDir dir_;

private slots:
    void init()
    {
        if (!qEnvironmentVariableIsSet("QM_KEYRING_TEST"))
            QSKIP("needs the throwaway Secret Service of with-keyring.sh");
        QVERIFY(!platform::Keyring().remove(KeyringKeySource::kAccount).has_value());
    }

    void newStoreHoldsNothingUntilLoaded()
    {
        auto store = makeStore("fresh");
        Spies spies(*store);
        QVERIFY(!store->loaded());
        QVERIFY(!store->hasLoadError());
        QVERIFY(store->loadError().isEmpty());
        QVERIFY(store->categories().isEmpty());
        QVERIFY(store->allSnippets().empty());
        QVERIFY(!QFileInfo::exists(dir_.filePath("fresh")));

        // The window's protocol: set loaded, then load once.
        store->setLoaded(true);
        store->setLoaded(true);
        QCOMPARE(spies.counts(), (QList<int>{1, 0, 0, 0}));
        // The keyring is asked off the main thread; until it answers nothing
        // is open and every change is refused.
        QSignalSpy waiting(store.get(), &SnippetStore::waitingForKeyringChanged);
        store->load();
        QVERIFY(store->waitingForKeyring());
        QCOMPARE(store->add(made("Too early")).value_or(""),
                 QString("Your snippets haven't been loaded yet. Nothing was changed."));
        QCOMPARE(spies.counts(), (QList<int>{1, 0, 0, 0}));
        QTRY_VERIFY(!store->waitingForKeyring());
        QCOMPARE(waiting.count(), 2);
        QCOMPARE(spies.counts(), (QList<int>{1, 0, 1, 1}));
        QCOMPARE(store->categories(), (QStringList{"Files", "Processes", "Network", "Git", "SSH"}));
        QCOMPARE(store->allSnippets(), factorySnippets());
        QVERIFY(QFileInfo::exists(store->snippetsFilePath()));
        QCOMPARE(store->property("categories").toStringList(), store->categories());
        QCOMPARE(store->property("loaded").toBool(), true);
    }

    // Two windows (stores) on one file: each one's saves reach the other's
    // list without a save of its own.
    void anotherStoresSaveReachesTheList()
    {
        auto first = makeStore("watched");
        auto second = makeStore("watched");
        QVERIFY(loadNow(*first));
        QVERIFY(loadNow(*second));
        Spies spies(*second);
        QString id;
        QVERIFY(!first->add(made("From the first"), &id));
        QTRY_VERIFY_WITH_TIMEOUT(second->snippet(id).has_value(), 10000);
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 1, 1}));
        QVERIFY(!second->remove(id));
        QTRY_VERIFY_WITH_TIMEOUT(!first->snippet(id).has_value(), 10000);
        // A store's own save is no news to it: once a later save of the other
        // has reached it, it has looked at its own, and only the two changes
        // were told.
        spies.clear();
        QVERIFY(!second->add(made("Mine")));
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 1, 1}));
        QVERIFY(!first->add(made("Later"), &id));
        QTRY_VERIFY_WITH_TIMEOUT(second->snippet(id).has_value(), 10000);
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 2, 1}));
    }

    void changesSignalOnlyWhatChanged()
    {
        auto store = makeStore("changes");
        QVERIFY(loadNow(*store));
        Spies spies(*store);

        QString id;
        QVERIFY(!store->add(Snippet{"", "Item 10", "echo 10", "Numbers", {}, ""}, &id));
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 1, 1}));
        QVERIFY(store->snippet(id).has_value());
        QVERIFY(!store->add(Snippet{"", "item 2", "echo 2", "Numbers", {}, ""}));
        QVERIFY(!store->add(Snippet{"", "Item 1", "echo 1", "Numbers", {}, ""}));
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 3, 1}));
        QCOMPARE(titles(store->snippets("Numbers")), (QStringList{"Item 1", "item 2", "Item 10"}));
        QCOMPARE(store->categories().last(), QString("Numbers"));

        spies.clear();
        const auto refused = store->add(Snippet{"", "", "echo", "Numbers", {}, ""});
        QCOMPARE(refused.value_or(""), QString("A snippet needs a title. Nothing was changed."));
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 0, 0}));

        Snippet edited = *store->snippet(id);
        edited.note = "now with a note";
        QVERIFY(!store->edit(edited));
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 1, 0}));
        QVERIFY(!store->edit(edited));  // the same again: nothing to tell
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 1, 0}));

        spies.clear();
        for (const Snippet& s : store->snippets("Numbers"))
            QVERIFY(!store->remove(QString::fromStdString(s.id)));
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 3, 1}));
        QVERIFY(!store->categories().contains("Numbers"));

        spies.clear();
        QVERIFY(!store->resetToFactory());
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 1, 0}));
    }

    void importIsPlannedThenApplied()
    {
        auto source = makeStore("source");
        QVERIFY(loadNow(*source));
        QVERIFY(!source->add(Snippet{"", "From elsewhere", "hostname", "Moved", {"linux"}, ""}));
        Snippet changed = source->allSnippets().front();
        changed.title = "Changed title";
        QVERIFY(!source->edit(changed));
        const QString exportPath = dir_.filePath("moved.qmsx");
        QVERIFY(!source->exportTo(exportPath, "secret", 1000));

        auto target = makeStore("target");
        QVERIFY(loadNow(*target));
        Spies spies(*target);
        auto wrong = target->prepareImport(exportPath, "Secret");
        QVERIFY(!wrong);
        QVERIFY(wrong.error().message.ends_with("Nothing was changed."));
        auto plan = target->prepareImport(exportPath, "secret");
        QVERIFY(plan);
        QCOMPARE(plan.value().added.size(), size_t(1));
        QCOMPARE(plan.value().replaced, std::vector<std::string>{changed.id});
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 0, 0}));

        auto outcome = target->applyImport(plan.value(), SnippetImportChoice::replaceExisting);
        QVERIFY(outcome);
        QCOMPARE(outcome.value().replaced, std::vector<std::string>{changed.id});
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 1, 1}));
        QCOMPARE(target->allSnippets(), source->allSnippets());
    }

    void unreadableFileGivesALoadErrorAndRefusesChanges()
    {
        auto first = makeStore("broken");
        QVERIFY(loadNow(*first));
        const QString path = first->snippetsFilePath();
        const std::string good = slurp(path);
        // A bit flipped inside the ciphertext, written in place: a fixed value
        // would be the byte already there in one save of 256.
        {
            std::fstream f(path.toStdString(), std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(40);
            f.put(static_cast<char>(good.at(40) ^ 0x01));
        }
        const std::string damaged = slurp(path);
        QVERIFY(damaged != good);

        auto store = makeStore("broken");
        Spies spies(*store);
        store->setLoaded(true);
        QVERIFY(loadNow(*store));
        QCOMPARE(spies.counts(), (QList<int>{1, 1, 0, 0}));
        QVERIFY(store->hasLoadError());
        QVERIFY(store->loadError().startsWith("The snippets file couldn't be decrypted"));
        QVERIFY(store->categories().isEmpty());
        QVERIFY(store->add(Snippet{"", "t", "c", "k", {}, ""}).has_value());
        QVERIFY(store->resetToFactory().has_value());
        QVERIFY(store->exportTo(dir_.filePath("none.qmsx"), "pw", 1).has_value());
        QCOMPARE(slurp(path), damaged);

        // Put back by hand: loading again clears the error and brings the list.
        spies.clear();
        std::ofstream(path.toStdString(), std::ios::binary | std::ios::trunc) << good;
        store->load();
        QCOMPARE(spies.counts(), (QList<int>{0, 1, 1, 1}));
        QVERIFY(!store->hasLoadError());
        QCOMPARE(store->allSnippets(), factorySnippets());
    }

    // Two windows on one file: each save first takes what the other saved.
    void twoStoresOnOneFileKeepEachOthersChanges()
    {
        auto a = makeStore("shared");
        auto b = makeStore("shared");
        QVERIFY(loadNow(*a));
        QVERIFY(loadNow(*b));
        const std::vector<Snippet> factory = factorySnippets();
        QCOMPARE(b->allSnippets(), factory);

        QString fromA, fromB;
        QVERIFY(!a->add(made("From A"), &fromA));
        Spies spies(*b);
        QVERIFY(!b->add(made("From B"), &fromB));
        QCOMPARE(titles(b->snippets("Shared")), (QStringList{"From A", "From B"}));
        QCOMPARE(spies.counts(), (QList<int>{0, 0, 1, 1}));

        // An edit in one and a delete in the other, each on a stale list.
        Snippet edited = factory[0];
        edited.title = "Edited in A";
        QVERIFY(!a->edit(edited));
        QVERIFY(!b->remove(QString::fromStdString(factory[1].id)));
        QVERIFY(b->snippet(QString::fromStdString(edited.id)) == edited);

        auto reader = makeStore("shared");
        QVERIFY(loadNow(*reader));
        QCOMPARE(reader->allSnippets(), b->allSnippets());
        QCOMPARE(titles(reader->snippets("Shared")), (QStringList{"From A", "From B"}));
        QVERIFY(reader->snippet(QString::fromStdString(edited.id)) == edited);
        QVERIFY(!reader->snippet(QString::fromStdString(factory[1].id)));

        // A change to what the other deleted is refused, and shows the list as it is.
        Snippet gone = factory[1];
        gone.note = "too late";
        QCOMPARE(a->edit(gone).value_or(""), QString("That snippet no longer exists. Nothing was changed."));
        QCOMPARE(a->allSnippets(), b->allSnippets());
        QVERIFY(!a->hasLoadError());

        // An import merges into the other's newer list too.
        const QString exportPath = dir_.filePath("shared.qmsx");
        auto other = makeStore("elsewhere");
        QVERIFY(loadNow(*other));
        QVERIFY(!other->add(made("Imported", "Moved")));
        QVERIFY(!other->exportTo(exportPath, "pw", 1000));
        auto plan = a->prepareImport(exportPath, "pw");
        QVERIFY(plan);
        QVERIFY(!b->add(made("B again")));
        QVERIFY(a->applyImport(plan.value(), SnippetImportChoice::keepExisting));
        QCOMPARE(titles(a->snippets("Shared")), (QStringList{"B again", "From A", "From B"}));
        QCOMPARE(titles(a->snippets("Moved")), QStringList{"Imported"});
    }

    void aFileTheOtherWroteThatCantBeOpenedIsNeverWrittenOver()
    {
        auto a = makeStore("foreign");
        QVERIFY(loadNow(*a));
        const QString path = a->snippetsFilePath();

        // Removed by hand: nothing to lose, so the list is written anew.
        QVERIFY(QFile::remove(path));
        QVERIFY(!a->add(made("After removal")));
        auto reader = makeStore("foreign");
        QVERIFY(loadNow(*reader));
        QCOMPARE(reader->allSnippets(), a->allSnippets());

        // Sealed under a key this keyring doesn't hold.
        const std::string foreign = SnippetFileFormat::sealSnippets(*platform::SymmetricKey::random(), "[]").value();
        std::ofstream(path.toStdString(), std::ios::binary | std::ios::trunc) << foreign;
        Spies spies(*a);
        const auto refused = a->add(made("Lost?"));
        QVERIFY(refused.has_value());
        QVERIFY(refused->startsWith("The snippets file couldn't be decrypted"));
        QVERIFY(refused->endsWith("Nothing was changed."));
        QVERIFY(a->hasLoadError());
        QVERIFY(a->allSnippets().empty());
        QCOMPARE(spies.counts(), (QList<int>{0, 1, 1, 1}));
        QVERIFY(a->resetToFactory().has_value());
        QCOMPARE(slurp(path), foreign);
    }
};

QTEST_GUILESS_MAIN(SnippetStoreTests)
#include "SnippetStoreTests.moc"
