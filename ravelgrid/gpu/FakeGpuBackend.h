#pragma once

#include "ravelgrid/gpu/GpuBackend.h"

#include <functional>
#include <vector>

namespace ravelgrid {

// A backend that keeps texels and buffer bytes in memory, for tests and
// benchmarks; any call can be made to fail.
class FakeGpuBackend final : public GpuBackend {
public:
    class Texture final : public GpuTexture {
    public:
        Texture(GpuTextureFormat format, int side)
            : format_(format), side_(side),
              texels_(std::size_t(side) * std::size_t(side) * std::size_t(bytesPerTexel(format)))
        {}
        GpuTextureFormat format() const override { return format_; }
        int side() const override { return side_; }
        const std::vector<std::uint8_t>& texels() const { return texels_; }
        std::vector<std::uint8_t>& texels() { return texels_; }

    private:
        GpuTextureFormat format_;
        int side_;
        std::vector<std::uint8_t> texels_;
    };

    class Buffer final : public GpuBuffer {
    public:
        explicit Buffer(std::size_t length) : bytes_(length) {}
        std::size_t length() const override { return bytes_.size(); }
        std::span<std::byte> contents() override { return bytes_; }

    private:
        std::vector<std::byte> bytes_;
    };

    std::shared_ptr<GpuBuffer> makeBuffer(std::size_t length) override;
    std::shared_ptr<GpuTexture> makeTexture(GpuTextureFormat format, int side) override;
    bool uploadRegion(GpuTexture& texture, GpuRect rect, std::span<const std::uint8_t> bytes,
                      std::size_t rowLength) override;
    std::optional<int> maxTextureSize() const override { return maxTextureSide; }

    // Settings a test may change at any time.
    std::optional<int> maxTextureSide = 16384;
    std::function<bool(GpuTextureFormat, int side)> failTexture;  // true: fail this one
    std::function<bool(std::size_t length)> failBuffer;
    bool failUploads = false;

    // What happened so far.
    int texturesMade = 0;
    int buffersMade = 0;
    int uploads = 0;
    std::size_t texelsUploaded = 0;
};

}  // namespace ravelgrid
