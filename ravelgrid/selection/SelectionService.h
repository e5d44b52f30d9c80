#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/screen/Position.h"
#include "ravelgrid/screen/SelectionHook.h"

namespace ravelgrid {

class Terminal;

// The one text selection of a Terminal. Positions are buffer positions (ring
// rows, scrollback included); the (row, col) overloads take a screen row and
// add the active buffer's yDisp. Word, run and bracket selections put `end`
// one column past their last cell.
//
// The terminal keeps the service weakly and calls adjustForScroll when lines
// move, so it is made through create() and owned by a shared_ptr. The
// terminal must outlive it.
class SelectionService final : public SelectionHook, public std::enable_shared_from_this<SelectionService> {
public:
    enum class SelectionMode { character, word, row };

    struct WordAnchor {
        Position start;
        Position end;
        friend bool operator==(const WordAnchor&, const WordAnchor&) = default;
    };

    // What an empty cell reads as; a run of empty cells is a class of its own.
    static constexpr char32_t nullChar = U'\0';

    // A new service, already registered with the terminal.
    static std::shared_ptr<SelectionService> create(Terminal& terminal);

    SelectionService(const SelectionService&) = delete;
    SelectionService& operator=(const SelectionService&) = delete;

    Terminal& terminal() const { return *terminal_; }

    // --- the hook the terminal calls ------------------------------------------
    // Rows top..bottom of the active buffer moved up by delta rows (negative:
    // down). A selection inside the region follows; one that straddles it or
    // would leave it is dropped.
    void adjustForScroll(int top, int bottom, int delta) override;
    bool active() const override { return active_; }
    // Notifies when the value changes; false also forgets the pivot.
    void setActive(bool active) override;
    Position start() const override { return start_; }
    void setStart(Position p) override;
    Position end() const override { return end_; }
    void setEnd(Position p) override;
    void invalidate() override;

    // --- state -----------------------------------------------------------------
    bool hasSelectionRange() const { return hasSelectionRange_; }
    const std::optional<Position>& pivot() const { return pivot_; }
    void setPivot(std::optional<Position> p) { pivot_ = p; }
    const std::optional<WordAnchor>& wordSelectionAnchor() const { return wordSelectionAnchor_; }
    const std::optional<int>& rowSelectionAnchor() const { return rowSelectionAnchor_; }
    bool isMultiLine() const { return start_.row != end_.row; }
    bool selectingRows() const { return selectingRows_; }
    void setSelectingRows(bool v) { selectingRows_ = v; }
    SelectionMode selectionMode() const { return selectionMode_; }
    void setSelectionMode(SelectionMode m) { selectionMode_ = m; }

    // --- starting --------------------------------------------------------------
    void startSelection(int row, int col);
    // Collapses onto start in character mode; the pivot stays.
    void startSelection();
    // Clamped to the active buffer's last column and last line.
    void setSelection(Position start, Position end);
    void setSoftStart(int row, int col);
    void setSoftStart(Position bufferPosition);

    // --- extending (word mode snaps to the run under the pointer) ---------------
    void shiftExtend(int row, int col);
    void shiftExtend(Position bufferPosition);
    void pivotExtend(int row, int col);
    void pivotExtend(Position bufferPosition);
    void dragExtend(int row, int col);
    void dragExtend(Position bufferPosition);

    // --- whole rows, words and everything --------------------------------------
    // Ends at the ring's capacity, not at the lines it holds.
    void selectAll();
    void select(int row);
    void selectRowRange(int a, int b);
    // Double click: the run of word characters, spaces or empty cells under
    // the position, or the bracketed expression an opener or closer starts or
    // ends. Cells are read from `in`.
    void selectWordOrExpression(Position at, Buffer& in);
    void selectNone();

    // --- reading back ------------------------------------------------------------
    // Rows joined by "\n" unless soft-wrapped; empty cells inside a row read
    // as spaces, trailing ones are dropped.
    std::string getSelectedText() const;
    std::string debugDescription() const;

private:
    explicit SelectionService(Terminal& terminal);

    Buffer& activeBuffer() const;
    int terminalCols() const;
    void notify();
    void activateAndNotify();
    void drop();
    void updateRange() { hasSelectionRange_ = start_ != end_; }
    Position toBuffer(int row, int col) const;
    // Moves p's column to the edge of the run under it (word mode).
    Position snap(Position p, bool backward, Buffer& b) const;

    Terminal* terminal_;
    bool active_ = false;
    bool hasSelectionRange_ = false;
    Position start_;
    std::optional<Position> pivot_;
    std::optional<WordAnchor> wordSelectionAnchor_;
    std::optional<int> rowSelectionAnchor_;
    Position end_;
    bool selectingRows_ = false;
    SelectionMode selectionMode_ = SelectionMode::character;
};

}  // namespace ravelgrid
