// The sidebar over a large SSH configuration: 2,000 hosts in 20 included
// files read, listed and painted; and one keystroke in the filter narrowing
// the list and painting it again.
#include "quillmar/app/sidebar/Sidebar.h"
#include "ravelgrid/view/QtScheduler.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>

#include <memory>

using namespace quillmar;

namespace {

struct LargeHome {
    QTemporaryDir dir;
    std::unique_ptr<UserSettings> settings;
    std::unique_ptr<SSHKeyStore> keys;
    std::unique_ptr<Workspace> workspace;

    LargeHome()
    {
        QDir().mkpath(dir.filePath(QStringLiteral(".ssh/conf.d")));
        QByteArray config = "Include conf.d/*.conf\n";
        for (int f = 0; f < 20; ++f) {
            QByteArray part;
            for (int h = 0; h < 100; ++h) {
                const QByteArray alias =
                    QByteArray(h % 3 ? "web" : "db") + QByteArray::number(f) + "-" + QByteArray::number(h);
                part += "Host " + alias + "\n  HostName 10.0." + QByteArray::number(f) + "." + QByteArray::number(h) +
                        "\n  User deploy\n\n";
            }
            QFile file(dir.filePath(QStringLiteral(".ssh/conf.d/%1.conf").arg(f, 2, 10, QLatin1Char('0'))));
            file.open(QIODevice::WriteOnly);
            file.write(part);
        }
        QFile file(dir.filePath(QStringLiteral(".ssh/config")));
        file.open(QIODevice::WriteOnly);
        file.write(config);
        file.close();
        settings = std::make_unique<UserSettings>(dir.filePath(QStringLiteral("q.conf")));
        settings->setHostsExpanded(true);
        KeyStoreSettings ks;
        ks.home = dir.path().toStdString();
        ks.authSocket = dir.filePath(QStringLiteral("none")).toStdString();
        keys = std::make_unique<SSHKeyStore>(ks);
        workspace = std::make_unique<Workspace>(ravelgrid::QtScheduler::system());
    }
};

LargeHome& home()
{
    static LargeHome h;
    return h;
}

// Reading every file, building the rows and painting the column once.
void BM_ListTwoThousandHosts(benchmark::State& state)
{
    LargeHome& h = home();
    for (auto _ : state) {
        SSHHostStore hosts(SSHPaths(h.dir.path().toStdString()));
        Sidebar sidebar(hosts, *h.keys, *h.workspace, *h.settings);
        sidebar.resize(230, 800);
        QPixmap shot = sidebar.grab();
        if (sidebar.listedHosts().size() != 2000)
            state.SkipWithError("not every host was listed");
        benchmark::DoNotOptimize(shot);
    }
}
BENCHMARK(BM_ListTwoThousandHosts)->Unit(benchmark::kMillisecond);

// One keystroke: the filter narrows 2,000 aliases and the column is painted.
void BM_FilterKeystroke(benchmark::State& state)
{
    LargeHome& h = home();
    SSHHostStore hosts(SSHPaths(h.dir.path().toStdString()));
    Sidebar sidebar(hosts, *h.keys, *h.workspace, *h.settings);
    sidebar.resize(230, 800);
    sidebar.grab();
    const QStringList typed = {"w", "we", "web", "web1", "web", "we", "w", ""};
    std::size_t i = 0;
    for (auto _ : state) {
        sidebar.filterField()->setText(typed[qsizetype(i++ % typed.size())]);
        QPixmap shot = sidebar.grab();
        benchmark::DoNotOptimize(shot);
    }
}
BENCHMARK(BM_FilterKeystroke)->Unit(benchmark::kMillisecond);

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
