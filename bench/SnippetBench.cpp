// Loading and saving a large snippet library: the read, decryption and JSON
// decoding of the file, and the encoding, encryption, backup and safe
// replacement of it. The key comes from memory, not the keyring, so the
// figures are those of the file path alone.
#include "quillmar/snippets/SnippetLibrary.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

namespace {

using namespace quillmar;

class FixedKey : public SnippetKeySource {
public:
    Lookup find() override { return Lookup{key_, std::nullopt}; }
    SnippetResult<platform::SymmetricKey> create() override { return key_; }

private:
    platform::SymmetricKey key_ = *platform::SymmetricKey::random();
};

std::vector<Snippet> manySnippets(std::size_t count)
{
    std::vector<Snippet> list;
    list.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string n = std::to_string(i);
        list.push_back(Snippet{newSnippetId(),
                               "Deploy service " + n + " to staging",
                               "kubectl -n team-" + n + " rollout restart deployment/api-" + n +
                                   " && kubectl -n team-" + n + " rollout status deployment/api-" + n,
                               "Category " + std::to_string(i % 25),
                               {"linux", "k8s"},
                               "Restarts the pods one by one; watch the status until it says done."});
    }
    return list;
}

struct Scratch {
    Scratch()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "qm-snippet-bench-XXXXXX").string();
        path = ::mkdtemp(tmpl.data());
    }
    ~Scratch()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

void BM_SnippetsSave10000(benchmark::State& state)
{
    Scratch dir;
    SnippetVault vault(SnippetPaths(dir.path), std::make_unique<FixedKey>());
    (void)vault.load();
    const auto list = manySnippets(10000);
    for (auto _ : state) {
        auto saved = vault.save(list);
        if (!saved)
            state.SkipWithError(saved.error().message.c_str());
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(dir.path + "/snippets"));
}
BENCHMARK(BM_SnippetsSave10000)->Unit(benchmark::kMillisecond);

void BM_SnippetsLoad10000(benchmark::State& state)
{
    Scratch dir;
    SnippetVault vault(SnippetPaths(dir.path), std::make_unique<FixedKey>());
    (void)vault.load();
    (void)vault.save(manySnippets(10000));
    for (auto _ : state) {
        auto loaded = vault.load();
        if (!loaded || loaded.value().snippets.size() != 10000)
            state.SkipWithError("load failed");
        benchmark::DoNotOptimize(loaded);
    }
}
BENCHMARK(BM_SnippetsLoad10000)->Unit(benchmark::kMillisecond);

// One edit in a library of 10,000: copy, save, keep.
void BM_SnippetsEditIn10000(benchmark::State& state)
{
    Scratch dir;
    {
        SnippetVault seed(SnippetPaths(dir.path), std::make_unique<FixedKey>());
        (void)seed.load();
    }
    SnippetLibrary library(SnippetVault(SnippetPaths(dir.path), std::make_unique<FixedKey>()));
    library.load();
    // Fill through one import so the list is large without 10,000 saves.
    SnippetImportPlan plan = SnippetImport::plan(library.all(), manySnippets(10000));
    (void)library.applyImport(plan, SnippetImportChoice::keepExisting);
    Snippet s = library.all().front();
    int i = 0;
    for (auto _ : state) {
        s.note = std::to_string(++i);
        auto edited = library.edit(s);
        if (!edited)
            state.SkipWithError(edited.error().message.c_str());
    }
}
BENCHMARK(BM_SnippetsEditIn10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
