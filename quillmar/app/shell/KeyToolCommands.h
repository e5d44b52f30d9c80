#pragma once

#include "quillmar/app/shell/SessionTarget.h"

#include <QString>

#include <optional>

namespace quillmar {

// The command lines of the key tools, each run in a tool tab. Every name,
// path and comment is one argument of its own; no shell reads them.
namespace KeyToolCommands {

enum class KeyType { ed25519, rsa4096 };

inline const QString kKeygen = QStringLiteral("/usr/bin/ssh-keygen");
inline const QString kCopyId = QStringLiteral("/usr/bin/ssh-copy-id");
inline const QString kAdd = QStringLiteral("/usr/bin/ssh-add");

// Why a new key may not take this name in `sshDirectory`, or none. Refuses
// empty names, "/" and "..", names that begin with "-" or hold control
// characters or * ? ~ =, names ending in ".pub", names of files ssh or
// quillmar read (those the SSH config includes too), and any name whose
// private or public file exists already.
std::optional<QString> keyNameProblem(const QString& name, const QString& sshDirectory);
// Why a comment can't be given to ssh-keygen, or none (control characters, length).
std::optional<QString> commentProblem(const QString& comment);

SessionTarget generate(const QString& sshDirectory, const QString& name, KeyType type, const QString& comment);
SessionTarget install(const QString& privatePath, const QString& alias);
// Whether a tool that exited 0 still installed no key: ssh-copy-id says so
// in its output ("All keys were skipped", "Number of key(s) added: 0").
bool installedNothing(const SessionTarget& target, const QString& output);
SessionTarget load(const QString& privatePath);

}  // namespace KeyToolCommands

}  // namespace quillmar
