#include "quillmar/sshconfig/SSHHostStore.h"

#include <vector>

namespace quillmar {

SSHHostStore::SSHHostStore(QObject* parent) : SSHHostStore(SSHPaths::fromEnvironment(), parent)
{}

SSHHostStore::SSHHostStore(SSHPaths paths, QObject* parent) : QObject(parent), reader_(std::move(paths))
{
    reload();
    timer_.setInterval(kPollIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &SSHHostStore::tick);
    timer_.start();
}

void SSHHostStore::reload()
{
    HostListSnapshot snapshot = reader_.loadHostList();
    signature_ = std::move(snapshot.signature);

    QStringList aliases;
    aliases.reserve(static_cast<qsizetype>(snapshot.aliases.size()));
    for (const std::string& a : snapshot.aliases)
        aliases.push_back(QString::fromStdString(a));

    // Observers hear only of real changes.
    if (snapshot.configExists != configExists_) {
        configExists_ = snapshot.configExists;
        emit configExistsChanged();
    }
    QStringList problems;
    for (const std::string& p : snapshot.problems)
        problems.push_back(QString::fromStdString(p));
    if (problems != problems_) {
        problems_ = std::move(problems);
        emit problemsChanged();
    }
    if (aliases != aliases_) {
        aliases_ = std::move(aliases);
        emit aliasesChanged();
    }
}

void SSHHostStore::tick()
{
    std::vector<std::string> watched;
    watched.reserve(signature_.size());
    for (const auto& [path, stamp] : signature_)
        watched.push_back(path);
    if (SSHConfigReader::fileSignature(watched) != signature_)
        reload();
}

}  // namespace quillmar
