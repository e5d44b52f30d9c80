// The view's answers to the terminal that need more than a line: the bell and
// its flash, pixel sizes and window commands.
#include "ravelgrid/view/TerminalView.h"

#include "platform/Log.h"
#include "ravelgrid/drawing/CellMetrics.h"

#include <QPainter>
#include <QVariantAnimation>

#include <string>

namespace ravelgrid {

namespace {

constexpr std::string_view logCategory = "ravelgrid.view";

// The flash: a child over the whole view, painted in the foreground colour
// at the animation's opacity, transparent to the pointer.
class VisualBellOverlay final : public QWidget {
public:
    explicit VisualBellOverlay(TerminalView* view) : QWidget(view), view_(view) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_TranslucentBackground);
        setFocusPolicy(Qt::NoFocus);
    }
    qreal opacity = 0;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setOpacity(opacity);
        painter.fillRect(rect(), view_->nativeForegroundColor());
    }

private:
    TerminalView* view_;
};

}  // namespace

void TerminalView::bell(Terminal&) {
    // A flood of bells (cat of a binary) beeps and flashes once per interval.
    const uint64_t now = scheduler_.nowNs();
    auto due = [now](const std::optional<uint64_t>& last) { return !last || now < *last || now - *last >= bellIntervalNs; };
    const bool audible = bellStyle_ == BellStyle::sound || bellStyle_ == BellStyle::soundAndVisual;
    const bool visual = bellStyle_ == BellStyle::visual || bellStyle_ == BellStyle::soundAndVisual;
    if (audible && due(lastBeepNs_)) {
        lastBeepNs_ = now;
        if (terminalDelegate_)
            terminalDelegate_->bell(*this);
    }
    if (visual && due(lastFlashNs_)) {
        lastFlashNs_ = now;
        flashVisualBell();
    }
}

void TerminalView::flashVisualBell() {
    if (!bellOverlay_) {
        auto* overlay = new VisualBellOverlay(this);
        bellOverlay_ = overlay;
        bellAnimation_ = new QVariantAnimation(overlay);
        bellAnimation_->setDuration(visualBellDurationMs);
        bellAnimation_->setStartValue(0.0);
        bellAnimation_->setKeyValueAt(0.3, visualBellPeakOpacity);
        bellAnimation_->setEndValue(0.0);
        connect(bellAnimation_, &QVariantAnimation::valueChanged, overlay, [overlay](const QVariant& v) {
            overlay->opacity = v.toReal();
            overlay->update();
        });
        connect(bellAnimation_, &QVariantAnimation::finished, overlay, [overlay] { overlay->hide(); });
    }
    bellAnimation_->stop();
    bellOverlay_->setGeometry(rect());
    bellOverlay_->show();
    bellOverlay_->raise();
    bellAnimation_->start();
}

bool TerminalView::visualBellActive() const { return bellOverlay_ && bellOverlay_->isVisible(); }

qreal TerminalView::visualBellOpacity() const {
    return visualBellActive() ? static_cast<VisualBellOverlay*>(bellOverlay_)->opacity : 0.0;
}

QSize TerminalView::cellSizeInDevicePixels() const {
    return devicePixelCellSize(cellDimension_.value_or(QSizeF(0, 0)), backingScale());
}

std::optional<std::pair<int, int>> TerminalView::cellSizeInPixels(Terminal&) {
    const QSize px = cellSizeInDevicePixels();
    return std::pair<int, int>{px.width(), px.height()};
}

std::optional<std::vector<uint8_t>> TerminalView::windowCommandReply(const WindowManipulationCommand& command,
                                                                     int cols, int rows,
                                                                     std::optional<QSizeF> cell, qreal scale,
                                                                     bool send8bit) {
    using Kind = WindowManipulationCommand::Kind;
    auto reply = [send8bit](int code, long long height, long long width) {
        std::vector<uint8_t> bytes = send8bit ? std::vector<uint8_t>{0x9B} : std::vector<uint8_t>{0x1B, '['};
        const std::string body = std::to_string(code) + ";" + std::to_string(height) + ";" + std::to_string(width) + "t";
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

std::optional<std::vector<uint8_t>> TerminalView::windowCommand(Terminal& source,
                                                                const WindowManipulationCommand& command) {
    return windowCommandReply(command, source.cols, source.rows, cellDimension_, backingScale(), source.cc.send8bit);
}

}  // namespace ravelgrid
