#include "ravelgrid/gpu/BufferPool.h"
#include "ravelgrid/gpu/FakeGpuBackend.h"
#include "ravelgrid/gpu/GlyphKey.h"
#include "ravelgrid/gpu/GpuError.h"
#include "ravelgrid/gpu/GpuProfile.h"
#include "ravelgrid/gpu/GpuRecovery.h"
#include "ravelgrid/gpu/GpuRendererStatus.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <unordered_set>

using namespace ravelgrid;

TEST(GpuError, DescriptionsAreTheFixedTexts)
{
    using K = GpuError::Kind;
    const struct {
        K kind;
        const char* detail;
        const char* text;
    } cases[] = {
        {K::shaderLibraryLoadFailed, "bad file", "Failed to load OpenGL library: bad file"},
        {K::shaderFunctionMissing, "a, b", "OpenGL library missing required function: a, b"},
        {K::shaderSourceMissing, "Shaders.glsl", "Failed to load OpenGL shader source: Shaders.glsl"},
        {K::shaderCompilationFailed, "0:1: error", "Failed to compile OpenGL shader source: 0:1: error"},
        {K::pipelineCreationFailed, "x", "Failed to create OpenGL pipeline: x"},
        {K::pipelineCreationFailed, "", "Failed to create OpenGL pipeline: "},
        {K::gpuKitUnavailable, "ignored", "QOpenGLWidget is unavailable."},
        {K::deviceUnavailable, "", "No OpenGL device is available."},
        {K::commandQueueUnavailable, "", "Failed to create OpenGL command queue."},
        {K::atlasUnavailable, "", "Failed to create the glyph atlas."},
        {K::shaderLibraryMissing, "", "Failed to locate an OpenGL library in bundle resources."},
        {K::samplerUnavailable, "", "Failed to create OpenGL sampler state."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GpuError(c.kind, c.detail).description(), c.text);
}

TEST(GpuError, FactoriesCarryOnlyWhatFailed)
{
    const std::string_view missing[] = {"terminal_text_fragment", "terminal_color_vertex"};
    EXPECT_EQ(GpuError::shaderFunctionMissing(missing).description(),
              "OpenGL library missing required function: terminal_text_fragment, terminal_color_vertex");
    EXPECT_EQ(GpuError::pipelineCreationFailed("error C0000: syntax").description(),
              "Failed to create OpenGL pipeline: text/color/cell: error C0000: syntax");
    EXPECT_EQ(GpuError::pipelineCreationFailed("").description(), "Failed to create OpenGL pipeline: text/color/cell");
}

TEST(GpuRendererStatus, RefusalReasonsParseExactly)
{
    EXPECT_EQ(refusalReasonFromString("missingDrawable"), GpuFrameRefusalReason::missingDrawable);
    for (const char* name : {"activeFrame", "missingDrawable", "missingRenderPassDescriptor", "missingCommandBuffer",
                             "missingRenderEncoder"})
        EXPECT_EQ(toString(*refusalReasonFromString(name)), name);
    for (const char* bad : {"MissingDrawable", "missingdrawable", "", "missingDrawable ", "activeframe"})
        EXPECT_FALSE(refusalReasonFromString(bad).has_value()) << bad;
}

TEST(GpuRendererStatus, EqualityIncludesTheDate)
{
    using S = GpuRendererStatus;
    const auto t = std::chrono::system_clock::time_point(std::chrono::seconds(5));
    EXPECT_EQ((S{S::State::healthy, 3, std::nullopt}), (S{S::State::healthy, 3, std::nullopt}));
    EXPECT_NE((S{S::State::healthy, 3, t}), (S{S::State::healthy, 3, std::nullopt}));
    EXPECT_NE((S{S::State::healthy, 3, t}), (S{S::State::recovering, 3, t}));
}

TEST(GpuRecovery, TrackedStatusFromRawValues)
{
    EXPECT_EQ(trackedStatusFromRaw(0), GpuTrackedCommandBufferStatus::notEnqueued);
    EXPECT_EQ(trackedStatusFromRaw(4), GpuTrackedCommandBufferStatus::completed);
    EXPECT_EQ(trackedStatusFromRaw(5), GpuTrackedCommandBufferStatus::error);
    EXPECT_EQ(trackedStatusFromRaw(99), GpuTrackedCommandBufferStatus::error);
}

TEST(GpuRecovery, PolicyAllowsOneReplacementPerThirtySecondsAndSaysWhy)
{
    GpuAutomaticRecoveryPolicy policy;
    EXPECT_TRUE(policy.decide(100.0).allowed);
    const auto early = policy.decide(110.0);
    EXPECT_FALSE(early.allowed);
    EXPECT_EQ(early.refusal, "automatic recovery refused: last replacement 10.0 s ago");
    const auto almost = policy.decide(129.9);
    EXPECT_FALSE(almost.allowed);
    EXPECT_EQ(almost.refusal, "automatic recovery refused: last replacement 29.9 s ago");
    EXPECT_EQ(policy.lastReplacementAt(), 100.0);
    EXPECT_TRUE(policy.decide(130.0).allowed);
    EXPECT_EQ(policy.lastReplacementAt(), 130.0);
    // A clock that went backwards allows nothing.
    EXPECT_FALSE(policy.decide(50.0).allowed);
    policy.reset();
    EXPECT_TRUE(policy.decide(50.0).allowed);
}

namespace {

// The switch is read once per process, so each value gets a fresh child.
// The child also checks that a later change of the variable is not seen.
int profilingInChild(const char* value)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (value)
            setenv("RAVELGRID_PROFILE", value, 1);
        else
            unsetenv("RAVELGRID_PROFILE");
        const bool first = gpuProfilingEnabled();
        setenv("RAVELGRID_PROFILE", first ? "0" : "1", 1);
        const bool second = gpuProfilingEnabled();
        _exit(first != second ? 2 : first ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(GpuProfile, OnlyExactlyOneTurnsProfilingOn)
{
    EXPECT_EQ(profilingInChild("1"), 1);
    for (const char* off : {"true", "01", "yes", "1 ", "", "0"})
        EXPECT_EQ(profilingInChild(off), 0) << '"' << off << '"';
    EXPECT_EQ(profilingInChild(nullptr), 0);
}

TEST(GlyphKey, ZeroAndNegativeZeroAreOneKey)
{
    std::unordered_set<GlyphKey, GlyphKeyHash, GlyphKeyEqual> keys;
    keys.insert(GlyphKey{"JetBrainsMono-Regular", 0.0, 7});
    keys.insert(GlyphKey{"JetBrainsMono-Regular", -0.0, 7});
    EXPECT_EQ(keys.size(), 1u);
    EXPECT_TRUE(keys.contains(GlyphKeyView{"JetBrainsMono-Regular", -0.0, 7}));
    keys.insert(GlyphKey{"JetBrainsMono-Regular", 0.0, 8});
    keys.insert(GlyphKey{"JetBrainsMono-Bold", 0.0, 7});
    keys.insert(GlyphKey{"JetBrainsMono-Regular", 13.0, 7});
    EXPECT_EQ(keys.size(), 4u);

    std::unordered_set<CustomGlyphKey, CustomGlyphKeyHash> custom;
    custom.insert({0x2500, 9, 18, 1, 2, true});
    custom.insert({0x2500, 9, 18, 1, 2, true});
    custom.insert({0x2500, 9, 18, 1, 2, false});
    custom.insert({0x2500, 9, 18, 1, 1, true});
    EXPECT_EQ(custom.size(), 3u);
}

TEST(BufferPool, SizeClasses)
{
    FakeGpuBackend backend;
    BufferPool pool(backend);
    const struct {
        std::size_t bytes, length;
    } cases[] = {{0, 0},       {1, 4096},    {336, 4096},      {4096, 4096},    {4097, 8192},
                 {4800, 8192}, {8192, 8192}, {240000, 262144}, {262145, 524288}};
    for (const auto& c : cases)
        EXPECT_EQ(pool.sizeClass(c.bytes), c.length) << c.bytes;
    EXPECT_EQ(pool.sizeClass(std::numeric_limits<std::size_t>::max()), 0u);
}

TEST(BufferPool, KeepsAtMostFourIdleBuffersPerLengthAndReusesThemLastInFirstOut)
{
    FakeGpuBackend backend;
    BufferPool pool(backend);
    std::vector<std::shared_ptr<GpuBuffer>> frame;
    for (int i = 0; i < 5; ++i)
        frame.push_back(pool.makeBuffer(4096));
    frame.push_back(pool.makeBuffer(8192));
    std::weak_ptr<GpuBuffer> fifth = frame[4];
    const GpuBuffer* fourth = frame[3].get();
    EXPECT_EQ(backend.buffersMade, 6);
    pool.recycle(std::move(frame));
    EXPECT_EQ(pool.idleCount(4096), 4u);
    EXPECT_EQ(pool.idleCount(8192), 1u);
    EXPECT_TRUE(fifth.expired());
    EXPECT_EQ(pool.makeBuffer(4096).get(), fourth);
    EXPECT_EQ(backend.buffersMade, 6);
    EXPECT_EQ(pool.idleCount(4096), 3u);
}

TEST(BufferPool, ABufferTheBackendCannotMakeIsNone)
{
    FakeGpuBackend backend;
    backend.failBuffer = [](std::size_t) { return true; };
    BufferPool pool(backend);
    EXPECT_EQ(pool.makeBuffer(4096), nullptr);
    EXPECT_EQ(pool.makeBuffer(0), nullptr);
    pool.recycle({nullptr});
    EXPECT_EQ(pool.idleCount(4096), 0u);
}
