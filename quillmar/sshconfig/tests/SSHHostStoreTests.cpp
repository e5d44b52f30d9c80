#include "quillmar/sshconfig/SSHHostStore.h"
#include "quillmar/sshconfig/tests/support/TestHome.h"

#include <QSignalSpy>
#include <QtTest>

#include <fstream>

using quillmar::SSHHostStore;
using quillmar::test::TestHome;

class SSHHostStoreTests : public QObject {
    Q_OBJECT

private slots:
    void missingConfigThenCreatedIsNoticedByTick()
    {
        TestHome h;
        SSHHostStore store(h.paths());
        QVERIFY(!store.configExists());
        QVERIFY(store.aliases().isEmpty());
        QSignalSpy aliases(&store, &SSHHostStore::aliasesChanged);
        QSignalSpy exists(&store, &SSHHostStore::configExistsChanged);

        store.tick();  // nothing changed: nothing is published
        QCOMPARE(aliases.count(), 0);

        h.writeSsh("config", "Host host10 Host2\nHost host1 *.corp\n");
        store.tick();
        QCOMPARE(exists.count(), 1);
        QCOMPARE(aliases.count(), 1);
        QCOMPARE(store.aliases(), QStringList({"host1", "Host2", "host10"}));

        // A rewrite with the same aliases reloads but publishes nothing.
        h.writeSsh("config", "Host host1 Host2 host10\n");
        store.tick();
        QCOMPARE(aliases.count(), 1);
        store.reload();
        QCOMPARE(aliases.count(), 1);
        QCOMPARE(exists.count(), 1);
    }

    void appendToIncludedFileShowsWithinOnePoll()
    {
        TestHome h;
        h.writeSsh("config", "Include conf.d/*\nHost top\n");
        h.writeSsh("conf.d/lab", "Host lab1\n");
        SSHHostStore store(h.paths());
        QCOMPARE(store.aliases(), QStringList({"lab1", "top"}));
        QSignalSpy aliases(&store, &SSHHostStore::aliasesChanged);

        {
            std::ofstream out(h.ssh("conf.d/lab"), std::ios::app);
            out << "Host lab2\n";
        }
        store.tick();
        QCOMPARE(aliases.count(), 1);
        QCOMPARE(store.aliases(), QStringList({"lab1", "lab2", "top"}));

        // The store's own timer polls too.
        {
            std::ofstream out(h.ssh("conf.d/lab"), std::ios::app);
            out << "Host lab3\n";
        }
        QVERIFY(aliases.wait(30000));
        QCOMPARE(store.aliases(), QStringList({"lab1", "lab2", "lab3", "top"}));
    }

    void aConfigTooLargeToReadIsAProblemNotAnEmptyList()
    {
        TestHome h;
        h.writeSsh("config", "Host a\n" + std::string(quillmar::kMaxSSHFileBytes, '#'));
        SSHHostStore store(h.paths());
        QVERIFY(store.configExists());
        QVERIFY(store.aliases().isEmpty());
        QCOMPARE(store.problems(),
                 QStringList({"~/.ssh/config is too large to read (over 1 MB), so its hosts aren't listed."}));
        QSignalSpy problems(&store, &SSHHostStore::problemsChanged);
        h.writeSsh("config", "Host a\n");
        store.tick();
        QCOMPARE(problems.count(), 1);
        QVERIFY(store.problems().isEmpty());
        QCOMPARE(store.aliases(), QStringList({"a"}));
    }

    void removedConfigEmptiesTheList()
    {
        TestHome h;
        h.writeSsh("config", "Host a\n");
        SSHHostStore store(h.paths());
        QVERIFY(store.configExists());
        QSignalSpy exists(&store, &SSHHostStore::configExistsChanged);
        std::filesystem::remove(h.ssh("config"));
        store.tick();
        QCOMPARE(exists.count(), 1);
        QVERIFY(!store.configExists());
        QVERIFY(store.aliases().isEmpty());
    }
};

QTEST_GUILESS_MAIN(SSHHostStoreTests)
#include "SSHHostStoreTests.moc"
