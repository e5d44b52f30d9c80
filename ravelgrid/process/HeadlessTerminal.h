#pragma once

#include "ravelgrid/process/DeliveryQueue.h"
#include "ravelgrid/process/LocalProcess.h"
#include "ravelgrid/process/LocalProcessDelegate.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/TerminalDelegate.h"
#include "ravelgrid/terminal/TerminalOptions.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ravelgrid {

// A Terminal joined to a LocalProcess without a view: the child's output is
// parsed into the terminal's buffers, its replies and the owner's input go
// back to the child, and the owner hears when the child exits.
//
// The terminal lives on the delivery queue: read it, resize it and release
// the headless terminal only there.
class HeadlessTerminal final : public TerminalDelegate, public LocalProcessDelegate {
public:
    using EndHandler = std::function<void(std::optional<int> waitStatus)>;

    struct Image {
        std::vector<std::uint8_t> bytes;  // RGBA, rows top to bottom
        int width = 0;
        int height = 0;
    };

    // A null queue means DeliveryQueue::main(). No child is started: the
    // owner calls process()->startProcess(...).
    HeadlessTerminal(DeliveryQueue* queue, const TerminalOptions& options, EndHandler onEnd);
    HeadlessTerminal(const HeadlessTerminal&) = delete;
    HeadlessTerminal& operator=(const HeadlessTerminal&) = delete;
    ~HeadlessTerminal() override;

    Terminal* terminal() const { return terminal_.get(); }
    LocalProcess* process() const { return process_.get(); }
    const std::optional<std::string>& dir() const { return dir_; }
    // Every bitmap the terminal asked for, oldest first, dropping the oldest
    // once they would exceed kMaxImageBytes together.
    const std::vector<Image>& images() const { return images_; }
    static constexpr std::size_t kMaxImageBytes = 256u << 20;

    // Bytes typed by the owner: written to the child on this thread; the
    // terminal notes a submitted command on the delivery queue.
    void send(std::span<const std::uint8_t> data);
    void send(std::string_view text);

    // Scrollback lines of the normal buffer; absent means none.
    void changeScrollback(std::optional<int> lines);

    // New screen size for the terminal and, while the child runs, its pseudo-terminal.
    void resize(int cols, int rows);

    // Whether the child may read back the screen and reach local files
    // through the terminal. A local program is; an ssh session is not, nor a
    // local one for output read while a process of its session was remote,
    // nor while one is.
    void setProcessTrusted(bool trusted) { trusted_ = trusted; }

    // LocalProcessDelegate
    void processTerminated(LocalProcess& source, std::optional<int> exitCode) override;
    void dataReceived(std::span<const std::uint8_t> slice) override;
    winsize getWindowSize() override;

    // TerminalDelegate
    void send(Terminal& source, std::span<const std::uint8_t> data) override;
    void hostCurrentDirectoryUpdated(Terminal& source) override;
    void createImageFromBitmap(Terminal& source, std::vector<std::uint8_t>& rgba, int width, int height) override;
    bool isProcessTrusted(Terminal& source) override;
    bool isOutputRemote(Terminal& source) override;
    RequestTrust requestTrust(Terminal& source) override;
    std::function<bool()> requestTrustAwaiter(Terminal& source) override;

private:
    DeliveryQueue* queue_;
    EndHandler onEnd_;
    std::optional<std::string> dir_;
    std::vector<Image> images_;
    std::size_t imageBytes_ = 0;
    bool trusted_ = true;
    std::shared_ptr<HeadlessTerminal*> self_;  // lets queued tasks tell whether we still exist
    std::unique_ptr<Terminal> terminal_;
    std::unique_ptr<LocalProcess> process_;
};

}  // namespace ravelgrid
