// The mouse side of TerminalView: its events go to PointerInput, the link
// under the pointer is LinkHover's.
#include "ravelgrid/view/TerminalView.h"

#include <QMouseEvent>
#include <QWheelEvent>

namespace ravelgrid {

platform::Scheduler::TaskId TerminalView::runAfter(uint64_t delayNs, std::function<void()> task)
{
    return scheduler_.scheduleAfter(delayNs, std::move(task));
}

void TerminalView::cancelTask(platform::Scheduler::TaskId& id)
{
    if (id != 0)
        scheduler_.cancel(id);
    id = 0;
}

void TerminalView::mousePressEvent(QMouseEvent* event)
{
    pointer_.press(event);
}

void TerminalView::mouseDoubleClickEvent(QMouseEvent* event)
{
    pointer_.doubleClick(event);
}

void TerminalView::mouseMoveEvent(QMouseEvent* event)
{
    pointer_.move(event);
}

void TerminalView::mouseReleaseEvent(QMouseEvent* event)
{
    pointer_.release(event);
}

void TerminalView::wheelEvent(QWheelEvent* event)
{
    pointer_.wheel(event);
}

void TerminalView::leaveEvent(QEvent* event)
{
    pointer_.leave();
    QWidget::leaveEvent(event);
}

bool TerminalView::shouldTrackMouse() const
{
    return shouldTrackMouse(terminal_->mouseMode());
}

bool TerminalView::shouldTrackMouse(MouseMode mode) const
{
    return mode == MouseMode::anyEvent || links_.followsPointer();
}

void TerminalView::setCommandActive(bool on)
{
    pointer_.setModifierHeld(on);
}

void TerminalView::updateMouseTracking()
{
    setMouseTracking(shouldTrackMouse());
}

}  // namespace ravelgrid
