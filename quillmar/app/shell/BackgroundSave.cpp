#include "quillmar/app/shell/BackgroundSave.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace quillmar {

// What a worker shares with the view: the save to hand the result to, none
// once the view is gone.
struct BackgroundSave::Mailbox {
    std::mutex mutex;
    BackgroundSave* save = nullptr;
};

namespace {

// The workers still running. Never destroyed: a worker that outlives the
// wait at the end of the application still counts itself out here.
struct Workers {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
    bool waitAtQuit = false;
};

Workers& workers()
{
    static Workers* all = new Workers;
    return *all;
}

void waitAtQuit()
{
    {
        std::lock_guard lock(workers().mutex);
        workers().waitAtQuit = false;
    }
    BackgroundSave::waitForAll(BackgroundSave::kQuitWait);
}

}  // namespace

BackgroundSave::BackgroundSave(QObject* owner) : owner_(owner), mailbox_(std::make_shared<Mailbox>())
{
    mailbox_->save = this;
}

BackgroundSave::~BackgroundSave()
{
    std::lock_guard lock(mailbox_->mutex);
    mailbox_->save = nullptr;
}

bool BackgroundSave::waitForAll(std::chrono::milliseconds limit)
{
    Workers& all = workers();
    std::unique_lock lock(all.mutex);
    return all.ended.wait_for(lock, limit, [&] { return all.running == 0; });
}

bool BackgroundSave::launch(std::function<void()> work, std::function<void()> deliver)
{
    if (running_)
        return false;
    running_ = true;
    deliver_ = std::move(deliver);
    {
        std::lock_guard lock(workers().mutex);
        ++workers().running;
        if (!workers().waitAtQuit && QCoreApplication::instance()) {
            // Called from the application's destructor, after the windows are gone.
            qAddPostRoutine(waitAtQuit);
            workers().waitAtQuit = true;
        }
    }
    auto job =
        std::make_shared<std::function<void()>>([work = std::move(work), mailbox = mailbox_, owner = owner_]() mutable {
            work();
            work = nullptr;
            {
                // The owner lives as long as its save is in the mailbox;
                // an answer posted to it goes with it.
                std::lock_guard lock(mailbox->mutex);
                if (mailbox->save)
                    QMetaObject::invokeMethod(
                        owner,
                        [mailbox] {
                            if (BackgroundSave* save = mailbox->save)
                                save->finish();
                        },
                        Qt::QueuedConnection);
            }
            std::lock_guard lock(workers().mutex);
            --workers().running;
            workers().ended.notify_all();
        });
    try {
        std::thread([job] { (*job)(); }).detach();
    } catch (const std::system_error&) {
        (*job)();
    }
    return true;
}

void BackgroundSave::finish()
{
    running_ = false;
    auto deliver = std::move(deliver_);
    deliver_ = nullptr;
    deliver();
}

}  // namespace quillmar
