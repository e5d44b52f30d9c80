#pragma once

#include "quillmar/sshconfig/ConfigError.h"

#include <QCoreApplication>
#include <QString>

namespace quillmar {

// The one place where the SSH file library's problems and errors become the
// sentences the window shows, in the user's language.
class SSHConfigMessages {
    Q_DECLARE_TR_FUNCTIONS(SSHConfigMessages)
public:
    static QString problem(const EntryProblem& problem);
    static QString error(const ConfigError& error);
};

}  // namespace quillmar
