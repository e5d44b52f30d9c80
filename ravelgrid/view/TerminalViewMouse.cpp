// The mouse side of TerminalView: reports to the application, the wheel,
// and the selection gestures with their auto-scroll and prompt clicks.
#include "ravelgrid/view/TerminalView.h"

#include "ravelgrid/screen/Buffer.h"

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace ravelgrid {
namespace {

// No wheel event, however wild its delta, makes more reports or keys than this.
constexpr int kMaxWheelLines = 1000;

// The xterm button number encodeButton takes: 0 left, 1 middle, 2 right.
std::optional<int> buttonNumber(Qt::MouseButton button) {
    switch (button) {
    case Qt::LeftButton: return 0;
    case Qt::MiddleButton: return 1;
    case Qt::RightButton: return 2;
    default: return std::nullopt;
    }
}

SemanticPromptClickModifiers promptModifiers(Qt::KeyboardModifiers m) {
    uint8_t bits = 0;
    if (m & Qt::ShiftModifier)
        bits |= SemanticPromptClickModifiers::shift;
    if (m & Qt::ControlModifier)
        bits |= SemanticPromptClickModifiers::control;
    if (m & Qt::AltModifier)
        bits |= SemanticPromptClickModifiers::option;
    if (m & Qt::MetaModifier)
        bits |= SemanticPromptClickModifiers::command;
    return {bits};
}

uint64_t doubleClickIntervalNs() { return uint64_t(std::max(QApplication::doubleClickInterval(), 0)) * 1'000'000ull; }

}  // namespace

platform::Scheduler::TaskId TerminalView::runAfter(uint64_t delayNs, std::function<void()> task) {
    return scheduler_.scheduleAfter(delayNs, std::move(task));
}

void TerminalView::cancelTask(platform::Scheduler::TaskId& id) {
    if (id != 0)
        scheduler_.cancel(id);
    id = 0;
}

void TerminalView::cancelPendingSemanticClick() {
    pendingSemanticClick_ = 0;
    cancelTask(semanticClickTask_);
}

// --- hit test and reports ----------------------------------------------------------------------

TerminalView::MouseHit TerminalView::calculateMouseHit(QPointF point) const {
    const Buffer& buffer = *terminal_->buffer;
    MouseHit hit;
    const QSizeF cell = cellDimension_.value_or(QSizeF(1, 1));
    const qreal cw = cell.width() > 0 ? cell.width() : 1;
    const qreal ch = cell.height() > 0 ? cell.height() : 1;
    // Clamped in floating point first: a point far outside must not overflow an int.
    const qreal limit = 1 << 20;
    const int col = int(std::trunc(std::clamp(point.x() / cw, -limit, limit)));
    hit.grid.col = std::clamp(col, 0, std::max(terminal_->cols - 1, 0));
    const int screenRow = int(std::trunc(std::clamp(point.y() / ch, -limit, limit)));
    const int lastLine = std::max(buffer.lines().count() - 1, 0);
    hit.grid.row = std::clamp(screenRow + buffer.yDisp(), 0, lastLine);
    // The pointer is over a visual column; the terminal counts logical ones.
    const TerminalBidi::DisplayedRow shown = displayedRow(hit.grid.row);
    if (const BidiRowLayout* layout = shown.layout())
        hit.grid.col = std::clamp(layout->logicalColumn(hit.grid.col), 0, std::max(terminal_->cols - 1, 0));
    hit.pixels = QPoint(int(std::clamp<qreal>(point.x(), 0, width())), int(std::clamp<qreal>(point.y(), 0, height())));
    return hit;
}

bool TerminalView::shiftBypassesMouseReporting(Qt::KeyboardModifiers modifiers) const {
    return (modifiers & Qt::ShiftModifier) && !terminal_->mouseShiftCapture;
}

bool TerminalView::mouseReportingApplies(Qt::KeyboardModifiers modifiers) const {
    return allowMouseReporting_ && terminal_->mouseMode() != MouseMode::off && !shiftBypassesMouseReporting(modifiers);
}

int TerminalView::encodeMouseButton(int button, bool release, Qt::KeyboardModifiers modifiers) const {
    // encodeButton leaves the modifier bits out in x10 mode.
    return terminal_->encodeButton(button, release, modifiers & Qt::ShiftModifier, modifiers & Qt::AltModifier,
                                   modifiers & Qt::ControlModifier);
}

void TerminalView::reportMouse(int code, const MouseHit& hit) {
    const int row = std::clamp(hit.grid.row - terminal_->buffer->yDisp(), 0, std::max(terminal_->rows - 1, 0));
    terminal_->sendEvent(code, hit.grid.col, row, hit.pixels.x(), hit.pixels.y());
}

int TerminalView::countClick(QPointF point, Qt::MouseButton button, uint64_t timestampMs) {
    // The event's own time: a busy event loop must not split a double click.
    const uint64_t now = timestampMs * 1'000'000ull;
    const QPointF moved = point - lastClickPoint_;
    const bool again = clickCount_ > 0 && button == lastClickButton_ && now >= lastClickNs_ &&
                       now - lastClickNs_ <= doubleClickIntervalNs() &&
                       moved.manhattanLength() <= QApplication::startDragDistance();
    clickCount_ = again ? clickCount_ + 1 : 1;
    lastClickNs_ = now;
    lastClickPoint_ = point;
    lastClickButton_ = button;
    return clickCount_;
}

// --- press, drag, move, release ------------------------------------------------------------------

void TerminalView::mousePressEvent(QMouseEvent* event) {
    const QPointF point = event->position();
    const Qt::MouseButton button = event->button();
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    const std::optional<int> number = buttonNumber(button);
    if (!number) {
        event->ignore();
        return;
    }
    event->accept();
    const int count = countClick(point, button, event->timestamp());
    pressPoint_ = point;
    pressButton_ = button;
    dragStarted_ = false;
    if (button == Qt::LeftButton) {
        cancelPendingSemanticClick();
        didSelectionDrag_ = false;
        pointerPressSnapshot_ = SemanticPromptPointerSnapshot{selection_->active(), false, count, false};
    }
    const MouseHit hit = calculateMouseHit(point);
    linkPress_ = button == Qt::LeftButton && (modifiers & Qt::ControlModifier) && mouseReportingApplies(modifiers) &&
                 opensLinkOnCtrlClick(hit.grid);
    if (linkPress_)
        return;
    if (mouseReportingApplies(modifiers)) {
        // x10 reports presses only, without modifier bits.
        reportMouse(encodeMouseButton(*number, false, modifiers), hit);
        return;
    }
    if (button == Qt::MiddleButton) {
        pastePrimarySelection();
        return;
    }
    if (button == Qt::RightButton) {
        showContextMenu(event->globalPosition().toPoint());
        return;
    }
    if (button != Qt::LeftButton)
        return;
    pointerPressSnapshot_.pressWasSemanticEligible = true;
    handleSelectionPress(hit, count, modifiers);
}

// Qt delivers the second press of a double click as this event alone; the
// click count is ours all the same. Where a platform sends the press too,
// the same press is not counted twice.
void TerminalView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (clickCount_ > 0 && event->button() == lastClickButton_ &&
        uint64_t(event->timestamp()) * 1'000'000ull == lastClickNs_ && event->position() == lastClickPoint_) {
        event->accept();
        return;
    }
    mousePressEvent(event);
}

void TerminalView::handleSelectionPress(const MouseHit& hit, int clickCount, Qt::KeyboardModifiers modifiers) {
    if (clickCount == 2) {
        selection_->selectWordOrExpression(hit.grid, terminal_->activeBuffer());
    } else if (clickCount == 1) {
        if (selection_->active()) {
            if (modifiers & Qt::ShiftModifier)
                selection_->shiftExtend(hit.grid);
            else
                selection_->setActive(false);
        }
    } else {
        selection_->select(hit.grid.row);
    }
    redrawAll();
}

void TerminalView::mouseMoveEvent(QMouseEvent* event) {
    const QPointF point = event->position();
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    event->accept();
    const MouseMode mode = terminal_->mouseMode();
    if (event->buttons() == Qt::NoButton) {
        lastPointer_ = point;
        if (commandActive_ || linkHighlightMode_ == LinkHighlightMode::hover)
            followPointer(calculateMouseHit(point).grid);
        if (mode == MouseMode::anyEvent && mouseReportingApplies(modifiers))
            reportMouse(3 + 32 + encodeMouseButton(0, false, modifiers), calculateMouseHit(point));
        return;
    }
    if (linkPress_)
        return;
    const std::optional<int> number = buttonNumber(pressButton_);
    if (mouseReportingApplies(modifiers)) {
        // x10 and vt200 take no drags: dropped, and no selection either.
        if (number && (mode == MouseMode::buttonEventTracking || mode == MouseMode::anyEvent))
            reportMouse(encodeMouseButton(*number, false, modifiers) + 32, calculateMouseHit(point));
        return;
    }
    if (!(event->buttons() & Qt::LeftButton) || pressButton_ != Qt::LeftButton)
        return;
    // A hand that shakes while it clicks does not select.
    if (!dragStarted_ && (point - pressPoint_).manhattanLength() < QApplication::startDragDistance())
        return;
    if (!dragStarted_ && !selection_->active()) {
        // The drag is seen only past the threshold: it starts where the
        // button went down, not where it was first noticed.
        selection_->setSoftStart(calculateMouseHit(pressPoint_).grid);
        selection_->startSelection();
    }
    dragStarted_ = true;
    handleSelectionDrag(point);
}

int TerminalView::calcScrollingVelocity(int delta, int rows) {
    if (delta <= 1)
        return 1;
    if (delta <= 5)
        return 3;
    if (delta <= 9)
        return 10;
    return std::max(20, rows);
}

void TerminalView::handleSelectionDrag(QPointF point) {
    const MouseHit hit = calculateMouseHit(point);
    if (selection_->active()) {
        selection_->dragExtend(hit.grid);
    } else {
        selection_->setSoftStart(hit.grid);
        selection_->startSelection();
    }
    didSelectionDrag_ = true;
    lastSelectionDragPoint_ = point;
    autoScrollDelta_ = 0;
    // The hit's row, not the pointer's: below the newest line nothing scrolls.
    const int screenRow = hit.grid.row - terminal_->buffer->yDisp();
    const int rows = terminal_->buffer->rows();
    bool keepTimer = false;
    if (selection_->active()) {
        if (screenRow <= 0) {
            autoScrollDelta_ = -calcScrollingVelocity(-screenRow, terminal_->rows);
            keepTimer = true;
        } else if (screenRow >= rows) {
            autoScrollDelta_ = calcScrollingVelocity(screenRow - rows, terminal_->rows);
            keepTimer = true;
        }
    }
    if (!keepTimer) {
        ++autoScrollGeneration_;
        autoScrollRunning_ = false;
        cancelTask(autoScrollTask_);
    } else if (autoScrollDelta_ != 0 && !autoScrollRunning_) {
        autoScrollRunning_ = true;
        const uint64_t generation = ++autoScrollGeneration_;
        autoScrollTask_ = runAfter(autoScrollIntervalNs, [this, generation] { autoScrollTick(generation); });
    }
    redrawAll();
}

void TerminalView::autoScrollTick(uint64_t generation) {
    autoScrollTask_ = 0;
    if (generation != autoScrollGeneration_ || !autoScrollRunning_)
        return;
    if (autoScrollDelta_ < 0)
        scrollTo(std::max(0, terminal_->activeBuffer().yDisp() + autoScrollDelta_));
    else if (autoScrollDelta_ > 0)
        scrollDown(autoScrollDelta_);
    if (autoScrollDelta_ != 0) {
        if (selection_->active() && lastSelectionDragPoint_)
            selection_->dragExtend(calculateMouseHit(*lastSelectionDragPoint_).grid);
        redrawAll();
    }
    autoScrollTask_ = runAfter(autoScrollIntervalNs, [this, generation] { autoScrollTick(generation); });
}

void TerminalView::stopSelectionAutoScrollTimer() {
    ++autoScrollGeneration_;
    autoScrollRunning_ = false;
    cancelTask(autoScrollTask_);
    autoScrollDelta_ = 0;
    lastSelectionDragPoint_.reset();
}

void TerminalView::mouseReleaseEvent(QMouseEvent* event) {
    const Qt::MouseButton button = event->button();
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    const std::optional<int> number = buttonNumber(button);
    if (!number) {
        event->ignore();
        return;
    }
    event->accept();
    if (button == Qt::LeftButton)
        stopSelectionAutoScrollTimer();
    const MouseHit hit = calculateMouseHit(event->position());
    const auto finish = [this, button] {
        if (button != Qt::LeftButton)
            return;
        didSelectionDrag_ = false;
        pointerPressSnapshot_.pressWasSemanticEligible = false;
    };
    if (button == Qt::LeftButton && std::exchange(linkPress_, false)) {
        // The link opens before, and instead of, any report.
        updateLinkHighlight(hit.grid, true);
        requestLinkOpen(hit.grid, true);
        finish();
        return;
    }
    if (mouseReportingApplies(modifiers)) {
        // x10 reports no releases.
        if (terminal_->mouseMode() != MouseMode::x10)
            reportMouse(encodeMouseButton(*number, true, modifiers), hit);
        finish();
        return;
    }
    if (button != Qt::LeftButton)
        return;
    const bool ctrl = modifiers & Qt::ControlModifier;
    updateLinkHighlight(hit.grid, commandActive_ || ctrl);
    if (!didSelectionDrag_ && requestLinkOpen(hit.grid, ctrl)) {
        finish();
        return;
    }
    // A finished gesture offers its text to other programs' middle button.
    if (selection_->active() && selection_->hasSelectionRange())
        setPrimarySelection();

    if (pointerPressSnapshot_.clickCount == 1) {
        const SemanticPromptClickModifiers prompt = promptModifiers(modifiers);
        const SemanticPromptPointerSnapshot snapshot{pointerPressSnapshot_.selectionWasActive, didSelectionDrag_, 1,
                                                     pointerPressSnapshot_.pressWasSemanticEligible};
        if (terminal_->mightRouteSemanticPromptClick(prompt, snapshot)) {
            ++semanticDeferralScheduleCount_;
            Buffer& buffer = terminal_->activeBuffer();
            BufferLine* line = hit.grid.row < buffer.lines().count() ? &buffer.lines()[hit.grid.row] : nullptr;
            const uint64_t generation = line ? line->recycleGeneration() : 0;
            const uint64_t id = ++semanticClickSequence_;
            cancelPendingSemanticClick();
            pendingSemanticClick_ = id;
            const int col = hit.grid.col;
            semanticClickTask_ = runAfter(semanticClickDelayNs_, [this, id, line, generation, col, prompt, snapshot] {
                runSemanticClick(id, line, generation, col, prompt, snapshot);
            });
        }
    }
    finish();
}

void TerminalView::runSemanticClick(uint64_t id, BufferLine* line, uint64_t generation, int col,
                                    SemanticPromptClickModifiers modifiers, SemanticPromptPointerSnapshot snapshot) {
    // A later press cancelled it, or another click took its place.
    if (pendingSemanticClick_ != id)
        return;
    pendingSemanticClick_ = 0;
    semanticClickTask_ = 0;
    if (!line)
        return;
    Buffer& buffer = terminal_->activeBuffer();
    // Found by address first: only a line still in the ring may be read.
    const std::optional<int> row = buffer.findRowOfLine(buffer.semanticPromptStartRowCache, line);
    if (!row || line->recycleGeneration() != generation)
        return;
    if (snapshot.selectionWasActive || snapshot.didDrag || !snapshot.pressWasSemanticEligible || snapshot.clickCount != 1)
        return;
    if (terminal_->handleSemanticPromptClick(Position{col, *row}, modifiers, snapshot))
        redrawAll();
}

void TerminalView::leaveEvent(QEvent* event) {
    lastPointer_.reset();
    setCommandActive(false);
    if (linkHighlightRange_) {
        auto old = std::move(linkHighlightRange_);
        linkHighlightRange_.reset();
        invalidateLinkHighlightRows(old, std::nullopt);
        queuePendingDisplay();
    }
    QWidget::leaveEvent(event);
}

// --- wheel ------------------------------------------------------------------------------------------

int TerminalView::wheelLines(QWheelEvent* event, qreal cellHeight) {
    const qreal s = scrollSensitivity_;
    // The desktop's rows per notch; a setting of 0 or less still moves.
    const int notchRows = std::clamp(QApplication::wheelScrollLines(), 1, kMaxWheelLines);
    const auto accumulate = [&](qreal pixels) {
        const qreal total = pixels * s + scrollAccumulator_;
        // A hair toward the sign: three thirds of a cell make one line.
        const qreal rows = total / cellHeight;
        const qreal lines = std::trunc(rows + (rows >= 0 ? 1e-6 : -1e-6));
        scrollAccumulator_ = total - cellHeight * lines;
        return int(std::clamp<qreal>(lines, -kMaxWheelLines, kMaxWheelLines));
    };
    if (!event->pixelDelta().isNull())
        return accumulate(event->pixelDelta().y());
    const int angle = event->angleDelta().y();
    if (angle % 120 == 0) {
        scrollAccumulator_ = 0;
        const qreal rows = qreal(angle) / 120.0 * notchRows * s;
        int lines = int(std::clamp<qreal>(std::round(rows), -kMaxWheelLines, kMaxWheelLines));
        if (lines == 0)
            lines = angle > 0 ? 1 : -1;
        return lines;
    }
    // A high-resolution wheel sends fractions of a notch.
    return accumulate(qreal(angle) / 120.0 * notchRows * cellHeight);
}

void TerminalView::wheelEvent(QWheelEvent* event) {
    event->accept();
    if (!cellDimension_ || cellDimension_->height() <= 0)
        return;
    if (event->pixelDelta().y() == 0 && event->angleDelta().y() == 0)
        return;
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    const bool reporting = mouseReportingApplies(modifiers);
    const bool alternate = terminal_->isCurrentBufferAlternate();
    if (!reporting && alternate && !terminal_->alternateScrollMode) {
        scrollAccumulator_ = 0;
        return;
    }
    const int lines = wheelLines(event, cellDimension_->height());
    if (lines == 0)
        return;
    const bool up = lines > 0;
    const int count = std::abs(lines);
    if (reporting) {
        const MouseHit hit = calculateMouseHit(event->position());
        const int code = encodeMouseButton(up ? 4 : 5, false, modifiers);
        for (int i = 0; i < count; ++i)
            reportMouse(code, hit);
        return;
    }
    if (alternate) {
        const std::string_view key = terminal_->applicationCursor ? (up ? "\x1bOA" : "\x1bOB") : (up ? "\x1b[A" : "\x1b[B");
        std::string keys;
        keys.reserve(key.size() * size_t(count));
        for (int i = 0; i < count; ++i)
            keys.append(key);
        send(std::string_view(keys));
        return;
    }
    if (up)
        scrollTo(std::max(0, terminal_->activeBuffer().yDisp() - count), true);
    else
        scrollDown(count);
}

// --- tracking -----------------------------------------------------------------------------------------

bool TerminalView::shouldTrackMouse() const { return shouldTrackMouse(terminal_->mouseMode()); }

bool TerminalView::shouldTrackMouse(MouseMode mode) const {
    return mode == MouseMode::anyEvent || commandActive_ || linkHighlightMode_ == LinkHighlightMode::hover;
}

void TerminalView::followPointer(Position grid) {
    if (commandActive_)
        if (auto payload = linkAtPosition(grid.col, grid.row))
            showUrlPreview(*payload);
    updateLinkHighlight(grid);
}

bool TerminalView::requestLinkOpen(Position grid, bool ctrlHeld) {
    const auto link = handleMouseUpAction(grid, ctrlHeld);
    if (!link)
        return false;
    if (terminalDelegate_)
        terminalDelegate_->requestOpenLink(*this, link->first, link->second);
    clickedLink_.reset();
    return true;
}

bool TerminalView::opensLinkOnCtrlClick(Position grid) {
    updateLinkHighlight(grid, true);
    const bool opens = handleMouseUpAction(grid, true).has_value();
    clickedLink_.reset();
    return opens;
}

void TerminalView::setCommandActive(bool on) {
    if (commandActive_ == on)
        return;
    commandActive_ = on;
    updateMouseTracking();
    if (!on)
        hideUrlPreview();
    // Without tracking no move told us where the pointer rests: ask for it,
    // so Ctrl over a link shows it at once.
    const QPointF pointer = mapFromGlobal(QCursor::pos());
    if (on && rect().contains(pointer.toPoint()))
        lastPointer_ = pointer;
    if (lastPointer_)
        followPointer(calculateMouseHit(*lastPointer_).grid);
    if (linkHighlightMode_ == LinkHighlightMode::alwaysWithModifier)
        redrawAll();
}

void TerminalView::updateMouseTracking() { setMouseTracking(shouldTrackMouse()); }

}  // namespace ravelgrid
