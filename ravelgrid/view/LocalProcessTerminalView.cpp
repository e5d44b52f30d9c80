#include "ravelgrid/view/LocalProcessTerminalView.h"

#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/terminal/EscapeSequences.h"
#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QStringDecoder>

#include <algorithm>
#include <cmath>
#include <limits>

namespace ravelgrid {
namespace {

uint16_t clamp16(double v)
{
    if (!std::isfinite(v) || v <= 0)
        return 0;
    return uint16_t(std::min(std::trunc(v), double(std::numeric_limits<uint16_t>::max())));
}

// The process layer delivers on the main queue; in a Qt program that is the
// event loop, whether or not the host installed it.
DeliveryQueue* mainDeliveryQueue()
{
    if (DeliveryQueue* queue = DeliveryQueue::main())
        return queue;
    static QtDeliveryQueue* fallback = [] {
        auto* queue = new QtDeliveryQueue();
        DeliveryQueue::setMain(queue);
        return queue;
    }();
    return fallback;
}

// A bracketed paste keeps its markers when its middle is dropped, so the
// program does not take the keys after it for more of the paste. A paste
// sent as one kitty key event (cleaned text never starts with ESC) is not
// cut at all once begun.
PasteFrame pasteFrame(std::span<const uint8_t> data)
{
    const auto& start = EscapeSequences::bracketedPasteStart;
    const auto& end = EscapeSequences::bracketedPasteEnd;
    if (data.size() >= start.size() + end.size() && std::equal(start.begin(), start.end(), data.begin()) &&
        std::equal(end.begin(), end.end(), data.end() - std::ptrdiff_t(end.size())))
        return {start.size(), end.size()};
    if (!data.empty() && data.front() == 0x1b)
        return {data.size(), 0};
    return {};
}

}  // namespace

winsize ptyWindowSize(int cols, int rows, QSizeF cell, qreal scale)
{
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
    : TerminalView(parent, std::move(font), std::move(options), scheduler)
{
    setTerminalDelegate(this);
    process_ = std::make_unique<LocalProcess>(this, mainDeliveryQueue());
    inputNoticeTimer_.setSingleShot(true);
    inputNoticeTimer_.setInterval(inputNoticeDurationMs);
    connect(&inputNoticeTimer_, &QTimer::timeout, this, [this] {
        if (inputNotice_)
            inputNotice_->hide();
    });
}

LocalProcessTerminalView::~LocalProcessTerminalView()
{
    // Nothing may reach this half-destroyed view from the process any more.
    process_->setDelegate(nullptr);
    process_.reset();
    setTerminalDelegate(nullptr);
}

void LocalProcessTerminalView::startProcess(const std::string& executable, const std::vector<std::string>& args,
                                            const std::optional<std::vector<std::string>>& environment,
                                            const std::optional<std::string>& execName,
                                            const std::optional<std::string>& currentDirectory)
{
    if (process_->running())
        return;
    process_->startProcess(executable, args, environment, execName, currentDirectory);
}

void LocalProcessTerminalView::terminate()
{
    process_->terminate();
}

void LocalProcessTerminalView::setHostLogging(const std::optional<std::string>& directory)
{
    process_->setHostLogging(directory);
}

winsize LocalProcessTerminalView::getWindowSize()
{
    const QSizeF cell = cellDimension().value_or(QSizeF(0, 0));
    return ptyWindowSize(terminal().cols, terminal().rows, cell, backingScale());
}

void LocalProcessTerminalView::sizeChanged(TerminalView&, int, int)
{
    if (!process_->running())
        return;
    winsize ws = getWindowSize();
    const int fd = process_->childfd();
    if (fd >= 0)
        ioctl(fd, TIOCSWINSZ, &ws);
    if (processDelegate_)
        processDelegate_->sizeChanged(*this, terminal().cols, terminal().rows);
}

void LocalProcessTerminalView::setTerminalTitle(TerminalView&, const std::string& title)
{
    if (processDelegate_)
        processDelegate_->setTerminalTitle(*this, title);
}

void LocalProcessTerminalView::requestOpenLink(TerminalView& source, const std::string& link,
                                               const std::map<std::string, std::string>&)
{
    source.openLink(link);
}

void LocalProcessTerminalView::hostCurrentDirectoryUpdate(TerminalView& source,
                                                          const std::optional<std::string>& directory)
{
    if (processDelegate_)
        processDelegate_->hostCurrentDirectoryUpdate(source, directory);
}

void LocalProcessTerminalView::send(TerminalView&, std::span<const uint8_t> data)
{
    if (!process_ || !process_->running())
        return;
    if (sendingPaste())
        process_->sendPaste(data, pasteFrame(data));
    else
        process_->send(data);
}

bool LocalProcessTerminalView::isProcessTrusted(Terminal& source)
{
    return requestTrust(source) == RequestTrust::trusted;
}

bool LocalProcessTerminalView::isOutputRemote(Terminal&)
{
    return process_ ? process_->outputRemote(processTrusted()) : !processTrusted();
}

RequestTrust LocalProcessTerminalView::requestTrust(Terminal&)
{
    if (!process_)
        return processTrusted() ? RequestTrust::trusted : RequestTrust::untrusted;
    return process_->requestTrust(processTrusted());
}

std::function<bool()> LocalProcessTerminalView::requestTrustAwaiter(Terminal&)
{
    return process_ ? process_->requestTrustAwaiter() : std::function<bool()>();
}

// Output waits in the process while the terminal decodes a large image, so
// that nothing piles up in between; it flows again once the terminal resumes.
bool LocalProcessTerminalView::outputHeld()
{
    return terminal().inputHeld();
}

void LocalProcessTerminalView::inputResumed(Terminal& source)
{
    TerminalView::inputResumed(source);
    if (process_)
        process_->resumeOutput();
}

void LocalProcessTerminalView::pasteDropped(PasteDrop why)
{
    if (!inputNotice_) {
        inputNotice_ = new QLabel(this);
        inputNotice_->setObjectName(QStringLiteral("inputNotice"));
        inputNotice_->setTextFormat(Qt::PlainText);
        inputNotice_->setAutoFillBackground(true);
        inputNotice_->setAttribute(Qt::WA_TransparentForMouseEvents);
        inputNotice_->setContentsMargins(6, 3, 6, 3);
        QPalette palette = inputNotice_->palette();
        // Inverted, so it stands out from the terminal's text.
        palette.setColor(QPalette::Window, nativeForegroundColor());
        palette.setColor(QPalette::WindowText, nativeBackgroundColor());
        inputNotice_->setPalette(palette);
    }
    inputNotice_->setText(why == PasteDrop::tooLarge ? tr("Paste too large: nothing was sent.")
                                                     : tr("Paste stopped: the program is not reading it."));
    inputNotice_->adjustSize();
    placeInputNotice();
    inputNotice_->show();
    inputNotice_->raise();
    inputNoticeTimer_.start();
}

void LocalProcessTerminalView::placeInputNotice()
{
    if (!inputNotice_)
        return;
    const int right = width() - int(std::ceil(reservedScrollerWidth()));
    inputNotice_->move(std::max(0, right - inputNotice_->width()), 0);
}

void LocalProcessTerminalView::resizeEvent(QResizeEvent* event)
{
    TerminalView::resizeEvent(event);
    placeInputNotice();
}

void LocalProcessTerminalView::scrolled(TerminalView&, double)
{}

void LocalProcessTerminalView::rangeChanged(TerminalView&, int, int)
{}

void LocalProcessTerminalView::bell(TerminalView&)
{
    QApplication::beep();
}

void LocalProcessTerminalView::clipboardCopy(TerminalView&, std::span<const uint8_t> content)
{
    const QByteArray bytes(reinterpret_cast<const char*>(content.data()), qsizetype(content.size()));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    // Text that is not UTF-8 leaves the clipboard as it was.
    if (decoder.hasError())
        return;
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(text);
}

std::optional<std::vector<uint8_t>> LocalProcessTerminalView::clipboardRead(TerminalView&)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return std::nullopt;
    const QMimeData* data = clipboard->mimeData();
    if (!data || !data->hasText())
        return std::nullopt;
    const QByteArray utf8 = data->text().toUtf8();
    return std::vector<uint8_t>(utf8.begin(), utf8.end());
}

void LocalProcessTerminalView::processTerminated(LocalProcess&, std::optional<int> exitCode)
{
    if (processDelegate_)
        processDelegate_->processTerminated(*this, exitCode);
}

void LocalProcessTerminalView::dataReceived(std::span<const uint8_t> slice)
{
    feed(slice);
}

}  // namespace ravelgrid
