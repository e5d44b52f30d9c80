#include "platform/Log.h"
#include "ravelgrid/process/RemoteSessionProbe.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/view/LocalProcessTerminalView.h"
#include "ravelgrid/view/QtDeliveryQueue.h"
#include "support/ViewTestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <memory>

using namespace ravelgrid;

namespace {

struct ProcessRecorder : LocalProcessTerminalViewDelegate {
    std::vector<std::pair<int, int>> sizes;
    std::vector<std::optional<int>> exits;
    std::string title;

    void sizeChanged(LocalProcessTerminalView&, int cols, int rows) override { sizes.emplace_back(cols, rows); }
    void setTerminalTitle(LocalProcessTerminalView&, const std::string& t) override { title = t; }
    void hostCurrentDirectoryUpdate(TerminalView&, const std::optional<std::string>&) override {}
    void processTerminated(LocalProcessTerminalView&, std::optional<int> exitCode) override
    {
        exits.push_back(exitCode);
    }
};

bool screenContains(LocalProcessTerminalView& view, const std::string& text)
{
    return screenText(view.terminal()).find(text) != std::string::npos;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeProgram(const QString& path, const QByteArray& text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

}  // namespace

class LocalProcessTerminalViewTests : public QObject {
    Q_OBJECT

    std::unique_ptr<QtDeliveryQueue> queue_;

private slots:
    void initTestCase() { queue_ = QtDeliveryQueue::installAsMain(); }

    // The child sees the grid as its window size, a resize reaches it, and
    // its exit status arrives raw.
    void windowSizeFollowsTheGridAndTheExitArrives()
    {
        LocalProcessTerminalView view;
        ProcessRecorder recorder;
        view.setProcessDelegate(&recorder);
        const QSizeF cell = *view.cellDimension();
        const qreal bar = view.reservedScrollerWidth();
        view.resize(int(std::ceil(70 * cell.width() + bar)), int(std::ceil(20 * cell.height())));
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QCOMPARE(view.terminal().cols, 70);
        // Not started yet: no pty, so no size report.
        QVERIFY(recorder.sizes.empty());

        view.startProcess("/bin/sh", {"-c", "stty size; read line; stty size; exit 3"});
        QVERIFY(view.process().running());
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "20 70"), 10000);

        view.resize(int(std::ceil(50 * cell.width() + bar)), int(std::ceil(12 * cell.height())));
        QCOMPARE(view.terminal().cols, 50);
        QVERIFY(!recorder.sizes.empty());
        QCOMPARE(recorder.sizes.back(), std::make_pair(50, 12));
        view.send(std::string_view("\r"));
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "12 50"), 10000);

        QTRY_COMPARE_WITH_TIMEOUT(recorder.exits.size(), size_t(1), 10000);
        QVERIFY(recorder.exits[0].has_value());
        QVERIFY(WIFEXITED(*recorder.exits[0]));
        QCOMPARE(WEXITSTATUS(*recorder.exits[0]), 3);
        QCOMPARE(*recorder.exits[0], 3 << 8);
        QVERIFY(!view.process().running());

        // Typing after the exit goes nowhere and breaks nothing; the screen stays.
        QTest::keyClicks(&view, "late");
        QVERIFY(screenContains(view, "12 50"));
    }

    void killedChildReportsTheSignal()
    {
        LocalProcessTerminalView view;
        ProcessRecorder recorder;
        view.setProcessDelegate(&recorder);
        view.startProcess("/bin/sh", {"-c", "kill -9 $$"});
        QTRY_COMPARE_WITH_TIMEOUT(recorder.exits.size(), size_t(1), 10000);
        QVERIFY(recorder.exits[0].has_value());
        QVERIFY(WIFSIGNALED(*recorder.exits[0]));
        QCOMPARE(WTERMSIG(*recorder.exits[0]), 9);
    }

    void secondStartWhileRunningIsIgnored()
    {
        LocalProcessTerminalView view;
        ProcessRecorder recorder;
        view.setProcessDelegate(&recorder);
        view.startProcess("/bin/sh", {"-c", "echo ready; read x"});
        const pid_t first = view.process().shellPid();
        QVERIFY(first > 0);
        // Past its exec before it is signalled.
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "ready"), 10000);
        view.startProcess("/bin/sh", {"-c", "exit 0"});
        QCOMPARE(view.process().shellPid(), first);
        view.terminate();
        QVERIFY(!view.process().running());
    }

    void typedKeysReachTheChild()
    {
        // Nothing typed is logged unless a developer asks for it.
        std::vector<std::string> logged;
        platform::setLogSink(
            [&](platform::LogLevel, std::string_view, std::string_view message) { logged.emplace_back(message); });
        struct Restore {
            ~Restore() { platform::setLogSink(nullptr); }
        } restore;
        LocalProcessTerminalView view;
        ProcessRecorder recorder;
        view.setProcessDelegate(&recorder);
        // The child echoes what it reads, byte by byte, in hex.
        view.startProcess("/bin/sh", {"-c", "stty raw -echo; dd bs=1 count=4 2>/dev/null | od -An -tx1; exit 0"});
        QTRY_VERIFY_WITH_TIMEOUT(view.process().running(), 5000);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_X, QStringLiteral("x"), Qt::AltModifier);
        QTest::sendKeyEvent(QTest::Click, &view, Qt::Key_Up, QString(), Qt::NoModifier);
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "1b 78 1b 5b"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.exits.size(), size_t(1), 10000);
        for (const std::string& line : logged)
            QVERIFY2(line.find("[SEND-") == std::string::npos, line.c_str());
    }

    void outputFloodKeepsTheEventLoopResponsive()
    {
        LocalProcessTerminalView view;
        ProcessRecorder recorder;
        view.setProcessDelegate(&recorder);
        view.startProcess("/bin/sh", {"-c", "head -c 8000000 /dev/zero | tr '\\0' x; exit 0"});
        // Timers keep firing while the output streams in.
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(10);
        QTRY_COMPARE_WITH_TIMEOUT(recorder.exits.size(), size_t(1), 60000);
        QVERIFY(ticks > 0);
        QVERIFY(screenContains(view, "xxxxxxxxxx"));
    }

    void windowSizeIsClamped()
    {
        const winsize big = ptyWindowSize(70000, 3, QSizeF(8, 16), 2.0);
        QCOMPARE(int(big.ws_col), 65535);
        QCOMPARE(int(big.ws_row), 3);
        QCOMPARE(int(big.ws_xpixel), 65535);
        QCOMPARE(int(big.ws_ypixel), 96);
        const winsize none = ptyWindowSize(80, 25, QSizeF(0, 0), 1.0);
        QCOMPARE(int(none.ws_col), 80);
        QCOMPARE(int(none.ws_xpixel), 0);
        const winsize odd = ptyWindowSize(-4, 10, QSizeF(8.5, 17.25), std::nan(""));
        QCOMPARE(int(odd.ws_col), 0);
        QCOMPARE(int(odd.ws_ypixel), 170);  // 10 whole cells of 17 pixels
        const winsize scaled = ptyWindowSize(80, 25, QSizeF(8, 18), 2.0);
        QCOMPARE(int(scaled.ws_xpixel), 1280);
        QCOMPARE(int(scaled.ws_ypixel), 900);
    }

    // A local shell trusted by its host runs a program named ssh: while it
    // has the terminal, its clipboard reads, screen read-back and file
    // transmission get nothing of ours. The same queries from the shell
    // itself (the script sourced) are answered.
    void remoteLoginInTheForegroundGetsNoLocalData()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray secret = "clipboard-secret-7";
        QGuiApplication::clipboard()->setText(QString::fromLatin1(secret));
        QFile pixel(dir.filePath(QStringLiteral("pixel")));
        QVERIFY(pixel.open(QIODevice::WriteOnly));
        pixel.write("\x10\x20\x30\xff");
        pixel.close();
        // Asks, then reads the replies in raw mode up to the image's, the
        // last one asked for, which comes refused or not; a busy machine may
        // take its time.
        writeProgram(dir.filePath(QStringLiteral("ssh")),
                     "#!/bin/bash\n"
                     "stty raw -echo\n"
                     "printf '\\033]52;c;?\\a\\033]52;p;?\\a\\033[1;1;1;1;1;5*y"
                     "\\033_Gi=31,a=t,t=f,f=32,s=1,v=1;%s\\033\\\\' \"$(printf %s \"$2\" | base64 -w0)\"\n"
                     "out=\n"
                     "while IFS= read -r -d '\\' -t 30 part; do\n"
                     "  out=$out$part'\\'; case $part in *Gi=31*) break;; esac\n"
                     "done\n"
                     "printf %s \"$out\" >\"$1\"\n"
                     "stty sane\n");
        const QString remoteOut = dir.filePath(QStringLiteral("remote.out"));
        const QString localOut = dir.filePath(QStringLiteral("local.out"));
        // The shell's own queries wait until it is trusted again: output
        // that follows the client's exit before a look has seen it gone may
        // still be the client's, and is refused.
        const QString script = QStringLiteral("set -m; '%1' '%2' '%4'; echo remote-done; read go; "
                                              "printf '\\033[2J'; . '%1' '%3' '%4'; echo finished")
                                   .arg(dir.filePath(QStringLiteral("ssh")), remoteOut, localOut, pixel.fileName());

        LocalProcessTerminalView view;
        TerminalKittyGraphics::attach(view.terminal());
        view.setProcessTrusted(true);
        view.startProcess("/bin/bash", {"--norc", "--noprofile", "-c", script.toStdString()});
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "remote-done"), 30000);
        QTRY_VERIFY2_WITH_TIMEOUT(view.isProcessTrusted(view.terminal()), "the shell is trusted again", 10000);
        const std::string go = "go\n";
        view.process().send(std::span(reinterpret_cast<const std::uint8_t*>(go.data()), go.size()));
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "finished"), 30000);
        QTRY_VERIFY2_WITH_TIMEOUT(view.isProcessTrusted(view.terminal()), "the shell is trusted again", 10000);

        const QByteArray encoded = secret.toBase64();
        const QByteArray remote = readAll(remoteOut);
        QVERIFY2(!remote.contains(encoded), remote.constData());
        QVERIFY2(remote.contains("!~0000"), remote.constData());
        QVERIFY2(remote.contains("Gi=31;ENOTSUP"), remote.constData());
        QVERIFY2(!remote.contains(";OK"), remote.constData());

        const QByteArray local = readAll(localOut);
        QVERIFY2(local.contains("52;c;" + encoded), local.constData());
        QVERIFY2(local.contains("52;p;" + encoded), local.constData());
        QVERIFY2(local.contains("!~00a0"), local.constData());  // five blank cells
        QVERIFY2(local.contains("Gi=31;OK"), local.constData());
    }

    // A local program that floods the terminal with screen read-backs gets
    // every answer, in order, and the window's thread never looks at the
    // session for them: what the reader has not covered yet waits for a look
    // made elsewhere.
    void gatedRequestsAreAnsweredWithoutLookingFromTheWindowsThread()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString out = dir.filePath(QStringLiteral("answers"));
        constexpr int requests = 200;
        // Each answer is ESC P 1 ! ~ xxxx ESC \: 11 bytes.
        const QString script =
            QStringLiteral("stty raw -echo; i=0; while [ $i -lt %1 ]; do printf '\\033[1;1;1;1;1;1*y'; i=$((i+1)); "
                           "done; head -c %2 >'%3'; stty sane; echo finished")
                .arg(requests)
                .arg(requests * 11)
                .arg(out);
        LocalProcessTerminalView view;
        view.setProcessTrusted(true);
        const std::uint64_t before = RemoteSessionProbe::looksOnThisThread();
        view.startProcess("/bin/sh", {"-c", script.toStdString()});
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "finished"), 60000);
        QCOMPARE(RemoteSessionProbe::looksOnThisThread(), before);
        const QByteArray answers = readAll(out);
        QCOMPARE(answers.count("\x1bP1!~0020\x1b\\"), requests);
    }

    // However the remote side is started, while it runs its clipboard reads,
    // screen read-back and file transmission get nothing of ours: a client
    // behind `sh -c`, an unknown client that holds a TCP connection behind
    // `script`, and ssh asking from the background while `sleep` leads the
    // foreground. The same queries from the shell itself are answered once
    // the reader has seen the last remote session end, which is the reader's
    // timing: the shell asks until then, within a bound.
    void remoteSessionsStartedAnyWayGetNoLocalData()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray secret = "clipboard-secret-9";
        QGuiApplication::clipboard()->setText(QString::fromLatin1(secret));
        const QString pixel = dir.filePath(QStringLiteral("pixel"));
        {
            QFile file(pixel);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("\x10\x20\x30\xff");
        }
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QVERIFY(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        QVERIFY(listen(listener, 4) == 0);
        QVERIFY(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
        struct Close {
            int fd;
            ~Close() { close(fd); }
        } closeListener{listener};
        // ask OUT PIXEL [keep]: asks, then reads the replies up to the device
        // attributes' (the last one); `keep` leaves the terminal's modes alone.
        const QByteArray ask =
            "#!/bin/bash\n"
            "[ -z \"${ASK_PORT:-}\" ] || exec 3<>/dev/tcp/127.0.0.1/$ASK_PORT || exit 1\n"
            "[ -n \"${3:-}\" ] || stty raw -echo\n"
            "printf '\\033]52;c;?\\a\\033[1;1;1;1;1;5*y\\033_Gi=31,a=t,t=f,f=32,s=1,v=1;%s\\033\\\\\\033[c' "
            "\"$(printf %s \"$2\" | base64 -w0)\"\n"
            ": >\"$1.asked\"\n"
            "all=\n"
            "while IFS= read -r -d c -t 20 part; do all+=\"${part}c\"; [[ $all == *$'\\e[?'*c ]] && break; done\n"
            "printf %s \"$all\" >\"$1\"\n"
            "[ -n \"${3:-}\" ] || stty sane\n";
        writeProgram(dir.filePath(QStringLiteral("ssh")), ask);
        writeProgram(dir.filePath(QStringLiteral("fetch")), ask);
        const QString script =
            QStringLiteral("set -m; D='%1'; P='%2'; cls() { printf '\\033[H\\033[2J'; }\n"
                           "answered() { grep -qa '52;c;[A-Za-z0-9]' \"$D/local.out\" && "
                           "grep -qa 'Gi=31;OK' \"$D/local.out\" && ! grep -qa '!~0000' \"$D/local.out\"; }\n"
                           "cls; sh -c \"'$D/ssh' '$D/shc.out' '$P'; true\"\n"
                           "cls; script -qc \"ASK_PORT=%3 '$D/fetch' '$D/script.out' '$P'\" /dev/null\n"
                           "cls; stty raw -echo; \"$D/ssh\" \"$D/bg.out\" \"$P\" keep &\n"
                           "until [ -e \"$D/bg.out.asked\" ]; do sleep 0.05; done; sleep 1; fg; stty sane\n"
                           "cls; end=$((SECONDS + 30))\n"
                           "until . \"$D/ssh\" \"$D/local.out\" \"$P\"; answered || [ $SECONDS -ge $end ]; do\n"
                           "  sleep 0.2; done; echo finished\n")
                .arg(dir.path(), pixel)
                .arg(ntohs(address.sin_port));

        LocalProcessTerminalView view;
        TerminalKittyGraphics::attach(view.terminal());
        view.setProcessTrusted(true);
        view.startProcess("/bin/bash", {"--norc", "--noprofile", "-c", script.toStdString()});
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "finished"), 60000);

        const QByteArray encoded = secret.toBase64();
        for (const char* form : {"shc", "script", "bg"}) {
            const QByteArray remote = readAll(dir.filePath(QString::fromLatin1(form) + ".out"));
            const QByteArray says = QByteArray(form) + ": " + remote;
            QVERIFY2(remote.contains("\x1b[?"), says.constData());  // it read every reply
            QVERIFY2(!remote.contains(encoded), says.constData());
            QVERIFY2(remote.contains("!~0000"), says.constData());
            QVERIFY2(remote.contains("Gi=31;ENOTSUP"), says.constData());
            QVERIFY2(!remote.contains(";OK"), says.constData());
        }
        const QByteArray local = readAll(dir.filePath(QStringLiteral("local.out")));
        QVERIFY2(local.contains("52;c;" + encoded), local.constData());
        QVERIFY2(local.contains("!~") && !local.contains("!~0000"), local.constData());
        QVERIFY2(local.contains("Gi=31;OK"), local.constData());
    }

    // 8 MB without a line break pasted into cat, which takes none of it:
    // Ctrl+C typed behind it interrupts cat once the paste has waited its
    // limit, the tab says the paste stopped, and the keys typed behind it
    // and after reach the shell in order, with nothing of the paste before
    // them. (Held behind the paste, Ctrl+C would never reach cat.)
    void keysGetPastAPasteTheChildDoesNotRead()
    {
        LocalProcessTerminalView view;
        view.resize(640, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.startProcess("/bin/sh", {"-c", "trap 'echo interrupted' INT; echo ready; cat; echo \"after $?\"; "
                                            "read line; echo \"got $line.\"; exec sleep 3600"});
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "ready"), 10000);
        view.insertText(std::string(8 * 1024 * 1024, 'a'), true);
        QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
        // No line for the dying cat to take: these wait for the shell.
        QTest::keyClicks(&view, QStringLiteral("xy"));
        QTRY_VERIFY_WITH_TIMEOUT(view.inputNotice() && !view.inputNotice()->isHidden(), 10000);
        QCOMPARE(view.inputNotice()->text(), QStringLiteral("Paste stopped: the program is not reading it."));
        QCOMPARE(view.inputNotice()->textFormat(), Qt::PlainText);
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "after 130"), 10000);
        QTest::keyClicks(&view, QStringLiteral("z"));
        QTest::keyClick(&view, Qt::Key_Return);
        QTRY_VERIFY2_WITH_TIMEOUT(screenContains(view, "got xyz."), screenText(view.terminal()).c_str(), 10000);
        view.terminate();
    }

    // A paste over the bound on unread input is not sent at all, and says so.
    void pasteTooLargeIsNotSent()
    {
        LocalProcessTerminalView view;
        view.startProcess("/bin/sh", {"-c", "stty raw -echo; echo ready; exec od -An -c"});
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "ready"), 10000);
        view.insertText(std::string(LocalProcess::pendingWriteLimitBytes + 1, 'q'), true);
        QTRY_VERIFY_WITH_TIMEOUT(view.inputNotice() && !view.inputNotice()->isHidden(), 5000);
        QCOMPARE(view.inputNotice()->text(), QStringLiteral("Paste too large: nothing was sent."));
        view.send(std::string_view("kkkkkkkkkkkkkkkk"));
        QTRY_VERIFY_WITH_TIMEOUT(screenContains(view, "k   k   k"), 10000);
        QVERIFY(!screenContains(view, "q"));
        view.terminate();
    }

    void clipboardTakesOnlyUtf8()
    {
        LocalProcessTerminalView view;
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->setText(QStringLiteral("before"));
        const std::string invalid = "\xff\xfe";
        view.clipboardCopy(view,
                           std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(invalid.data()), invalid.size()));
        QCOMPARE(clipboard->text(), QStringLiteral("before"));
        const std::string text = "caf\xc3\xa9";
        view.clipboardCopy(view, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
        QCOMPARE(clipboard->text(), QString::fromUtf8("café"));
        const auto back = view.clipboardRead(view);
        QVERIFY(back.has_value());
        QCOMPARE(std::string(back->begin(), back->end()), text);
    }
};

QTEST_MAIN(LocalProcessTerminalViewTests)
#include "LocalProcessTerminalViewTests.moc"
