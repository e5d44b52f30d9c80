#include "ravelgrid/process/HeadlessTerminal.h"

#include "platform/Log.h"

#include "ravelgrid/process/PseudoTerminalHelpers.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/screen/Buffer.h"

#include <utility>

namespace ravelgrid {

HeadlessTerminal::HeadlessTerminal(DeliveryQueue* queue, const TerminalOptions& options, EndHandler onEnd)
    : queue_(queue ? queue : DeliveryQueue::main()), onEnd_(std::move(onEnd)),
      self_(std::make_shared<HeadlessTerminal*>(this))
{
    terminal_ = std::make_unique<Terminal>(this, options);
    // A queue with timers (a RunLoop) also ends synchronized output on time
    // while the child is quiet.
    if (auto* timers = dynamic_cast<platform::Scheduler*>(queue_))
        terminal_->setScheduler(timers);
    TerminalKittyGraphics::attach(*terminal_);
    process_ = std::make_unique<LocalProcess>(this, queue_);
}

HeadlessTerminal::~HeadlessTerminal()
{
    // A delivery in progress on another thread finishes first.
    process_->setDelegate(nullptr);
    terminal_->setDelegate(nullptr);
    self_.reset();
}

void HeadlessTerminal::send(std::span<const std::uint8_t> data)
{
    if (queue_) {
        std::weak_ptr<HeadlessTerminal*> weak = self_;
        queue_->post([weak, bytes = std::vector<std::uint8_t>(data.begin(), data.end())] {
            auto self = weak.lock();
            if (!self)
                return;
            Terminal& terminal = *(*self)->terminal_;
            if (terminal.scanUserInputForSubmission(bytes) &&
                terminal.buffer->semanticInput == SemanticInputState::armed) {
                terminal.buffer->semanticInput = SemanticInputState::submitted;
            }
        });
    }
    process_->send(data);
}

void HeadlessTerminal::send(std::string_view text)
{
    send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void HeadlessTerminal::changeScrollback(std::optional<int> lines)
{
    terminal_->normalBuffer->changeHistorySize(lines);
    TerminalOptions options = terminal_->options();
    options.scrollback = lines.value_or(0);
    terminal_->setOptions(options);
    terminal_->updateRange(0);
    terminal_->updateRange(terminal_->rows - 1);
}

void HeadlessTerminal::resize(int cols, int rows)
{
    terminal_->resize(cols, rows);
    const int fd = process_->childfd();
    if (process_->running() && fd >= 0)
        PseudoTerminalHelpers::setWinSize(fd, getWindowSize());
}

void HeadlessTerminal::processTerminated(LocalProcess&, std::optional<int> exitCode)
{
    // The handler may release us, and with us the stored handler itself: run a copy.
    const EndHandler handler = onEnd_;
    if (handler)
        handler(exitCode);
}

void HeadlessTerminal::dataReceived(std::span<const std::uint8_t> slice)
{
    terminal_->feed(slice);
}

winsize HeadlessTerminal::getWindowSize()
{
    winsize size{};
    size.ws_row = static_cast<unsigned short>(terminal_->rows);
    size.ws_col = static_cast<unsigned short>(terminal_->cols);
    size.ws_xpixel = 16;
    size.ws_ypixel = 16;
    return size;
}

void HeadlessTerminal::send(Terminal&, std::span<const std::uint8_t> data)
{
    if (process_)
        process_->send(data);
}

void HeadlessTerminal::hostCurrentDirectoryUpdated(Terminal& source)
{
    dir_ = source.hostCurrentDirectory;
}

void HeadlessTerminal::createImageFromBitmap(Terminal&, std::vector<std::uint8_t>& rgba, int width, int height)
{
    // A remote host can send picture after picture: keep the newest that fit
    // the budget instead of letting them exhaust memory.
    if (rgba.size() > kMaxImageBytes) {
        platform::logWarning("headless", "dropped an image larger than the image budget");
        return;
    }
    while (!images_.empty() && imageBytes_ + rgba.size() > kMaxImageBytes) {
        imageBytes_ -= images_.front().bytes.size();
        images_.erase(images_.begin());
    }
    imageBytes_ += rgba.size();
    images_.push_back(Image{std::move(rgba), width, height});
}

bool HeadlessTerminal::isProcessTrusted(Terminal& source)
{
    return requestTrust(source) == RequestTrust::trusted;
}

bool HeadlessTerminal::isOutputRemote(Terminal&)
{
    return process_->outputRemote(trusted_);
}

RequestTrust HeadlessTerminal::requestTrust(Terminal&)
{
    return process_->requestTrust(trusted_);
}

std::function<bool()> HeadlessTerminal::requestTrustAwaiter(Terminal&)
{
    return process_->requestTrustAwaiter();
}

}  // namespace ravelgrid
