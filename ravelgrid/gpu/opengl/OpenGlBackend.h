#pragma once

#include "ravelgrid/gpu/GpuBackend.h"
#include "ravelgrid/gpu/opengl/OpenGlContext.h"

#include <vector>

namespace ravelgrid {

class OpenGlTexture final : public GpuTexture {
public:
    OpenGlTexture(std::shared_ptr<OpenGlContext> context, GpuTextureFormat format, int side, unsigned name);
    ~OpenGlTexture() override;
    GpuTextureFormat format() const override { return format_; }
    int side() const override { return side_; }
    unsigned name() const { return name_; }

private:
    std::shared_ptr<OpenGlContext> context_;
    GpuTextureFormat format_;
    int side_;
    unsigned name_;
};

// CPU-written records, copied into a GL buffer when a draw needs them.
class OpenGlBuffer final : public GpuBuffer {
public:
    OpenGlBuffer(std::shared_ptr<OpenGlContext> context, std::size_t length);
    ~OpenGlBuffer() override;
    std::size_t length() const override { return bytes_.size(); }
    // Handing out the bytes marks them changed: the next draw sends them.
    std::span<std::byte> contents() override
    {
        changed_ = true;
        return bytes_;
    }
    // Binds the GL buffer to GL_ARRAY_BUFFER holding the current contents,
    // sent only when they were handed out since; the context must be
    // current. False when GL refused it.
    bool bindForDraw();
    unsigned name() const { return name_; }
    // The records as last written, without marking them changed.
    std::span<const std::byte> bytes() const { return bytes_; }

private:
    std::shared_ptr<OpenGlContext> context_;
    std::vector<std::byte> bytes_;
    unsigned name_ = 0;
    bool changed_ = true;
};

// GpuBackend over the current OpenGL 3.3 core context: R8 and RGBA8
// textures, BGRA texels uploaded as GL_BGRA.
class OpenGlBackend final : public GpuBackend {
public:
    explicit OpenGlBackend(std::shared_ptr<OpenGlContext> context);
    std::shared_ptr<GpuBuffer> makeBuffer(std::size_t length) override;
    std::shared_ptr<GpuTexture> makeTexture(GpuTextureFormat format, int side) override;
    bool uploadRegion(GpuTexture& texture, GpuRect rect, std::span<const std::uint8_t> bytes,
                      std::size_t rowLength) override;
    std::optional<int> maxTextureSize() const override;

    const std::shared_ptr<OpenGlContext>& context() const { return context_; }
    // Set once GL reported GL_OUT_OF_MEMORY; the frame then fails.
    bool outOfMemory() const { return outOfMemory_; }
    void noteError(unsigned error);

private:
    std::shared_ptr<OpenGlContext> context_;
    bool outOfMemory_ = false;
};

}  // namespace ravelgrid
