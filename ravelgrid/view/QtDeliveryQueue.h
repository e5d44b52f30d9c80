#pragma once

#include "ravelgrid/process/DeliveryQueue.h"

#include <QObject>

#include <memory>

namespace ravelgrid {

// The delivery queue of the Qt main thread: tasks posted from any thread run
// in the event loop of the thread that created the queue, in the order
// posted. Tasks still queued when the queue is destroyed are dropped.
class QtDeliveryQueue final : public DeliveryQueue {
public:
    QtDeliveryQueue();
    ~QtDeliveryQueue() override;

    void post(Task task) override;

    // Creates the queue and makes it DeliveryQueue::main() until destroyed.
    static std::unique_ptr<QtDeliveryQueue> installAsMain();

private:
    std::unique_ptr<QObject> receiver_;
    bool installed_ = false;
};

}  // namespace ravelgrid
