#include "ravelgrid/view/LocalProcessTerminalView.h"

#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>
#include <limits>

namespace ravelgrid {
namespace {

uint16_t clamp16(double v) {
    if (!std::isfinite(v) || v <= 0)
        return 0;
    return uint16_t(std::min(std::trunc(v), double(std::numeric_limits<uint16_t>::max())));
}

// The process layer delivers on the main queue; in a Qt program that is the
// event loop, whether or not the host installed it.
DeliveryQueue* mainDeliveryQueue() {
    if (DeliveryQueue* queue = DeliveryQueue::main())
        return queue;
    static QtDeliveryQueue* fallback = [] {
        auto* queue = new QtDeliveryQueue();
        DeliveryQueue::setMain(queue);
        return queue;
    }();
    return fallback;
}

}  // namespace

winsize ptyWindowSize(int cols, int rows, QSizeF cell, qreal scale) {
    if (!(scale > 0) || !std::isfinite(scale))
        scale = 1.0;
    winsize ws{};
    ws.ws_row = clamp16(rows);
    ws.ws_col = clamp16(cols);
    // Whole device pixels per cell, as the cell-size and text-area reports
    // give them, so that ws_xpixel / cols is the reported cell width.
    const QSize px = devicePixelCellSize(cell, scale);
    ws.ws_xpixel = clamp16(double(std::max(cols, 0)) * px.width());
    ws.ws_ypixel = clamp16(double(std::max(rows, 0)) * px.height());
    return ws;
}

LocalProcessTerminalView::LocalProcessTerminalView(QWidget* parent, std::optional<FontSet> font,
                                                   TerminalOptions options, platform::Scheduler& scheduler)
    : TerminalView(parent, std::move(font), std::move(options), scheduler) {
    setTerminalDelegate(this);
    process_ = std::make_unique<LocalProcess>(this, mainDeliveryQueue());
}

LocalProcessTerminalView::~LocalProcessTerminalView() {
    // Nothing may reach this half-destroyed view from the process any more.
    process_->setDelegate(nullptr);
    process_.reset();
    setTerminalDelegate(nullptr);
}

void LocalProcessTerminalView::startProcess(const std::string& executable, const std::vector<std::string>& args,
                                            const std::optional<std::vector<std::string>>& environment,
                                            const std::optional<std::string>& execName,
                                            const std::optional<std::string>& currentDirectory) {
    if (process_->running())
        return;
    process_->startProcess(executable, args, environment, execName, currentDirectory);
}

void LocalProcessTerminalView::terminate() { process_->terminate(); }

void LocalProcessTerminalView::setHostLogging(const std::optional<std::string>& directory) {
    process_->setHostLogging(directory);
}

winsize LocalProcessTerminalView::getWindowSize() {
    const QSizeF cell = cellDimension().value_or(QSizeF(0, 0));
    return ptyWindowSize(terminal().cols, terminal().rows, cell, backingScale());
}

void LocalProcessTerminalView::sizeChanged(TerminalView&, int, int) {
    if (!process_->running())
        return;
    winsize ws = getWindowSize();
    const int fd = process_->childfd();
    if (fd >= 0)
        ioctl(fd, TIOCSWINSZ, &ws);
    if (processDelegate_)
        processDelegate_->sizeChanged(*this, terminal().cols, terminal().rows);
}

void LocalProcessTerminalView::setTerminalTitle(TerminalView&, const std::string& title) {
    if (processDelegate_)
        processDelegate_->setTerminalTitle(*this, title);
}

void LocalProcessTerminalView::requestOpenLink(TerminalView& source, const std::string& link,
                                               const std::map<std::string, std::string>&) {
    source.openLink(link);
}

void LocalProcessTerminalView::hostCurrentDirectoryUpdate(TerminalView& source,
                                                          const std::optional<std::string>& directory) {
    if (processDelegate_)
        processDelegate_->hostCurrentDirectoryUpdate(source, directory);
}

void LocalProcessTerminalView::send(TerminalView&, std::span<const uint8_t> data) {
    if (process_ && process_->running())
        process_->send(data);
}

void LocalProcessTerminalView::scrolled(TerminalView&, double) {}

void LocalProcessTerminalView::rangeChanged(TerminalView&, int, int) {}

void LocalProcessTerminalView::bell(TerminalView&) { QApplication::beep(); }

void LocalProcessTerminalView::clipboardCopy(TerminalView&, std::span<const uint8_t> content) {
    const QByteArray bytes(reinterpret_cast<const char*>(content.data()), qsizetype(content.size()));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    // Text that is not UTF-8 leaves the clipboard as it was.
    if (decoder.hasError())
        return;
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(text);
}

std::optional<std::vector<uint8_t>> LocalProcessTerminalView::clipboardRead(TerminalView&) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return std::nullopt;
    const QMimeData* data = clipboard->mimeData();
    if (!data || !data->hasText())
        return std::nullopt;
    const QByteArray utf8 = data->text().toUtf8();
    return std::vector<uint8_t>(utf8.begin(), utf8.end());
}

void LocalProcessTerminalView::processTerminated(LocalProcess&, std::optional<int> exitCode) {
    if (processDelegate_)
        processDelegate_->processTerminated(*this, exitCode);
}

void LocalProcessTerminalView::dataReceived(std::span<const uint8_t> slice) { feed(slice); }

}  // namespace ravelgrid
