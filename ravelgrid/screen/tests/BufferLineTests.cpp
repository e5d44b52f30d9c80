#include <gtest/gtest.h>

#include <random>

#include "platform/Log.h"
#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/screen/BufferLine.h"

using namespace ravelgrid;

namespace {

CharData cell(char32_t c, int width = 1)
{
    CharData d;
    d.code = static_cast<int32_t>(c);
    d.width = static_cast<int8_t>(width);
    return d;
}

// A line whose cells spell the text (one cell per character).
std::shared_ptr<BufferLine> lineOf(const std::string& text, int cols)
{
    auto line = std::make_shared<BufferLine>(cols);
    for (size_t i = 0; i < text.size(); ++i)
        line->set(static_cast<int>(i), cell(static_cast<unsigned char>(text[i])));
    return line;
}

std::string textOf(const BufferLine& line)
{
    std::string out;
    for (int i = 0; i < line.dataSize(); ++i)
        out += line[i].code == 0 ? '.' : static_cast<char>(line[i].code);
    return out;
}

struct LogCapture {
    std::vector<std::string> messages;
    LogCapture()
    {
        platform::setLogSink(
            [this](platform::LogLevel, std::string_view, std::string_view m) { messages.emplace_back(m); });
    }
    ~LogCapture() { platform::setLogSink(nullptr); }
};

}  // namespace

TEST(BufferLine, OutOfRangeWriteIsClampedToLastCellWithOneMessage)
{
    LogCapture log;
    BufferLine line(10);
    const auto before = line.generation();
    line.set(15, cell('X'));
    EXPECT_EQ(line[9].code, 'X');
    EXPECT_EQ(line[42].code, 'X');  // reads clamp too
    EXPECT_EQ(line[-3].code, 0);
    EXPECT_EQ(line.widthAt(99), 1);
    ASSERT_EQ(log.messages.size(), 1u);
    EXPECT_EQ(log.messages[0],
              "BufferLine: You passed an index out of range, adjusting to prevent crash, but you should debug");
    EXPECT_GT(line.generation(), before);
}

TEST(BufferLine, ZeroWidthLineSurvivesAccess)
{
    LogCapture log;
    BufferLine line(0);
    line.set(0, cell('X'));
    EXPECT_EQ(line.dataSize(), 0);
    EXPECT_EQ(line.trimmedLength(), 0);
    EXPECT_EQ(line.toText(), "");
    EXPECT_EQ(line[5], CharData::Null);
    line.insertCells(0, 1, 0, CharData::Null);
    line.deleteCells(0, 1, 0, CharData::Null);
}

TEST(BufferLine, TrimmedLengthCountsWideCharactersAndIgnoresColouredBlanks)
{
    BufferLine line(20);
    line.set(10, cell(0x4E2D, 2));
    line.set(11, cell(0, 0));
    EXPECT_EQ(line.trimmedLength(), 12);

    BufferLine coloured(20);
    CharData blank;
    blank.attribute.bg = Attribute::Color::ansi256(4);
    coloured.fill(blank);
    EXPECT_EQ(coloured.trimmedLength(), 0);
    EXPECT_TRUE(coloured.hasAnyContent());
    EXPECT_FALSE(BufferLine(5).hasAnyContent());

    // The last character found wherever it sits, on lines of every length.
    for (int cols = 1; cols <= 9; ++cols) {
        for (int at = 0; at < cols; ++at) {
            BufferLine l(cols);
            l.set(at, cell('x'));
            EXPECT_EQ(l.trimmedLength(), at + 1) << cols << " columns, character at " << at;
        }
    }
}

TEST(BufferLine, InsertCellsStaysWithinTheRightMargin)
{
    auto line = lineOf("abcdefghijklmnopqrst", 20);
    line->insertCells(3, 2, 9, cell('_'));
    EXPECT_EQ(textOf(*line), "abc__defghklmnopqrst");  // i and j were pushed past the margin

    auto wrapped = lineOf("abcdefghij", 10);
    wrapped->insertCells(10, 1, 9, cell('_'));  // margin + 1 acts on column 0
    EXPECT_EQ(textOf(*wrapped), "_abcdefghi");

    auto all = lineOf("abcdefghij", 10);
    all->insertCells(7, 50, 9, cell('_'));
    EXPECT_EQ(textOf(*all), "abcdefg___");
}

TEST(BufferLine, DeleteCellsFillsBeforeTheRightMargin)
{
    auto line = lineOf("abcdefghijklmnopqrst", 20);
    line->deleteCells(2, 3, 9, cell('_'));
    EXPECT_EQ(textOf(*line), "abfghij___klmnopqrst");

    auto all = lineOf("abcdefghij", 10);
    all->deleteCells(4, 6, 9, cell('_'));
    EXPECT_EQ(textOf(*all), "abcd______");
}

TEST(BufferLine, InsertAndDeleteMoveMarksWithinTheMargin)
{
    BufferLine line(20);
    line.setSemanticMark(SemanticPromptKind::initial, 4, 1);
    line.setSemanticMark(SemanticPromptKind::secondary, 15, 1);
    line.insertCells(2, 3, 9, CharData::Null);
    ASSERT_EQ(line.semanticMarks().size(), 2u);
    EXPECT_EQ(line.semanticMarks()[0].column, 7);
    EXPECT_EQ(line.semanticMarks()[1].column, 15);  // beyond the margin
    line.deleteCells(0, 9, 9, CharData::Null);
    EXPECT_EQ(line.semanticMarks()[0].column, 0);
}

TEST(BufferLine, ShiftSemanticMarksClampsInsideTheRange)
{
    BufferLine line(20);
    line.setSemanticMark(SemanticPromptKind::initial, 4, 1);
    line.setSemanticMark(SemanticPromptKind::right, 8, 1);
    line.shiftSemanticMarks(2, 5, 6);
    EXPECT_EQ(line.semanticMarks()[0].column, 6);
    EXPECT_EQ(line.semanticMarks()[1].column, 8);
}

TEST(BufferLine, SetSemanticMarkKeepsOneMarkPerKindSortedStably)
{
    BufferLine line(20);
    line.setSemanticMark(SemanticPromptKind::initial, 9, 1);
    line.setSemanticMark(SemanticPromptKind::right, 3, 1);
    line.setSemanticMark(SemanticPromptKind::continuation, 3, 1);
    line.setSemanticMark(SemanticPromptKind::initial, 2, 2);
    const auto& marks = line.semanticMarks();
    ASSERT_EQ(marks.size(), 3u);
    EXPECT_EQ(marks[0].kind, SemanticPromptKind::initial);
    EXPECT_EQ(marks[0].group, 2u);
    EXPECT_EQ(marks[1].kind, SemanticPromptKind::right);  // equal columns keep their order
    EXPECT_EQ(marks[2].kind, SemanticPromptKind::continuation);
    line.setSemanticHardContinuationGroup(7);
    line.clearSemanticMarks();
    EXPECT_TRUE(line.semanticMarks().empty());
    EXPECT_FALSE(line.semanticHardContinuationGroup());
}

TEST(BufferLine, ResizeKeepsCellsAndClampsMarks)
{
    auto line = lineOf("abcdefghij", 10);
    line->setSemanticMark(SemanticPromptKind::initial, 8, 1);
    line->resize(5, CharData::Null);
    EXPECT_EQ(textOf(*line), "abcde");
    EXPECT_EQ(line->semanticMarks()[0].column, 4);
    line->resize(8, cell('+'));
    EXPECT_EQ(textOf(*line), "abcde+++");
    line->resize(0, CharData::Null);
    EXPECT_EQ(line->dataSize(), 0);
    EXPECT_TRUE(line->semanticMarks().empty());
}

TEST(BufferLine, CopyCellsOntoItselfHandlesOverlap)
{
    auto right = lineOf("abcdefghij", 10);
    right->copyCellsFrom(*right, 0, 3, 7);
    EXPECT_EQ(textOf(*right), "abcabcdefg");

    auto left = lineOf("abcdefghij", 10);
    left->copyCellsFrom(*left, 3, 0, 7);
    EXPECT_EQ(textOf(*left), "defghijhij");
}

TEST(BufferLine, CopyCellsMovesMarksAndClampsRanges)
{
    auto src = lineOf("abcdefghij", 10);
    auto dst = std::make_shared<BufferLine>(10);
    src->setSemanticMark(SemanticPromptKind::initial, 5, 3);
    dst->setSemanticMark(SemanticPromptKind::right, 1, 3);
    const auto srcGen = src->generation();
    dst->copyCellsFrom(*src, 4, 0, 3);
    EXPECT_EQ(textOf(*dst), "efg.......");
    ASSERT_EQ(dst->semanticMarks().size(), 1u);  // the mark at 1 was overwritten by the copy
    EXPECT_EQ(dst->semanticMarks()[0].column, 1);
    EXPECT_EQ(dst->semanticMarks()[0].kind, SemanticPromptKind::initial);
    EXPECT_TRUE(src->semanticMarks().empty());
    EXPECT_GT(src->generation(), srcGen);

    // A length past either line is cut to what fits.
    dst->copyCellsFrom(*src, 8, 8, 50);
    EXPECT_EQ(textOf(*dst), "efg.....ij");
}

TEST(BufferLine, WholeLineCopyMovesTheHardContinuationGroup)
{
    auto src = lineOf("abc", 5);
    auto dst = std::make_shared<BufferLine>(5);
    src->setSemanticHardContinuationGroup(11);
    dst->copyCellsFrom(*src, 0, 0, 5);
    EXPECT_EQ(dst->semanticHardContinuationGroup(), 11u);
    EXPECT_FALSE(src->semanticHardContinuationGroup());
}

TEST(BufferLine, CopyCellsCarriesThePromptAnchorAndUpdatesTheBuffer)
{
    Buffer buffer(10, 3, 8, 10);
    buffer.fillViewportRows();
    buffer.beginSemanticGroup(0);
    buffer.addSemanticMark(SemanticPromptKind::initial, 0, 2);
    BufferLine& target = buffer.lines()[1];
    target.setSemanticMark(SemanticPromptKind::initial, 1, 99);  // a stale prompt start outside the copied range
    target.copyCellsFrom(buffer.lines()[0], 0, 4, 5);
    ASSERT_EQ(target.semanticMarks().size(), 1u);
    EXPECT_EQ(target.semanticMarks()[0].column, 6);
    EXPECT_EQ(buffer.semanticPromptStartLine.get(), &target);
    EXPECT_EQ(buffer.semanticPromptStartRow(), 1);
}

TEST(BufferLine, CopyInitAndCopyFrom)
{
    auto src = lineOf("hello", 8);
    src->setWrapped(true);
    src->setRenderMode(BufferLine::RenderLineMode::doubleWidth);
    src->setSemanticMark(SemanticPromptKind::initial, 1, 4);
    src->setImages(TerminalImageList{std::make_shared<TerminalImage>()});
    BufferLine copy(*src);
    EXPECT_EQ(textOf(copy), "hello...");
    EXPECT_TRUE(copy.isWrapped());
    EXPECT_EQ(copy.renderMode(), BufferLine::RenderLineMode::doubleWidth);
    EXPECT_TRUE(copy.hasImages());
    EXPECT_EQ(copy.generation(), 0u);
    copy.set(0, cell('J'));
    EXPECT_EQ((*src)[0].code, 'h');  // the copy owns its cells

    BufferLine narrow(3);
    narrow.copyFrom(*src);
    EXPECT_EQ(textOf(narrow), "hello...");
    EXPECT_EQ(narrow.renderMode(), BufferLine::RenderLineMode::single);
    EXPECT_FALSE(narrow.hasImages());
    EXPECT_EQ(narrow.semanticMarks().size(), 1u);
}

TEST(BufferLine, ToText)
{
    auto line = lineOf("ab", 6);
    line->set(2, cell(0x4E2D, 2));
    line->set(3, cell(0, 0));
    line->set(4, cell('z'));
    EXPECT_EQ(line->toText(true), std::string("ab\xE4\xB8\xAD") + '\0' + "z");
    EXPECT_EQ(line->toText(true, 0, -1, true), "ab\xE4\xB8\xAD"
                                               "z");
    EXPECT_EQ(line->toText(false, 4, -1), std::string("z") + '\0');
    EXPECT_EQ(line->toText(true, 5, -1), "");  // start past the trimmed end
    CharData cluster = cell(0);
    cluster.code = CharData::firstClusterCode;
    line->set(0, cluster);
    EXPECT_EQ(line->toText(false, 0, 1), " ");
    EXPECT_EQ(line->toText(false, 0, 2, false,
                           [](const CharData& c) { return c.code > 0xFFFF ? std::string("<c>") : std::string("-"); }),
              "<c>-");
}

TEST(BufferLine, EveryEditAdvancesGeneration)
{
    BufferLine line(10);
    uint64_t last = line.generation();
    auto advanced = [&] {
        const bool moved = line.generation() > last;
        last = line.generation();
        return moved;
    };
    line.set(0, cell('a'));
    EXPECT_TRUE(advanced());
    line.fillRange(cell('b'), 2, 4);
    EXPECT_TRUE(advanced());
    line.insertCells(0, 1, 9, CharData::Null);
    EXPECT_TRUE(advanced());
    line.deleteCells(0, 1, 9, CharData::Null);
    EXPECT_TRUE(advanced());
    line.setWrapped(true);
    EXPECT_TRUE(advanced());
    line.setBidiState({BidiSupportMode::explicit_, true, BidiDirection::rightToLeft, false});
    EXPECT_TRUE(advanced());
    line.resize(12, CharData::Null);
    EXPECT_TRUE(advanced());
    line.setSemanticMark(SemanticPromptKind::initial, 0, 1);
    EXPECT_TRUE(advanced());
}

TEST(BufferLine, IdsAreNeverReusedNotEvenAtAFreedAddress)
{
    std::optional<BufferLine> slot;
    slot.emplace(4);
    const uint64_t first = slot->id();
    const BufferLine copy(*slot);
    EXPECT_NE(copy.id(), first);
    slot.reset();
    slot.emplace(4);
    EXPECT_NE(slot->id(), first);
    EXPECT_NE(slot->id(), copy.id());
    // Reuse by the ring keeps the object, and so the id, but not the recycle generation.
    const uint64_t id = slot->id();
    const uint64_t recycled = slot->recycleGeneration();
    slot->resetForReuse(Attribute{});
    EXPECT_EQ(slot->id(), id);
    EXPECT_NE(slot->recycleGeneration(), recycled);

    std::optional<Buffer> buffer;
    buffer.emplace(4, 2, 8, 0);
    const uint64_t bufferId = buffer->id();
    buffer.emplace(4, 2, 8, 0);
    EXPECT_NE(buffer->id(), bufferId);
}

// --- compact and packed lines ------------------------------------------------------

namespace {

CharData styled(char32_t c, Attribute::Color fg, int width = 1)
{
    CharData d = cell(c, width);
    d.attribute.fg = fg;
    return d;
}

struct CompactCase {
    const char* name;
    std::vector<CharData> cells;  // the first cells of a 60-column row
    CharData tail;                // every cell after them
    bool packs;                   // small enough packed to be worth it
};

std::vector<CompactCase> compactCases()
{
    CharData blueBlank;
    blueBlank.attribute.bg = Attribute::Color::ansi256(4);
    CharData linked = cell('L');
    linked.payload.code = 7;
    CharData prompt = cell('$');
    prompt.semanticContentCode = 2;
    std::vector<CharData> ascii;
    for (char c : std::string("make: *** [all] Error 2"))
        ascii.push_back(cell(static_cast<unsigned char>(c)));
    std::vector<CharData> runs = {styled('r', Attribute::Color::ansi256(1)), styled('r', Attribute::Color::ansi256(1)),
                                  styled('g', Attribute::Color::trueColor(0, 200, 0)), cell(' '), cell('x')};
    std::vector<CharData> wide = {cell(0x4E2D, 2), cell(0, 0), cell(0x6587, 2), cell(0, 0), cell('a')};
    std::vector<CharData> big = {cell(0x1F600, 2), cell(0, 0), cell(CharData::firstClusterCode + 5, 2), cell(0, 0)};
    std::vector<CharData> blankThenX(10, CharData::Null);
    blankThenX.push_back(cell('x'));
    const CharData rule = styled('-', Attribute::Color::ansi256(3));
    return {
        {"blank", {}, CharData::Null, true},
        {"ascii", ascii, CharData::Null, true},
        {"colour runs", runs, CharData::Null, true},
        {"wide characters", wide, CharData::Null, true},
        {"codes past sixteen bits", big, CharData::Null, true},
        {"coloured blank tail", ascii, blueBlank, true},
        {"payload and semantic content", {linked, linked, prompt, cell('p')}, CharData::Null, true},
        {"text to the edge", std::vector<CharData>(60, cell('=')), cell('='), true},
        {"non-blank tail", {cell('a'), cell('b')}, cell('-'), true},
        {"blank run before a character", blankThenX, CharData::Null, true},
        {"combining cluster and a long coloured rule", {cell(CharData::firstClusterCode + 70000), rule}, rule, true},
        {"invalid codes", {cell(0x110000), cell(static_cast<char32_t>(-5)), cell(0xD800)}, CharData::Null, true},
    };
}

std::shared_ptr<BufferLine> lineOfCells(const CompactCase& c)
{
    auto line = std::make_shared<BufferLine>(60);
    for (int i = 0; i < 60; ++i)
        line->set(i, i < static_cast<int>(c.cells.size()) ? c.cells[static_cast<size_t>(i)] : c.tail);
    return line;
}

}  // namespace

TEST(BufferLineCompact, KeepsEveryCellAndReadsTheSame)
{
    for (const auto& c : compactCases()) {
        SCOPED_TRACE(c.name);
        const auto reference = lineOfCells(c);
        const auto line = lineOfCells(c);
        const uint64_t generation = line->generation();
        line->compact();
        EXPECT_EQ(line->generation(), generation) << "compaction is no change";
        EXPECT_EQ(line->isPacked(), c.packs);
        EXPECT_LT(line->storedSize(), 60) << "the blank tail is kept as one cell";
        EXPECT_EQ(line->dataSize(), 60);
        // Read without unpacking first, then by cell, then whole.
        EXPECT_EQ(line->trimmedLength(), reference->trimmedLength());
        EXPECT_EQ(line->toText(true), reference->toText(true));
        for (int i = 0; i < 60; ++i)
            ASSERT_EQ((*line)[i], (*reference)[i]) << "cell " << i;
        EXPECT_EQ(line->cells(), reference->cells());
        EXPECT_EQ((*line)[500], (*reference)[59]) << "reads past the end still give the last cell";
    }
}

TEST(BufferLineCompact, WritesAndResizesRegainTheFullRow)
{
    for (const auto& c : compactCases()) {
        SCOPED_TRACE(c.name);
        // A write anywhere, including past the kept cells.
        for (int col : {0, 3, 40, 59}) {
            const auto reference = lineOfCells(c);
            const auto line = lineOfCells(c);
            line->compact();
            reference->set(col, cell('#'));
            line->set(col, cell('#'));
            EXPECT_FALSE(line->isCompact());
            EXPECT_EQ(line->cells(), reference->cells()) << "write at " << col;
        }
        // Wider with the blank fill, wider with another fill, narrower.
        CharData other = cell(0);
        other.attribute.bg = Attribute::Color::ansi256(9);
        for (auto [cols, fill] : std::vector<std::pair<int, CharData>>{
                 {90, CharData::Null}, {90, other}, {20, CharData::Null}, {1, CharData::Null}}) {
            const auto reference = lineOfCells(c);
            const auto line = lineOfCells(c);
            line->compact();
            reference->resize(cols, fill);
            line->resize(cols, fill);
            EXPECT_EQ(line->dataSize(), cols);
            EXPECT_EQ(line->cells(), reference->cells()) << "resized to " << cols;
            EXPECT_EQ(line->cellSpan().size(), static_cast<size_t>(cols));
        }
        // Copies, spans and refills.
        const auto line = lineOfCells(c);
        line->compact();
        BufferLine copy(*line);
        EXPECT_EQ(copy.cells(), lineOfCells(c)->cells());
        BufferLine target(60);
        line->compact();
        target.copyFrom(*line);
        EXPECT_EQ(target.cells(), lineOfCells(c)->cells());
        line->compact();
        EXPECT_EQ(line->cellSpan().size(), 60u);
        line->compact();
        line->resetForReuse(Attribute{});
        EXPECT_EQ(line->trimmedLength(), 0);
        EXPECT_EQ(line->cells(), std::vector<CharData>(60, CharData::Null));
    }
}

TEST(BufferLineCompact, ASpareTakesTheFullStorageAndStaysWritable)
{
    const auto text = lineOfCells(compactCases()[1]);
    auto spare = std::make_shared<BufferLine>(60);
    spare->compact();
    text->compact(spare.get());
    EXPECT_TRUE(text->isPacked());
    EXPECT_EQ(text->toText(true), "make: *** [all] Error 2");
    // The spare is refilled and written by its owner as any line.
    spare->resetForReuse(Attribute{});
    spare->set(59, cell('z'));
    EXPECT_EQ(spare->trimmedLength(), 60);
    EXPECT_EQ(spare->toText(true), std::string(59, '\0') + "z");

    // A packed spare's block is reused for the next packed row.
    const auto next = lineOfCells(compactCases()[1]);
    next->compact(text.get());
    EXPECT_TRUE(next->isPacked());
    EXPECT_FALSE(text->isPacked()) << "it gave its block and took the full storage";
    text->resetForReuse(Attribute{});
    EXPECT_EQ(next->toText(true), "make: *** [all] Error 2");
}

TEST(BufferLineCompact, CopiesAndTailFillsWriteOnlyWhatTheyReach)
{
    CharData other = cell(0);
    other.attribute.bg = Attribute::Color::ansi256(9);
    const auto source = lineOfCells(compactCases()[2]);
    for (const auto& c : compactCases()) {
        SCOPED_TRACE(c.name);
        // Into a compact line, from a compact line, a tail fill; before,
        // across and past the kept cells.
        for (int col : {1, 20, 45}) {
            const auto reference = lineOfCells(c);
            const auto line = lineOfCells(c);
            line->compact();
            const int stored = line->storedSize();
            reference->copyCellsFrom(*source, 0, col, 5);
            line->copyCellsFrom(*source, 0, col, 5);
            EXPECT_EQ(line->cells(), reference->cells()) << "copy to " << col;
            EXPECT_LE(line->storedSize(), std::max(stored, col + 6)) << "copy to " << col;

            auto compactSource = lineOfCells(c);
            compactSource->compact();
            BufferLine into(60);
            BufferLine intoReference(60);
            into.copyCellsFrom(*compactSource, col, 2, 10);
            intoReference.copyCellsFrom(*lineOfCells(c), col, 2, 10);
            EXPECT_EQ(into.cells(), intoReference.cells()) << "copy from " << col;

            reference->fillRange(other, col + 2, 60);
            line->fillRange(other, col + 2, 60);
            EXPECT_EQ(line->cells(), reference->cells()) << "tail fill from " << col + 2;
            EXPECT_TRUE(line->isCompact());
            line->set(59, cell('z'));
            reference->set(59, cell('z'));
            EXPECT_EQ(line->cells(), reference->cells()) << "written after the fill";
        }
    }
}

TEST(BufferLineCompact, RunWritersPayOnlyForTheCellsTheyWrite)
{
    // The print path takes a run of cells to overwrite: a compact or packed
    // row keeps its tail past a long run, and the ends of the run read as
    // before (the writer looks there for wide characters it cuts).
    for (const auto& c : compactCases()) {
        SCOPED_TRACE(c.name);
        // Short and long runs; inside, across and past the kept cells; to
        // the edge; empty; and ranges the line clamps.
        const std::pair<int, int> runs[] = {{0, 3},  {0, 30}, {2, 40}, {20, 5},  {30, 20}, {45, 15},
                                            {59, 1}, {10, 0}, {60, 0}, {50, 30}, {-4, 6}};
        for (const auto& [from, len] : runs) {
            for (bool packed : {false, true}) {
                SCOPED_TRACE("from " + std::to_string(from) + " len " + std::to_string(len) +
                             (packed ? " packed" : ""));
                const auto reference = lineOfCells(c);
                const auto line = lineOfCells(c);
                line->compact();
                if (!packed)
                    line->storedCells();  // unpacked, still compact
                const uint64_t generation = line->generation();
                const std::span<CharData> cells = line->cellsToOverwrite(from, len);
                const int start = std::clamp(from, 0, 60);
                ASSERT_EQ(cells.size(), static_cast<size_t>(std::clamp(len, 0, 60 - start)));
                EXPECT_GT(line->generation(), generation);
                if (cells.empty())
                    continue;
                EXPECT_EQ(cells.front(), (*reference)[start]);
                EXPECT_EQ(cells.back(), (*reference)[start + static_cast<int>(cells.size()) - 1]);
                for (size_t k = 0; k < cells.size(); ++k) {
                    cells[k] = styled(static_cast<char32_t>('A' + k % 26), Attribute::Color::ansi256(2));
                    reference->set(start + static_cast<int>(k), cells[k]);
                }
                ASSERT_EQ(line->cells(), reference->cells());
                if (cells.size() >= 16 && start + static_cast<int>(cells.size()) < 59 && c.tail == CharData::Null) {
                    EXPECT_TRUE(line->isCompact()) << "the blank tail past a long run is not filled";
                }
            }
        }
    }
    // A recycled row starts as one blank cell of the erase colour.
    const auto line = lineOfCells(compactCases()[1]);
    Attribute red;
    red.bg = Attribute::Color::ansi256(1);
    line->resetForReuse(red, true);
    const std::span<CharData> cells = line->cellsToOverwrite(0, 20);
    for (auto& cell : cells)
        cell = styled('z', Attribute::Color::ansi256(5));
    EXPECT_TRUE(line->isCompact());
    EXPECT_EQ(line->toText(true), std::string(20, 'z'));
    EXPECT_EQ((*line)[20].attribute, red);
    EXPECT_EQ(line->cellSpan()[59].attribute, red);
}

TEST(BufferLineCompact, RandomRowsPackAndReadBackExactly)
{
    // Rows mixing the encoder's cases: runs of one code long enough to be
    // stored once, codes of every size, and fields that differ per run.
    std::mt19937 rng(4242);
    const std::vector<int32_t> codes = {0, 'a', ' ', 0xE9, 0x4E2D, 0x1F600, CharData::firstClusterCode + 3, -1};
    for (int round = 0; round < 300; ++round) {
        const int cols = std::uniform_int_distribution<int>(1, 200)(rng);
        auto reference = std::make_shared<BufferLine>(cols);
        auto line = std::make_shared<BufferLine>(cols);
        CharData c;
        for (int i = 0; i < cols; ++i) {
            const int what = std::uniform_int_distribution<int>(0, 9)(rng);
            if (what == 0)
                c.attribute.bg = Attribute::Color::ansi256(static_cast<uint8_t>(rng() % 256));
            if (what == 1)
                c.payload.code = static_cast<uint16_t>(rng() % 3);
            if (what == 2)
                c.semanticContentCode = static_cast<uint8_t>(rng() % 4);
            if (what == 3)
                c.width = static_cast<int8_t>(rng() % 3);
            if (what < 6)
                c.code = codes[rng() % codes.size()];
            reference->set(i, c);
            line->set(i, c);
        }
        line->compact();
        SCOPED_TRACE("round " + std::to_string(round));
        EXPECT_EQ(line->trimmedLength(), reference->trimmedLength());
        ASSERT_EQ(line->cells(), reference->cells());
    }
}

TEST(BufferLineCompact, RowPropertiesSurvivePackingAndCopies)
{
    auto line = lineOfCells(compactCases()[1]);
    line->setWrapped(true);
    BidiPresentationState bidi;
    bidi.fallbackDirection = BidiDirection::rightToLeft;
    bidi.boxMirroring = true;
    line->setBidiState(bidi);
    line->setSemanticMark(SemanticPromptKind::initial, 0, 7);
    line->setSemanticHardContinuationGroup(7);
    line->addImage(std::make_shared<TerminalImage>());
    line->compact();
    EXPECT_TRUE(line->isPacked());
    const BufferLine copy(*line);
    for (const BufferLine* l : {static_cast<const BufferLine*>(line.get()), &copy}) {
        EXPECT_TRUE(l->isWrapped());
        EXPECT_EQ(l->bidiState(), bidi);
        ASSERT_EQ(l->semanticMarks().size(), 1u);
        EXPECT_EQ(l->semanticMarks()[0].group, 7u);
        EXPECT_EQ(l->semanticHardContinuationGroup(), 7u);
        ASSERT_TRUE(l->hasImages());
        EXPECT_EQ(l->images()->size(), 1u);
        EXPECT_EQ(l->toText(true), "make: *** [all] Error 2");
    }
    line->clearSemanticMarks();
    line->setImages(std::nullopt);
    EXPECT_TRUE(line->semanticMarks().empty());
    EXPECT_FALSE(line->semanticHardContinuationGroup());
    EXPECT_FALSE(line->hasImages());
}

TEST(BufferLineCompact, WritingOneOfItsOwnCellsIntoAPackedRow)
{
    // The cell read is in storage that the write replaces with a full row.
    for (auto edit : {0, 1, 2, 3}) {
        auto line = lineOfCells(compactCases()[1]);
        line->compact();
        const CharData& own = (*line)[0];
        if (edit == 0)
            line->set(59, own);
        else if (edit == 1)
            line->fillRange(own, 50, 55);
        else if (edit == 2)
            line->insertCells(0, 2, 59, own);
        else
            line->resize(90, own);
        SCOPED_TRACE("edit " + std::to_string(edit));
        const int col = edit == 0 ? 59 : edit == 1 ? 52 : edit == 2 ? 1 : 80;
        EXPECT_EQ((*line)[col], cell('m'));
    }
}

TEST(BufferLineCompact, ScrollingThroughSparesKeepsEveryRowExact)
{
    // As a full ring scrolls: the row leaving the screen is compacted with
    // the oldest row as its spare, which is then refilled and written. Cell
    // storage and packed blocks change hands on every step.
    std::mt19937 rng(77);
    constexpr int cols = 90;
    std::vector<std::shared_ptr<BufferLine>> ring;
    std::vector<std::vector<CharData>> expected;
    for (int i = 0; i < 12; ++i) {
        ring.push_back(std::make_shared<BufferLine>(cols));
        expected.push_back(ring.back()->cells());
    }
    for (int step = 0; step < 400; ++step) {
        const size_t leaving = static_cast<size_t>(step) % ring.size();
        const size_t oldest = (leaving + 1) % ring.size();
        ring[leaving]->compact(ring[oldest].get());
        BufferLine& fresh = *ring[oldest];
        fresh.resetForReuse(Attribute{}, rng() % 2 == 0);
        // Blank, short, full-width or wide-glyph rows.
        const int kind = static_cast<int>(rng() % 4);
        const int len = kind == 0 ? 0 : kind == 1 ? static_cast<int>(rng() % 20) : cols;
        for (int c = 0; c < len; ++c)
            fresh.set(c, kind == 3 ? cell(0x4E2D + static_cast<char32_t>(rng() % 50), 2) : cell('!' + rng() % 90));
        expected[oldest] = fresh.cells();
        for (size_t r = 0; r < ring.size(); ++r) {
            SCOPED_TRACE("step " + std::to_string(step) + " row " + std::to_string(r));
            ASSERT_EQ(ring[r]->cells(), expected[r]);
        }
    }
}
