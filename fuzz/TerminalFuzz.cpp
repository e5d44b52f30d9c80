// Random bytes, cut into random chunks, into a small terminal; checks that
// the buffers stay consistent and that chunking never changes the screen.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/FakeScheduler.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using namespace ravelgrid;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void checkInvariants(Terminal& t)
{
    for (Buffer* b : {t.normalBuffer.get(), t.altBuffer.get()}) {
        // Leaving the alternate screen empties it until the next visit.
        if (b == t.altBuffer.get() && !t.isCurrentBufferAlternate() && b->lines().count() == 0)
            continue;
        check(b->x() >= 0 && b->x() <= t.cols);
        check(b->y() >= 0 && b->y() < t.rows);
        check(b->yBase() >= 0 && b->yDisp() >= 0);
        check(b->scrollTop() >= 0 && b->scrollTop() <= b->scrollBottom() && b->scrollBottom() < t.rows);
        auto& ring = b->lines();
        check(ring.count() <= ring.maxLength());
        check(b->yBase() + t.rows <= ring.count());
        for (int r = 0; r < t.rows; ++r) {
            const BufferLine& line = b->screenLine(r);
            check(line.dataSize() >= t.cols);
            for (const CharData& cell : line.cellSpan()) {
                check(cell.width >= 0 && cell.width <= 2);
                if (cell.code >= CharData::firstClusterCode)
                    check(t.character(cell.code) != " ");
                else
                    check(cell.code >= 0 && cell.code < 0x110000);
            }
        }
    }
    if (auto range = t.getUpdateRange())
        check(range->first >= 0 && range->second <= t.rows);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    TerminalOptions o;
    o.cols = 2 + data[0] % 30;
    o.rows = 1 + data[1] % 12;
    o.scrollback = data[2] % 20;
    o.regionalIndicatorWidth = data[2] & 0x80 ? RegionalIndicatorWidth::narrow : RegionalIndicatorWidth::wide;
    uint32_t seed = data[0] * 131u + data[1] * 7u + data[2];
    const auto input = std::span<const uint8_t>(data + 3, size - 3);

    platform::FakeScheduler frozen;  // never advanced: the time stays put
    test::ReplyRecorder wholeHost, chunkedHost;
    Terminal whole(&wholeHost, o);
    Terminal chunked(&chunkedHost, o);
    whole.setScheduler(&frozen);
    chunked.setScheduler(&frozen);

    whole.feed(input);
    checkInvariants(whole);
    size_t i = 0;
    while (i < input.size()) {
        seed = seed * 1103515245u + 12345u;
        const size_t len = std::min<size_t>(input.size() - i, 1 + (seed >> 16) % 17);
        chunked.feed(input.subspan(i, len));
        checkInvariants(chunked);
        i += len;
    }
    check(test::dumpScreen(whole, wholeHost.replies) == test::dumpScreen(chunked, chunkedHost.replies));
    return 0;
}
