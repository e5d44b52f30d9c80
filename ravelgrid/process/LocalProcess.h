#pragma once

#include "platform/Scheduler.h"
#include "ravelgrid/process/DeliveryQueue.h"
#include "ravelgrid/process/LocalProcessDelegate.h"
#include "ravelgrid/terminal/TerminalDelegate.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ravelgrid {

class SessionTrust;

// The bytes at either end of a paste that must still be written when its
// middle is dropped after it began: the bracketed-paste markers.
struct PasteFrame {
    std::size_t head = 0;
    std::size_t tail = 0;
};

// Runs one program on a new pseudo-terminal and joins it to its delegate: a
// reader thread reads the child's output and hands it over on the delivery
// queue; the owner's bytes are written to the child in order; the child's
// exit is reported with its raw wait status after the output before it, at
// the latest when the terminal is hung up, exitOutputGrace of reading after
// the child's death.
//
// Bound for the main delivery queue, output waits in a pending list that is
// drained in turns of about 4 ms; reading stops once 4 MiB wait and resumes at
// 1 MiB. Any other delivery queue receives each chunk synchronously from the
// reader thread, so reading goes no faster than the owner consumes.
//
// Start, terminate and destruction belong to the owner's thread; send may
// also come from the delivery queue. The delivery queue must outlive the process.
class LocalProcess {
public:
    static constexpr std::size_t readSize = 131072;
    static constexpr std::size_t pendingHighWaterBytes = 4194304;
    static constexpr std::size_t pendingLowWaterBytes = 1048576;
    static constexpr std::uint64_t pendingTimeSliceNs = 4000000;
    // A child that never reads its input cannot make us hold more than this.
    static constexpr std::size_t pendingWriteLimitBytes = 16 * 1024 * 1024;
    // Typed input waits behind a paste at most this long; then the rest of
    // the paste is dropped, so that keys (Ctrl+C above all) get through to a
    // program that is not reading the paste.
    static constexpr std::chrono::milliseconds pasteWaitLimit{500};

    // Output that keeps coming after the child's death (a grandchild holding
    // the terminal) is read this long; then the terminal is hung up and the
    // exit reported, whatever still writes. The time counts only while
    // reading runs, so output that waits behind back-pressure is not lost.
    static constexpr std::chrono::milliseconds exitOutputGrace{750};
    // After terminate()'s SIGTERM, a child still alive this long is killed
    // with its process group.
    static constexpr std::chrono::milliseconds terminateGrace{2000};
    // A null queue means DeliveryQueue::main().
    explicit LocalProcess(LocalProcessDelegate* delegate, DeliveryQueue* dispatchQueue = nullptr);
    LocalProcess(const LocalProcess&) = delete;
    LocalProcess& operator=(const LocalProcess&) = delete;
    // Closes the pseudo-terminal (the child sees a hangup) without signalling
    // the child, which is still reaped in the background.
    ~LocalProcess();

    // `args` without element 0, which is `execName` or else `executable`.
    // Without `environment` the terminal's default environment is used.
    // Does nothing while running. True when a child was started: a quick
    // child may already have ended by the time running() is asked.
    bool startProcess(const std::string& executable, const std::vector<std::string>& args = {},
                      const std::optional<std::vector<std::string>>& environment = std::nullopt,
                      const std::optional<std::string>& execName = std::nullopt,
                      const std::optional<std::string>& currentDirectory = std::nullopt);

    // Queues a copy of the bytes for the child; dropped when not running.
    // Typed input (keys, and the terminal's replies) is never dropped while
    // it fits in pendingWriteLimitBytes: to make room, waiting pastes go first.
    void send(std::span<const std::uint8_t> data);

    // A paste: dropped whole when it does not fit beside what waits, and in
    // its rest when typed input has waited behind it for pasteWaitLimit. The
    // delegate hears of either through pasteDropped.
    void sendPaste(std::span<const std::uint8_t> data, PasteFrame frame = {});

    // Delivery paused by the delegate's outputHeld() goes on.
    void resumeOutput();

    // The trust a host gives its terminal, for a host that trusts the
    // program it started (`hostTrusts`); one place for every host. See
    // SessionTrust for what the reader knows and when it looks.
    //
    // Whether the output being delivered right now was read while a process
    // that can write to the terminal was remote, or after such a process
    // ended but before the terminal had been emptied of what it wrote, or
    // the first look after its read saw one.
    bool outputRemote(bool hostTrusts) const;
    // Whether a request made by the output delivered now (or last, outside
    // a delivery) may be answered, from what the reader's looks tell: never a
    // look at the session on the calling thread.
    RequestTrust requestTrust(bool hostTrusts) const;
    // For an unknown answer: blocks until a look has covered that output and
    // tells the answer. Meant for a thread of its own; it may outlive us.
    std::function<bool()> requestTrustAwaiter() const;

    // The program the child's shell runs in the foreground right now (see
    // RemoteLoginProbe::foregroundProgram); none when the shell itself has
    // the terminal or no child runs.
    std::optional<std::string> foregroundProgram() const;

    // Closes the pseudo-terminal and sends SIGTERM; no exit report follows.
    // A child still alive after terminateGrace gets SIGKILL with its group,
    // and is reaped in the background.
    void terminate();

    // When set, every chunk read is also written to <directory>/log-<n>.
    void setHostLogging(std::optional<std::string> directory);
    std::optional<std::string> loggingDir() const;

    bool running() const;
    int childfd() const;     // the master descriptor, -1 once output ended or after terminate()
    pid_t shellPid() const;  // 0 before a start and once the child has been reaped
    bool usesMainQueue() const;

    bool debugIO() const;
    void setDebugIO(bool on);
    std::size_t sendCount() const;
    std::size_t total() const;  // bytes of all finished writes, failed or not

    LocalProcessDelegate* delegate() const;
    // Waits for a delegate call in progress on another thread.
    void setDelegate(LocalProcessDelegate* delegate);

    // The clock of the drain turns and of terminate()'s grace, for tests;
    // null for the steady clock. Set before starting; it must outlive the
    // process, and a child it terminated until that child is reaped.
    void setClock(const platform::Scheduler* clock);

private:
    struct Shared;
    struct ChildIo;
    struct Reader;

    void stopChild(bool sendTerm);
    std::shared_ptr<SessionTrust> deliveredTrust(std::uint64_t& read) const;
    void queueInput(std::span<const std::uint8_t> data, bool paste, PasteFrame frame);

    std::shared_ptr<Shared> shared_;
    mutable std::mutex childMutex_;  // send() may run on the delivery queue
    std::shared_ptr<ChildIo> child_;
};

}  // namespace ravelgrid
