#include "ravelgrid/gpu/opengl/OpenGlPipelines.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

namespace ravelgrid {
namespace {

struct PipelineSpec {
    std::string_view vertex;
    std::string_view fragment;
    bool premultiplied;
    bool instanced;
};

// In the order of OpenGlPipeline.
constexpr std::array<PipelineSpec, 6> specs{{
    {"terminal_text_vertex", "terminal_text_fragment", true, false},
    {"terminal_text_vertex", "terminal_text_fragment_gray", true, false},
    {"terminal_color_vertex", "terminal_color_fragment", false, false},
    {"terminal_cell_text_vertex", "terminal_text_fragment", true, true},
    {"terminal_cell_text_vertex", "terminal_text_fragment_gray", true, true},
    {"terminal_cell_color_vertex", "terminal_color_fragment", false, true},
}};

std::string shaderLog(QOpenGLFunctions_3_3_Core& gl, GLuint shader)
{
    GLint length = 0;
    gl.glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
    std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
    if (length > 0)
        gl.glGetShaderInfoLog(shader, length, nullptr, text.data());
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n'))
        text.pop_back();
    return text;
}

std::string programLog(QOpenGLFunctions_3_3_Core& gl, GLuint program)
{
    GLint length = 0;
    gl.glGetProgramiv(program, GL_INFO_LOG_LENGTH, &length);
    std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
    if (length > 0)
        gl.glGetProgramInfoLog(program, length, nullptr, text.data());
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n'))
        text.pop_back();
    return text;
}

const void* offset(std::size_t bytes)
{
    return reinterpret_cast<const void*>(bytes);
}

}  // namespace

std::variant<std::unique_ptr<OpenGlPipelines>, GpuError> OpenGlPipelines::create(std::shared_ptr<OpenGlContext> context,
                                                                                 const OpenGlShaderLibrary& library)
{
    std::unique_ptr<OpenGlPipelines> made(new OpenGlPipelines(context));
    OpenGlContext::Scope scope(*context);
    if (!scope.ok())
        return GpuError(GpuError::Kind::deviceUnavailable);
    auto& gl = context->gl();

    // Each function compiles once; programs share the stages.
    std::array<GLuint, OpenGlShaderLibrary::requiredFunctions.size()> shaders{};
    auto deleteShaders = [&] {
        for (GLuint shader : shaders)
            if (shader)
                gl.glDeleteShader(shader);
    };
    for (std::size_t i = 0; i < shaders.size(); ++i) {
        std::string_view name = OpenGlShaderLibrary::requiredFunctions[i];
        const bool vertex = name.ends_with("_vertex");
        shaders[i] = gl.glCreateShader(vertex ? GL_VERTEX_SHADER : GL_FRAGMENT_SHADER);
        std::string text = library.stageSource(name);
        const char* pointer = text.c_str();
        gl.glShaderSource(shaders[i], 1, &pointer, nullptr);
        gl.glCompileShader(shaders[i]);
        GLint compiled = 0;
        gl.glGetShaderiv(shaders[i], GL_COMPILE_STATUS, &compiled);
        if (!compiled) {
            std::string detail(name);
            detail.append(": ").append(shaderLog(gl, shaders[i]));
            deleteShaders();
            return GpuError(GpuError::Kind::shaderCompilationFailed, std::move(detail));
        }
    }
    auto shaderFor = [&](std::string_view name) {
        for (std::size_t i = 0; i < shaders.size(); ++i)
            if (OpenGlShaderLibrary::requiredFunctions[i] == name)
                return shaders[i];
        return GLuint{0};
    };
    for (std::size_t i = 0; i < specs.size(); ++i) {
        GLuint program = gl.glCreateProgram();
        made->programs_[i] = program;
        gl.glAttachShader(program, shaderFor(specs[i].vertex));
        gl.glAttachShader(program, shaderFor(specs[i].fragment));
        gl.glLinkProgram(program);
        GLint linked = 0;
        gl.glGetProgramiv(program, GL_LINK_STATUS, &linked);
        if (!linked) {
            std::string log = programLog(gl, program);
            deleteShaders();
            return GpuError::pipelineCreationFailed(log);
        }
        gl.glUseProgram(program);
        made->viewportLocations_[i] = gl.glGetUniformLocation(program, "viewport");
        made->fromRecordsLocations_[i] = gl.glGetUniformLocation(program, "fromRecords");
        if (GLint atlas = gl.glGetUniformLocation(program, "atlas"); atlas >= 0)
            gl.glUniform1i(atlas, 0);
        if (GLint records = gl.glGetUniformLocation(program, "records"); records >= 0)
            gl.glUniform1i(records, 1);
    }
    gl.glUseProgram(0);
    deleteShaders();

    gl.glGenSamplers(1, &made->sampler_);
    if (made->sampler_ == 0)
        return GpuError(GpuError::Kind::samplerUnavailable);
    gl.glSamplerParameteri(made->sampler_, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    gl.glSamplerParameteri(made->sampler_, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    gl.glSamplerParameteri(made->sampler_, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    gl.glSamplerParameteri(made->sampler_, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    gl.glGenVertexArrays(1, &made->vertexArray_);
    if (made->vertexArray_ == 0)
        return GpuError::pipelineCreationFailed({});
    gl.glGenTextures(1, &made->recordTexture_);
    GLint texels = 0;
    gl.glGetIntegerv(GL_MAX_TEXTURE_BUFFER_SIZE, &texels);
    made->maxRecordTexels_ = static_cast<std::size_t>(std::max(texels, 0));
    return made;
}

OpenGlPipelines::~OpenGlPipelines()
{
    release();
}

void OpenGlPipelines::release()
{
    OpenGlContext::Scope scope(*context_);
    if (!scope.ok())
        return;
    auto& gl = context_->gl();
    for (GLuint program : programs_)
        if (program)
            gl.glDeleteProgram(program);
    if (sampler_)
        gl.glDeleteSamplers(1, &sampler_);
    if (vertexArray_)
        gl.glDeleteVertexArrays(1, &vertexArray_);
    if (recordTexture_)
        gl.glDeleteTextures(1, &recordTexture_);
    if (indexBuffer_)
        gl.glDeleteBuffers(1, &indexBuffer_);
    indexBuffer_ = 0;
    programs_ = {};
    sampler_ = 0;
    vertexArray_ = 0;
    recordTexture_ = 0;
}

bool OpenGlPipelines::ensureIndices(std::size_t records)
{
    auto& gl = context_->gl();
    if (indexBuffer_ == 0)
        gl.glGenBuffers(1, &indexBuffer_);
    if (indexBuffer_ == 0)
        return false;
    // Bound while the vertex array is, so the array keeps it.
    gl.glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, indexBuffer_);
    if (records <= indexRecords_)
        return true;
    std::size_t capacity = std::max<std::size_t>(indexRecords_, 4096);
    while (capacity < records)
        capacity *= 2;
    if (capacity > std::numeric_limits<GLuint>::max() / 4)
        return false;
    std::vector<GLuint> indices(capacity * 6);
    for (std::size_t record = 0; record < capacity; ++record) {
        const auto first = static_cast<GLuint>(record * 4);
        const GLuint corners[6] = {first, first + 1, first + 2, first + 1, first + 3, first + 2};
        std::copy(std::begin(corners), std::end(corners), indices.begin() + static_cast<std::ptrdiff_t>(record * 6));
    }
    gl.glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(indices.size() * sizeof(GLuint)), indices.data(),
                    GL_STATIC_DRAW);
    indexRecords_ = capacity;
    return true;
}

bool OpenGlPipelines::draw(OpenGlPipeline pipeline, OpenGlBuffer& buffer, std::size_t count,
                           const OpenGlTexture* texture, float viewportWidth, float viewportHeight)
{
    if (count == 0)
        return true;
    const auto index = static_cast<std::size_t>(pipeline);
    const PipelineSpec& spec = specs[index];
    const std::size_t stride =
        pipeline == OpenGlPipeline::cellText || pipeline == OpenGlPipeline::cellTextGray ? 48 : 32;
    if (count > buffer.length() / stride || count > static_cast<std::size_t>(std::numeric_limits<GLsizei>::max() / 6))
        return false;
    auto& gl = context_->gl();
    gl.glBindVertexArray(vertexArray_);
    gl.glUseProgram(programs_[index]);
    gl.glUniform2f(viewportLocations_[index], viewportWidth, viewportHeight);
    gl.glEnable(GL_BLEND);
    gl.glBlendEquationSeparate(GL_FUNC_ADD, GL_FUNC_ADD);
    gl.glBlendFuncSeparate(spec.premultiplied ? GL_ONE : GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE,
                           GL_ONE_MINUS_SRC_ALPHA);
    if (texture) {
        gl.glActiveTexture(GL_TEXTURE0);
        gl.glBindTexture(GL_TEXTURE_2D, texture->name());
        gl.glBindSampler(0, sampler_);
    }
    if (!buffer.bindForDraw())
        return false;
    for (GLuint location = 0; location < 5; ++location)
        gl.glDisableVertexAttribArray(location);
    // Cell records are read by vertex id from a buffer texture: one draw of
    // six vertices per record, which software rasterisers take in one batch
    // where they would run every instance through their pipeline alone.
    // A buffer past the texture's limit is drawn as instances instead.
    const std::size_t texels = buffer.length() / 16;
    const bool fromRecords = spec.instanced && recordTexture_ != 0 && texels <= maxRecordTexels_;
    if (fromRecordsLocations_[index] >= 0)
        gl.glUniform1i(fromRecordsLocations_[index], fromRecords ? 1 : 0);
    if (fromRecords) {
        if (!ensureIndices(count))
            return false;
        gl.glActiveTexture(GL_TEXTURE1);
        gl.glBindTexture(GL_TEXTURE_BUFFER, recordTexture_);
        gl.glTexBuffer(GL_TEXTURE_BUFFER, GL_RGBA32F, buffer.name());
        gl.glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(count * 6), GL_UNSIGNED_INT, nullptr);
        gl.glActiveTexture(GL_TEXTURE0);
    } else {
        const GLuint divisor = spec.instanced ? 1 : 0;
        auto attribute = [&](GLuint location, GLint size, std::size_t at) {
            gl.glEnableVertexAttribArray(location);
            gl.glVertexAttribPointer(location, size, GL_FLOAT, GL_FALSE, static_cast<GLsizei>(stride), offset(at));
            gl.glVertexAttribDivisor(location, divisor);
        };
        attribute(0, 2, 0);
        switch (pipeline) {
        case OpenGlPipeline::text:
        case OpenGlPipeline::textGray:
            attribute(1, 2, 8);
            attribute(2, 4, 16);
            break;
        case OpenGlPipeline::color: attribute(2, 4, 16); break;
        case OpenGlPipeline::cellColor:
            attribute(1, 2, 8);
            attribute(2, 4, 16);
            break;
        case OpenGlPipeline::cellText:
        case OpenGlPipeline::cellTextGray:
            attribute(1, 2, 8);
            attribute(3, 2, 16);
            attribute(4, 2, 24);
            attribute(2, 4, 32);
            break;
        }
        if (spec.instanced)
            gl.glDrawArraysInstanced(GL_TRIANGLES, 0, 6, static_cast<GLsizei>(count));
        else
            gl.glDrawArrays(GL_TRIANGLES, 0, static_cast<GLsizei>(count));
    }
    ++drawCalls_;
    gl.glBindBuffer(GL_ARRAY_BUFFER, 0);
    gl.glBindVertexArray(0);
    return gl.glGetError() == GL_NO_ERROR;
}

}  // namespace ravelgrid
