#include "quillmar/app/shell/KeyToolCommands.h"

#include "quillmar/sshconfig/SSHConfigReader.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>

namespace quillmar::KeyToolCommands {

namespace {

bool hasControl(const QString& text)
{
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    return false;
}

// Files in ~/.ssh that ssh or quillmar read or keep; a key written over one
// of them breaks every ssh or loses the file.
bool isReservedName(const QString& name)
{
    static const QStringList reserved{
        QStringLiteral("config"),          QStringLiteral("quillmar_config"),  QStringLiteral("quillmar-backups"),
        QStringLiteral("authorized_keys"), QStringLiteral("authorized_keys2"), QStringLiteral("known_hosts"),
        QStringLiteral("known_hosts2"),    QStringLiteral("known_hosts.old"),  QStringLiteral("rc"),
        QStringLiteral("environment"),
    };
    return reserved.contains(name);
}

// lstat-like: a dangling link counts as taken too.
bool taken(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

}  // namespace

std::optional<QString> keyNameProblem(const QString& name, const QString& sshDirectory)
{
    if (name.trimmed().isEmpty())
        return QCoreApplication::translate("quillmar::KeyToolCommands", "Enter a name for the key.");
    if (name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name.contains(QLatin1String("..")))
        return QCoreApplication::translate("quillmar::KeyToolCommands", "A key name can't contain \"/\" or \"..\".");
    if (name.startsWith(QLatin1Char('-')) || name.startsWith(QLatin1Char('.')))
        return QCoreApplication::translate("quillmar::KeyToolCommands", "A key name can't begin with \"-\" or \".\".");
    if (hasControl(name))
        return QCoreApplication::translate("quillmar::KeyToolCommands", "A key name can't contain control characters.");
    if (name.size() > 200)
        return QCoreApplication::translate("quillmar::KeyToolCommands", "That key name is too long.");
    if (name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?')) || name.contains(QLatin1Char('~')) ||
        name.contains(QLatin1Char('=')))
        return QCoreApplication::translate("quillmar::KeyToolCommands",
                                           "A key name can't contain \"*\", \"?\", \"~\" or \"=\".");
    // "x.pub" would take the place of key x's public half, "x-cert.pub" of its certificate.
    if (name.endsWith(QStringLiteral(".pub")))
        return QCoreApplication::translate("quillmar::KeyToolCommands", "A key name can't end in \".pub\".");
    if (isReservedName(name))
        return QCoreApplication::translate("quillmar::KeyToolCommands",
                                           "A key name can't be that of a file ssh or quillmar reads.");
    const QString path = sshDirectory + QLatin1Char('/') + name;
    const SSHConfigReader reader(SSHPaths(QFileInfo(sshDirectory).path().toStdString()));
    if (reader.readsAsConfig(path.toStdString()) || reader.readsAsConfig((path + QStringLiteral(".pub")).toStdString()))
        return QCoreApplication::translate("quillmar::KeyToolCommands",
                                           "A key name can't be that of a file your SSH config includes.");
    if (taken(path) || taken(path + QStringLiteral(".pub")))
        return QCoreApplication::translate("quillmar::KeyToolCommands", "A key with that name already exists.");
    return std::nullopt;
}

std::optional<QString> commentProblem(const QString& comment)
{
    if (hasControl(comment))
        return QCoreApplication::translate("quillmar::KeyToolCommands", "A comment can't contain control characters.");
    if (comment.size() > 1024)
        return QCoreApplication::translate("quillmar::KeyToolCommands", "That comment is too long.");
    return std::nullopt;
}

SessionTarget generate(const QString& sshDirectory, const QString& name, KeyType type, const QString& comment)
{
    QStringList args{QStringLiteral("-t")};
    if (type == KeyType::ed25519)
        args << QStringLiteral("ed25519");
    else
        args << QStringLiteral("rsa") << QStringLiteral("-b") << QStringLiteral("4096");
    args << QStringLiteral("-f") << sshDirectory + QLatin1Char('/') + name << QStringLiteral("-C") << comment;
    return SessionTarget::tool(QStringLiteral("ssh-keygen ") + name, kKeygen, args);
}

SessionTarget install(const QString& privatePath, const QString& alias)
{
    // ssh-copy-id's own "already installed?" login offers the host's
    // IdentityFile beside the new key, and no option takes that file away, so
    // any host that already let us in looked as if it held the new key and
    // nothing was copied. -f skips that login; a key already there is
    // appended once more, which sshd ignores.
    return SessionTarget::tool(
        QStringLiteral("ssh-copy-id ") + alias, kCopyId,
        {QStringLiteral("-f"), QStringLiteral("-i"), privatePath + QStringLiteral(".pub"), alias});
}

bool installedNothing(const SessionTarget& target, const QString& output)
{
    if (target.kind != SessionTarget::Kind::tool ||
        QFileInfo(target.executable).fileName() != QLatin1String("ssh-copy-id"))
        return false;
    static const QRegularExpression none(QStringLiteral("All keys were skipped|Number of key\\(s\\) added:\\s*0\\s*$"),
                                         QRegularExpression::MultilineOption);
    return none.match(output).hasMatch();
}

SessionTarget load(const QString& privatePath)
{
    return SessionTarget::tool(QStringLiteral("ssh-add ") + QFileInfo(privatePath).fileName(), kAdd, {privatePath});
}

}  // namespace quillmar::KeyToolCommands
