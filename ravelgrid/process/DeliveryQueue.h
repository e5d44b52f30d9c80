#pragma once

#include <functional>

namespace ravelgrid {

// Where a process hands its output, exit and other reports to its owner.
// The host implements it: the Qt main thread in the application, a RunLoop
// in headless use and tests. Tasks posted from one thread run in the order
// posted; post() may be called from any thread and must not block for long.
class DeliveryQueue {
public:
    using Task = std::function<void()>;

    DeliveryQueue() = default;
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;
    virtual ~DeliveryQueue() = default;

    virtual void post(Task task) = 0;

    // The queue of the thread that owns the user interface. Output bound for
    // it is paced in short turns with back-pressure; output for any other
    // queue is handed over synchronously from the reading thread.
    static DeliveryQueue* main();
    static void setMain(DeliveryQueue* queue);
};

}  // namespace ravelgrid
