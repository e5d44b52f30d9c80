#pragma once

#include "ravelgrid/gpu/GpuBackend.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace ravelgrid {

// Recycles the buffers a frame uploads its vertex data into. Lengths come in
// a few size classes so that idle buffers fit the next frame; at most
// maxBuffersPerSize idle buffers are kept per length. makeBuffer runs on the
// main thread, recycle wherever the frame's completion is seen.
class BufferPool {
public:
    explicit BufferPool(GpuBackend& backend, std::size_t alignment = 256, std::size_t maxBuffersPerSize = 4);

    // The length to ask for a list of `byteCount` bytes: 0 for none, 4096
    // up to 4096, else the next power of two (a multiple of the alignment).
    std::size_t sizeClass(std::size_t byteCount) const;

    std::shared_ptr<GpuBuffer> makeBuffer(std::size_t length);
    void recycle(std::vector<std::shared_ptr<GpuBuffer>> buffers);

    std::size_t idleCount(std::size_t length) const;

    // The buffers handed out for the frame being encoded (main thread).
    std::vector<std::shared_ptr<GpuBuffer>> frameBuffers;

private:
    GpuBackend& backend_;
    const std::size_t alignment_;
    const std::size_t maxBuffersPerSize_;
    mutable std::mutex lock_;
    std::map<std::size_t, std::vector<std::shared_ptr<GpuBuffer>>> available_;
};

}  // namespace ravelgrid
