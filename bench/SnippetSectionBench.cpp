// The sidebar's Snippets section over 1,000 snippets in 20 categories: one
// keystroke in the filter narrowing the groups (budget: one 16 ms frame),
// and the same with the section painted.
#include "quillmar/app/SidebarSnippetsSection.h"
#include "quillmar/app/SnippetInsertion.h"
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/Workspace.h"
#include "ravelgrid/view/QtScheduler.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QTemporaryDir>

#include <memory>

using namespace quillmar;

namespace {

// A fixed key, so that the benchmark needs no keyring.
class FixedKey final : public SnippetKeySource {
public:
    Lookup find() override { return {key_, std::nullopt}; }
    SnippetResult<platform::SymmetricKey> create() override { return *key_; }

private:
    std::optional<platform::SymmetricKey> key_ = platform::SymmetricKey::fromBytes(std::string(32, 'k'));
};

struct Library {
    QTemporaryDir dir;
    std::unique_ptr<SnippetStore> store;
    std::unique_ptr<UserSettings> settings;
    std::unique_ptr<Workspace> workspace;
    std::unique_ptr<SnippetInsertion> insertion;

    Library() {
        store = std::make_unique<SnippetStore>(SnippetPaths(dir.filePath(QStringLiteral("data")).toStdString()),
                                               std::make_unique<FixedKey>());
        store->setLoaded(true);
        store->load();
        std::vector<Snippet> list;
        for (int i = 0; i < 1000; ++i) {
            Snippet s;
            s.id = newSnippetId();
            s.title = "Snippet " + std::to_string(i);
            s.command = (i % 7 ? "ls -la /srv/" : "docker ps --filter name=") + std::to_string(i);
            s.category = "Category " + std::to_string(i % 20);
            s.tags = {i % 2 ? "linux" : "macos", "tag" + std::to_string(i % 13)};
            store->add(s);
        }
        settings = std::make_unique<UserSettings>(dir.filePath(QStringLiteral("q.conf")));
        settings->setSnippetsExpanded(true);
        workspace = std::make_unique<Workspace>(ravelgrid::QtScheduler::system());
        insertion = std::make_unique<SnippetInsertion>(*workspace, nullptr, ravelgrid::QtScheduler::system());
    }
};

Library& library() {
    static Library l;
    return l;
}

const QStringList typed = {"d", "do", "doc", "dock", "DOCKER", "dock", "doc", "do", "d", ""};

void BM_SnippetFilterKeystroke(benchmark::State& state) {
    Library& l = library();
    QLineEdit filter;
    SidebarSnippetsSection section(*l.store, *l.insertion, *l.workspace, *l.settings, &filter);
    section.resize(230, 800);
    if (l.store->allSnippets().size() < 1000)
        state.SkipWithError("the snippets were not stored");
    std::size_t i = 0;
    for (auto _ : state)
        filter.setText(typed[qsizetype(i++ % typed.size())]);
}
BENCHMARK(BM_SnippetFilterKeystroke)->Unit(benchmark::kMillisecond);

void BM_SnippetFilterKeystrokePainted(benchmark::State& state) {
    Library& l = library();
    QLineEdit filter;
    SidebarSnippetsSection section(*l.store, *l.insertion, *l.workspace, *l.settings, &filter);
    section.resize(230, 800);
    section.grab();
    std::size_t i = 0;
    for (auto _ : state) {
        filter.setText(typed[qsizetype(i++ % typed.size())]);
        QPixmap shot = section.grab();
        benchmark::DoNotOptimize(shot);
    }
}
BENCHMARK(BM_SnippetFilterKeystrokePainted)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
