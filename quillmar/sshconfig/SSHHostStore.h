#pragma once

#include "quillmar/sshconfig/SSHConfigReader.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

namespace quillmar {

// The sidebar's "SSH Hosts" list: the aliases of ~/.ssh/config and every file
// it includes, re-read when one of those files changes (polled every 2 s).
// Main thread only.
class SSHHostStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList aliases READ aliases NOTIFY aliasesChanged)
    Q_PROPERTY(bool configExists READ configExists NOTIFY configExistsChanged)
    Q_PROPERTY(QStringList problems READ problems NOTIFY problemsChanged)

public:
    explicit SSHHostStore(QObject* parent = nullptr);
    // A store over another home folder (tests).
    explicit SSHHostStore(SSHPaths paths, QObject* parent = nullptr);

    QStringList aliases() const { return aliases_; }
    bool configExists() const { return configExists_; }
    // Why the list may be incomplete (a file too large to read, a read cut
    // short by its bounds), one sentence each; empty when it is whole.
    QStringList problems() const { return problems_; }
    QString configPath() const { return QString::fromStdString(reader_.paths().configPath()); }
    const SSHConfigReader& reader() const { return reader_; }

    static constexpr int kPollIntervalMs = 2000;

public slots:
    // Reads everything again; the views call it after they changed a file.
    void reload();
    // The poll: reloads only when a watched file's stamp changed.
    void tick();

signals:
    void aliasesChanged();
    void configExistsChanged();
    void problemsChanged();

private:
    SSHConfigReader reader_;
    QStringList aliases_;
    bool configExists_ = false;
    QStringList problems_;
    FileSignature signature_;
    QTimer timer_;
};

}  // namespace quillmar
