#include "ravelgrid/process/DeliveryQueue.h"

#include <atomic>

namespace ravelgrid {
namespace {
std::atomic<DeliveryQueue*> mainQueue{nullptr};
}

DeliveryQueue* DeliveryQueue::main()
{
    return mainQueue.load(std::memory_order_acquire);
}

void DeliveryQueue::setMain(DeliveryQueue* queue)
{
    mainQueue.store(queue, std::memory_order_release);
}

}  // namespace ravelgrid
