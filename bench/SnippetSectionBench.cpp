// The sidebar's Snippets section and the Snippets pane over many snippets:
// one keystroke in the filter narrowing the groups (budget: one 16 ms
// frame), the same with the section painted, and for 1,000, 10,000 and
// 100,000 snippets each in a category of its own: listing them in both
// views, regrouping after a change, and one keystroke of the filter.
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/panes/SnippetInsertion.h"
#include "quillmar/app/panes/SnippetsView.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/sidebar/SidebarSnippetsSection.h"
#include "quillmar/snippets/SnippetImport.h"
#include "ravelgrid/view/QtScheduler.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QTemporaryDir>

#include <map>
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

    // `count` snippets, the factory set's among them, in `categories`
    // categories, stored in one save.
    Library(int count, int categories)
    {
        store = std::make_unique<SnippetStore>(SnippetPaths(dir.filePath(QStringLiteral("data")).toStdString()),
                                               std::make_unique<FixedKey>());
        store->setLoaded(true);
        store->load();
        QElapsedTimer waited;
        waited.start();
        while (store->allSnippets().empty() && !store->hasLoadError() && waited.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::vector<Snippet> list;
        for (int i = int(store->allSnippets().size()); i < count; ++i) {
            Snippet s;
            s.id = newSnippetId();
            s.title = "Snippet " + std::to_string(i);
            s.command = (i % 7 ? "ls -la /srv/" : "docker ps --filter name=") + std::to_string(i);
            s.category = "Category " + std::to_string(i % categories);
            s.tags = {i % 2 ? "linux" : "macos", "tag" + std::to_string(i % 13)};
            list.push_back(std::move(s));
        }
        store->applyImport(SnippetImport::plan(store->allSnippets(), std::move(list)),
                           SnippetImportChoice::keepExisting);
        settings = std::make_unique<UserSettings>(dir.filePath(QStringLiteral("q.conf")));
        settings->setSnippetsExpanded(true);
        workspace = std::make_unique<Workspace>(ravelgrid::QtScheduler::system());
        insertion = std::make_unique<SnippetInsertion>(*workspace, nullptr, ravelgrid::QtScheduler::system());
    }
    bool filled(int count) const { return int(store->allSnippets().size()) >= count; }
};

Library& library()
{
    static Library l(1000, 20);
    return l;
}

// One category per snippet, up to the store's bound.
Library& spread(int count)
{
    static std::map<int, std::unique_ptr<Library>> made;
    auto& l = made[count];
    if (!l)
        l = std::make_unique<Library>(count, count);
    return *l;
}

const QStringList typed = {"d", "do", "doc", "dock", "DOCKER", "dock", "doc", "do", "d", ""};

void BM_SnippetFilterKeystroke(benchmark::State& state)
{
    Library& l = library();
    QLineEdit filter;
    SidebarSnippetsSection section(*l.store, *l.insertion, *l.workspace, *l.settings, &filter);
    section.resize(230, 800);
    if (!l.filled(1000))
        state.SkipWithError("the snippets were not stored");
    std::size_t i = 0;
    for (auto _ : state)
        filter.setText(typed[qsizetype(i++ % typed.size())]);
}
BENCHMARK(BM_SnippetFilterKeystroke)->Unit(benchmark::kMillisecond);

void BM_SnippetFilterKeystrokePainted(benchmark::State& state)
{
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

// The sidebar's section and the Snippets pane over one store.
struct Views {
    QLineEdit filter;
    SidebarSnippetsSection section;
    SnippetsView pane;

    explicit Views(Library& l)
        : section(*l.store, *l.insertion, *l.workspace, *l.settings, &filter),
          pane(*l.store, ravelgrid::QtScheduler::system())
    {
        section.resize(230, 800);
        pane.resize(900, 700);
    }
    void paint()
    {
        QPixmap a = section.grab();
        QPixmap b = pane.grab();
        benchmark::DoNotOptimize(a);
        benchmark::DoNotOptimize(b);
    }
};

// Both views made over the store and painted once.
void BM_SnippetCategoriesListed(benchmark::State& state)
{
    Library& l = spread(int(state.range(0)));
    if (!l.filled(int(state.range(0))))
        state.SkipWithError("the snippets were not stored");
    for (auto _ : state)
        Views(l).paint();
}
BENCHMARK(BM_SnippetCategoriesListed)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A change of the store regrouped for both views, which then repaint.
void BM_SnippetCategoriesRegrouped(benchmark::State& state)
{
    Library& l = spread(int(state.range(0)));
    Views views(l);
    for (auto _ : state) {
        emit l.store->snippetsChanged();
        views.paint();
    }
}
BENCHMARK(BM_SnippetCategoriesRegrouped)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// One keystroke of "d", "de", "dep", … and back, the section repainted.
void BM_SnippetCategoriesFilterKeystroke(benchmark::State& state)
{
    Library& l = spread(int(state.range(0)));
    QLineEdit filter;
    SidebarSnippetsSection section(*l.store, *l.insertion, *l.workspace, *l.settings, &filter);
    section.resize(230, 800);
    section.grab();
    const QStringList keys = {"s", "sn", "sni", "snippet 4", "snippet 42", "snippet 4", "sni", "sn", "s", ""};
    std::size_t i = 0;
    for (auto _ : state) {
        filter.setText(keys[qsizetype(i++ % keys.size())]);
        QPixmap shot = section.grab();
        benchmark::DoNotOptimize(shot);
    }
}
BENCHMARK(BM_SnippetCategoriesFilterKeystroke)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

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
