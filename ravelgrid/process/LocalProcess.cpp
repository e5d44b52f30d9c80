#include "ravelgrid/process/LocalProcess.h"

#include "platform/Log.h"
#include "ravelgrid/process/ChildReaper.h"
#include "ravelgrid/process/PseudoTerminalHelpers.h"
#include "ravelgrid/process/RemoteLoginProbe.h"
#include "ravelgrid/process/RemoteSessionProbe.h"
#include "ravelgrid/process/SessionTrust.h"
#include "ravelgrid/terminal/Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace ravelgrid {

namespace {

constexpr std::string_view logCategory = "process";

// A terminal holds some kilobytes of output; once this much more has been read
// after the child's death, nothing it wrote before can still be waiting.
constexpr std::size_t exitBacklogBytes = 1024 * 1024;

std::uint64_t steadyNanoseconds()
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// A write to a child that has gone must be an error, not the end of us.
void ignoreSigpipeOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current;
        memset(&current, 0, sizeof current);
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction ignore;
            memset(&ignore, 0, sizeof ignore);
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            sigaction(SIGPIPE, &ignore, nullptr);
        }
    });
}

std::string byteList(std::span<const std::uint8_t> bytes)
{
    constexpr std::size_t shown = 1024;
    std::string out = "[";
    for (std::size_t i = 0; i < bytes.size() && i < shown; ++i) {
        if (i)
            out += ", ";
        out += std::to_string(bytes[i]);
    }
    if (bytes.size() > shown)
        out += ", …";
    out += "]";
    return out;
}

}  // namespace

struct LocalProcess::Shared {
    struct ExitReport {
        std::uint64_t generation;
        std::optional<int> status;
    };

    DeliveryQueue* queue = nullptr;
    bool usesMainQueue = false;
    int wakeFd = -1;  // wakes the reader thread: resumed reading, new writes, stop

    // Delegate calls run under the gate so that clearing the delegate waits
    // for a call in progress; recursive so a delegate may release us from
    // inside its own callback.
    std::recursive_mutex gate;
    LocalProcess* owner = nullptr;
    LocalProcessDelegate* delegate = nullptr;

    std::atomic<bool> running{false};
    std::atomic<int> childfd{-1};
    std::atomic<pid_t> shellPid{0};
    std::atomic<std::uint64_t> generation{0};
    std::atomic<bool> debugIO{false};
    std::atomic<std::size_t> sendCount{0};
    std::atomic<std::size_t> total{0};
    std::atomic<std::size_t> totalRead{0};

    mutable std::mutex loggingMutex;
    std::optional<std::string> loggingDir;
    std::size_t logFileCounter = 0;

    // Output, with the read that brought it and whether it is remote (see SessionTrust).
    struct Chunk {
        std::vector<std::uint8_t> bytes;
        SessionTrust::Mark mark;
        std::uint64_t generation = 0;  // the child that wrote it
    };

    std::mutex pendingLock;
    std::deque<Chunk> pendingChunks;
    std::size_t pendingBytes = 0;
    bool pendingScheduled = false;
    bool deliveryPaused = false;  // the delegate holds output; pendingScheduled stays set
    bool readSuspendedForBackpressure = false;
    std::optional<ExitReport> pendingExit;

    const platform::Scheduler* clock = nullptr;  // null: the steady clock

    // The chunk being delivered, or the last one.
    std::atomic<bool> deliveringRemote{false};
    std::atomic<bool> delivering{false};
    struct Delivered {
        std::uint64_t generation = 0;  // 0: nothing delivered yet
        std::uint64_t read = 0;
    };
    mutable std::mutex deliveredMutex;
    Delivered delivered;

    Delivered lastDelivered() const
    {
        std::lock_guard lock(deliveredMutex);
        return delivered;
    }

    ~Shared()
    {
        if (wakeFd >= 0)
            close(wakeFd);
    }

    void wakeReader() const
    {
        if (wakeFd >= 0)
            eventfd_write(wakeFd, 1);
    }

    bool readingSuspended()
    {
        std::lock_guard lock(pendingLock);
        return readSuspendedForBackpressure;
    }

    bool outputHeld()
    {
        std::lock_guard lock(gate);
        return delegate && delegate->outputHeld();
    }

    void resumeDelivery(const std::shared_ptr<Shared>& self)
    {
        {
            std::lock_guard lock(pendingLock);
            if (!deliveryPaused)
                return;
            deliveryPaused = false;
        }
        postDrain(self);
    }

    void deliverData(std::span<const std::uint8_t> bytes, SessionTrust::Mark mark, std::uint64_t childGeneration)
    {
        std::lock_guard lock(gate);
        deliveringRemote = mark.remote;
        {
            // Reads are numbered per child.
            std::lock_guard deliveredLock(deliveredMutex);
            if (delivered.generation != childGeneration)
                delivered = {childGeneration, mark.seq};
            delivered.read = std::max(delivered.read, mark.seq);
        }
        delivering = true;
        if (delegate)
            delegate->dataReceived(bytes);
        delivering = false;
    }

    void deliverPasteDropped(PasteDrop why)
    {
        std::lock_guard lock(gate);
        if (delegate)
            delegate->pasteDropped(why);
    }

    static void postPasteDropped(const std::shared_ptr<Shared>& self, PasteDrop why)
    {
        std::weak_ptr<Shared> weak = self;
        self->queue->post([weak, why] {
            if (auto strong = weak.lock())
                strong->deliverPasteDropped(why);
        });
    }

    void deliverExit(const ExitReport& report)
    {
        std::lock_guard lock(gate);
        // A newer start or a terminate() makes this report stale.
        if (report.generation != generation.load())
            return;
        running = false;
        if (delegate && owner)
            delegate->processTerminated(*owner, report.status);
    }

    void dumpChunk(std::span<const std::uint8_t> bytes)
    {
        std::lock_guard lock(loggingMutex);
        if (!loggingDir)
            return;
        const std::string path = *loggingDir + "/log-" + std::to_string(logFileCounter);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::size_t written = 0;
        int error = 0;
        if (fd < 0) {
            error = errno;
        } else {
            while (written < bytes.size()) {
                const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    error = n < 0 ? errno : EIO;
                    break;
                }
                written += static_cast<std::size_t>(n);
            }
            if (close(fd) != 0 && error == 0)
                error = errno;
        }
        if (error == 0) {
            ++logFileCounter;
        } else {
            platform::logError(logCategory, "Got error while logging data dump to " + path + ": " + strerror(error));
        }
    }

    static void postDrain(const std::shared_ptr<Shared>& self)
    {
        std::weak_ptr<Shared> weak = self;
        self->queue->post([weak] {
            if (auto strong = weak.lock())
                strong->drain();
        });
    }

    // Reader thread; returns whether reading may go on.
    static bool enqueue(const std::shared_ptr<Shared>& self, std::vector<std::uint8_t> chunk, SessionTrust::Mark mark,
                        std::uint64_t childGeneration)
    {
        bool schedule = false;
        bool more = true;
        {
            std::lock_guard lock(self->pendingLock);
            self->pendingBytes += chunk.size();
            self->pendingChunks.push_back(Chunk{std::move(chunk), mark, childGeneration});
            if (self->pendingBytes >= pendingHighWaterBytes)
                self->readSuspendedForBackpressure = true;
            schedule = !self->pendingScheduled;
            self->pendingScheduled = true;
            more = self->pendingBytes < pendingHighWaterBytes;
        }
        if (schedule)
            postDrain(self);
        return more;
    }

    static void enqueueExit(const std::shared_ptr<Shared>& self, ExitReport report)
    {
        bool schedule = false;
        {
            std::lock_guard lock(self->pendingLock);
            self->pendingExit = report;
            schedule = !self->pendingScheduled;
            self->pendingScheduled = true;
        }
        if (schedule)
            postDrain(self);
    }

    // One turn on the delivery queue. Always delivers at least one chunk
    // before it looks at the clock; the exit comes after the last chunk.
    void drain()
    {
        if (outputHeld()) {
            std::lock_guard lock(pendingLock);
            deliveryPaused = true;
            return;
        }
        std::unique_lock lock(pendingLock);
        const platform::Scheduler* const time = clock;
        auto now = [time] { return time ? time->nowNs() : steadyNanoseconds(); };
        const std::uint64_t start = now();
        while (!pendingChunks.empty()) {
            Chunk chunk = std::move(pendingChunks.front());
            pendingChunks.pop_front();
            pendingBytes -= chunk.bytes.size();
            bool resume = false;
            if (readSuspendedForBackpressure && pendingBytes <= pendingLowWaterBytes) {
                readSuspendedForBackpressure = false;
                resume = true;
            }
            lock.unlock();
            if (resume)
                wakeReader();
            deliverData(chunk.bytes, chunk.mark, chunk.generation);
            if (outputHeld()) {
                std::lock_guard relock(pendingLock);
                deliveryPaused = true;
                return;
            }
            if (now() - start >= pendingTimeSliceNs) {
                // The next turn queues behind whatever else the owner has to do.
                queue->post([weak = selfWeak] {
                    if (auto strong = weak.lock())
                        strong->drain();
                });
                return;
            }
            lock.lock();
        }
        pendingBytes = 0;
        pendingScheduled = false;
        std::optional<ExitReport> exit = std::exchange(pendingExit, std::nullopt);
        lock.unlock();
        if (exit)
            deliverExit(*exit);
    }

    std::weak_ptr<Shared> selfWeak;
};

struct LocalProcess::ChildIo {
    struct PendingWrite {
        std::vector<std::uint8_t> bytes;
        std::size_t offset = 0;
        std::size_t number = 0;
        std::size_t length = 0;  // as sent, whatever of a paste is dropped later
        bool paste = false;
        PasteFrame frame;
        std::chrono::steady_clock::time_point queued;
    };

    int masterFd = -1;
    pid_t pid = 0;
    int pidfd = -1;
    std::uint64_t generation = 0;
    std::thread thread;
    std::atomic<bool> reaped{false};
    // Shared with whoever awaits an answer on another thread.
    std::shared_ptr<SessionTrust> trust;
    // Input handed over so far, and whether the reader sleeps through long
    // gaps between looks; then new input wakes it.
    std::atomic<std::uint64_t> inputs{0};
    std::atomic<bool> looksSlowly{false};

    std::mutex syncMutex;
    std::condition_variable syncCv;
    bool stop = false;
    bool syncPending = false;

    std::mutex writeMutex;
    std::deque<PendingWrite> writes;
    std::size_t writeBytes = 0;
    std::size_t pasteWrites = 0;  // entries of `writes` still marked as pastes
    bool writeFailed = false;
    bool overflowReported = false;  // input is being dropped; said once until the child catches up

    bool stopRequested()
    {
        std::lock_guard lock(syncMutex);
        return stop;
    }

    bool hasWrites()
    {
        std::lock_guard lock(writeMutex);
        return !writes.empty();
    }
};

// What the reader thread runs.
struct LocalProcess::Reader {
    static void completeWrite(Shared& shared, const ChildIo::PendingWrite& w)
    {
        const std::size_t total = shared.total += w.length;
        if (shared.debugIO) {
            platform::logInfo(logCategory,
                              "[SEND-" + std::to_string(w.number) + "] completed bytes=" + std::to_string(total));
        }
    }

    // A non-blocking write of what fits now; errors are left for the reader
    // thread's next write to meet and report.
    static std::size_t writeNow(int fd, std::span<const std::uint8_t> data)
    {
        for (;;) {
            const ssize_t n = write(fd, data.data(), data.size());
            if (n >= 0)
                return static_cast<std::size_t>(n);
            if (errno != EINTR)
                return 0;
        }
    }

    static void flushWrites(Shared& shared, ChildIo& io)
    {
        std::lock_guard lock(io.writeMutex);
        while (!io.writes.empty()) {
            auto& w = io.writes.front();
            const ssize_t n = write(io.masterFd, w.bytes.data() + w.offset, w.bytes.size() - w.offset);
            if (n > 0) {
                w.offset += static_cast<std::size_t>(n);
                if (w.offset == w.bytes.size()) {
                    io.writeBytes -= w.bytes.size();
                    if (w.paste)
                        --io.pasteWrites;
                    completeWrite(shared, w);
                    io.writes.pop_front();
                    // The episode ends once the child has read half of what waited.
                    if (io.writeBytes <= pendingWriteLimitBytes / 2)
                        io.overflowReported = false;
                }
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            const int error = n < 0 ? errno : EIO;
            platform::logError(logCategory, "Error writing data to the child, errno=" + std::to_string(error));
            for (const auto& dropped : io.writes)
                completeWrite(shared, dropped);
            io.writes.clear();
            io.writeBytes = 0;
            io.pasteWrites = 0;
            io.writeFailed = true;
            return;
        }
    }

    // Drops what is not written yet of the pastes among the first `end`
    // writes. A paste already begun keeps its frame's bytes, so a bracketed
    // paste is still closed, and those go as typed input. Under writeMutex;
    // true when anything was dropped.
    static bool cutPastes(Shared& shared, ChildIo& io, std::size_t end)
    {
        bool cut = false;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < io.writes.size(); ++i) {
            auto& w = io.writes[i];
            if (i < end && w.paste) {
                const std::size_t size = w.bytes.size();
                std::vector<std::uint8_t> rest;
                if (w.offset > 0) {
                    const std::size_t headEnd = std::max(w.offset, std::min(w.frame.head, size));
                    const std::size_t tailStart = std::max(headEnd, size - std::min(w.frame.tail, size));
                    rest.assign(w.bytes.begin() + static_cast<std::ptrdiff_t>(w.offset),
                                w.bytes.begin() + static_cast<std::ptrdiff_t>(headEnd));
                    rest.insert(rest.end(), w.bytes.begin() + static_cast<std::ptrdiff_t>(tailStart), w.bytes.end());
                }
                io.writeBytes -= size - rest.size();
                --io.pasteWrites;
                w.bytes = std::move(rest);
                w.offset = 0;
                w.paste = false;
                cut = true;
                if (w.bytes.empty()) {
                    completeWrite(shared, w);
                    continue;
                }
            }
            if (kept != i)
                io.writes[kept] = std::move(w);
            ++kept;
        }
        io.writes.resize(kept);
        return cut;
    }

    // The first typed write with a paste ahead of it: its index. Under writeMutex.
    static std::optional<std::size_t> typedBehindPaste(const ChildIo& io)
    {
        if (io.pasteWrites == 0)
            return std::nullopt;
        bool pasteAhead = false;
        for (std::size_t i = 0; i < io.writes.size(); ++i) {
            if (io.writes[i].paste) {
                pasteAhead = true;
            } else if (pasteAhead) {
                return i;
            }
        }
        return std::nullopt;
    }

    // When typed input has waited behind pastes for pasteWaitLimit, those
    // pastes lose their rest; the delegate hears of it.
    static void cutStalledPastes(const std::shared_ptr<Shared>& shared, ChildIo& io,
                                 std::chrono::steady_clock::time_point now)
    {
        bool cut = false;
        {
            std::lock_guard lock(io.writeMutex);
            const auto typed = typedBehindPaste(io);
            if (typed && now - io.writes[*typed].queued >= pasteWaitLimit)
                cut = cutPastes(*shared, io, *typed);
        }
        if (cut)
            Shared::postPasteDropped(shared, PasteDrop::notRead);
    }

    static void deliverSynchronously(const std::shared_ptr<Shared>& shared, const std::shared_ptr<ChildIo>& io,
                                     std::vector<std::uint8_t> chunk, SessionTrust::Mark mark)
    {
        {
            std::lock_guard lock(io->syncMutex);
            if (io->stop)
                return;
            io->syncPending = true;
        }
        std::weak_ptr<Shared> weakShared = shared;
        std::weak_ptr<ChildIo> weakIo = io;
        shared->queue->post([weakShared, weakIo, chunk = std::move(chunk), mark, generation = io->generation] {
            if (auto s = weakShared.lock())
                s->deliverData(chunk, mark, generation);
            if (auto i = weakIo.lock()) {
                {
                    std::lock_guard lock(i->syncMutex);
                    i->syncPending = false;
                }
                i->syncCv.notify_all();
            }
        });
        std::unique_lock lock(io->syncMutex);
        io->syncCv.wait(lock, [&] { return !io->syncPending || io->stop; });
    }

    static void handleChunk(const std::shared_ptr<Shared>& shared, const std::shared_ptr<ChildIo>& io,
                            std::span<const std::uint8_t> bytes, SessionTrust::Mark mark)
    {
        if (shared->debugIO) {
            const std::size_t total = shared->totalRead += bytes.size();
            platform::logInfo(logCategory, "[READ] count=" + std::to_string(bytes.size()) +
                                               " received from host total=" + std::to_string(total));
        }
        shared->dumpChunk(bytes);
        std::vector<std::uint8_t> chunk(bytes.begin(), bytes.end());
        if (shared->usesMainQueue) {
            Shared::enqueue(shared, std::move(chunk), mark, io->generation);
        } else {
            deliverSynchronously(shared, io, std::move(chunk), mark);
        }
    }

    static void reportExit(const std::shared_ptr<Shared>& shared, const std::shared_ptr<ChildIo>& io,
                           std::optional<int> status)
    {
        Shared::ExitReport report{io->generation, status};
        if (shared->usesMainQueue) {
            Shared::enqueueExit(shared, report);
            return;
        }
        std::weak_ptr<Shared> weak = shared;
        shared->queue->post([weak, report] {
            if (auto s = weak.lock())
                s->deliverExit(report);
        });
    }

    // Returns true once the child is gone; `status` is its wait status, absent
    // when it could not be reaped.
    static bool tryReap(ChildIo& io, std::optional<int>& status)
    {
        int raw = 0;
        pid_t result;
        do {
            result = waitpid(io.pid, &raw, WNOHANG);
        } while (result < 0 && errno == EINTR);
        if (result == 0)
            return false;
        if (result == io.pid) {
            status = raw;
        } else {
            platform::logError(logCategory, "Could not reap child " + std::to_string(io.pid) + ": " + strerror(errno));
            status = std::nullopt;
        }
        return true;
    }

    // Drops our side of the terminal while keeping the descriptor's number
    // taken (it now refers to /dev/null), so an owner that read childfd just
    // before cannot reach an unrelated file through it.
    static void hangUp(ChildIo& io)
    {
        // The owner's thread may be writing typed input right now.
        std::lock_guard lock(io.writeMutex);
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0 && dup3(null, io.masterFd, O_CLOEXEC) >= 0) {
            close(null);
            return;
        }
        if (null >= 0)
            close(null);
        close(io.masterFd);
        io.masterFd = -1;
    }

    // Watches the remote process the last look found, so that its exit is
    // seen at once and what the shell prints next is not taken for its output.
    struct ExitWatch {
        int fd = -1;
        pid_t pid = 0;
        void follow(pid_t remote)
        {
            if (remote == pid)
                return;
            if (fd >= 0)
                close(fd);
            fd = remote > 0 ? static_cast<int>(syscall(SYS_pidfd_open, remote, 0U)) : -1;
            pid = remote;
        }
        ~ExitWatch()
        {
            if (fd >= 0)
                close(fd);
        }
    };

    static void loop(std::shared_ptr<Shared> shared, std::shared_ptr<ChildIo> io)
    {
        using namespace std::chrono;
        pthread_setname_np(pthread_self(), "rg-pty-reader");  // for whoever counts its wake-ups
        std::vector<std::uint8_t> buffer(LocalProcess::readSize);
        bool outputEnded = false;
        bool exited = false;
        bool exitReported = false;
        std::optional<int> status;
        // After the child's death: how much of the grace has run, and how
        // much output has been read since.
        steady_clock::duration graceUsed{};
        std::size_t readSinceExit = 0;
        SessionTrust* const trust = io->trust.get();
        std::uint64_t seenInputs = 0;
        ExitWatch watch;
        // poll, not FIONREAD: it first waits for what the terminal has taken
        // in but not yet handed to its read side, which a busy machine delays.
        const std::function<bool()> ptyEmpty = [&io] {
            pollfd p{io->masterFd, POLLIN, 0};
            int ready;
            do {
                ready = poll(&p, 1, 0);
            } while (ready < 0 && errno == EINTR);
            return ready == 0;
        };
        struct CloseTrust {
            SessionTrust* trust;
            ~CloseTrust()
            {
                if (trust)
                    trust->close();
            }
        } closeTrust{trust};
        bool trustClosed = false;

        for (;;) {
            if (io->stopRequested())
                return;
            const auto turnStart = steady_clock::now();
            const bool readEnabled = !outputEnded && !shared->readingSuspended();
            // While reading waits for the owner, what the child wrote before
            // its death may still be in the terminal: the grace stands still.
            const bool graceRuns = exited && !outputEnded && (readEnabled || readSinceExit >= exitBacklogBytes);
            bool wantWrite = false;
            std::optional<steady_clock::time_point> pasteDeadline;
            if (!outputEnded) {
                std::lock_guard lock(io->writeMutex);
                wantWrite = !io->writes.empty();
                if (const auto typed = typedBehindPaste(*io))
                    pasteDeadline = io->writes[*typed].queued + pasteWaitLimit;
            }

            pollfd fds[4];
            nfds_t count = 0;
            fds[count++] = {shared->wakeFd, POLLIN, 0};
            int masterIndex = -1;
            int pidIndex = -1;
            if (readEnabled || wantWrite) {
                masterIndex = static_cast<int>(count);
                const short events = static_cast<short>((readEnabled ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
                fds[count++] = {io->masterFd, events, 0};
            }
            if (!exited && io->pidfd >= 0) {
                pidIndex = static_cast<int>(count);
                fds[count++] = {io->pidfd, POLLIN, 0};
            }
            int watchIndex = -1;
            if (watch.fd >= 0 && !outputEnded) {
                watchIndex = static_cast<int>(count);
                fds[count++] = {watch.fd, POLLIN, 0};
            }
            int timeout = -1;
            auto shorten = [&timeout](long long ms) {
                const int t = static_cast<int>(std::clamp<long long>(ms, 0, 1000));
                timeout = timeout < 0 ? t : std::min(timeout, t);
            };
            if (!exited && io->pidfd < 0)
                shorten(50);
            // After the exit, output still in flight gets a short grace; a
            // grandchild holding the terminal may not stretch it.
            if (graceRuns)
                shorten(duration_cast<milliseconds>(exitOutputGrace - graceUsed).count() + 1);
            if (pasteDeadline)
                shorten(ceil<milliseconds>(*pasteDeadline - turnStart).count());
            // Quiet or not, the session is looked at now and then, so that a
            // remote session is seen while it connects, before it prints.
            const bool looks = trust && !outputEnded;
            std::optional<steady_clock::time_point> lookDue;
            if (looks) {
                // The flag goes up before the count is read, and input bumps
                // the count before it looks at the flag: either we see the
                // input here or it wakes us.
                io->looksSlowly = true;
                if (const auto inputs = io->inputs.load(); inputs != seenInputs) {
                    seenInputs = inputs;
                    trust->activity(turnStart);
                }
                const SessionTrust::Due due = trust->nextLook(turnStart);
                if (!due.idle)
                    io->looksSlowly = false;
                lookDue = due.at;
                shorten(ceil<milliseconds>(due.at - turnStart).count());
            }

            const int ready = poll(fds, count, timeout);
            if (ready < 0 && errno != EINTR) {
                platform::logError(logCategory, std::string("poll failed: ") + strerror(errno));
                std::this_thread::sleep_for(milliseconds(10));
            }
            if (io->stopRequested())
                return;
            if (fds[0].revents & POLLIN) {
                eventfd_t ignored;
                eventfd_read(shared->wakeFd, &ignored);
            }

            if (!exited && (pidIndex < 0 || (fds[pidIndex].revents & (POLLIN | POLLHUP | POLLERR)))) {
                if (tryReap(*io, status)) {
                    exited = true;
                    io->reaped = true;
                    shared->shellPid = 0;
                }
            }

            if (watchIndex >= 0 && (fds[watchIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
                close(watch.fd);
                watch.fd = -1;  // the same process is not watched again
                // Before what is read next: what the shell prints now is not the remote's.
                trust->watchedRemoteEnded();
                trust->lookNow(steady_clock::now(), ptyEmpty);
                watch.follow(trust->remotePid());
            }

            bool readThisTurn = false;
            if (masterIndex >= 0 && readEnabled && (fds[masterIndex].revents & (POLLIN | POLLHUP | POLLERR))) {
                std::size_t filled = 0;
                bool end = false;
                while (filled < buffer.size()) {
                    const ssize_t n = read(io->masterFd, buffer.data() + filled, buffer.size() - filled);
                    if (n > 0) {
                        filled += static_cast<std::size_t>(n);
                        continue;
                    }
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                        break;
                    end = true;  // 0 or EIO: every holder of the terminal's other side has gone
                    break;
                }
                if (filled > 0) {
                    if (exited)
                        readSinceExit += filled;
                    SessionTrust::Mark mark;
                    if (trust) {
                        mark = trust->outputRead(steady_clock::now(), !end && filled < buffer.size(), watch.fd >= 0,
                                                 ptyEmpty);
                        watch.follow(trust->remotePid());
                    }
                    handleChunk(shared, io, std::span(buffer.data(), filled), mark);
                    readThisTurn = true;
                }
                if (end) {
                    outputEnded = true;
                    shared->childfd = -1;
                    shared->running = false;
                }
            }

            if (looks && !outputEnded && !readThisTurn && steady_clock::now() >= *lookDue) {
                trust->lookNow(steady_clock::now(), ptyEmpty);
                watch.follow(trust->remotePid());
            }

            if (masterIndex >= 0 && wantWrite && (fds[masterIndex].revents & (POLLOUT | POLLHUP | POLLERR))) {
                flushWrites(*shared, *io);
            }
            if (pasteDeadline)
                cutStalledPastes(shared, *io, steady_clock::now());

            if (graceRuns)
                graceUsed += steady_clock::now() - turnStart;
            if (exited && !outputEnded && graceUsed >= exitOutputGrace) {
                // Whatever still holds the terminal outlived the child: hang
                // the rest of the session up rather than read it forever.
                hangUp(*io);
                outputEnded = true;
                shared->childfd = -1;
                shared->running = false;
            }
            if (outputEnded && trust && !trustClosed) {
                // What was read before the end and no look has covered yet is
                // covered by this one; after it, nothing more is answered.
                trust->lookNow(steady_clock::now(), ptyEmpty);
                trust->close();
                trustClosed = true;
            }
            if (exited && !exitReported) {
                const bool idle = ready == 0 && readEnabled;
                if (outputEnded || idle) {
                    reportExit(shared, io, status);
                    exitReported = true;
                }
            }
            if (exitReported && outputEnded)
                return;
        }
    }
};

LocalProcess::LocalProcess(LocalProcessDelegate* delegate, DeliveryQueue* dispatchQueue)
    : shared_(std::make_shared<Shared>())
{
    ignoreSigpipeOnce();
    shared_->selfWeak = shared_;
    shared_->queue = dispatchQueue ? dispatchQueue : DeliveryQueue::main();
    shared_->usesMainQueue = shared_->queue != nullptr && shared_->queue == DeliveryQueue::main();
    shared_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    shared_->owner = this;
    shared_->delegate = delegate;
    if (!shared_->queue)
        platform::logError(logCategory, "no delivery queue: processes cannot start");
}

LocalProcess::~LocalProcess()
{
    stopChild(false);
    std::lock_guard lock(shared_->gate);
    shared_->owner = nullptr;
    shared_->delegate = nullptr;
}

bool LocalProcess::startProcess(const std::string& executable, const std::vector<std::string>& args,
                                const std::optional<std::vector<std::string>>& environment,
                                const std::optional<std::string>& execName,
                                const std::optional<std::string>& currentDirectory)
{
    if (shared_->running)
        return false;
    if (!shared_->queue || shared_->wakeFd < 0)
        return false;

    winsize size{};
    {
        std::lock_guard lock(shared_->gate);
        if (shared_->delegate)
            size = shared_->delegate->getWindowSize();
    }
    std::vector<std::string> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(execName ? *execName : executable);
    argv.insert(argv.end(), args.begin(), args.end());
    const std::vector<std::string> env =
        environment ? *environment : Terminal::getEnvironmentVariables("xterm-256color", true);

    const auto start = PseudoTerminalHelpers::forkAndExec(executable, argv, env, currentDirectory, size);
    if (!start)
        return false;

    // The previous child, if any, is past its output: leave it to the reaper.
    stopChild(false);

    auto io = std::make_shared<ChildIo>();
    io->masterFd = start->masterFd;
    io->pid = start->pid;
    io->pidfd = static_cast<int>(syscall(SYS_pidfd_open, start->pid, 0U));
    if (io->pidfd >= 0)
        fcntl(io->pidfd, F_SETFD, FD_CLOEXEC);
    io->generation = ++shared_->generation;
    io->trust = std::make_shared<SessionTrust>(
        [probe = std::make_shared<RemoteSessionProbe>(start->masterFd, start->pid)] { return probe->look(); });
    {
        std::lock_guard lock(shared_->pendingLock);
        shared_->pendingExit.reset();
    }
    shared_->running = true;
    shared_->childfd = start->masterFd;
    shared_->shellPid = start->pid;
    try {
        io->thread = std::thread(Reader::loop, shared_, io);
    } catch (const std::system_error& e) {
        platform::logError(logCategory, std::string("cannot start the reader thread: ") + e.what());
        close(io->masterFd);
        ChildReaper::shared().adopt(io->pid, io->pidfd);
        shared_->running = false;
        shared_->childfd = -1;
        shared_->shellPid = 0;
        return false;
    }
    std::lock_guard lock(childMutex_);
    child_ = std::move(io);
    return true;
}

void LocalProcess::stopChild(bool sendTerm)
{
    std::shared_ptr<ChildIo> child;
    {
        std::lock_guard lock(childMutex_);
        child = std::move(child_);
    }
    if (!child)
        return;
    {
        std::lock_guard lock(child->syncMutex);
        child->stop = true;
    }
    child->syncCv.notify_all();
    shared_->wakeReader();
    if (child->thread.joinable())
        child->thread.join();
    {
        std::lock_guard lock(child->writeMutex);
        if (child->masterFd >= 0)
            close(child->masterFd);
        child->masterFd = -1;
    }
    if (child->reaped) {
        if (child->pidfd >= 0)
            close(child->pidfd);
    } else {
        if (sendTerm) {
            // Through the pidfd the signal cannot reach a recycled process id.
            if (child->pidfd >= 0) {
                syscall(SYS_pidfd_send_signal, child->pidfd, SIGTERM, nullptr, 0U);
            } else {
                kill(child->pid, SIGTERM);
            }
        }
        const platform::Scheduler* clock = nullptr;
        {
            std::lock_guard lock(shared_->pendingLock);
            clock = shared_->clock;
        }
        ChildReaper::shared().adopt(child->pid, child->pidfd, sendTerm ? std::optional(terminateGrace) : std::nullopt,
                                    clock);
    }
}

void LocalProcess::send(std::span<const std::uint8_t> data)
{
    queueInput(data, false, {});
}

void LocalProcess::sendPaste(std::span<const std::uint8_t> data, PasteFrame frame)
{
    queueInput(data, true, frame);
}

void LocalProcess::queueInput(std::span<const std::uint8_t> data, bool paste, PasteFrame frame)
{
    std::shared_ptr<ChildIo> child;
    {
        std::lock_guard lock(childMutex_);
        child = child_;
    }
    if (!shared_->running || !child)
        return;
    const std::size_t number = shared_->sendCount++;
    if (shared_->debugIO) {
        platform::logInfo(logCategory,
                          "[SEND-" + std::to_string(number) + "] Queuing data to client: " + byteList(data) + " ");
    }
    if (data.empty())
        return;
    ++child->inputs;
    std::optional<PasteDrop> dropped;
    bool queued = false;
    std::size_t written = 0;
    {
        std::lock_guard lock(child->writeMutex);
        if (child->writeFailed)
            return;
        const auto fits = [&] { return child->writeBytes + data.size() <= pendingWriteLimitBytes; };
        if (!fits() && paste) {
            dropped = PasteDrop::tooLarge;
        } else if (!fits()) {
            // Typed input goes before whatever of the waiting pastes is left.
            if (Reader::cutPastes(*shared_, *child, child->writes.size()))
                dropped = PasteDrop::notRead;
        }
        if (fits() && !paste && child->writes.empty() && child->masterFd >= 0) {
            // Nothing waits: write typed input now rather than wake the
            // reader for it, which keeps a keystroke's echo a thread hop shorter.
            written = Reader::writeNow(child->masterFd, data);
        }
        if (written == data.size()) {
            // Gone already.
        } else if (!fits()) {
            if (!paste && !child->overflowReported) {
                platform::logError(logCategory, "The child is not reading its input: dropping " +
                                                    std::to_string(data.size()) + " bytes");
                child->overflowReported = true;
            }
        } else {
            ChildIo::PendingWrite w;
            w.bytes.assign(data.begin(), data.end());
            w.offset = written;
            w.number = number;
            w.length = data.size();
            w.paste = paste;
            w.frame = frame;
            w.queued = std::chrono::steady_clock::now();
            child->writes.push_back(std::move(w));
            child->writeBytes += data.size();
            if (paste)
                ++child->pasteWrites;
            queued = true;
        }
    }
    if (written == data.size()) {
        ChildIo::PendingWrite done;
        done.number = number;
        done.length = data.size();
        Reader::completeWrite(*shared_, done);
    }
    if (dropped)
        Shared::postPasteDropped(shared_, *dropped);
    // A reader between idle looks looks again soon: what the input starts may be remote.
    if (child->looksSlowly.exchange(false) || queued)
        shared_->wakeReader();
}

void LocalProcess::resumeOutput()
{
    shared_->resumeDelivery(shared_);
}

bool LocalProcess::outputRemote(bool hostTrusts) const
{
    if (!hostTrusts)
        return true;
    if (!shared_->delivering)
        return false;
    if (shared_->deliveringRemote)
        return true;
    // Delivered late: a look since it was read may have seen who wrote it.
    std::uint64_t read = 0;
    const auto trust = deliveredTrust(read);
    return trust && trust->readSeenRemote(read);
}

// The trust that judges the output delivered last: none when that output is
// not the running child's (a previous child's, or delivered after terminate()).
std::shared_ptr<SessionTrust> LocalProcess::deliveredTrust(std::uint64_t& read) const
{
    const Shared::Delivered delivered = shared_->lastDelivered();
    read = delivered.read;
    std::lock_guard lock(childMutex_);
    if (!child_ || (delivered.generation != 0 && delivered.generation != child_->generation))
        return nullptr;
    return child_->trust;
}

RequestTrust LocalProcess::requestTrust(bool hostTrusts) const
{
    if (outputRemote(hostTrusts))
        return RequestTrust::untrusted;
    std::uint64_t read = 0;
    const auto trust = deliveredTrust(read);
    if (!trust) {
        // Output of a child that never started is none of a remote's; what
        // outlived its child can no longer be looked at.
        return shared_->generation == 0 ? RequestTrust::trusted : RequestTrust::untrusted;
    }
    switch (trust->answer(read)) {
    case SessionTrust::Answer::trusted: return RequestTrust::trusted;
    case SessionTrust::Answer::untrusted: return RequestTrust::untrusted;
    case SessionTrust::Answer::unknown: break;
    }
    return RequestTrust::unknown;
}

std::function<bool()> LocalProcess::requestTrustAwaiter() const
{
    std::uint64_t read = 0;
    auto trust = deliveredTrust(read);
    if (!trust)
        return {};
    // Longer than any look takes; a look that never ends leaves the request unanswered.
    return [trust = std::move(trust), read] { return trust->await(read, std::chrono::seconds(10)); };
}

std::optional<std::string> LocalProcess::foregroundProgram() const
{
    if (!shared_->running)
        return std::nullopt;
    return RemoteLoginProbe::foregroundProgram(shared_->childfd, shared_->shellPid);
}

void LocalProcess::terminate()
{
    ++shared_->generation;
    {
        std::lock_guard lock(shared_->pendingLock);
        shared_->pendingExit.reset();
    }
    stopChild(true);
    shared_->childfd = -1;
    shared_->running = false;
    shared_->shellPid = 0;
}

void LocalProcess::setHostLogging(std::optional<std::string> directory)
{
    std::lock_guard lock(shared_->loggingMutex);
    shared_->loggingDir = std::move(directory);
}

std::optional<std::string> LocalProcess::loggingDir() const
{
    std::lock_guard lock(shared_->loggingMutex);
    return shared_->loggingDir;
}

bool LocalProcess::running() const
{
    return shared_->running;
}
int LocalProcess::childfd() const
{
    return shared_->childfd;
}
pid_t LocalProcess::shellPid() const
{
    return shared_->shellPid;
}
bool LocalProcess::usesMainQueue() const
{
    return shared_->usesMainQueue;
}
bool LocalProcess::debugIO() const
{
    return shared_->debugIO;
}
void LocalProcess::setDebugIO(bool on)
{
    shared_->debugIO = on;
}
std::size_t LocalProcess::sendCount() const
{
    return shared_->sendCount;
}
std::size_t LocalProcess::total() const
{
    return shared_->total;
}

LocalProcessDelegate* LocalProcess::delegate() const
{
    std::lock_guard lock(shared_->gate);
    return shared_->delegate;
}

void LocalProcess::setDelegate(LocalProcessDelegate* delegate)
{
    std::lock_guard lock(shared_->gate);
    shared_->delegate = delegate;
}

void LocalProcess::setClock(const platform::Scheduler* clock)
{
    std::lock_guard lock(shared_->pendingLock);
    shared_->clock = clock;
}

}  // namespace ravelgrid
