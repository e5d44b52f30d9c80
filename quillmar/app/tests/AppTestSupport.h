#pragma once
// Fixtures the window tests share: a quiet shell home, a snippet store whose
// key stays in memory, small file helpers.

#include "quillmar/snippets/SnippetKeySource.h"
#include "quillmar/snippets/SnippetStore.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>

namespace quillmar::apptests {

// The snippets key kept in memory, so no test touches a real keyring.
class MemoryKeys final : public SnippetKeySource {
public:
    Lookup find() override { return {key_, std::nullopt}; }
    SnippetResult<platform::SymmetricKey> create() override
    {
        key_ = platform::SymmetricKey::random();
        return *key_;
    }

private:
    std::optional<platform::SymmetricKey> key_;
};

// A snippet store with its files in `name` under `dir` and its key in memory.
inline std::unique_ptr<SnippetStore> memorySnippetStore(const QTemporaryDir& dir,
                                                        const QString& name = QStringLiteral("data"))
{
    return std::make_unique<SnippetStore>(SnippetPaths(dir.filePath(name).toStdString()),
                                          std::make_unique<MemoryKeys>());
}

inline void writeFile(const QString& path, const QByteArray& text, int mode = 0600)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    f.write(text);
    f.close();
    ::chmod(path.toLocal8Bit().constData(), mode_t(mode));
}

// Ended but not yet reaped by its parent.
inline bool isZombie(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const auto close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) == "Z";
}

// Ended: gone from the process table, or a zombie until it is reaped. Asked
// again after the zombie check, which fails once the reaping wins the race.
inline bool hasEnded(pid_t pid)
{
    if (::kill(pid, 0) != 0 || isZombie(pid))
        return true;
    return ::kill(pid, 0) != 0;
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Makes `home` the HOME and ZDOTDIR of the shells the tests start: no
// start-up files of the person running the tests, and start-up files that
// only set the prompt for whichever login shell the account has (zsh then
// asks no first-run questions). False when the folder is unusable.
inline bool useQuietHome(const QTemporaryDir& home)
{
    if (!home.isValid())
        return false;
    for (const char* name : {".zshrc", ".bash_profile", ".profile"}) {
        QFile rc(home.filePath(QString::fromLatin1(name)));
        if (!rc.open(QIODevice::WriteOnly) || rc.write("PS1='$ '\n") < 0)
            return false;
    }
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("ZDOTDIR", home.path().toLocal8Bit());
    return true;
}

// What a window test starts with: the process's deliveries on the main
// thread and a quiet home. False when the home cannot be made.
struct WindowTestEnvironment {
    std::unique_ptr<ravelgrid::QtDeliveryQueue> queue;
    QTemporaryDir home;

    bool start()
    {
        queue = ravelgrid::QtDeliveryQueue::installAsMain();
        return useQuietHome(home);
    }
};

// The terminal's visible rows, one text line each.
inline QString screenText(ravelgrid::Terminal& terminal)
{
    std::string text;
    for (int r = 0; r < terminal.rows; ++r) {
        if (ravelgrid::BufferLine* line = terminal.getLine(r))
            text +=
                line->toText(true, 0, -1, true, [&](const ravelgrid::CharData& c) { return terminal.getCharacter(c); });
        text += "\n";
    }
    return QString::fromStdString(text);
}

// Hands each modal window that comes up (a question, a chooser) to `answer`,
// once, from the event loop it runs in, until `answer` says it was the last.
inline void onEachModal(QObject* owner, std::function<bool(QWidget*)> answer)
{
    auto* poll = new QTimer(owner);
    auto handled = std::make_shared<QPointer<QWidget>>();
    QObject::connect(poll, &QTimer::timeout, owner, [poll, handled, answer = std::move(answer)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || modal == handled->data())
            return;
        *handled = modal;
        if (answer(modal)) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(20);
}

// Rows "hidden" (one character that shows nothing or turns the text around
// it) and "spelt" (how the window writes it out), for table tests of names
// read from files.
inline void hiddenCharacterRows()
{
    QTest::addColumn<QString>("hidden");
    QTest::addColumn<QString>("spelt");
    const std::pair<char16_t, const char*> rows[] = {
        {u'\u202E', "<U+202E>"}, {u'\u2066', "<U+2066>"}, {u'\u2067', "<U+2067>"}, {u'\u2068', "<U+2068>"},
        {u'\u2069', "<U+2069>"}, {u'\u200B', "<U+200B>"}, {u'\u00A0', "<U+00A0>"}};
    for (const auto& [c, spelt] : rows)
        QTest::newRow(spelt) << QString(QChar(c)) << QString::fromLatin1(spelt);
}

// What ssh itself makes of a host under a config file.
inline QByteArray sshG(const QString& config, const QString& alias)
{
    QProcess p;
    p.start(QStringLiteral("/usr/bin/ssh"), {QStringLiteral("-G"), QStringLiteral("-F"), config, alias});
    p.waitForFinished(10000);
    return p.readAllStandardOutput();
}

}  // namespace quillmar::apptests
