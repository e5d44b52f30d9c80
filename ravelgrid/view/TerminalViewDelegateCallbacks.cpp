// The view's answers to the terminal that need more than a line: pixel sizes,
// window commands, size changes and progress reports.
#include "ravelgrid/view/TerminalView.h"

#include "platform/Log.h"
#include "ravelgrid/drawing/CellMetrics.h"

#include <QThread>

#include <string>

namespace ravelgrid {

namespace {

constexpr std::string_view logCategory = "ravelgrid.view";

}  // namespace

void TerminalView::bell(Terminal&)
{
    notices_->ring();
}

QSize TerminalView::cellSizeInDevicePixels() const
{
    return devicePixelCellSize(cellDimension_.value_or(QSizeF(0, 0)), backingScale());
}

std::optional<std::pair<int, int>> TerminalView::cellSizeInPixels(Terminal&)
{
    const QSize px = cellSizeInDevicePixels();
    return std::pair<int, int>{px.width(), px.height()};
}

std::optional<std::vector<uint8_t>> TerminalView::windowCommandReply(const WindowManipulationCommand& command, int cols,
                                                                     int rows, std::optional<QSizeF> cell, qreal scale,
                                                                     bool send8bit)
{
    using Kind = WindowManipulationCommand::Kind;
    auto reply = [send8bit](int code, long long height, long long width) {
        std::vector<uint8_t> bytes = send8bit ? std::vector<uint8_t>{0x9B} : std::vector<uint8_t>{0x1B, '['};
        const std::string body =
            std::to_string(code) + ";" + std::to_string(height) + ";" + std::to_string(width) + "t";
        bytes.insert(bytes.end(), body.begin(), body.end());
        return bytes;
    };
    switch (command.kind) {
    case Kind::resizeWindowTo:
        // The window keeps the size its user gave it.
        platform::logInfo(logCategory, "Request to resize to " + std::to_string(command.first) + "x" +
                                           std::to_string(command.second));
        return std::nullopt;
    case Kind::reportTextAreaPixelDimension: {
        if (!cell)
            return std::nullopt;
        const QSize px = devicePixelCellSize(*cell, scale);
        return reply(4, (long long)rows * px.height(), (long long)cols * px.width());
    }
    case Kind::reportCellSizeInPixels: {
        if (!cell)
            return std::nullopt;
        const QSize px = devicePixelCellSize(*cell, scale);
        return reply(6, px.height(), px.width());
    }
    default: return std::nullopt;
    }
}

void TerminalView::sizeChanged(Terminal& source)
{
    if (terminalDelegate_)
        terminalDelegate_->sizeChanged(*this, source.cols, source.rows);
    // New rows or reflowed lines: a new page and range for the bar.
    updateScroller();
}

void TerminalView::progressReport(Terminal&, const ProgressReport& report)
{
    // A terminal fed off the view's thread touches no widget: the bar is
    // updated when the view's thread gets to it, and not at all once the
    // view is gone.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, report] { notices_->applyProgressReport(report); }, Qt::QueuedConnection);
        return;
    }
    notices_->applyProgressReport(report);
}

std::optional<std::vector<uint8_t>> TerminalView::windowCommand(Terminal& source,
                                                                const WindowManipulationCommand& command)
{
    return windowCommandReply(command, source.cols, source.rows, cellDimension_, backingScale(), source.cc.send8bit);
}

}  // namespace ravelgrid
