#include "ravelgrid/gpu/opengl/OpenGlBackend.h"

#include <cstring>
#include <limits>

namespace ravelgrid {

OpenGlTexture::OpenGlTexture(std::shared_ptr<OpenGlContext> context, GpuTextureFormat format, int side, unsigned name)
    : context_(std::move(context)), format_(format), side_(side), name_(name)
{}

OpenGlTexture::~OpenGlTexture()
{
    OpenGlContext::Scope scope(*context_);
    if (scope.ok())
        context_->gl().glDeleteTextures(1, &name_);
}

OpenGlBuffer::OpenGlBuffer(std::shared_ptr<OpenGlContext> context, std::size_t length)
    : context_(std::move(context)), bytes_(length)
{}

OpenGlBuffer::~OpenGlBuffer()
{
    if (name_ == 0)
        return;
    OpenGlContext::Scope scope(*context_);
    if (scope.ok())
        context_->gl().glDeleteBuffers(1, &name_);
}

bool OpenGlBuffer::bindForDraw()
{
    auto& gl = context_->gl();
    if (name_ == 0)
        gl.glGenBuffers(1, &name_);
    if (name_ == 0)
        return false;
    gl.glBindBuffer(GL_ARRAY_BUFFER, name_);
    if (!changed_)
        return true;
    if (bytes_.size() > static_cast<std::size_t>(std::numeric_limits<GLsizeiptr>::max()))
        return false;
    gl.glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(bytes_.size()), bytes_.data(), GL_STATIC_DRAW);
    changed_ = false;
    return true;
}

OpenGlBackend::OpenGlBackend(std::shared_ptr<OpenGlContext> context) : context_(std::move(context))
{}

void OpenGlBackend::noteError(unsigned error)
{
    if (error == GL_OUT_OF_MEMORY)
        outOfMemory_ = true;
}

std::shared_ptr<GpuBuffer> OpenGlBackend::makeBuffer(std::size_t length)
{
    if (length == 0 || !context_->alive())
        return nullptr;
    return std::make_shared<OpenGlBuffer>(context_, length);
}

std::shared_ptr<GpuTexture> OpenGlBackend::makeTexture(GpuTextureFormat format, int side)
{
    OpenGlContext::Scope scope(*context_);
    if (!scope.ok() || side <= 0)
        return nullptr;
    auto limit = maxTextureSize();
    if (!limit || side > *limit)
        return nullptr;
    auto& gl = context_->gl();
    while (gl.glGetError() != GL_NO_ERROR) {
    }
    GLuint name = 0;
    gl.glGenTextures(1, &name);
    if (name == 0)
        return nullptr;
    gl.glBindTexture(GL_TEXTURE_2D, name);
    const bool gray = format == GpuTextureFormat::r8;
    gl.glTexImage2D(GL_TEXTURE_2D, 0, gray ? GL_R8 : GL_RGBA8, side, side, 0, gray ? GL_RED : GL_BGRA, GL_UNSIGNED_BYTE,
                    nullptr);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    gl.glBindTexture(GL_TEXTURE_2D, 0);
    if (GLenum error = gl.glGetError(); error != GL_NO_ERROR) {
        noteError(error);
        gl.glDeleteTextures(1, &name);
        return nullptr;
    }
    return std::make_shared<OpenGlTexture>(context_, format, side, name);
}

bool OpenGlBackend::uploadRegion(GpuTexture& texture, GpuRect rect, std::span<const std::uint8_t> bytes,
                                 std::size_t rowLength)
{
    auto* target = dynamic_cast<OpenGlTexture*>(&texture);
    if (!target || rect.x < 0 || rect.y < 0 || rect.width <= 0 || rect.height <= 0)
        return false;
    if (rect.width > target->side() - rect.x || rect.height > target->side() - rect.y)
        return false;
    if (rowLength < static_cast<std::size_t>(rect.width) || rowLength > static_cast<std::size_t>(target->side()))
        return false;
    const std::size_t texel = static_cast<std::size_t>(bytesPerTexel(target->format()));
    const std::size_t needed =
        ((static_cast<std::size_t>(rect.height) - 1) * rowLength + static_cast<std::size_t>(rect.width)) * texel;
    if (bytes.size() < needed)
        return false;
    OpenGlContext::Scope scope(*context_);
    if (!scope.ok())
        return false;
    auto& gl = context_->gl();
    while (gl.glGetError() != GL_NO_ERROR) {
    }
    gl.glBindTexture(GL_TEXTURE_2D, target->name());
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(rowLength));
    const bool gray = target->format() == GpuTextureFormat::r8;
    gl.glTexSubImage2D(GL_TEXTURE_2D, 0, rect.x, rect.y, rect.width, rect.height, gray ? GL_RED : GL_BGRA,
                       GL_UNSIGNED_BYTE, bytes.data());
    gl.glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    gl.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl.glBindTexture(GL_TEXTURE_2D, 0);
    if (GLenum error = gl.glGetError(); error != GL_NO_ERROR) {
        noteError(error);
        return false;
    }
    return true;
}

std::optional<int> OpenGlBackend::maxTextureSize() const
{
    OpenGlContext::Scope scope(*context_);
    if (!scope.ok())
        return std::nullopt;
    GLint size = 0;
    context_->gl().glGetIntegerv(GL_MAX_TEXTURE_SIZE, &size);
    if (size <= 0)
        return std::nullopt;
    return size;
}

}  // namespace ravelgrid
