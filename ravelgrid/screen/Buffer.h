#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ravelgrid/screen/Attribute.h"
#include "ravelgrid/screen/BidiPresentationState.h"
#include "ravelgrid/screen/BufferLine.h"
#include "ravelgrid/screen/CharData.h"
#include "ravelgrid/screen/CharSets.h"
#include "ravelgrid/screen/CircularBufferLineList.h"
#include "ravelgrid/screen/Position.h"
#include "ravelgrid/screen/SemanticPrompt.h"

namespace ravelgrid {

// One screen of the terminal: the rows on display plus, for the normal
// screen, the scrollback above them, and the state that belongs to this
// screen (cursor, viewport, scroll region, margins, tab stops, saved cursor,
// prompt bookkeeping).
//
// Row spaces: a ring row counts from the oldest scrollback line (0); screen
// row r is ring row yBase() + r; viewport row r is ring row yDisp() + r.
class Buffer {
public:
    static constexpr int minCols = 2;
    static constexpr int minRows = 1;

    // Sizes are clamped: cols >= 2, rows >= 1, scrollback >= 0. The owner
    // calls fillViewportRows() afterwards.
    Buffer(int cols, int rows, int tabStopWidth, std::optional<int> scrollback, BidiPresentationState bidiState = {});
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // Process-unique and never reused: caches key a buffer by it, since a new
    // buffer may be made at a freed one's address.
    uint64_t id() const { return id_; }

    // --- rows --------------------------------------------------------------
    CircularBufferLineList& lines() { return lines_; }
    const CircularBufferLineList& lines() const { return lines_; }
    // The line at screen row `row` (ring row yBase + row).
    BufferLine& screenLine(int row) { return lines_[yBase_ + row]; }
    const BufferLinePtr& screenLinePtr(int row) { return lines_.get(yBase_ + row); }

    int getCorrectBufferLength(int rows) const;
    BufferLinePtr getBlankLine(const Attribute& attribute, bool isWrapped = false);
    // A space (code 32), width 1, with the attribute (default when absent).
    static CharData getNullCell(std::optional<Attribute> attribute = std::nullopt);
    // Pushes `rows` blank rows, only when the ring is empty.
    void fillViewportRows(std::optional<Attribute> attribute = std::nullopt);
    // Cells the fills have stored in the rows they laid out, over the
    // buffer's life: a blank row holds one cell until it is written, so a
    // fill costs its rows, not its width.
    uint64_t cellsBlanked() const { return cellsBlanked_; }
    // Cell at a ring position / a viewport position; CharData::Null outside the row.
    CharData getCharAtBufferRelative(Position pos);
    CharData getChar(Position pos);

    // --- size and coordinates ---------------------------------------------
    int cols() const { return cols_; }
    int rows() const { return rows_; }
    int x() const { return x_; }
    void setX(int v)
    {
        if (v >= 0)
            x_ = v;
    }
    int y() const { return y_; }
    void setY(int v)
    {
        if (v >= 0)
            y_ = v;
    }
    int yDisp() const { return yDisp_; }
    void setYDisp(int v)
    {
        if (v >= 0)
            yDisp_ = v;
    }
    int yBase() const { return yBase_; }
    void setYBase(int v) { yBase_ = v; }
    int linesTop() const { return linesTop_; }
    void setLinesTop(int v) { linesTop_ = v; }
    int scrollTop() const { return scrollTop_; }
    void setScrollTop(int v)
    {
        if (v >= 0)
            scrollTop_ = v;
    }
    int scrollBottom() const { return scrollBottom_; }
    void setScrollBottom(int v)
    {
        if (v >= 0)
            scrollBottom_ = v;
    }
    int marginLeft() const { return marginLeft_; }
    void setMarginLeft(int v) { marginLeft_ = v; }
    int marginRight() const { return marginRight_; }
    void setMarginRight(int v) { marginRight_ = v; }
    bool hasScrollback() const { return hasScrollback_; }
    std::optional<int> scrollback() const { return scrollback_; }

    // --- resetting ----------------------------------------------------------
    // Empties the ring and resets cursor, viewport, region, margins and prompt
    // state; tab stops, saved cursor, curAttr and mode flags stay.
    void clear();
    // DECSTR's part: saved cursor state and margins.
    void softReset();

    // --- scrollback ----------------------------------------------------------
    // Drops the rows above the screen. savedY (a screen row) is kept.
    void clearScrollback();
    // New scrollback size (absent = none), dropping the oldest rows when the
    // ring shrinks.
    void changeHistorySize(std::optional<int> newScrollback);

    // --- resize (with reflow of soft-wrapped rows) ------------------------
    struct InsertionSet {
        std::vector<BufferLinePtr> lines;
        int start = 0;
        bool isNull = false;
    };
    void resize(int newCols, int newRows);

    // --- rows leaving the screen ---------------------------------------------
    // A ring whose rows all fit in this many bytes of cells at full width
    // leaves them as they are (no work on the scrolling path). A larger one
    // compacts each row that leaves the screen, so its memory follows what
    // the rows show, not the width times the scrollback.
    size_t unpackedScrollbackBudget = size_t{32} << 20;
    // Whether the whole ring at full width fits the budget: then rows
    // leaving the screen need no look at all.
    bool ringFitsUnpacked() const
    {
        return static_cast<size_t>(lines_.maxLength()) * static_cast<size_t>(cols_) * sizeof(CharData) <=
               unpackedScrollbackBudget;
    }
    // A scrollback row leaves the ring (the oldest, about to be recycled).
    void rowLeavingScrollback(const BufferLine& row);
    // A row just left the screen for the scrollback; `spare` is a line about
    // to be written afresh that may take its storage. True when the row was
    // compacted, which leaves spare's content unspecified.
    bool rowLeftScreen(BufferLine& row, BufferLine* spare);

    // --- tab stops (column -1 means the cursor column) ----------------------
    std::vector<bool> tabStops;
    void resetTabStops(int index = -1, int tabStopWidth = 8);
    void setTabStop(int column = -1);
    void clearTabStop(int column = -1);
    int nextTabStop(bool restrictToMargins, int fromColumn = -1) const;
    int previousTabStop(int fromColumn = -1) const;

    // --- images -------------------------------------------------------------
    bool hasAnyImages() const { return linesWithImagesCount_ > 0; }
    int linesWithImagesCount() const { return linesWithImagesCount_; }
    void clearLineImages(int row);
    // Sets a ring row's images (empty = none), keeping the count right.
    void setLineImages(int row, std::optional<TerminalImageList> images);
    // Adds one image to a ring row's images in place, keeping the count right.
    void addLineImage(int row, TerminalImagePtr image);
    void recountLinesWithImages();

    // --- rows by identity -----------------------------------------------------
    std::optional<int> findRowOfLine(int startRow, const BufferLine* line);
    std::optional<int> rowOfLine(const BufferLine* line, int startRow) { return findRowOfLine(startRow, line); }

    // --- shell-integration prompt bookkeeping ------------------------------
    struct PromptMark {
        BufferLinePtr line;
        SemanticPromptKind kind = SemanticPromptKind::initial;
        int column = 0;
    };
    void beginSemanticGroup(int row);
    void addSemanticMark(SemanticPromptKind kind, int row, int column);
    std::vector<SemanticPromptAnchor> semanticMarksOfRow(int row);
    std::optional<int> semanticPromptStartRow();
    std::optional<PromptMark> currentPromptMark() const;
    bool semanticPromptQuery(int row);
    std::optional<Position> semanticInputStart();
    std::optional<uint64_t> promptGroupOfRow(int row, int promptRow, bool promptRowAbsent);
    std::optional<uint64_t> continuationGroupOfRow(int row);
    bool isInActiveSemanticGroup(int row);
    std::optional<SemanticPromptKind> semanticPromptSpan(int row);
    std::optional<Position> semanticInputRange(int column, int row);
    // Whether the row holds an initial or secondary mark of the active group.
    bool rowHasActivePromptStart(int row);

    // --- saved cursor (DECSC) -------------------------------------------------
    int savedX = 0;
    int savedY = 0;  // a screen row
    bool savedOriginMode = false;
    bool savedMarginMode = false;
    // The wrap was pending at the right margin (at the screen's edge savedX
    // alone tells: it is then cols).
    bool savedWrapAtMargin = false;
    Attribute savedAttr;
    const CharsetMap* savedCharset = nullptr;  // absent = none saved

    // --- per-screen state ------------------------------------------------------
    Attribute curAttr{Attribute::Color::defaultColor(), Attribute::Color::defaultInvertedColor(), CharacterStyle::none,
                      UnderlineStyle::none, std::nullopt};
    bool insertMode = false;
    bool marginMode = false;
    bool wraparound = false;

    SemanticContent semanticContent = SemanticContent::none();
    SemanticInputState semanticInput = SemanticInputState::idle;
    SemanticPromptClickMode semanticClickMode = SemanticPromptClickMode::none();
    bool semanticUsesSpecialCursorKeys = false;
    BufferLinePtr semanticPromptStartLine;
    int semanticPromptStartRowCache = 0;
    int semanticPromptRowScanCount = 0;
    uint64_t semanticGroupCounter = 0;
    uint64_t activeSemanticGroupID = 0;

    BidiPresentationState defaultBidiState;
    // Whether rows may take their direction from their first strong letter.
    // Off on the alternate screen until the program asks: full-screen
    // programs place every cell themselves.
    bool detectsDirection = true;
    // Whether implicit rows are reordered without direction detection too.
    // Off on the alternate screen until the program sets BDSM: a row there
    // is drawn cell for cell as placed unless the program asks for either.
    bool reordersRows = true;

private:
    void installLineCallbacks();
    std::optional<int> findPromptRowNearCursor();
    void dropOldestRows(int n);
    // Counts the bytes of the scrollback's unpacked rows again.
    void recountUnpackedScrollback();
    static bool hasPromptStartMark(const BufferLine& line);

    BufferOwnerRef self_;
    uint64_t id_ = 0;
    CircularBufferLineList lines_;
    // Rows of the last clear, blanked again by the next fill: a program that
    // switches screens often allocates nothing per row.
    std::vector<BufferLinePtr> spareRows_;
    uint64_t cellsBlanked_ = 0;
    // Bytes of cells the scrollback's unpacked rows hold, as far as scrolling
    // tracked them; a guide for rowLeftScreen, not an exact count.
    size_t unpackedScrollbackBytes_ = 0;
    int yDisp_ = 0;
    int x_ = 0;
    int y_ = 0;
    int yBase_ = 0;
    int linesWithImagesCount_ = 0;
    int linesTop_ = 0;
    int scrollBottom_ = 0;
    int scrollTop_ = 0;
    int marginLeft_ = 0;
    int marginRight_ = 0;
    bool hasScrollback_ = false;
    int cols_ = 0;
    int rows_ = 0;
    std::optional<int> scrollback_;

private:
    // --- reflow (BufferReflow.cpp) ----------------------------------------------
    // A cell (the cursor) or a row (saved cursor, viewport top, screen top)
    // followed through a reflow: its ring row and column before, the row
    // object and column that hold it afterwards.
    struct ReflowAnchor {
        int row = 0;
        int col = 0;
        BufferLine* line = nullptr;
        int newCol = 0;
        bool moved = false;        // its row took part in a reflowed group
        bool pendingWrap = false;  // afterwards it stands just past a full row
    };
    enum ReflowAnchorIndex { anchorCursor, anchorSavedRow, anchorViewportTop, anchorScreenTop, anchorCount };
    using ReflowAnchors = std::array<ReflowAnchor, anchorCount>;

    void reflowLarger(int oldCols, int newCols, int newRows, ReflowAnchors& anchors);
    void reflowSmaller(int oldCols, int newCols, int newRows, ReflowAnchors& anchors);
    // Pairs (first ring row to remove, number of rows), in increasing order.
    std::vector<int> reflowLargerGetLinesToRemove(int oldCols, int newCols, ReflowAnchors& anchors,
                                                  const CharData& nullCell);
    static std::vector<int> reflowSmallerGetNewLineLengths(const std::vector<BufferLine*>& group, int oldCols,
                                                           int newCols);
    void applyInsertions(std::vector<InsertionSet>& toInsert, int countToInsert);
    void placeViewportAfterReflow(int newCols, int newRows, ReflowAnchors& anchors, int countBefore,
                                  bool viewportAtBottom);
};

}  // namespace ravelgrid
