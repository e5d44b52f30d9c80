#include "ravelgrid/view/GpuTerminalHost.h"

#include "platform/Log.h"
#include "platform/Scheduler.h"
#include "ravelgrid/gpu/FaceLibrary.h"
#include "ravelgrid/gpu/FontSetFaces.h"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/terminal/Terminal.h"

#include <QOpenGLContext>
#include <QOpenGLExtraFunctions>
#include <QOpenGLWidget>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ravelgrid {

GpuOverlayWidget::GpuOverlayWidget(QWidget* parent, GpuTerminalHost& host) : QOpenGLWidget(parent), host_(&host)
{
    setUpdateBehavior(QOpenGLWidget::PartialUpdate);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QOpenGLWidget::frameSwapped, this, [this] {
        if (host_)
            host_->presented();
    });
}

// The base class destroys the context after this destructor has run, when
// this object is no longer a GpuOverlayWidget: release it here instead.
GpuOverlayWidget::~GpuOverlayWidget()
{
    QObject::disconnect(contextGone_);
    if (context())
        releaseContext();
}

QSize GpuOverlayWidget::deviceSize() const
{
    const double ratio = devicePixelRatioF();
    return QSize(int(width() * ratio), int(height() * ratio));
}

void GpuOverlayWidget::releaseContext()
{
    // Our own framebuffers go even when the host has let go of this widget.
    makeCurrent();
    releaseTargets();
    if (host_)
        host_->contextLost();
    doneCurrent();
}

bool GpuOverlayWidget::makeTarget(Target& target, QSize size)
{
    if (target.framebuffer && target.size == size)
        return false;
    releaseTarget(target);
    QOpenGLExtraFunctions& gl = *context()->extraFunctions();
    gl.glGenTextures(1, &target.texture);
    gl.glBindTexture(GL_TEXTURE_2D, target.texture);
    gl.glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, size.width(), size.height(), 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    gl.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    gl.glBindTexture(GL_TEXTURE_2D, 0);
    gl.glGenFramebuffers(1, &target.framebuffer);
    gl.glBindFramebuffer(GL_FRAMEBUFFER, target.framebuffer);
    gl.glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target.texture, 0);
    target.size = size;
    return true;
}

void GpuOverlayWidget::releaseTarget(Target& target)
{
    if (!target.framebuffer && !target.texture)
        return;
    QOpenGLExtraFunctions& gl = *context()->extraFunctions();
    if (target.framebuffer)
        gl.glDeleteFramebuffers(1, &target.framebuffer);
    if (target.texture)
        gl.glDeleteTextures(1, &target.texture);
    target = {};
}

int GpuOverlayWidget::maxTextureSize()
{
    if (!maxTextureSize_) {
        GLint size = 0;
        context()->functions()->glGetIntegerv(GL_MAX_TEXTURE_SIZE, &size);
        maxTextureSize_ = std::max(size, 1);
    }
    return maxTextureSize_;
}

void GpuOverlayWidget::releaseKeptFrame()
{
    releaseTarget(kept_);
    keptHoldsFrame_ = false;
}

void GpuOverlayWidget::releaseTargets()
{
    if (!context())
        return;
    releaseTarget(scaled_);
    releaseKeptFrame();
}

unsigned GpuOverlayWidget::scaledTarget(QSize size, const QColor& clear)
{
    if (makeTarget(scaled_, size)) {
        QOpenGLExtraFunctions& gl = *context()->extraFunctions();
        gl.glBindFramebuffer(GL_FRAMEBUFFER, scaled_.framebuffer);
        gl.glDisable(GL_SCISSOR_TEST);
        gl.glClearColor(float(clear.redF()), float(clear.greenF()), float(clear.blueF()), 1.0f);
        gl.glClear(GL_COLOR_BUFFER_BIT);
        gl.glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
    }
    return scaled_.framebuffer;
}

void GpuOverlayWidget::blitScaledTarget()
{
    if (!scaled_.framebuffer)
        return;
    QOpenGLExtraFunctions& gl = *context()->extraFunctions();
    const QSize to = deviceSize();
    gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, scaled_.framebuffer);
    gl.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, defaultFramebufferObject());
    gl.glDisable(GL_SCISSOR_TEST);
    gl.glBlitFramebuffer(0, 0, scaled_.size.width(), scaled_.size.height(), 0, 0, to.width(), to.height(),
                         GL_COLOR_BUFFER_BIT, GL_LINEAR);
    gl.glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
}

void GpuOverlayWidget::keepFrameForResize()
{
    if (!isValid())
        return;
    const QSize size = deviceSize();
    if (size.isEmpty())
        return;
    makeCurrent();
    makeTarget(kept_, size);
    QOpenGLExtraFunctions& gl = *context()->extraFunctions();
    gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, defaultFramebufferObject());
    gl.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, kept_.framebuffer);
    gl.glDisable(GL_SCISSOR_TEST);
    gl.glBlitFramebuffer(0, 0, size.width(), size.height(), 0, 0, size.width(), size.height(), GL_COLOR_BUFFER_BIT,
                         GL_NEAREST);
    gl.glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
    keptHoldsFrame_ = true;
}

void GpuOverlayWidget::showKeptFrame(const QColor& clear)
{
    QOpenGLExtraFunctions& gl = *context()->extraFunctions();
    gl.glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
    gl.glDisable(GL_SCISSOR_TEST);
    if (!keptHoldsFrame_) {
        gl.glClearColor(float(clear.redF()), float(clear.greenF()), float(clear.blueF()), 1.0f);
        gl.glClear(GL_COLOR_BUFFER_BIT);
        return;
    }
    const QSize to = deviceSize();
    gl.glBindFramebuffer(GL_READ_FRAMEBUFFER, kept_.framebuffer);
    gl.glBindFramebuffer(GL_DRAW_FRAMEBUFFER, defaultFramebufferObject());
    gl.glBlitFramebuffer(0, 0, kept_.size.width(), kept_.size.height(), 0, 0, to.width(), to.height(),
                         GL_COLOR_BUFFER_BIT, GL_LINEAR);
    gl.glBindFramebuffer(GL_FRAMEBUFFER, defaultFramebufferObject());
}

void GpuOverlayWidget::initializeGL()
{
    // A new top-level window gives the widget a new context: the old
    // renderer's objects go with the old one still current.
    QObject::disconnect(contextGone_);
    scaled_ = {};
    kept_ = {};
    keptHoldsFrame_ = false;
    maxTextureSize_ = 0;
    contextGone_ = connect(
        context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] { releaseContext(); }, Qt::DirectConnection);
    if (host_)
        host_->contextReady();
}

void GpuOverlayWidget::resizeGL(int, int)
{
    // The frame drawn at once went with the old framebuffer.
    paintedNow_ = false;
    if (host_)
        host_->framebufferRemade();
}

void GpuOverlayWidget::paintGL()
{
    // A frame drawn at once is already in the framebuffer, which keeps it.
    if (host_ && !std::exchange(paintedNow_, false))
        host_->paint(*this);
}

void GpuOverlayWidget::paintNow()
{
    // The widget's own repaint goes through the window's composition and
    // may not reach paintGL at once; drawing into its framebuffer does.
    if (!host_ || !context())
        return;
    makeCurrent();
    host_->paint(*this);
    doneCurrent();
    paintedNow_ = true;
    update();  // composes the frame into the window
}

void GpuOverlayWidget::requestPaint()
{
    // A change after a frame drawn at once needs a paint of its own: the
    // composing paint that paintNow asked for may still be pending and
    // would otherwise take this request with it.
    paintedNow_ = false;
    update();
}

namespace {

constexpr std::string_view logCategory = "MetalRenderer";

FaceLibrary& faces()
{
    static FaceLibrary library;
    return library;
}

FontSetFaces& fontSetFaces()
{
    static FontSetFaces chosen(faces());
    return chosen;
}

}  // namespace

OpenGlShaderLibrary::Search& GpuTerminalHost::shaderSearch()
{
    static OpenGlShaderLibrary::Search search;
    return search;
}

GpuTerminalHost::GpuTerminalHost(GpuHostedView& view, platform::Scheduler& scheduler)
    : view_(view), scheduler_(scheduler)
{
    blinkTimer_.setInterval(cursorBlinkIntervalMs);
    connect(&blinkTimer_, &QTimer::timeout, this, [this] {
        blinkOn_ = !blinkOn_;
        requestFrame();
    });
}

void GpuTerminalHost::updateCursorBlinkTimer()
{
    const Terminal& terminal = view_.terminal();
    const CursorStyle style = terminal.cursorStyle;
    const bool blinking =
        style == CursorStyle::blinkBlock || style == CursorStyle::blinkUnderline || style == CursorStyle::blinkBar;
    const bool should = blinking && !terminal.cursorHidden && (!caretTracksFocus() || hasFocus());
    if (should && !blinkTimer_.isActive()) {
        blinkOn_ = true;
        blinkTimer_.start();
    } else if (!should && blinkTimer_.isActive()) {
        blinkTimer_.stop();
        blinkOn_ = true;
    }
}

GpuTerminalHost::~GpuTerminalHost()
{
    if (watchedHandle_)
        watchedHandle_->removeEventFilter(this);
    // GL objects go while their widget (and context) is still there.
    if (overlay_) {
        overlay_->makeCurrent();
        renderer_.reset();
        overlay_->doneCurrent();
        overlay_->detach();
        delete overlay_;
    }
    for (Retired& r : retired_) {
        if (r.overlay)
            r.overlay->makeCurrent();
        r.renderer.reset();
        if (r.overlay) {
            r.overlay->detach();
            delete r.overlay;
        }
    }
}

bool GpuTerminalHost::liveResizeThrottleValue(const char* value)
{
    if (!value)
        return true;
    return std::strcmp(value, "0") != 0 && std::strcmp(value, "false") != 0 && std::strcmp(value, "FALSE") != 0;
}

bool GpuTerminalHost::liveResizeThrottle()
{
    static const bool on = liveResizeThrottleValue(std::getenv("RAVELGRID_METAL_LIVE_RESIZE_THROTTLE"));
    return on;
}

void GpuTerminalHost::setState(GpuRendererStatus::State state)
{
    if (status_.state == state)
        return;
    status_.state = state;
    view_.rendererStatusChanged();
}

void GpuTerminalHost::enterRecovering()
{
    setState(GpuRendererStatus::State::recovering);
    if (!recoveryInterval_)
        recoveryInterval_.emplace("Metal.Recovery");
}

bool GpuTerminalHost::enable()
{
    if (overlay_)
        return true;
    auto library = OpenGlShaderLibrary::load(shaderSearch());
    if (auto* error = std::get_if<GpuError>(&library)) {
        platform::logError(logCategory, error->description());
        return false;
    }
    // Published before the widget exists: showing it may set up the
    // renderer at once, and a failure there must come after.
    policy_.reset();
    replacing_ = false;
    status_ = {GpuRendererStatus::State::waitingForFirstFrame, 0, std::nullopt};
    view_.rendererStatusChanged();
    makeOverlay();
    return true;
}

void GpuTerminalHost::disable()
{
    stretching_ = false;
    retireCurrent();
    recoveryInterval_.reset();
    blinkTimer_.stop();
    blinkOn_ = true;
    dirty_.reset();
    lastRenderedCursor_.reset();
    retire();
    setState(GpuRendererStatus::State::disabled);
}

void GpuTerminalHost::makeOverlay()
{
    // Showing it may set up the renderer at once, and a failure there drops
    // overlay_ (the widget itself goes later).
    auto* widget = new GpuOverlayWidget(&view_.widget(), *this);
    overlay_ = widget;
    widget->setGeometry(view_.widget().rect());
    // Under every other child: the scroll bar, the find and progress bars
    // and the bell's flash stay visible and take the pointer over it.
    widget->lower();
    widget->show();
    // The renderer draws the caret itself.
    view_.placeCaret();
}

bool GpuTerminalHost::coversView() const
{
    return overlay_ && renderer_ && status_.state != GpuRendererStatus::State::fellBackToPainter &&
           status_.presentedFrameCount > 0;
}

void GpuTerminalHost::layout(bool throttled)
{
    if (!overlay_ || overlay_->geometry() == view_.widget().rect())
        return;
    if (throttled && renderer_ && !stretching_) {
        // The resized widget shows the last frame stretched until the
        // coalesced pass draws the real one.
        overlay_->keepFrameForResize();
        stretching_ = true;
    }
    overlay_->setGeometry(view_.widget().rect());
}

void GpuTerminalHost::endStretch()
{
    stretching_ = false;
    requestFrame();
}

bool GpuTerminalHost::isRetryEligible() const
{
    const QWidget& view = view_.widget();
    if (!overlay_ || !view.isVisible() || view.width() <= 0 || view.height() <= 0)
        return false;
    const QWidget* top = view.window();
    if (!top || !top->isVisible() || top->isMinimized())
        return false;
    const QWindow* handle = top->windowHandle();
    return handle && handle->isExposed();
}

void GpuTerminalHost::noteDirtyLines(int first, int last)
{
    if (dirty_)
        dirty_ = std::pair(std::min(dirty_->first, first), std::max(dirty_->second, last));
    else
        dirty_ = std::pair(first, last);
    requestFrame();
}

void GpuTerminalHost::noteCursor(int x, int bufferY, bool hidden)
{
    const Cursor cursor{x, bufferY, hidden};
    if (lastRenderedCursor_ == cursor)
        return;
    lastRenderedCursor_ = cursor;
    requestFrame();
}

void GpuTerminalHost::requestFrame()
{
    if (overlay_ && !held_)
        overlay_->requestPaint();
}

void GpuTerminalHost::drawNow()
{
    if (overlay_ && overlay_->isVisible())
        overlay_->paintNow();
}

void GpuTerminalHost::contextReady()
{
    if (renderer_)
        return;
    auto context = OpenGlContext::current();
    if (!context) {
        fallBack(GpuError(GpuError::Kind::deviceUnavailable).description());
        return;
    }
    QPointer<GpuTerminalHost> self(this);
    // Requests queued by a renderer that has since been replaced must not
    // count against its successor.
    const std::uint64_t generation = ++generation_;
    auto made = GpuTerminalRenderer::create(std::move(context), shaderSearch(), faces(), scheduler_,
                                            {.isRetryEligible =
                                                 [self] {
                                                     // Only read from the main thread (the scheduler's).
                                                     return self && self->isRetryEligible();
                                                 },
                                             .requestDraw =
                                                 [self](GpuFrameRefusalReason) {
                                                     if (GpuTerminalHost* host = self.data())
                                                         QMetaObject::invokeMethod(
                                                             host,
                                                             [self] {
                                                                 if (self)
                                                                     self->requestFrame();
                                                             },
                                                             Qt::QueuedConnection);
                                                 },
                                             .requestRecovery =
                                                 [self, generation](const GpuRendererRecoveryReport& report) {
                                                     if (GpuTerminalHost* host = self.data())
                                                         QMetaObject::invokeMethod(
                                                             host,
                                                             [self, report, generation] {
                                                                 if (self)
                                                                     self->handleRecovery(report, generation);
                                                             },
                                                             Qt::QueuedConnection);
                                                 },
                                             .becameIdle =
                                                 [self] {
                                                     if (GpuTerminalHost* host = self.data())
                                                         QMetaObject::invokeMethod(
                                                             host,
                                                             [self] {
                                                                 if (self)
                                                                     self->retire();
                                                             },
                                                             Qt::QueuedConnection);
                                                 }});
    if (auto* error = std::get_if<GpuError>(&made)) {
        fallBack(error->description());
        return;
    }
    renderer_ = std::move(std::get<std::unique_ptr<GpuTerminalRenderer>>(made));
    renderer_->images().setPictureReadyCallback([this] { requestFrame(); });
    watchWindow();
    if (replacing_)
        enterRecovering();
}

void GpuTerminalHost::watchWindow()
{
    QWidget* top = view_.widget().window();
    QWindow* handle = top ? top->windowHandle() : nullptr;
    if (handle == watchedHandle_)
        return;
    if (watchedHandle_)
        watchedHandle_->removeEventFilter(this);
    watchedHandle_ = handle;
    watchedExposed_ = handle && handle->isExposed();
    if (handle)
        handle->installEventFilter(this);
}

bool GpuTerminalHost::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != watchedHandle_ || event->type() != QEvent::Expose)
        return false;
    // Only a window that was off screen (unmapped, minimised): an expose of
    // a shown window comes with its own repaint.
    const bool exposed = watchedHandle_->isExposed();
    const bool again = exposed && !watchedExposed_;
    watchedExposed_ = exposed;
    // After the event has been handled, so that the window counts as shown.
    if (again)
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (isRetryEligible())
                    requestFrame();
            },
            Qt::QueuedConnection);
    return false;
}

void GpuTerminalHost::contextLost()
{
    if (!renderer_)
        return;
    renderer_->coordinator().invalidate();
    renderer_.reset();
    replacing_ = true;
    framePending_ = false;
    stretching_ = false;
    enterRecovering();
}

void GpuTerminalHost::framebufferRemade()
{
    if (renderer_)
        renderer_->frames().forgetCopies();
}

void GpuTerminalHost::paint(GpuOverlayWidget& overlay)
{
    if (!renderer_)
        return;
    if (stretching_) {
        overlay.showKeptFrame(defaultBackground());
        return;
    }
    overlay.releaseKeptFrame();
    rowContext_ = view_.rowContext();
    updateCursorBlinkTimer();
    const QSize device = overlay.deviceSize();
    const std::optional<double> override = view_.scaleFactorOverride();
    if (!override) {
        overlay.releaseScaledTarget();
        lastTarget_ = {device.width(), device.height(), std::max(overlay.devicePixelRatioF(), 1.0)};
        ++framesRequested_;
        // The widget updates partially: its framebuffer keeps the last frame.
        if (renderer_->drawFrame(*this, overlay.defaultFramebufferObject(), lastTarget_.width, lastTarget_.height,
                                 lastTarget_.scale, true) == OpenGlFrameRenderer::Outcome::drawn)
            framePending_ = true;
        return;
    }
    // A scale of its own: drawn at that scale into a framebuffer of our
    // own, then scaled onto the widget's.
    // No larger than a texture may be: a huge scale would only fail every
    // frame and end in the painter.
    const int longest = std::max({overlay.width(), overlay.height(), 1});
    const double largest = std::max(double(overlay.maxTextureSize()) / longest, 1.0);
    const double scale = std::isfinite(*override) ? std::clamp(*override, 1.0, largest) : 1.0;
    const QSize size(int(std::floor(overlay.width() * scale + 0.5)), int(std::floor(overlay.height() * scale + 0.5)));
    if (size.isEmpty())
        return;
    lastTarget_ = {size.width(), size.height(), scale};
    const unsigned target = overlay.scaledTarget(size, defaultBackground());
    ++framesRequested_;
    if (renderer_->drawFrame(*this, target, size.width(), size.height(), scale, true) ==
        OpenGlFrameRenderer::Outcome::drawn)
        framePending_ = true;
    // A refused frame left the last good one in our framebuffer.
    overlay.blitScaledTarget();
}

void GpuTerminalHost::presented()
{
    // Swaps that showed no new frame (a refused or stretched one) count not.
    if (!renderer_ || !std::exchange(framePending_, false))
        return;
    ++status_.presentedFrameCount;
    status_.lastFramePresentedAt = std::chrono::system_clock::now();
    replacing_ = false;
    recoveryInterval_.reset();
    if (status_.state != GpuRendererStatus::State::healthy) {
        status_.state = GpuRendererStatus::State::healthy;
        view_.rendererStatusChanged();
    }
}

void GpuTerminalHost::retireCurrent()
{
    if (renderer_) {
        renderer_->coordinator().invalidate();
        retired_.push_back({std::move(renderer_), overlay_});
    } else if (overlay_) {
        overlay_->detach();
        overlay_->deleteLater();
    }
    if (overlay_) {
        overlay_->detach();
        overlay_->hide();
    }
    overlay_ = nullptr;
    framePending_ = false;
}

void GpuTerminalHost::retire()
{
    std::erase_if(retired_, [](Retired& r) {
        if (r.renderer && r.renderer->coordinator().hasActiveFrame())
            return false;
        if (r.overlay)
            r.overlay->makeCurrent();
        r.renderer.reset();
        if (r.overlay) {
            r.overlay->doneCurrent();
            r.overlay->detach();
            r.overlay->deleteLater();
        }
        return true;
    });
}

void GpuTerminalHost::handleRecovery(const GpuRendererRecoveryReport& report, std::uint64_t generation)
{
    if (!renderer_ || generation != generation_)
        return;
    const double now = double(scheduler_.nowNs()) / 1e9;
    const auto decision = policy_.decide(now);
    const char* action = decision.allowed ? "replace-opengl" : "qpainter";
    const std::string status =
        report.commandBufferStatus ? std::string(toString(*report.commandBufferStatus)) : std::string("none");
    const std::string error = report.commandBufferError.value_or("none");
    char line[512];
    std::snprintf(line, sizeof line, "Ravelgrid OpenGL recovery reason=%s duration=%.3f status=%s error=%s action=%s",
                  std::string(toString(report.reason)).c_str(), report.failureDuration, status.c_str(), error.c_str(),
                  action);
    platform::logError(logCategory, line);
    // Recovering first, also when it then falls back.
    enterRecovering();
    if (!decision.allowed) {
        // The policy's own reason, not a generic sentence.
        fallBack(decision.refusal);
        return;
    }
    // A new widget is a new context; the old one stays until its frame is done.
    stretching_ = false;
    retireCurrent();
    replacing_ = true;
    makeOverlay();
    retire();
}

void GpuTerminalHost::fallBack(std::string_view reason)
{
    std::string line = "Ravelgrid: OpenGL renderer rebind failed; falling back to QPainter: ";
    line.append(reason);
    platform::logError(logCategory, line);
    stretching_ = false;
    retireCurrent();
    retire();
    recoveryInterval_.reset();
    blinkTimer_.stop();
    blinkOn_ = true;
    setState(GpuRendererStatus::State::fellBackToPainter);
    // QPainter and the caret view draw again.
    view_.placeCaret();
    view_.widget().update();
}

std::optional<std::pair<int, int>> GpuTerminalHost::takeDirtyRange()
{
    return std::exchange(dirty_, std::nullopt);
}

}  // namespace ravelgrid

namespace ravelgrid {

Terminal* GpuTerminalHost::terminal()
{
    return &view_.terminal();
}
QSizeF GpuTerminalHost::cellSize() const
{
    return view_.cellSize();
}
QSizeF GpuTerminalHost::viewSize() const
{
    return QSizeF(view_.widget().size());
}

GpuFont GpuTerminalHost::font(FontFace face) const
{
    return fontSetFaces().font(view_.fontSet(), face);
}

RendererFontMetrics GpuTerminalHost::fontMetrics(FontFace face) const
{
    const QRawFont& raw = view_.fontSet().raw(face);
    return {raw.descent(), raw.leading(), -raw.underlinePosition(), std::max(raw.lineThickness(), 1.0), raw.xHeight()};
}

// The painter's scale: the device it paints the view on.
double GpuTerminalHost::windowScale() const
{
    return view_.widget().devicePixelRatioF();
}

CellAttributes& GpuTerminalHost::attributes()
{
    return view_.attributes();
}
QColor GpuTerminalHost::defaultBackground() const
{
    return view_.defaultBackground();
}
QColor GpuTerminalHost::defaultForeground() const
{
    return view_.defaultForeground();
}
bool GpuTerminalHost::antiAliasCustomBlockGlyphs() const
{
    return view_.antiAliasCustomBlockGlyphs();
}
bool GpuTerminalHost::fontSmoothing() const
{
    return view_.fontSmoothing();
}
// The caret view's rules, so both renderers show the focus alike.
bool GpuTerminalHost::hasFocus() const
{
    return view_.caretFocused();
}
bool GpuTerminalHost::caretTracksFocus() const
{
    return view_.caretTracksFocus();
}
QColor GpuTerminalHost::caretColor() const
{
    return view_.caretColor();
}
QColor GpuTerminalHost::caretTextColor() const
{
    return view_.caretTextColor();
}

}  // namespace ravelgrid
