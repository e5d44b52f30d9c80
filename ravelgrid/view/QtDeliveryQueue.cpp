#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QMetaObject>

namespace ravelgrid {

QtDeliveryQueue::QtDeliveryQueue() : receiver_(std::make_unique<QObject>())
{}

QtDeliveryQueue::~QtDeliveryQueue()
{
    if (installed_ && DeliveryQueue::main() == this)
        DeliveryQueue::setMain(nullptr);
}

void QtDeliveryQueue::post(Task task)
{
    if (!task)
        return;
    // Queued to the receiver's thread; Qt drops the call if the receiver is
    // gone by then.
    QMetaObject::invokeMethod(receiver_.get(), std::move(task), Qt::QueuedConnection);
}

std::unique_ptr<QtDeliveryQueue> QtDeliveryQueue::installAsMain()
{
    auto queue = std::make_unique<QtDeliveryQueue>();
    queue->installed_ = true;
    DeliveryQueue::setMain(queue.get());
    return queue;
}

}  // namespace ravelgrid
