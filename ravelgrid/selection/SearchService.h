#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ravelgrid/selection/SearchEngine.h"
#include "ravelgrid/selection/SearchLineCache.h"
#include "ravelgrid/selection/SearchTypes.h"

namespace ravelgrid {

class Terminal;

// Find in the active buffer of a terminal, scrollback included: the next or
// previous occurrence after the last one found, or all of them. Text is
// searched per logical line, so a match may run across a soft wrap. The host
// drops the cache on new output and on resize. The terminal must outlive it.
class SearchService {
public:
    explicit SearchService(Terminal& terminal);
    SearchService(const SearchService&) = delete;
    SearchService& operator=(const SearchService&) = delete;

    // An empty term clears the state and finds nothing. An invalid regular
    // expression finds nothing and reports nothing.
    std::optional<SearchResult> findNext(std::string_view term, const SearchOptions& options);
    std::optional<SearchResult> findPrevious(std::string_view term, const SearchOptions& options);
    // At most `limit` matches in buffer order, without wrapping; changes no
    // state but the line cache.
    std::vector<SearchResult> findAllMatches(std::string_view term, const SearchOptions& options, int limit);

    void invalidateCache();
    // invalidateCache, and forgets the term and options too.
    void reset();

    Terminal& terminal() const { return *terminal_; }
    const SearchState& state() const { return state_; }
    const std::optional<SearchSelection>& lastSelection() const { return lastSelection_; }
    // Where the next search starts from: a host's own selection.
    void setLastSelection(std::optional<SearchSelection> selection) { lastSelection_ = std::move(selection); }
    const std::optional<SearchResult>& lastResult() const { return lastResult_; }
    SearchLineCache& lineCache() { return lineCache_; }
    SearchEngine& engine() { return engine_; }

private:
    std::optional<SearchResult> find(std::string_view term, const SearchOptions& options, SearchDirection direction);
    // The cell after the last one of a result, in row-major order.
    Position positionAfter(const SearchResult& result, int cells) const;

    Terminal* terminal_;
    SearchState state_;
    SearchLineCache lineCache_;
    SearchEngine engine_;
    std::optional<SearchSelection> lastSelection_;
    std::optional<SearchResult> lastResult_;
};

}  // namespace ravelgrid
