#include "quillmar/app/KeyToolCommands.h"

#include <QFileInfo>

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
        return QStringLiteral("Enter a name for the key.");
    if (name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name.contains(QLatin1String("..")))
        return QStringLiteral("A key name can't contain \"/\" or \"..\".");
    if (name.startsWith(QLatin1Char('-')) || name.startsWith(QLatin1Char('.')))
        return QStringLiteral("A key name can't begin with \"-\" or \".\".");
    if (hasControl(name))
        return QStringLiteral("A key name can't contain control characters.");
    if (name.size() > 200)
        return QStringLiteral("That key name is too long.");
    const QString path = sshDirectory + QLatin1Char('/') + name;
    if (taken(path) || taken(path + QStringLiteral(".pub")))
        return QStringLiteral("A key with that name already exists.");
    return std::nullopt;
}

std::optional<QString> commentProblem(const QString& comment)
{
    if (hasControl(comment))
        return QStringLiteral("A comment can't contain control characters.");
    if (comment.size() > 1024)
        return QStringLiteral("That comment is too long.");
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
    return SessionTarget::tool(QStringLiteral("ssh-copy-id ") + alias, kCopyId,
                               {QStringLiteral("-i"), privatePath + QStringLiteral(".pub"), alias});
}

SessionTarget load(const QString& privatePath)
{
    return SessionTarget::tool(QStringLiteral("ssh-add ") + QFileInfo(privatePath).fileName(), kAdd, {privatePath});
}

}  // namespace quillmar::KeyToolCommands
