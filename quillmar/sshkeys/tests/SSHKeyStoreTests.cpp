#include "quillmar/sshkeys/SSHKeyStore.h"

#include "KeyTestSupport.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <memory>

using quillmar::AgentStatus;
using quillmar::KeyStoreSettings;
using quillmar::SSHKeyStore;
using quillmar::testing::TempHome;
using namespace std::chrono_literals;

class SSHKeyStoreTest : public QObject {
    Q_OBJECT

private:
    KeyStoreSettings settingsFor(const TempHome& h)
    {
        KeyStoreSettings s;
        s.home = h.home();
        s.userName = "me";
        s.authSocket = h.home() + "/no-agent.sock";
        return s;
    }
    std::string standIn(const TempHome& h, const std::string& body)
    {
        const std::string path = h.home() + "/ssh-add";
        h.write(path, "#!/bin/sh\n" + body, 0755);
        return path;
    }
    int lineCount(const std::string& path)
    {
        std::ifstream in(path);
        std::string line;
        int n = 0;
        while (std::getline(in, line))
            ++n;
        return n;
    }

private slots:
    void realAgentIsPublishedOnTheMainThread()
    {
        TempHome h;
        QVERIFY(quillmar::testing::keygen(h.ssh("id_ed25519"), {"-t", "ed25519"}, "store test"));
        quillmar::testing::TestAgent agent(h.home() + "/agent.sock");
        QVERIFY(agent.running());
        auto settings = settingsFor(h);
        settings.authSocket = agent.socket();

        SSHKeyStore store(settings);
        // The list is complete before the store is handed out; the agent is not.
        QCOMPARE(store.keys().size(), std::size_t(1));
        QCOMPARE(store.agent().label(), std::string("ssh-agent: checking\u2026"));
        QVERIFY(store.agentQueryRunning());

        QThread* seenOn = nullptr;
        connect(&store, &SSHKeyStore::agentChanged, this, [&] { seenOn = QThread::currentThread(); });
        QTRY_COMPARE(store.agent().label(), std::string("ssh-agent: no keys loaded"));
        QCOMPARE(seenOn, QCoreApplication::instance()->thread());

        QCOMPARE(agent.sshAdd({h.ssh("id_ed25519")}).code, 0);
        QSignalSpy keysSpy(&store, &SSHKeyStore::keysChanged);
        store.reload();  // as after a tool tab ends
        QTRY_COMPARE(store.agent().label(), std::string("ssh-agent: 1 key loaded"));
        QVERIFY(store.keys()[0].loaded);
        QCOMPARE(keysSpy.count(), 1);

        QCOMPARE(agent.sshAdd({"-D"}).code, 0);
        store.queryAgent();
        QTRY_COMPARE(store.agent().label(), std::string("ssh-agent: no keys loaded"));
        QVERIFY(!store.keys()[0].loaded);

        agent.stop();
        store.queryAgent();
        QTRY_COMPARE(store.agent().label(), std::string("ssh-agent: not reachable"));
    }

    void pollNoticesNewKeysAndAsksTheAgentEveryFifthTick()
    {
        TempHome h;
        const std::string calls = h.home() + "/calls";
        auto settings = settingsFor(h);
        settings.sshAddPath = standIn(h, "echo x >> " + calls + "\nexit 1\n");
        settings.pollInterval = 40ms;
        SSHKeyStore store(settings);
        QSignalSpy keys(&store, &SSHKeyStore::keysChanged);
        h.write(h.ssh("fresh.pub"), "ssh-ed25519 aGVsbG8= c");
        QTRY_COMPARE(keys.count(), 1);
        QCOMPARE(store.keys()[0].name, std::string("fresh"));
        // Creation, the rescan, and the fifth ticks after.
        QTRY_VERIFY(lineCount(calls) >= 4);
    }

    void queriesNeverOverlapAndAskAgainAfterTheRunningOne()
    {
        TempHome h;
        const std::string calls = h.home() + "/calls";
        const std::string busy = h.home() + "/busy";
        auto settings = settingsFor(h);
        // Fails loudly (status 3) if another listing is still under way.
        settings.sshAddPath = standIn(h, "[ -e " + busy + " ] && exit 3\ntouch " + busy + "\necho x >> " + calls +
                                             "\nsleep 0.3\nrm " + busy + "\nexit 1\n");
        SSHKeyStore store(settings);
        for (int i = 0; i < 5; ++i)
            store.queryAgent();
        QTRY_VERIFY(!store.agentQueryRunning());
        QCOMPARE(lineCount(calls), 2);
        QCOMPARE(store.agent(), AgentStatus::noKeys());
    }

    void hangingToolNeverBlocksTheMainThread()
    {
        TempHome h;
        auto settings = settingsFor(h);
        settings.sshAddPath = standIn(h, "sleep 300\n");
        settings.agentTimeLimit = 400ms;
        SSHKeyStore store(settings);
        store.reload();
        // Back while ssh-add still runs: its answer is still to come.
        QVERIFY(store.agentQueryRunning());
        QCOMPARE(store.agent(), AgentStatus::unknownYet());
        QTRY_COMPARE(store.agent(), AgentStatus::notReachable());
    }

    void answerAfterTheStoreIsGoneIsDropped()
    {
        TempHome h;
        auto settings = settingsFor(h);
        settings.sshAddPath = standIn(h, "sleep 0.2\nexit 1\n");
        auto store = std::make_unique<SSHKeyStore>(settings);
        QVERIFY(store->agentQueryRunning());
        store.reset();
        QTest::qWait(500);  // the answer arrives and finds nobody
    }
};

QTEST_GUILESS_MAIN(SSHKeyStoreTest)
#include "SSHKeyStoreTests.moc"
