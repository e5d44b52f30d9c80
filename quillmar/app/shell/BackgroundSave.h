#pragma once

#include <QObject>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

namespace quillmar {

// One save of a view at a time, run on a thread of its own so that waiting
// for another window's lock or for ssh's check never holds up the window;
// the result comes back on the view's thread. The work gets only what it
// owns (copies of the writer and of the plan). A member of the view it
// serves: when the view goes first, the result is dropped. When the
// application ends, it waits a bounded time for saves still running, so a
// save under way is finished rather than cut off.
class BackgroundSave {
public:
    explicit BackgroundSave(QObject* owner);
    ~BackgroundSave();
    BackgroundSave(const BackgroundSave&) = delete;
    BackgroundSave& operator=(const BackgroundSave&) = delete;

    bool running() const { return running_; }

    // Runs `work()` on a worker unless a save is already running, then
    // `done(result)` on the owner's thread. False when nothing was started;
    // without a thread to be had, the work runs here and now.
    template <class Work, class Done>
    bool start(Work work, Done done)
    {
        using R = std::invoke_result_t<Work&>;
        auto result = std::make_shared<std::optional<R>>();
        return launch([work = std::move(work), result]() mutable { result->emplace(work()); },
                      [done = std::move(done), result]() mutable { done(std::move(**result)); });
    }

    // How long the end of the application waits for running saves: longer
    // than a writer waits for a lock plus ssh's check.
    static constexpr std::chrono::milliseconds kQuitWait{15000};
    // Waits up to `limit` for every running save; true when none is left.
    static bool waitForAll(std::chrono::milliseconds limit);

private:
    struct Mailbox;
    bool launch(std::function<void()> work, std::function<void()> deliver);
    void finish();

    QObject* owner_;
    std::shared_ptr<Mailbox> mailbox_;
    std::function<void()> deliver_;
    bool running_ = false;
};

}  // namespace quillmar
