// Random bytes (text, bidi modes, wraps, clusters) into a small terminal,
// then every row through the bidirectional layout: each laid-out row must be
// a permutation of its columns whose two maps agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/FakeScheduler.h"
#include "ravelgrid/bidi/TerminalBidi.h"
#include "ravelgrid/screen/Utf8.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using namespace ravelgrid;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkRow(const BidiRowLayout& row, int cols)
{
    check(int(row.logicalToVisualCol.size()) == cols && int(row.visualToLogicalCol.size()) == cols);
    int v = 0;
    std::vector<int> seen(size_t(cols), 0);
    for (const BidiCell& cell : row.visualCells) {
        check(cell.width >= 1 && cell.logicalCol >= 0 && cell.logicalCol < cols);
        for (int i = 0; i < cell.width && v + i < cols; ++i) {
            check(row.visualToLogicalCol[size_t(v + i)] == cell.logicalCol);
            if (cell.logicalCol + i < cols) {
                check(row.logicalToVisualCol[size_t(cell.logicalCol + i)] == v + i);
                ++seen[size_t(cell.logicalCol + i)];
            }
        }
        v += cell.width;
    }
    check(v >= cols);
    for (int n : seen)
        check(n == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    TerminalOptions o;
    o.cols = 2 + data[0] % 24;
    o.rows = 1 + data[1] % 8;
    o.scrollback = data[2] % 10;
    o.maximumBidiParagraphRows = data[2] % 5;
    const auto input = std::span<const uint8_t>(data + 3, size - 3);

    platform::FakeScheduler frozen;
    test::ReplyRecorder host;
    Terminal terminal(&host, o);
    terminal.setScheduler(&frozen);
    terminal.feed(input);

    const TerminalBidi::ClusterScalars clusters = [&terminal](int32_t code) {
        std::u32string out;
        const std::string text = terminal.character(code);
        for (size_t pos = 0; pos < text.size();)
            out.push_back(utf8::next(text, pos));
        return out;
    };
    Buffer& buffer = terminal.activeBuffer();
    for (int r = 0; r < buffer.lines().count(); ++r) {
        const auto shown = TerminalBidi::displayedRow(r, buffer, terminal.cols, o.maximumBidiParagraphRows, clusters);
        if (const BidiRowLayout* row = shown.layout())
            checkRow(*row, terminal.cols);
        const auto [first, last] = TerminalBidi::expandToParagraphs(r, r, buffer, o.maximumBidiParagraphRows);
        check(first <= r && r <= last);
    }
    return 0;
}
