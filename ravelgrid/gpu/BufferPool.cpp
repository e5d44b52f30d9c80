#include "ravelgrid/gpu/BufferPool.h"

#include <bit>
#include <limits>

namespace ravelgrid {

BufferPool::BufferPool(GpuBackend& backend, std::size_t alignment, std::size_t maxBuffersPerSize)
    : backend_(backend), alignment_(alignment == 0 ? 1 : alignment), maxBuffersPerSize_(maxBuffersPerSize)
{}

std::size_t BufferPool::sizeClass(std::size_t byteCount) const
{
    if (byteCount == 0)
        return 0;
    if (byteCount <= 4096)
        return 4096;
    // Beyond this no power of two exists in size_t.
    if (byteCount > (std::numeric_limits<std::size_t>::max() >> 1) + 1)
        return 0;
    const std::size_t p = std::bit_ceil(byteCount);
    return (p + alignment_ - 1) / alignment_ * alignment_;
}

std::shared_ptr<GpuBuffer> BufferPool::makeBuffer(std::size_t length)
{
    if (length == 0)
        return nullptr;
    {
        std::lock_guard guard(lock_);
        if (auto it = available_.find(length); it != available_.end() && !it->second.empty()) {
            std::shared_ptr<GpuBuffer> b = std::move(it->second.back());
            it->second.pop_back();
            return b;
        }
    }
    return backend_.makeBuffer(length);
}

void BufferPool::recycle(std::vector<std::shared_ptr<GpuBuffer>> buffers)
{
    std::vector<std::shared_ptr<GpuBuffer>> dropped;
    {
        std::lock_guard guard(lock_);
        for (auto& b : buffers) {
            if (!b)
                continue;
            auto& list = available_[b->length()];
            if (list.size() >= maxBuffersPerSize_)
                dropped.push_back(std::move(b));
            else
                list.push_back(std::move(b));
        }
    }
    // Released here, outside the lock.
}

std::size_t BufferPool::idleCount(std::size_t length) const
{
    std::lock_guard guard(lock_);
    auto it = available_.find(length);
    return it == available_.end() ? 0 : it->second.size();
}

}  // namespace ravelgrid
