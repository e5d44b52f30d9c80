#include "quillmar/app/shell/TerminalSession.h"

#include "quillmar/app/shell/LocalShell.h"

namespace quillmar {

TerminalSession::TerminalSession(SessionTarget target, int ordinal, std::uint64_t createdAt, QObject* parent)
    : QObject(parent), id(QUuid::createUuid()), target(std::move(target)), ordinal(ordinal), probe(createdAt)
{}

void TerminalSession::recordExit(std::optional<std::int32_t> code, const QString& description)
{
    if (!running_)
        return;
    running_ = false;
    exitCode_ = code;
    exitDescription_ = description;
    emit exited();
}

void TerminalSession::setExitNoticeDismissed(bool dismissed)
{
    if (dismissed == exitNoticeDismissed_)
        return;
    exitNoticeDismissed_ = dismissed;
    emit exitNoticeDismissedChanged();
}

void TerminalSession::setCustomName(const std::optional<QString>& name)
{
    if (name == customName_)
        return;
    customName_ = name;
    emit titleChanged();
}

QString TerminalSession::title() const
{
    if (customName_ && !customName_->isEmpty())
        return *customName_;
    QString base;
    switch (target.kind) {
    case SessionTarget::Kind::ssh: base = target.alias; break;
    case SessionTarget::Kind::tool: base = target.title; break;
    case SessionTarget::Kind::local: base = tr("Local"); break;
    }
    if (ordinal != 1)
        base += QLatin1Char(' ') + QString::number(ordinal);
    return base;
}

QString TerminalSession::localShellLine()
{
    const ShellCommand shell = localShellCommand();
    QString line = QString::fromStdString(shell.executable);
    for (const std::string& arg : shell.args)
        line += QLatin1Char(' ') + QString::fromStdString(arg);
    return line;
}

QString TerminalSession::summary() const
{
    QString text;
    switch (target.kind) {
    case SessionTarget::Kind::ssh: text = QStringLiteral("ssh ") + target.alias; break;
    case SessionTarget::Kind::tool:
        text = target.executable;
        for (const QString& arg : target.arguments)
            text += QLatin1Char(' ') + arg;
        break;
    case SessionTarget::Kind::local: text = tr("Local shell (%1)").arg(localShellLine()); break;
    }
    return (running_ ? tr("%1 — running") : tr("%1 — exited")).arg(text);
}

}  // namespace quillmar
