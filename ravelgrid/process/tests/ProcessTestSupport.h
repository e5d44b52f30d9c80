#pragma once

#include "ravelgrid/process/LocalProcess.h"
#include "ravelgrid/process/RunLoop.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace ravelgrid::test {

// Records what a process reports; safe to read from another thread.
class RecordingDelegate : public LocalProcessDelegate {
public:
    void processTerminated(LocalProcess& source, std::optional<int> exitCode) override
    {
        std::function<void(LocalProcess&)> hook;
        {
            std::lock_guard lock(mutex_);
            exit_ = exitCode;
            ++exitCount_;
            outputAtExit_ = output_.size();
            hook = onExit;
        }
        if (hook)
            hook(source);
    }

    void dataReceived(std::span<const std::uint8_t> slice) override
    {
        std::lock_guard lock(mutex_);
        if (keepOutput)
            output_.append(reinterpret_cast<const char*>(slice.data()), slice.size());
        ++chunks_;
        maxChunk_ = std::max(maxChunk_, slice.size());
        thread_ = std::this_thread::get_id();
        if (onData)
            onData(slice);
    }

    winsize getWindowSize() override { return size; }

    void pasteDropped(PasteDrop why) override
    {
        std::lock_guard lock(mutex_);
        pasteDrops_.push_back(why);
    }
    std::vector<PasteDrop> pasteDrops() const
    {
        std::lock_guard lock(mutex_);
        return pasteDrops_;
    }

    bool exited() const
    {
        std::lock_guard lock(mutex_);
        return exitCount_ > 0;
    }
    std::optional<int> exitStatus() const
    {
        std::lock_guard lock(mutex_);
        return exit_;
    }
    int exitCount() const
    {
        std::lock_guard lock(mutex_);
        return exitCount_;
    }
    std::string output() const
    {
        std::lock_guard lock(mutex_);
        return output_;
    }
    std::size_t outputAtExit() const
    {
        std::lock_guard lock(mutex_);
        return outputAtExit_;
    }
    std::size_t chunks() const
    {
        std::lock_guard lock(mutex_);
        return chunks_;
    }
    std::size_t maxChunk() const
    {
        std::lock_guard lock(mutex_);
        return maxChunk_;
    }
    std::thread::id deliveryThread() const
    {
        std::lock_guard lock(mutex_);
        return thread_;
    }
    bool outputContains(const std::string& text) const { return output().find(text) != std::string::npos; }

    winsize size{25, 80, 0, 0};
    bool keepOutput = true;
    std::function<void(LocalProcess&)> onExit;
    std::function<void(std::span<const std::uint8_t>)> onData;  // called under the recorder's lock

private:
    mutable std::mutex mutex_;
    std::string output_;
    std::optional<int> exit_;
    int exitCount_ = 0;
    std::size_t outputAtExit_ = 0;
    std::size_t chunks_ = 0;
    std::size_t maxChunk_ = 0;
    std::thread::id thread_;
    std::vector<PasteDrop> pasteDrops_;
};

// A run loop registered as the main delivery queue for the test's life.
class MainLoopScope {
public:
    MainLoopScope() { DeliveryQueue::setMain(&loop); }
    ~MainLoopScope() { DeliveryQueue::setMain(nullptr); }
    RunLoop loop;
};

inline bool processGone(pid_t pid)
{
    return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

// Processes (zombies included) whose session is `sid`, read from /proc.
inline std::vector<pid_t> sessionMembers(pid_t sid)
{
    std::vector<pid_t> members;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        // pid (comm) state ppid pgrp session ...; comm may hold anything but ends at the last ')'.
        const auto close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(text.substr(close + 1));
        std::string state;
        long ppid = 0, pgrp = 0, session = 0;
        if (fields >> state >> ppid >> pgrp >> session && session == sid)
            members.push_back(std::stoi(name));
    }
    return members;
}

// Test clean-up: kills what is left of a session the test started.
inline void killSession(pid_t sid)
{
    for (const pid_t pid : sessionMembers(sid))
        kill(pid, SIGKILL);
}

inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Resident memory of this process in bytes.
inline std::size_t residentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            std::istringstream fields(line.substr(6));
            std::size_t kb = 0;
            fields >> kb;
            return kb * 1024;
        }
    }
    return 0;
}

constexpr auto kTimeout = std::chrono::seconds(20);

// A host on loopback that fake clients connect to; it accepts none, so its
// queue holds as many as the kernel lets it.
class LoopbackHost {
public:
    LoopbackHost()
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd_, SOMAXCONN) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    LoopbackHost(const LoopbackHost&) = delete;
    LoopbackHost& operator=(const LoopbackHost&) = delete;
    ~LoopbackHost() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port_ = 0;
};

}  // namespace ravelgrid::test
