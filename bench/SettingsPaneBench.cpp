// Opening the Settings pane: building every section, listing the monospaced
// fonts and showing it, offscreen. The budget is 100 ms with 200 monospaced
// families installed. With --many-fonts, fontconfig sees 200 more families:
// copies of one monospaced font, each renamed at scan time by a private
// configuration that includes the system's.
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/panes/SettingsView.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/style/MonospaceFonts.h"
#include "ravelgrid/view/QtDeliveryQueue.h"
#include "ravelgrid/view/QtScheduler.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstring>

using namespace quillmar;

namespace {

// fresh: fontconfig is asked again, as on the first open of a run.
void openPane(benchmark::State& state, bool fresh)
{
    QTemporaryDir dir;
    UserSettings settings(dir.filePath(QStringLiteral("quillmar.conf")));
    Workspace workspace(ravelgrid::QtScheduler::system());
    workspace.setSettingsScrollTarget(QStringLiteral("about"));
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        if (fresh)
            monospaceFaces(true);
        SettingsView view(workspace, settings, SSHPaths(dir.path().toStdString()), {});
        view.resize(900, 700);
        view.show();
        QApplication::processEvents();
        state.SetIterationTime(double(timer.nsecsElapsed()) / 1e9);
    }
    state.counters["families"] = double(monospaceFaces().size());
}

void BM_SettingsPaneOpenFresh(benchmark::State& state)
{
    openPane(state, true);
}
void BM_SettingsPaneOpen(benchmark::State& state)
{
    openPane(state, false);
}

// A private fontconfig setup with `count` extra monospaced families.
bool installManyFonts(const QTemporaryDir& dir, int count)
{
    QProcess match;
    match.start(QStringLiteral("fc-match"),
                {QStringLiteral("-f"), QStringLiteral("%{file}"), QStringLiteral("monospace")});
    if (!match.waitForFinished(10000))
        return false;
    const QString source = QString::fromLocal8Bit(match.readAllStandardOutput()).trimmed();
    if (source.isEmpty())
        return false;
    QString conf = QStringLiteral("<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n<fontconfig>\n"
                                  "<include ignore_missing=\"yes\">/etc/fonts/fonts.conf</include>\n");
    conf += QStringLiteral("<dir>%1</dir>\n<cachedir>%2</cachedir>\n")
                .arg(dir.filePath(QStringLiteral("fonts")), dir.filePath(QStringLiteral("cache")));
    QDir().mkpath(dir.filePath(QStringLiteral("fonts")));
    for (int i = 0; i < count; ++i) {
        const QString file = dir.filePath(QStringLiteral("fonts/mono%1.ttf").arg(i));
        if (!QFile::copy(source, file))
            return false;
        conf += QStringLiteral(
                    "<match target=\"scan\"><test name=\"file\"><string>%1</string></test>"
                    "<edit name=\"family\" mode=\"assign\" binding=\"same\"><string>Bench Mono %2</string></edit>"
                    "<edit name=\"postscriptname\" mode=\"assign\" "
                    "binding=\"same\"><string>BenchMono%2-Regular</string></edit>"
                    "</match>\n")
                    .arg(file)
                    .arg(i);
    }
    conf += QStringLiteral("</fontconfig>\n");
    QFile out(dir.filePath(QStringLiteral("fonts.conf")));
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(conf.toUtf8());
    out.close();
    qputenv("FONTCONFIG_FILE", dir.filePath(QStringLiteral("fonts.conf")).toLocal8Bit());
    return true;
}

}  // namespace

BENCHMARK(BM_SettingsPaneOpenFresh)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SettingsPaneOpen)->UseManualTime()->Iterations(30)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    QTemporaryDir fonts;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--many-fonts") == 0) {
            if (!installManyFonts(fonts, 200))
                return 1;
            std::memmove(argv + i, argv + i + 1, sizeof(char*) * std::size_t(argc - i));
            --argc;
            break;
        }
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    auto queue = ravelgrid::QtDeliveryQueue::installAsMain();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
