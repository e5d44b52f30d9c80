// Random output from a child, then every question the host asks about the
// screen: links under each cell, text between positions, the buffer as
// bytes, prompt clicks; and the same bytes as user input to the scanner.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using namespace ravelgrid;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkLink(const LinkMatch& m, Position at, int cols)
{
    check(m.row == at.row);
    check(m.range.lowerBound <= at.col && at.col < m.range.upperBound);
    check(m.range.lowerBound >= 0 && m.range.upperBound <= cols);
    check(!m.rowRanges.empty());
    bool sawRow = false;
    for (size_t i = 0; i < m.rowRanges.size(); ++i) {
        const auto& r = m.rowRanges[i];
        check(!r.range.empty() && r.range.lowerBound >= 0 && r.range.upperBound <= cols);
        check(i == 0 || m.rowRanges[i - 1].row < r.row);
        if (r.row == m.row) {
            sawRow = true;
            check(r.range == m.range);
        }
    }
    check(sawRow);
    check(!m.text.empty());
    if (m.isExplicit)
        check(m.rowRanges.size() == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    TerminalOptions o;
    o.cols = 2 + data[0] % 40;
    o.rows = 1 + data[1] % 8;
    o.scrollback = data[2] % 16;
    const auto input = std::span<const uint8_t>(data + 3, size - 3);

    test::ReplyRecorder host;
    host.trusted = data[2] & 0x80;
    Terminal t(&host, o);
    t.feed(input);

    Buffer& b = t.activeBuffer();
    const int count = b.lines().count();
    for (int row = 0; row < count; ++row) {
        for (int col = 0; col < t.cols; ++col) {
            const Position at{col, row};
            if (auto m = t.linkMatch(LinkLookupLocation::buffer(at), LinkLookupMode::explicitAndImplicit))
                checkLink(*m, at, t.cols);
        }
    }
    // Out-of-range lookups are clamped, never refused.
    t.linkMatch(LinkLookupLocation::screen({-5, 1000}), LinkLookupMode::explicitAndImplicit);

    uint32_t seed = data[0] * 131u + data[1] * 7u + data[2];
    for (int i = 0; i < 8; ++i) {
        seed = seed * 1103515245u + 12345u;
        const Position p{static_cast<int>(seed >> 8) % (t.cols + 4) - 2,
                         static_cast<int>(seed >> 16) % (count + 4) - 2};
        seed = seed * 1103515245u + 12345u;
        const Position q{static_cast<int>(seed >> 8) % (t.cols + 4) - 2,
                         static_cast<int>(seed >> 16) % (count + 4) - 2};
        check(t.getText(p, q) == t.getText(q, p));
        t.handleSemanticPromptClick(p, {}, {false, false, 1, true});
    }
    for (auto kind : {BufferKind::normal, BufferKind::alt})
        for (auto encoding : {TextEncoding::utf8, TextEncoding::ascii, TextEncoding::isoLatin1})
            t.getBufferAsData(kind, encoding);

    t.sendUserInput(input);
    check(t.semanticScanParams.size() <= 32);
    return 0;
}
