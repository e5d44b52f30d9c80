// The Keys pane over 200 key pairs: scanning ~/.ssh, building the list and
// painting it once. The agent's listing runs on the store's worker and is
// not waited for.
#include "quillmar/app/panes/KeysView.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/sshconfig/SSHHostStore.h"
#include "quillmar/sshkeys/SSHKeyStore.h"
#include "ravelgrid/view/QtScheduler.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <sys/stat.h>

#include <memory>

using namespace quillmar;

namespace {

struct KeyHome {
    QTemporaryDir dir;
    std::unique_ptr<SSHHostStore> hosts;
    std::unique_ptr<Workspace> workspace;
    KeyStoreSettings settings;

    KeyHome()
    {
        const QString ssh = dir.filePath(QStringLiteral(".ssh"));
        QDir().mkpath(ssh);
        QProcess::execute(QStringLiteral("/usr/bin/ssh-keygen"),
                          {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"), QStringLiteral("-N"),
                           QString(), QStringLiteral("-f"), ssh + QStringLiteral("/seed")});
        for (int i = 0; i < 200; ++i) {
            const QString name = ssh + QStringLiteral("/key_%1").arg(i, 3, 10, QLatin1Char('0'));
            QFile::copy(ssh + QStringLiteral("/seed"), name);
            QFile::copy(ssh + QStringLiteral("/seed.pub"), name + QStringLiteral(".pub"));
            ::chmod(name.toLocal8Bit().constData(), i % 10 ? 0600 : 0644);
        }
        QFile::remove(ssh + QStringLiteral("/seed"));
        QFile::remove(ssh + QStringLiteral("/seed.pub"));
        hosts = std::make_unique<SSHHostStore>(SSHPaths(dir.path().toStdString()));
        workspace = std::make_unique<Workspace>(ravelgrid::QtScheduler::system());
        settings.home = dir.path().toStdString();
        settings.userName = "bench";
        settings.authSocket = dir.filePath(QStringLiteral("none")).toStdString();
    }
};

void BM_OpenKeysPaneWithTwoHundredKeys(benchmark::State& state)
{
    static KeyHome h;
    for (auto _ : state) {
        SSHKeyStore keys(h.settings);
        KeysView view(keys, *h.workspace, *h.hosts);
        view.resize(1000, 700);
        QPixmap shot = view.grab();
        if (view.list()->topLevelItemCount() != 200)
            state.SkipWithError("not every key was listed");
        benchmark::DoNotOptimize(shot);
    }
}
BENCHMARK(BM_OpenKeysPaneWithTwoHundredKeys)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
