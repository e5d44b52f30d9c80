#pragma once

namespace ravelgrid {

// How a frame's rows reach the GPU: each row in buffers of its own, kept
// while the row is unchanged, or every row in one set of buffers per frame.
enum class BufferingMode { perRowPersistent, perFrameAggregated };

}  // namespace ravelgrid
