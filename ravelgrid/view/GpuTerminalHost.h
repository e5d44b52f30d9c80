#pragma once

#include "ravelgrid/gpu/GpuProfile.h"
#include "ravelgrid/gpu/GpuRecovery.h"
#include "ravelgrid/gpu/GpuRendererStatus.h"
#include "ravelgrid/gpu/RendererView.h"
#include "ravelgrid/gpu/opengl/OpenGlShaderLibrary.h"
#include "ravelgrid/view/GpuHostedView.h"

#include <QObject>
#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QPointer>
#include <QTimer>
#include <QWindow>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace platform {
class Scheduler;
}

namespace ravelgrid {

class GpuTerminalRenderer;
class GpuTerminalHost;

// The GL surface over the view. Its context lives as long as it does.
class GpuOverlayWidget : public QOpenGLWidget {
public:
    GpuOverlayWidget(QWidget* parent, GpuTerminalHost& host);
    ~GpuOverlayWidget() override;
    void detach() { host_ = nullptr; }
    // Draws the host's frame into the framebuffer before it returns.
    void paintNow();
    // Schedules a paint that draws a frame, also after paintNow.
    void requestPaint();
    // The widget's framebuffer in device pixels.
    QSize deviceSize() const;

    // The following run with this widget's context current.
    // A framebuffer of our own of `size` pixels, for a scale other than the
    // screen's; a new one starts as `clear`, never undefined.
    unsigned scaledTarget(QSize size, const QColor& clear);
    // Copies the scaled framebuffer's frame, scaled, onto the widget's own.
    void blitScaledTarget();
    // Keeps the frame on screen before a resize, so that the resized widget
    // can show it stretched instead of drawing a frame at every step.
    void keepFrameForResize();
    // The kept frame stretched over the widget, else `clear`.
    void showKeptFrame(const QColor& clear);
    void releaseScaledTarget() { releaseTarget(scaled_); }
    int maxTextureSize();
    void releaseKeptFrame();
    void releaseTargets();

protected:
    void initializeGL() override;
    void paintGL() override;
    // A resize makes the framebuffer anew.
    void resizeGL(int, int) override;

private:
    struct Target {
        unsigned framebuffer = 0;
        unsigned texture = 0;
        QSize size;
    };
    bool makeTarget(Target& target, QSize size);
    void releaseTarget(Target& target);
    void releaseContext();

    GpuTerminalHost* host_;
    bool paintedNow_ = false;
    QMetaObject::Connection contextGone_;
    Target scaled_;
    Target kept_;
    bool keptHoldsFrame_ = false;
    int maxTextureSize_ = 0;
};

// Hosts the OpenGL renderer of one terminal view: a QOpenGLWidget laid over
// the view and drawn on demand, the published status, and recovery: a
// renderer that stops presenting is replaced at most once in 30 s, else the
// view goes back to QPainter.
class GpuTerminalHost : public QObject, public RendererView {
    Q_OBJECT

public:
    GpuTerminalHost(GpuHostedView& view, platform::Scheduler& scheduler);
    ~GpuTerminalHost() override;

    // Where the shader source is looked for; tests offer none.
    static OpenGlShaderLibrary::Search& shaderSearch();

    // False when the renderer cannot be set up; the status is then left
    // as it was. Enabling a host that is on does nothing.
    bool enable();
    // Back to QPainter; the status becomes disabled (count and date kept).
    void disable();
    // The OpenGL path is on (it may not have presented yet).
    bool active() const { return overlay_ != nullptr; }
    const GpuRendererStatus& status() const { return status_; }
    // True while the overlay draws the view, so QPainter need not.
    bool coversView() const;
    void noteDirtyLines(int first, int last);
    // The caret is the renderer's: a changed cursor alone needs a frame.
    void noteCursor(int x, int bufferY, bool hidden);
    void requestFrame();
    // Draws a frame before it returns, where requestFrame only schedules one.
    void drawNow();
    // While held, requests only note what changed; the caller draws later.
    void holdFrames(bool hold) { held_ = hold; }
    // Follows the view's size. `throttled` (a step of a live resize): the
    // overlay shows its last frame stretched instead of drawing a new one.
    void layout(bool throttled = false);
    // The end of a throttled step: frames are drawn again.
    void endStretch();
    // Frames may be presented: the path is on, the view shown and not
    // empty, its window visible, not minimised and exposed.
    bool isRetryEligible() const;
    // The live-resize throttle switch of the process, from
    // RAVELGRID_METAL_LIVE_RESIZE_THROTTLE, read once.
    static bool liveResizeThrottle();
    // The rule alone: off for exactly "0", "false" or "FALSE" (null: unset).
    static bool liveResizeThrottleValue(const char* value);

    // What the renderer was last asked to draw into.
    struct FrameTarget {
        int width = 0;
        int height = 0;
        double scale = 0;
    };
    FrameTarget lastFrameTarget() const { return lastTarget_; }
    // Frames the renderer has been asked to build.
    std::uint64_t framesRequested() const { return framesRequested_; }
    // Each renderer has its own generation; calls of older ones are ignored.
    std::uint64_t rendererGeneration() const { return generation_; }
    GpuTerminalRenderer* renderer() const { return renderer_.get(); }
    std::size_t retiredCount() const { return retired_.size(); }
    GpuOverlayWidget* overlay() const { return overlay_; }
    static constexpr int cursorBlinkIntervalMs = 700;
    bool cursorBlinkTimerActive() const { return blinkTimer_.isActive(); }
    const QTimer& cursorBlinkTimer() const { return blinkTimer_; }
    // Starts or stops the caret's blink timer for the cursor's style.
    void updateCursorBlinkTimer();

    // Called by the overlay widget.
    void contextReady();
    void contextLost();
    void framebufferRemade();
    void paint(GpuOverlayWidget& overlay);
    void presented();
    void handleRecovery(const GpuRendererRecoveryReport& report, std::uint64_t generation);

    bool eventFilter(QObject* watched, QEvent* event) override;

    // RendererView
    Terminal* terminal() override;
    QSizeF cellSize() const override;
    QSizeF viewSize() const override;
    GpuFont font(FontFace face) const override;
    RendererFontMetrics fontMetrics(FontFace face) const override;
    double windowScale() const override;
    CellAttributes& attributes() override;
    QColor defaultBackground() const override;
    QColor defaultForeground() const override;
    const RowContext& rowContext() const override { return rowContext_; }
    bool antiAliasCustomBlockGlyphs() const override;
    bool fontSmoothing() const override;
    bool hasFocus() const override;
    bool caretTracksFocus() const override;
    bool cursorBlinkOn() const override { return blinkOn_; }
    QColor caretColor() const override;
    QColor caretTextColor() const override;
    BufferingMode bufferingMode() const override { return view_.bufferingMode(); }
    std::optional<std::pair<int, int>> takeDirtyRange() override;

private:
    void setState(GpuRendererStatus::State state);
    void enterRecovering();
    void makeOverlay();
    void fallBack(std::string_view reason);
    void retireCurrent();
    void retire();
    // Follows the view's top-level window: back on screen (restored,
    // mapped) it gets a fresh frame.
    void watchWindow();

    GpuHostedView& view_;
    platform::Scheduler& scheduler_;
    GpuRendererStatus status_;
    GpuAutomaticRecoveryPolicy policy_;
    QPointer<GpuOverlayWidget> overlay_;
    std::unique_ptr<GpuTerminalRenderer> renderer_;
    // Replaced renderers with the widgets holding their contexts, kept
    // until their frame in flight is done.
    struct Retired {
        std::unique_ptr<GpuTerminalRenderer> renderer;
        QPointer<GpuOverlayWidget> overlay;
    };
    std::vector<Retired> retired_;
    RowContext rowContext_;
    std::optional<std::pair<int, int>> dirty_;
    struct Cursor {
        int x = 0;
        int y = 0;
        bool hidden = false;
        bool operator==(const Cursor&) const = default;
    };
    std::optional<Cursor> lastRenderedCursor_;
    bool replacing_ = false;
    // From a throttled resize to the coalesced pass after it: paints show
    // the kept frame stretched.
    bool stretching_ = false;
    bool held_ = false;
    // A frame was drawn since the last swap: the next swap presents it.
    bool framePending_ = false;
    FrameTarget lastTarget_;
    std::uint64_t framesRequested_ = 0;
    std::uint64_t generation_ = 0;
    // Open from the start of a recovery to the next presented frame or the
    // fallback; logged on the profiling log only.
    std::optional<GpuProfileInterval> recoveryInterval_;
    QTimer blinkTimer_;
    bool blinkOn_ = true;
    QPointer<QWindow> watchedHandle_;
    bool watchedExposed_ = false;
};

}  // namespace ravelgrid
