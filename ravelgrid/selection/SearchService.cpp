#include "ravelgrid/selection/SearchService.h"

#include <algorithm>
#include <climits>

#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

SearchService::SearchService(Terminal& terminal)
    : terminal_(&terminal), lineCache_(terminal), engine_(terminal, lineCache_)
{}

Position SearchService::positionAfter(const SearchResult& result, int cells) const
{
    const long long w = std::max(terminal_->cols, 1);
    const long long index = static_cast<long long>(result.row) * w + result.col + cells;
    const long long row = std::clamp<long long>(index / w, INT_MIN, INT_MAX);
    return {static_cast<int>(index % w), static_cast<int>(row)};
}

std::optional<SearchResult> SearchService::find(std::string_view term, const SearchOptions& options,
                                                SearchDirection direction)
{
    if (term.empty()) {
        lastResult_.reset();
        lastSelection_.reset();
        state_.cachedSearchTerm.reset();
        state_.lastSearchOptions.reset();
        return std::nullopt;
    }
    state_.lastSearchOptions = options;
    lineCache_.beginOperation();
    SearchPattern pattern(term, options);
    auto result = direction == SearchDirection::forward
                      ? engine_.scanForward(pattern, state_.cachedSearchTerm, lastSelection_)
                      : engine_.scanBackward(pattern, state_.cachedSearchTerm, lastSelection_);
    state_.cachedSearchTerm = std::string(term);
    lastResult_ = result;

    if (!result) {
        lastSelection_.reset();
    } else {
        const Position start{result->col, result->row};
        lastSelection_ = SearchSelection{start, result->size < 1 ? start : positionAfter(*result, result->size)};
    }
    return result;
}

std::optional<SearchResult> SearchService::findNext(std::string_view term, const SearchOptions& options)
{
    return find(term, options, SearchDirection::forward);
}

std::optional<SearchResult> SearchService::findPrevious(std::string_view term, const SearchOptions& options)
{
    return find(term, options, SearchDirection::backward);
}

std::vector<SearchResult> SearchService::findAllMatches(std::string_view term, const SearchOptions& options, int limit)
{
    std::vector<SearchResult> matches;
    if (term.empty() || limit <= 0)
        return matches;
    lineCache_.beginOperation();
    lineCache_.refreshIfStale();
    SearchPattern pattern(term, options);
    std::optional<SearchResult> current = engine_.firstMatchFrom(pattern, {0, 0});
    while (current && static_cast<int>(matches.size()) < limit) {
        // Matches only ever move on; anything else would repeat forever.
        if (!matches.empty() &&
            Position{current->col, current->row} <= Position{matches.back().col, matches.back().row})
            break;
        matches.push_back(*current);
        const Position next = positionAfter(*current, std::max(current->size, 1));
        lineCache_.refreshIfStale();
        current = engine_.firstMatchFrom(pattern, next);
    }
    return matches;
}

void SearchService::invalidateCache()
{
    lineCache_.invalidate();
    lastResult_.reset();
    lastSelection_.reset();
}

void SearchService::reset()
{
    invalidateCache();
    state_.cachedSearchTerm.reset();
    state_.lastSearchOptions.reset();
}

}  // namespace ravelgrid
