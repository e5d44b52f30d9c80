#include "quillmar/snippets/SnippetImport.h"

#include <unordered_map>

namespace quillmar {

SnippetImportPlan SnippetImport::plan(std::span<const Snippet> stored, std::vector<Snippet> incoming) {
    std::unordered_map<std::string, const Snippet*> byId;
    for (const Snippet& s : stored) byId.emplace(s.id, &s);
    SnippetImportPlan plan;
    for (const Snippet& s : incoming) {
        auto it = byId.find(s.id);
        if (it == byId.end())
            plan.added.push_back(s.id);
        else if (*it->second == s)
            plan.unchanged.push_back(s.id);
        else
            plan.replaced.push_back(s.id);
    }
    plan.incoming = std::move(incoming);
    return plan;
}

std::vector<Snippet> SnippetImport::merge(std::span<const Snippet> stored, std::span<const Snippet> incoming,
                                          SnippetImportChoice choice, SnippetImportOutcome* outcome) {
    std::vector<Snippet> merged(stored.begin(), stored.end());
    std::unordered_map<std::string, std::size_t> place;
    for (std::size_t i = 0; i < merged.size(); ++i) place.emplace(merged[i].id, i);
    SnippetImportOutcome done;
    for (const Snippet& s : incoming) {
        auto it = place.find(s.id);
        if (it == place.end()) {
            place.emplace(s.id, merged.size());
            merged.push_back(s);
            done.added.push_back(s.id);
        } else if (choice == SnippetImportChoice::replaceExisting && !(merged[it->second] == s)) {
            merged[it->second] = s;
            done.replaced.push_back(s.id);
        }
    }
    if (outcome) *outcome = std::move(done);
    return merged;
}

}  // namespace quillmar
