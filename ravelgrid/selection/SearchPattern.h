#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ravelgrid/selection/SearchLineCache.h"
#include "ravelgrid/selection/SearchTypes.h"

struct URegularExpression;

namespace ravelgrid {

// A search term prepared once for one find operation: folded for a plain
// search, compiled for a regular expression (ICU syntax). Screen text is
// untrusted, so an expression runs under ICU's time and stack limits and a
// whole-operation budget; once any of them is hit the pattern is spent and
// finds nothing more, so a catastrophic expression ends quickly, empty.
class SearchPattern {
public:
    // ICU time units (10,000 match-engine steps each) one find call may use:
    // a base, plus a share for every 256 UTF-16 units of the line, so a plain
    // expression still gets through a very long wrapped line.
    static constexpr int32_t regexTimeLimit = 50;
    static constexpr int32_t regexTimeLimitPerLineUnits = 256;
    // Bytes of backtracking stack one find call may use.
    static constexpr int32_t regexStackLimit = 4 * 1024 * 1024;
    // Wall time one operation may spend in the expression over all lines.
    static constexpr std::chrono::milliseconds regexBudget{2000};

    // A match in units of a SearchLine, end exclusive.
    struct Match {
        int start = 0;
        int end = 0;
    };

    SearchPattern(std::string_view term, const SearchOptions& options);
    ~SearchPattern();
    SearchPattern(const SearchPattern&) = delete;
    SearchPattern& operator=(const SearchPattern&) = delete;

    const std::string& term() const { return term_; }
    const SearchOptions& options() const { return options_; }
    // False for an empty term, an expression that does not compile, or one
    // that ran into its limits.
    bool usable() const { return usable_; }
    bool invalidExpression() const { return invalidExpression_; }
    bool limitReached() const { return limitReached_; }

    // The first match starting at or after unit `from`. Empty matches,
    // matches that split a unit, and (with wholeWord) matches inside a word
    // are passed over and the search goes on after them.
    std::optional<Match> findForward(const SearchLine& line, int from);
    // The last such match that ends at or before unit `limit`.
    std::optional<Match> findBackward(const SearchLine& line, int limit);

    // A match is a whole word when the units on either side, where there are
    // any, are a space or ASCII punctuation other than "_".
    static bool isWholeWord(const SearchLine& line, int startUnit, int endUnit);
    static bool isNonWordCharacter(char16_t c);

private:
    struct RegexCloser {
        void operator()(URegularExpression* re) const;
    };

    // [start, end) in UTF-16 indexes when acceptable as a match, in units.
    std::optional<Match> accept(const SearchLine& line, int start, int end) const;
    bool equalAt(const std::u16string& text, size_t at) const;
    std::optional<Match> plainForward(const SearchLine& line, int from);
    std::optional<Match> plainBackward(const SearchLine& line, int limit);
    // The first acceptable match at or after UTF-16 index `from`, ending at
    // or before `limit`; the region is transparent so lookaround and \b see
    // the whole line, and ^ and $ mean the line's ends.
    std::optional<Match> regexFind(const SearchLine& line, int from, int limit);
    std::optional<Match> regexLast(const SearchLine& line, int limit);
    bool bind(const SearchLine& line);
    static int8_t keepMatching(const void* context, int32_t steps);
    bool overBudget();
    void spend(const char* why);

    std::string term_;
    SearchOptions options_;
    std::u16string needle_;  // folded unless case-sensitive
    std::unique_ptr<URegularExpression, RegexCloser> regex_;
    std::chrono::steady_clock::time_point deadline_;
    bool usable_ = false;
    bool invalidExpression_ = false;
    bool limitReached_ = false;
};

}  // namespace ravelgrid
