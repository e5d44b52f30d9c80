// Random screen contents and terms: selections and searches must stay in
// the buffer, never crash or hang, and a plain case-sensitive ASCII match
// must cover exactly the cells that spell the term.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ravelgrid/selection/SearchService.h"
#include "ravelgrid/selection/SelectionService.h"
#include "ravelgrid/terminal/Terminal.h"

using namespace ravelgrid;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

class NullHost : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t>) override {}
};

// The text a result covers, read back from the cells.
std::string cellsText(Terminal& t, const SearchResult& r)
{
    std::string out;
    Buffer& b = t.activeBuffer();
    const int cols = t.cols;
    long long index = static_cast<long long>(r.row) * cols + r.col;
    const long long end = index + r.size;
    for (; index < end; ++index) {
        const int row = static_cast<int>(index / cols);
        const int col = static_cast<int>(index % cols);
        const CharData cell = b.getCharAtBufferRelative({col, row});
        if (cell.code == 0 && col > 0 && b.getCharAtBufferRelative({col - 1, row}).width == 2)
            continue;
        if (cell.code == 0)
            out += ' ';
        else if (cell.code < 0x80)
            out += static_cast<char>(cell.code);
        else
            out += '?';
    }
    return out;
}

void checkResult(Terminal& t, const std::optional<SearchResult>& r)
{
    if (!r)
        return;
    check(r->row >= 0 && r->row < t.activeBuffer().lines().count());
    check(r->col >= 0 && r->col <= t.cols);
    check(r->size >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4 || size > 8192)
        return 0;
    const uint8_t flags = data[0];
    const size_t termLength = std::min<size_t>(data[1] % 16, size - 4);
    const std::string_view term(reinterpret_cast<const char*>(data + 4), termLength);
    const std::span<const uint8_t> screen(data + 4 + termLength, size - 4 - termLength);

    NullHost host;
    TerminalOptions o;
    o.cols = 12 + data[2] % 20;
    o.rows = 3 + data[3] % 6;
    o.scrollback = 40;
    Terminal t(&host, o);
    t.feed(screen);

    auto selection = SelectionService::create(t);
    const int count = t.activeBuffer().lines().count();
    for (size_t i = 0; i + 1 < std::min<size_t>(screen.size(), 16); i += 2) {
        const int col = screen[i] % (t.cols + 3) - 1;
        const int row = screen[i + 1] % (count + 2) - 1;
        selection->selectWordOrExpression({col, row}, t.activeBuffer());
        check(selection->start().col >= 0 && selection->end().col <= t.cols);
        selection->dragExtend(Position{col, row});
        selection->shiftExtend(Position{col / 2, row});
        (void)selection->getSelectedText();
    }
    selection->selectAll();
    (void)selection->getSelectedText();

    SearchService search(t);
    const SearchOptions options{(flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0};
    for (int i = 0; i < 3; ++i) {
        checkResult(t, search.findNext(term, options));
        checkResult(t, search.findPrevious(term, options));
    }
    for (const SearchResult& r : search.findAllMatches(term, options, 64))
        checkResult(t, r);

    bool ascii = !term.empty();
    for (char c : term)
        ascii = ascii && static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
    if (ascii) {
        search.reset();
        const SearchOptions exact{true, false, false};
        for (const SearchResult& r : search.findAllMatches(term, exact, 64))
            check(cellsText(t, r) == term);
    }
    return 0;
}
