#pragma once

#include "platform/Scheduler.h"
#include "ravelgrid/screen/Position.h"
#include "ravelgrid/screen/SemanticPrompt.h"

#include <QPoint>
#include <QPointF>
#include <QtCore/qnamespace.h>

#include <cstdint>
#include <optional>

class QMouseEvent;
class QWheelEvent;

namespace ravelgrid {

class BufferLine;
class LinkHover;
class TerminalView;

// The view's mouse and wheel: reports to the program while it takes the
// mouse, otherwise clicks, selection gestures with their auto-scroll,
// deferred prompt clicks, links and scrolling. The view's event handlers
// forward here; everything deferred is cancelled with this object.
class PointerInput {
public:
    PointerInput(TerminalView& view, LinkHover& links, platform::Scheduler& scheduler);
    PointerInput(const PointerInput&) = delete;
    PointerInput& operator=(const PointerInput&) = delete;

    void press(QMouseEvent* event);
    void doubleClick(QMouseEvent* event);
    void move(QMouseEvent* event);
    void release(QMouseEvent* event);
    void wheel(QWheelEvent* event);
    void leave();
    // Ctrl went down or up: links under the pointer show or hide at once.
    void setModifierHeld(bool on);

    static constexpr uint64_t autoScrollIntervalNs = 50'000'000;
    // Writes below the floor (NaN too) store the floor; the ceiling keeps
    // the wheel arithmetic finite.
    static constexpr qreal minScrollSensitivity = 0.05;
    static constexpr qreal maxScrollSensitivity = 1000;
    qreal scrollSensitivity() const { return scrollSensitivity_; }
    void setScrollSensitivity(qreal s);
    qreal scrollAccumulator() const { return scrollAccumulator_; }
    // Rows an auto-scroll tick moves for a pointer this many rows outside.
    static int calcScrollingVelocity(int delta, int rows);
    int autoScrollDelta() const { return autoScrollDelta_; }
    bool autoScrollRunning() const { return autoScrollRunning_; }
    void stopAutoScroll();
    // How long a click on a prompt waits for a second click.
    uint64_t semanticClickDelayNs() const { return semanticClickDelayNs_; }
    void setSemanticClickDelayNs(uint64_t ns) { semanticClickDelayNs_ = ns; }
    int semanticDeferralScheduleCount() const { return semanticDeferralScheduleCount_; }
    bool semanticClickPending() const { return pendingSemanticClick_ != 0; }
    void cancelDeferred() { tasks_.cancelAll(); }

private:
    struct MouseHit {
        Position grid;  // column, buffer row
        QPoint pixels;  // from the top-left corner, clamped to the view
    };
    MouseHit calculateMouseHit(QPointF point) const;
    bool mouseReportingApplies(Qt::KeyboardModifiers modifiers) const;
    int encodeMouseButton(int button, bool release, Qt::KeyboardModifiers modifiers) const;
    void reportMouse(int code, const MouseHit& hit);
    int countClick(QPointF point, Qt::MouseButton button, uint64_t timestampMs);
    void handleSelectionPress(const MouseHit& hit, int clickCount, Qt::KeyboardModifiers modifiers);
    void handleSelectionDrag(QPointF point);
    // A pending link press at `hit` off its cell becomes the program's: its
    // press is reported now. False while it is still in its cell.
    bool leaveLinkPress(const MouseHit& hit);
    void autoScrollTick(uint64_t generation);
    void scheduleSemanticClick(const MouseHit& hit, Qt::KeyboardModifiers modifiers);
    void runSemanticClick(uint64_t id, BufferLine* line, uint64_t generation, int col,
                          SemanticPromptClickModifiers modifiers, SemanticPromptPointerSnapshot snapshot);
    void cancelPendingSemanticClick();
    int wheelLines(QWheelEvent* event, qreal cellHeight);

    TerminalView& view_;
    LinkHover& links_;
    platform::ScopedTasks tasks_;

    qreal scrollAccumulator_ = 0;
    qreal scrollSensitivity_ = 1.0;
    // Clicks are counted here, by the events' time stamps.
    uint64_t lastClickNs_ = 0;
    QPointF lastClickPoint_;
    Qt::MouseButton lastClickButton_ = Qt::NoButton;
    int clickCount_ = 0;
    QPointF pressPoint_;
    Qt::MouseButton pressButton_ = Qt::NoButton;
    // Where the pointer rests without a button, while it is over the view.
    std::optional<QPointF> lastPointer_;
    // A press on a link while the program takes the mouse: it opens on a
    // release in its cell, instead of any report; once it moves off its
    // cell it is the program's, reported from the press on.
    struct LinkPress {
        MouseHit hit;
        Qt::KeyboardModifiers modifiers;
    };
    std::optional<LinkPress> linkPress_;

    // Selection gestures.
    int autoScrollDelta_ = 0;
    bool autoScrollRunning_ = false;
    uint64_t autoScrollGeneration_ = 0;
    platform::Scheduler::TaskId autoScrollTask_ = 0;
    std::optional<QPointF> lastSelectionDragPoint_;
    bool didSelectionDrag_ = false;
    bool dragStarted_ = false;

    // Prompt clicks.
    SemanticPromptPointerSnapshot pointerPressSnapshot_;
    platform::Scheduler::TaskId semanticClickTask_ = 0;
    uint64_t pendingSemanticClick_ = 0;  // 0: none
    uint64_t semanticClickSequence_ = 0;
    uint64_t semanticClickDelayNs_ = 0;
    int semanticDeferralScheduleCount_ = 0;
};

}  // namespace ravelgrid
