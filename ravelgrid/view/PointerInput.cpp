#include "ravelgrid/view/PointerInput.h"

#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/view/LinkHover.h"
#include "ravelgrid/view/TerminalView.h"

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
std::optional<int> buttonNumber(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton: return 0;
    case Qt::MiddleButton: return 1;
    case Qt::RightButton: return 2;
    default: return std::nullopt;
    }
}

// The number of the event's button, which the view takes; other buttons go to the parent.
std::optional<int> takeButton(QMouseEvent* event)
{
    const std::optional<int> number = buttonNumber(event->button());
    if (number)
        event->accept();
    else
        event->ignore();
    return number;
}

SemanticPromptClickModifiers promptModifiers(Qt::KeyboardModifiers m)
{
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

uint64_t doubleClickIntervalNs()
{
    return uint64_t(std::max(QApplication::doubleClickInterval(), 0)) * 1'000'000ull;
}

}  // namespace

PointerInput::PointerInput(TerminalView& view, LinkHover& links, platform::Scheduler& scheduler)
    : view_(view), links_(links), tasks_(scheduler), semanticClickDelayNs_(doubleClickIntervalNs())
{}

void PointerInput::cancelPendingSemanticClick()
{
    pendingSemanticClick_ = 0;
    tasks_.cancel(std::exchange(semanticClickTask_, 0));
}

// --- hit test and reports ----------------------------------------------------------------------

PointerInput::MouseHit PointerInput::calculateMouseHit(QPointF point) const
{
    const Terminal& terminal = view_.terminal();
    const Buffer& buffer = *terminal.buffer;
    MouseHit hit;
    const QSizeF cell = view_.cellDimension().value_or(QSizeF(1, 1));
    const qreal cw = cell.width() > 0 ? cell.width() : 1;
    const qreal ch = cell.height() > 0 ? cell.height() : 1;
    // Clamped in floating point first: a point far outside must not overflow an int.
    const qreal limit = 1 << 20;
    const int lastCol = std::max(terminal.cols - 1, 0);
    const int col = int(std::trunc(std::clamp(point.x() / cw, -limit, limit)));
    hit.grid.col = std::clamp(col, 0, lastCol);
    const int screenRow = int(std::trunc(std::clamp(point.y() / ch, -limit, limit)));
    const int lastLine = std::max(buffer.lines().count() - 1, 0);
    hit.grid.row = std::clamp(screenRow + buffer.yDisp(), 0, lastLine);
    // The pointer is over a visual column; the terminal counts logical ones.
    const TerminalBidi::DisplayedRow shown = view_.displayedRow(hit.grid.row);
    if (const BidiRowLayout* layout = shown.layout())
        hit.grid.col = std::clamp(layout->logicalColumn(hit.grid.col), 0, lastCol);
    hit.pixels = QPoint(int(std::clamp<qreal>(point.x(), 0, view_.width())),
                        int(std::clamp<qreal>(point.y(), 0, view_.height())));
    return hit;
}

bool PointerInput::mouseReportingApplies(Qt::KeyboardModifiers modifiers) const
{
    const Terminal& terminal = view_.terminal();
    // Shift is the user's way past a program that takes the mouse, unless the program asked for it too.
    const bool shiftBypasses = (modifiers & Qt::ShiftModifier) && !terminal.mouseShiftCapture;
    return view_.allowMouseReporting() && terminal.mouseMode() != MouseMode::off && !shiftBypasses;
}

int PointerInput::encodeMouseButton(int button, bool release, Qt::KeyboardModifiers modifiers) const
{
    // encodeButton leaves the modifier bits out in x10 mode.
    return view_.terminal().encodeButton(button, release, modifiers & Qt::ShiftModifier, modifiers & Qt::AltModifier,
                                         modifiers & Qt::ControlModifier);
}

void PointerInput::reportMouse(int code, const MouseHit& hit)
{
    Terminal& terminal = view_.terminal();
    const int row = std::clamp(hit.grid.row - terminal.buffer->yDisp(), 0, std::max(terminal.rows - 1, 0));
    terminal.sendEvent(code, hit.grid.col, row, hit.pixels.x(), hit.pixels.y());
}

int PointerInput::countClick(QPointF point, Qt::MouseButton button, uint64_t timestampMs)
{
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

void PointerInput::press(QMouseEvent* event)
{
    const QPointF point = event->position();
    const Qt::MouseButton button = event->button();
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    const std::optional<int> number = takeButton(event);
    if (!number)
        return;
    const int count = countClick(point, button, event->timestamp());
    pressPoint_ = point;
    pressButton_ = button;
    dragStarted_ = false;
    if (button == Qt::LeftButton) {
        cancelPendingSemanticClick();
        didSelectionDrag_ = false;
        pointerPressSnapshot_ = SemanticPromptPointerSnapshot{view_.selection().active(), false, count, false};
    }
    const MouseHit hit = calculateMouseHit(point);
    // While a program takes the mouse, a link opens on a click where it looks
    // like one: with Ctrl held, or plainly in the modes that show links so.
    linkPress_.reset();
    if (button == Qt::LeftButton && mouseReportingApplies(modifiers) &&
        links_.opensOnClick(hit.grid, modifiers & Qt::ControlModifier)) {
        linkPress_ = LinkPress{hit, modifiers};
        return;
    }
    if (mouseReportingApplies(modifiers)) {
        // x10 reports presses only, without modifier bits.
        reportMouse(encodeMouseButton(*number, false, modifiers), hit);
        return;
    }
    if (button == Qt::MiddleButton) {
        view_.pastePrimarySelection();
        return;
    }
    if (button == Qt::RightButton) {
        view_.showContextMenu(event->globalPosition().toPoint());
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
void PointerInput::doubleClick(QMouseEvent* event)
{
    if (clickCount_ > 0 && event->button() == lastClickButton_ &&
        uint64_t(event->timestamp()) * 1'000'000ull == lastClickNs_ && event->position() == lastClickPoint_) {
        event->accept();
        return;
    }
    press(event);
}

void PointerInput::handleSelectionPress(const MouseHit& hit, int clickCount, Qt::KeyboardModifiers modifiers)
{
    SelectionService& selection = view_.selection();
    if (clickCount == 2) {
        selection.selectWordOrExpression(hit.grid, view_.terminal().activeBuffer());
    } else if (clickCount == 1) {
        if (selection.active()) {
            if (modifiers & Qt::ShiftModifier)
                selection.shiftExtend(hit.grid);
            else
                selection.setActive(false);
        }
    } else {
        selection.select(hit.grid.row);
    }
    view_.redrawAll();
}

void PointerInput::move(QMouseEvent* event)
{
    const QPointF point = event->position();
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    event->accept();
    const MouseMode mode = view_.terminal().mouseMode();
    if (event->buttons() == Qt::NoButton) {
        lastPointer_ = point;
        if (links_.followsPointer())
            links_.followPointer(calculateMouseHit(point).grid);
        if (mode == MouseMode::anyEvent && mouseReportingApplies(modifiers))
            reportMouse(3 + 32 + encodeMouseButton(0, false, modifiers), calculateMouseHit(point));
        return;
    }
    if (linkPress_ && !leaveLinkPress(calculateMouseHit(point)))
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
    SelectionService& selection = view_.selection();
    if (!dragStarted_ && !selection.active()) {
        // The drag is seen only past the threshold: it starts where the
        // button went down, not where it was first noticed.
        selection.setSoftStart(calculateMouseHit(pressPoint_).grid);
        selection.startSelection();
    }
    dragStarted_ = true;
    handleSelectionDrag(point);
}

int PointerInput::calcScrollingVelocity(int delta, int rows)
{
    if (delta <= 1)
        return 1;
    if (delta <= 5)
        return 3;
    if (delta <= 9)
        return 10;
    return std::max(20, rows);
}

void PointerInput::handleSelectionDrag(QPointF point)
{
    const MouseHit hit = calculateMouseHit(point);
    SelectionService& selection = view_.selection();
    if (selection.active()) {
        selection.dragExtend(hit.grid);
    } else {
        selection.setSoftStart(hit.grid);
        selection.startSelection();
    }
    didSelectionDrag_ = true;
    lastSelectionDragPoint_ = point;
    autoScrollDelta_ = 0;
    // The hit's row, not the pointer's: below the newest line nothing scrolls.
    const Terminal& terminal = view_.terminal();
    const int screenRow = hit.grid.row - terminal.buffer->yDisp();
    const int rows = terminal.buffer->rows();
    bool keepTimer = false;
    if (selection.active()) {
        if (screenRow <= 0) {
            autoScrollDelta_ = -calcScrollingVelocity(-screenRow, terminal.rows);
            keepTimer = true;
        } else if (screenRow >= rows) {
            autoScrollDelta_ = calcScrollingVelocity(screenRow - rows, terminal.rows);
            keepTimer = true;
        }
    }
    if (!keepTimer) {
        ++autoScrollGeneration_;
        autoScrollRunning_ = false;
        tasks_.cancel(std::exchange(autoScrollTask_, 0));
    } else if (autoScrollDelta_ != 0 && !autoScrollRunning_) {
        autoScrollRunning_ = true;
        const uint64_t generation = ++autoScrollGeneration_;
        autoScrollTask_ = tasks_.after(autoScrollIntervalNs, [this, generation] { autoScrollTick(generation); });
    }
    view_.redrawAll();
}

void PointerInput::autoScrollTick(uint64_t generation)
{
    autoScrollTask_ = 0;
    if (generation != autoScrollGeneration_ || !autoScrollRunning_)
        return;
    if (autoScrollDelta_ < 0)
        view_.scrollTo(std::max(0, view_.terminal().activeBuffer().yDisp() + autoScrollDelta_));
    else if (autoScrollDelta_ > 0)
        view_.scrollDown(autoScrollDelta_);
    if (autoScrollDelta_ != 0) {
        SelectionService& selection = view_.selection();
        if (selection.active() && lastSelectionDragPoint_)
            selection.dragExtend(calculateMouseHit(*lastSelectionDragPoint_).grid);
        view_.redrawAll();
    }
    autoScrollTask_ = tasks_.after(autoScrollIntervalNs, [this, generation] { autoScrollTick(generation); });
}

void PointerInput::stopAutoScroll()
{
    ++autoScrollGeneration_;
    autoScrollRunning_ = false;
    tasks_.cancel(std::exchange(autoScrollTask_, 0));
    autoScrollDelta_ = 0;
    lastSelectionDragPoint_.reset();
}

bool PointerInput::leaveLinkPress(const MouseHit& hit)
{
    // Moves inside the pressed cell are still a click.
    if (hit.grid == linkPress_->hit.grid)
        return false;
    const LinkPress press = *std::exchange(linkPress_, std::nullopt);
    if (mouseReportingApplies(press.modifiers))
        reportMouse(encodeMouseButton(0, false, press.modifiers), press.hit);
    return true;
}

void PointerInput::release(QMouseEvent* event)
{
    const Qt::MouseButton button = event->button();
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    const std::optional<int> number = takeButton(event);
    if (!number)
        return;
    if (button == Qt::LeftButton)
        stopAutoScroll();
    const MouseHit hit = calculateMouseHit(event->position());
    const auto finish = [this, button] {
        if (button != Qt::LeftButton)
            return;
        didSelectionDrag_ = false;
        pointerPressSnapshot_.pressWasSemanticEligible = false;
    };
    if (button == Qt::LeftButton && linkPress_ && !leaveLinkPress(hit)) {
        // The link opens before, and instead of, any report.
        const bool ctrl = std::exchange(linkPress_, std::nullopt)->modifiers & Qt::ControlModifier;
        links_.updateHighlight(hit.grid, ctrl);
        links_.requestOpen(hit.grid, ctrl);
        finish();
        return;
    }
    if (mouseReportingApplies(modifiers)) {
        // x10 reports no releases.
        if (view_.terminal().mouseMode() != MouseMode::x10)
            reportMouse(encodeMouseButton(*number, true, modifiers), hit);
        finish();
        return;
    }
    if (button != Qt::LeftButton)
        return;
    const bool ctrl = modifiers & Qt::ControlModifier;
    links_.updateHighlight(hit.grid, links_.modifierHeld() || ctrl);
    if (!didSelectionDrag_ && links_.requestOpen(hit.grid, ctrl)) {
        finish();
        return;
    }
    // A finished gesture offers its text to other programs' middle button.
    if (view_.selection().active() && view_.selection().hasSelectionRange())
        view_.setPrimarySelection();
    if (pointerPressSnapshot_.clickCount == 1)
        scheduleSemanticClick(hit, modifiers);
    finish();
}

void PointerInput::scheduleSemanticClick(const MouseHit& hit, Qt::KeyboardModifiers modifiers)
{
    const SemanticPromptClickModifiers prompt = promptModifiers(modifiers);
    const SemanticPromptPointerSnapshot snapshot{pointerPressSnapshot_.selectionWasActive, didSelectionDrag_, 1,
                                                 pointerPressSnapshot_.pressWasSemanticEligible};
    Terminal& terminal = view_.terminal();
    if (!terminal.mightRouteSemanticPromptClick(prompt, snapshot))
        return;
    ++semanticDeferralScheduleCount_;
    Buffer& buffer = terminal.activeBuffer();
    BufferLine* line = hit.grid.row < buffer.lines().count() ? &buffer.lines()[hit.grid.row] : nullptr;
    const uint64_t generation = line ? line->recycleGeneration() : 0;
    const uint64_t id = ++semanticClickSequence_;
    cancelPendingSemanticClick();
    pendingSemanticClick_ = id;
    const int col = hit.grid.col;
    semanticClickTask_ = tasks_.after(semanticClickDelayNs_, [this, id, line, generation, col, prompt, snapshot] {
        runSemanticClick(id, line, generation, col, prompt, snapshot);
    });
}

void PointerInput::runSemanticClick(uint64_t id, BufferLine* line, uint64_t generation, int col,
                                    SemanticPromptClickModifiers modifiers, SemanticPromptPointerSnapshot snapshot)
{
    // A later press cancelled it, or another click took its place.
    if (pendingSemanticClick_ != id)
        return;
    pendingSemanticClick_ = 0;
    semanticClickTask_ = 0;
    if (!line)
        return;
    Terminal& terminal = view_.terminal();
    Buffer& buffer = terminal.activeBuffer();
    // Found by address first: only a line still in the ring may be read.
    const std::optional<int> row = buffer.findRowOfLine(buffer.semanticPromptStartRowCache, line);
    if (!row || line->recycleGeneration() != generation)
        return;
    if (snapshot.selectionWasActive || snapshot.didDrag || !snapshot.pressWasSemanticEligible ||
        snapshot.clickCount != 1)
        return;
    if (terminal.handleSemanticPromptClick(Position{col, *row}, modifiers, snapshot))
        view_.redrawAll();
}

void PointerInput::leave()
{
    lastPointer_.reset();
    setModifierHeld(false);
    if (links_.dropHighlight())
        view_.queuePendingDisplay();
}

void PointerInput::setModifierHeld(bool on)
{
    if (links_.modifierHeld() == on)
        return;
    links_.setModifierHeld(on);
    view_.updateMouseTracking();
    if (!on)
        links_.hidePreview();
    // Without tracking no move told us where the pointer rests: ask for it,
    // so Ctrl over a link shows it at once.
    const QPointF pointer = view_.mapFromGlobal(QCursor::pos());
    if (on && view_.rect().contains(pointer.toPoint()))
        lastPointer_ = pointer;
    if (lastPointer_)
        links_.followPointer(calculateMouseHit(*lastPointer_).grid);
    if (links_.mode() == LinkHighlightMode::alwaysWithModifier)
        view_.redrawAll();
}

// --- wheel ------------------------------------------------------------------------------------------

void PointerInput::setScrollSensitivity(qreal s)
{
    scrollSensitivity_ =
        std::isnan(s) ? minScrollSensitivity : std::clamp(s, minScrollSensitivity, maxScrollSensitivity);
}

int PointerInput::wheelLines(QWheelEvent* event, qreal cellHeight)
{
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

void PointerInput::wheel(QWheelEvent* event)
{
    event->accept();
    const std::optional<QSizeF> cell = view_.cellDimension();
    if (!cell || cell->height() <= 0)
        return;
    if (event->pixelDelta().y() == 0 && event->angleDelta().y() == 0)
        return;
    Terminal& terminal = view_.terminal();
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    const bool reporting = mouseReportingApplies(modifiers);
    const bool alternate = terminal.isCurrentBufferAlternate();
    if (!reporting && alternate && !terminal.alternateScrollMode) {
        scrollAccumulator_ = 0;
        return;
    }
    const int lines = wheelLines(event, cell->height());
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
        const std::string_view key =
            terminal.applicationCursor ? (up ? "\x1bOA" : "\x1bOB") : (up ? "\x1b[A" : "\x1b[B");
        std::string keys;
        keys.reserve(key.size() * size_t(count));
        for (int i = 0; i < count; ++i)
            keys.append(key);
        view_.send(std::string_view(keys));
        return;
    }
    if (up)
        view_.scrollTo(std::max(0, terminal.activeBuffer().yDisp() - count), true);
    else
        view_.scrollDown(count);
}

}  // namespace ravelgrid
