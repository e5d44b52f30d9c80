#include "quillmar/sshkeys/SSHKeyStore.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

namespace quillmar {

SSHKeyStore::SSHKeyStore(QObject* parent) : SSHKeyStore(KeyStoreSettings::forCurrentUser(), parent)
{}

SSHKeyStore::SSHKeyStore(KeyStoreSettings settings, QObject* parent)
    : QObject(parent), settings_(std::move(settings)),
      model_(KeyScanner(settings_.home, settings_.userName, ConfigSource::forHome(settings_.home)))
{
    reload();
    timer_.setInterval(static_cast<int>(settings_.pollInterval.count()));
    connect(&timer_, &QTimer::timeout, this, &SSHKeyStore::timerTick);
    timer_.start();
}

SSHKeyStore::~SSHKeyStore() = default;

void SSHKeyStore::reload()
{
    publish(model_.reload());
    queryAgent();
}

void SSHKeyStore::timerTick()
{
    Q_ASSERT(QThread::currentThread() == thread());
    const auto tick = model_.timerTick();
    publish(tick.changes);
    if (tick.reloaded || tick.agentDue)
        queryAgent();
}

void SSHKeyStore::queryAgent()
{
    if (queryRunning_) {
        queryPending_ = true;
        return;
    }
    queryRunning_ = true;
    // The worker holds a copy of the settings, never the store; the answer
    // comes back through the application object and finds the store only if
    // it still exists.
    QPointer<SSHKeyStore> self(this);
    KeyStoreSettings settings = settings_;
    QThreadPool::globalInstance()->start([self, settings]() {
        AgentListing listing = AgentListing::runSSHAdd(settings);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, listing = std::move(listing)]() {
                if (self)
                    self->applyAgentListing(listing);
            },
            Qt::QueuedConnection);
    });
}

void SSHKeyStore::applyAgentListing(const AgentListing& listing)
{
    Q_ASSERT(QThread::currentThread() == thread());
    queryRunning_ = false;
    publish(model_.applyAgentListing(listing));
    if (queryPending_) {
        queryPending_ = false;
        queryAgent();
    }
}

void SSHKeyStore::publish(const KeyStoreModel::Changes& changes)
{
    if (changes.keys)
        emit keysChanged();
    if (changes.agent)
        emit agentChanged();
    if (changes.agentFingerprints)
        emit agentFingerprintsChanged();
}

}  // namespace quillmar
