#include "ravelgrid/selection/SearchPattern.h"

#include <algorithm>
#include <climits>

#include <unicode/uchar.h>
#include <unicode/uregex.h>

#include "platform/Log.h"
#include "ravelgrid/screen/Utf8.h"

namespace ravelgrid {

namespace {

// Simple case folding per code unit keeps every offset where it was;
// supplementary characters compare as they are.
char16_t fold(char16_t c)
{
    if (c < 0x80)
        return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xD800 && c <= 0xDFFF)
        return c;
    const UChar32 f = u_foldCase(c, U_FOLD_CASE_DEFAULT);
    return f <= 0xFFFF ? static_cast<char16_t>(f) : c;
}

std::u16string toUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        char32_t c = utf8::next(text, pos);
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        }
    }
    return out;
}

}  // namespace

void SearchPattern::RegexCloser::operator()(URegularExpression* re) const
{
    uregex_close(re);
}

SearchPattern::SearchPattern(std::string_view term, const SearchOptions& options) : term_(term), options_(options)
{
    if (term.empty())
        return;
    const std::u16string utf16 = toUtf16(term);
    if (options.regex) {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError{};
        const uint32_t flags = options.caseSensitive ? 0 : UREGEX_CASE_INSENSITIVE;
        URegularExpression* re = uregex_open(reinterpret_cast<const UChar*>(utf16.data()),
                                             static_cast<int32_t>(utf16.size()), flags, &parseError, &status);
        if (U_FAILURE(status) || re == nullptr) {
            if (re != nullptr)
                uregex_close(re);
            invalidExpression_ = true;
            return;
        }
        regex_.reset(re);
        deadline_ = std::chrono::steady_clock::now() + regexBudget;
        uregex_setStackLimit(re, regexStackLimit, &status);
        // The budget is also checked inside long matches, not only between them.
        uregex_setMatchCallback(re, keepMatching, this, &status);
        if (U_FAILURE(status)) {
            invalidExpression_ = true;
            return;
        }
    } else {
        needle_ = utf16;
        if (!options.caseSensitive)
            for (char16_t& c : needle_)
                c = fold(c);
    }
    usable_ = true;
}

SearchPattern::~SearchPattern() = default;

bool SearchPattern::isNonWordCharacter(char16_t c)
{
    return c == ' ' || (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60 && c != '_') ||
           (c >= 0x7B && c <= 0x7E);
}

bool SearchPattern::isWholeWord(const SearchLine& line, int startUnit, int endUnit)
{
    auto boundary = [&](int unit) {
        const int from = line.utf16Index(unit);
        const int to = line.utf16Index(unit + 1);
        return to - from == 1 && isNonWordCharacter(line.text[static_cast<size_t>(from)]);
    };
    if (startUnit > 0 && !boundary(startUnit - 1))
        return false;
    if (endUnit < line.unitCount && !boundary(endUnit))
        return false;
    return true;
}

std::optional<SearchPattern::Match> SearchPattern::accept(const SearchLine& line, int start, int end) const
{
    if (end <= start)
        return std::nullopt;
    const int startUnit = line.unitAt(start);
    const int endUnit = line.unitAt(end);
    if (startUnit < 0 || endUnit < 0)
        return std::nullopt;
    if (options_.wholeWord && !isWholeWord(line, startUnit, endUnit))
        return std::nullopt;
    return Match{startUnit, endUnit};
}

std::optional<SearchPattern::Match> SearchPattern::findForward(const SearchLine& line, int from)
{
    if (!usable_)
        return std::nullopt;
    return regex_ ? regexFind(line, line.utf16Index(from), static_cast<int>(line.text.size()))
                  : plainForward(line, from);
}

std::optional<SearchPattern::Match> SearchPattern::findBackward(const SearchLine& line, int limit)
{
    if (!usable_)
        return std::nullopt;
    return regex_ ? regexLast(line, line.utf16Index(limit)) : plainBackward(line, limit);
}

// --- plain terms ---------------------------------------------------------------------

bool SearchPattern::equalAt(const std::u16string& text, size_t at) const
{
    const size_t n = needle_.size();
    if (options_.caseSensitive)
        return text.compare(at, n, needle_) == 0;
    for (size_t k = 0; k < n; ++k)
        if (fold(text[at + k]) != needle_[k])
            return false;
    return true;
}

std::optional<SearchPattern::Match> SearchPattern::plainForward(const SearchLine& line, int from)
{
    const std::u16string& text = line.text;
    const size_t n = needle_.size();
    size_t i = static_cast<size_t>(line.utf16Index(from));
    if (options_.caseSensitive) {
        const std::u16string_view view(text);
        while (true) {
            const size_t at = view.find(needle_, i);
            if (at == std::u16string_view::npos)
                return std::nullopt;
            if (auto m = accept(line, static_cast<int>(at), static_cast<int>(at + n)))
                return m;
            i = at + 1;
        }
    }
    // Characters above ASCII may fold onto an ASCII letter (the Kelvin sign
    // onto "k"), so only ASCII takes the quick test.
    const char16_t first = needle_[0];
    const char16_t firstUpper = first >= 'a' && first <= 'z' ? static_cast<char16_t>(first - 32) : first;
    for (; i + n <= text.size(); ++i) {
        const char16_t c = text[i];
        if (c < 0x80) {
            if (c != first && c != firstUpper)
                continue;
        } else if (fold(c) != first) {
            continue;
        }
        if (!equalAt(text, i))
            continue;
        if (auto m = accept(line, static_cast<int>(i), static_cast<int>(i + n)))
            return m;
    }
    return std::nullopt;
}

std::optional<SearchPattern::Match> SearchPattern::plainBackward(const SearchLine& line, int limit)
{
    const long long n = static_cast<long long>(needle_.size());
    for (long long i = line.utf16Index(limit) - n; i >= 0; --i) {
        if (!equalAt(line.text, static_cast<size_t>(i)))
            continue;
        if (auto m = accept(line, static_cast<int>(i), static_cast<int>(i + n)))
            return m;
    }
    return std::nullopt;
}

// --- regular expressions ---------------------------------------------------------------

void SearchPattern::spend(const char* why)
{
    if (!limitReached_)
        platform::logWarning("ravelgrid", std::string("search: regular expression stopped: ") + why);
    limitReached_ = true;
    usable_ = false;
}

bool SearchPattern::overBudget()
{
    if (std::chrono::steady_clock::now() <= deadline_)
        return false;
    spend("time budget of the search used up");
    return true;
}

UBool SearchPattern::keepMatching(const void* context, int32_t)
{
    return std::chrono::steady_clock::now() <= static_cast<const SearchPattern*>(context)->deadline_;
}

bool SearchPattern::bind(const SearchLine& line)
{
    UErrorCode status = U_ZERO_ERROR;
    URegularExpression* re = regex_.get();
    const size_t share = line.text.size() / regexTimeLimitPerLineUnits;
    uregex_setTimeLimit(re, static_cast<int32_t>(std::min<size_t>(regexTimeLimit + share, INT32_MAX)), &status);
    uregex_setText(re, reinterpret_cast<const UChar*>(line.text.data()), static_cast<int32_t>(line.text.size()),
                   &status);
    uregex_useTransparentBounds(re, true, &status);
    uregex_useAnchoringBounds(re, false, &status);
    if (U_FAILURE(status)) {
        spend(u_errorName(status));
        return false;
    }
    return true;
}

std::optional<SearchPattern::Match> SearchPattern::regexFind(const SearchLine& line, int from, int limit)
{
    if (overBudget() || !bind(line))
        return std::nullopt;
    URegularExpression* re = regex_.get();
    int pos = from;
    while (pos <= limit) {
        UErrorCode status = U_ZERO_ERROR;
        uregex_setRegion64(re, pos, limit, &status);
        const bool found = uregex_findNext(re, &status);
        if (U_FAILURE(status)) {
            spend(u_errorName(status));
            return std::nullopt;
        }
        if (!found)
            return std::nullopt;
        const int start = static_cast<int>(uregex_start64(re, 0, &status));
        const int end = static_cast<int>(uregex_end64(re, 0, &status));
        if (auto m = accept(line, start, end))
            return m;
        if (overBudget())
            return std::nullopt;
        // A rejected candidate may hide one that starts inside it.
        pos = line.nextUnitStart(start);
    }
    return std::nullopt;
}

std::optional<SearchPattern::Match> SearchPattern::regexLast(const SearchLine& line, int limit)
{
    if (overBudget() || !bind(line))
        return std::nullopt;
    URegularExpression* re = regex_.get();
    std::optional<Match> best;
    int pos = 0;
    while (pos <= limit) {
        UErrorCode status = U_ZERO_ERROR;
        uregex_setRegion64(re, pos, limit, &status);
        while (true) {
            const bool found = uregex_findNext(re, &status);
            if (U_FAILURE(status)) {
                spend(u_errorName(status));
                return std::nullopt;
            }
            if (!found)
                return best;
            const int start = static_cast<int>(uregex_start64(re, 0, &status));
            const int end = static_cast<int>(uregex_end64(re, 0, &status));
            if (auto m = accept(line, start, end)) {
                best = m;
                continue;
            }
            if (overBudget())
                return std::nullopt;
            pos = line.nextUnitStart(start);
            break;
        }
    }
    return best;
}

}  // namespace ravelgrid
