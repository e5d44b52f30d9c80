#include "quillmar/snippets/SnippetImport.h"

#include <algorithm>
#include <unordered_map>

namespace quillmar {

namespace {

// "1 snippet was", "2 snippets were".
std::string countWas(std::size_t n)
{
    return n == 1 ? "1 snippet was" : std::to_string(n) + " snippets were";
}

}  // namespace

SnippetImportPlan SnippetImport::plan(std::span<const Snippet> stored, std::vector<Snippet> incoming)
{
    std::unordered_map<std::string, const Snippet*> byId;
    for (const Snippet& s : stored)
        byId.emplace(s.id, &s);
    SnippetImportPlan plan;
    // Reasons in the order first met, each with its count.
    std::vector<std::pair<std::string, std::size_t>> reasons;
    std::vector<Snippet> kept;
    kept.reserve(incoming.size());
    for (const Snippet& original : incoming) {
        Snippet s = tidiedSnippet(original);
        if (auto problem = snippetProblem(s)) {
            ++plan.refused;
            auto reason =
                std::find_if(reasons.begin(), reasons.end(), [&](const auto& r) { return r.first == *problem; });
            if (reason == reasons.end())
                reasons.emplace_back(std::move(*problem), 1);
            else
                ++reason->second;
            continue;
        }
        if (!(s == original))
            ++plan.tidied;
        kept.push_back(std::move(s));
    }
    if (plan.tidied)
        plan.notes.push_back(countWas(plan.tidied) +
                             " tidied as the editor saves snippets: spaces trimmed, line breaks made plain, "
                             "a blank category filed under \"" +
                             std::string(defaultSnippetCategory) + "\".");
    for (const auto& [why, n] : reasons)
        plan.notes.push_back(countWas(n) + " left out. " + why);
    for (const Snippet& s : kept) {
        auto it = byId.find(s.id);
        if (it == byId.end())
            plan.added.push_back(s.id);
        else if (*it->second == s)
            plan.unchanged.push_back(s.id);
        else
            plan.replaced.push_back(s.id);
    }
    plan.incoming = std::move(kept);
    return plan;
}

std::vector<Snippet> SnippetImport::merge(std::span<const Snippet> stored, std::span<const Snippet> incoming,
                                          SnippetImportChoice choice, SnippetImportOutcome* outcome)
{
    std::vector<Snippet> merged(stored.begin(), stored.end());
    std::unordered_map<std::string, std::size_t> place;
    for (std::size_t i = 0; i < merged.size(); ++i)
        place.emplace(merged[i].id, i);
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
    if (outcome)
        *outcome = std::move(done);
    return merged;
}

}  // namespace quillmar
