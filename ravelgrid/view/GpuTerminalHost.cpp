#include "ravelgrid/view/GpuTerminalHost.h"

#include "platform/Log.h"
#include "platform/Scheduler.h"
#include "ravelgrid/gpu/FaceLibrary.h"
#include "ravelgrid/gpu/opengl/GpuTerminalRenderer.h"
#include "ravelgrid/view/TerminalView.h"

#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QWindow>

#include <cstdio>

namespace ravelgrid {

GpuOverlayWidget::GpuOverlayWidget(QWidget* parent, GpuTerminalHost& host) : QOpenGLWidget(parent), host_(&host) {
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
GpuOverlayWidget::~GpuOverlayWidget() {
    QObject::disconnect(contextGone_);
    if (context())
        releaseContext();
}

void GpuOverlayWidget::releaseContext() {
    if (!host_)
        return;
    makeCurrent();
    host_->contextLost();
    doneCurrent();
}

void GpuOverlayWidget::initializeGL() {
    // A new top-level window gives the widget a new context: the old
    // renderer's objects go with the old one still current.
    QObject::disconnect(contextGone_);
    contextGone_ = connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] { releaseContext(); },
                           Qt::DirectConnection);
    if (host_)
        host_->contextReady();
}

void GpuOverlayWidget::paintGL() {
    if (host_)
        host_->paint(defaultFramebufferObject(), int(width() * devicePixelRatioF()),
                     int(height() * devicePixelRatioF()), devicePixelRatioF());
}

namespace {

constexpr std::string_view logCategory = "MetalRenderer";

FaceLibrary& faces() {
    static FaceLibrary library;
    return library;
}

}  // namespace

OpenGlShaderLibrary::Search& GpuTerminalHost::shaderSearch() {
    static OpenGlShaderLibrary::Search search;
    return search;
}

GpuTerminalHost::GpuTerminalHost(TerminalView& view, platform::Scheduler& scheduler)
    : view_(view), scheduler_(scheduler) {
    blinkTimer_.setInterval(cursorBlinkIntervalMs);
    connect(&blinkTimer_, &QTimer::timeout, this, [this] {
        blinkOn_ = !blinkOn_;
        requestFrame();
    });
}

void GpuTerminalHost::updateCursorBlinkTimer() {
    const Terminal& terminal = view_.terminal();
    const CursorStyle style = terminal.cursorStyle;
    const bool blinking = style == CursorStyle::blinkBlock || style == CursorStyle::blinkUnderline ||
                          style == CursorStyle::blinkBar;
    const bool should = blinking && !terminal.cursorHidden && (!caretTracksFocus() || view_.hasFocus());
    if (should && !blinkTimer_.isActive()) {
        blinkOn_ = true;
        blinkTimer_.start();
    } else if (!should && blinkTimer_.isActive()) {
        blinkTimer_.stop();
        blinkOn_ = true;
    }
}

GpuTerminalHost::~GpuTerminalHost() {
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

void GpuTerminalHost::setState(GpuRendererStatus::State state) {
    if (status_.state == state)
        return;
    status_.state = state;
    emit view_.gpuRendererStatusDidChange();
}

bool GpuTerminalHost::enable() {
    auto library = OpenGlShaderLibrary::load(shaderSearch());
    if (auto* error = std::get_if<GpuError>(&library)) {
        platform::logError(logCategory, error->description());
        setState(GpuRendererStatus::State::disabled);
        return false;
    }
    makeOverlay();
    setState(GpuRendererStatus::State::waitingForFirstFrame);
    return true;
}

void GpuTerminalHost::makeOverlay() {
    // Showing it may set up the renderer at once, and a failure there drops
    // overlay_ (the widget itself goes later).
    auto* widget = new GpuOverlayWidget(&view_, *this);
    overlay_ = widget;
    widget->setGeometry(view_.rect());
    widget->raise();
    widget->show();
}

bool GpuTerminalHost::coversView() const {
    return overlay_ && renderer_ && status_.state != GpuRendererStatus::State::fellBackToPainter &&
           status_.presentedFrameCount > 0;
}

void GpuTerminalHost::layout() {
    if (overlay_)
        overlay_->setGeometry(view_.rect());
}

void GpuTerminalHost::noteDirtyLines(int first, int last) {
    if (dirty_)
        dirty_ = std::pair(std::min(dirty_->first, first), std::max(dirty_->second, last));
    else
        dirty_ = std::pair(first, last);
    requestFrame();
}

void GpuTerminalHost::requestFrame() {
    if (overlay_)
        overlay_->update();
}

void GpuTerminalHost::contextReady() {
    if (renderer_)
        return;
    auto context = OpenGlContext::current();
    if (!context) {
        fallBack(GpuError(GpuError::Kind::deviceUnavailable).description());
        return;
    }
    QPointer<GpuTerminalHost> self(this);
    auto made = GpuTerminalRenderer::create(
        std::move(context), shaderSearch(), faces(), scheduler_,
        {.isRetryEligible =
             [self] {
                 // Only read from the main thread (the scheduler's).
                 return self && self->overlay_ && self->overlay_->isVisible() && self->view_.isVisible() &&
                        self->view_.window() && !self->view_.window()->isMinimized() && !self->view_.size().isEmpty();
             },
         .requestDraw =
             [self](GpuFrameRefusalReason) {
                 if (GpuTerminalHost* host = self.data())
                     QMetaObject::invokeMethod(
                         host, [self] { if (self) self->requestFrame(); }, Qt::QueuedConnection);
             },
         .requestRecovery =
             [self](const GpuRendererRecoveryReport& report) {
                 if (GpuTerminalHost* host = self.data())
                     QMetaObject::invokeMethod(
                         host, [self, report] { if (self) self->handleRecovery(report); }, Qt::QueuedConnection);
             },
         .becameIdle =
             [self] {
                 if (GpuTerminalHost* host = self.data())
                     QMetaObject::invokeMethod(
                         host, [self] { if (self) self->retire(); }, Qt::QueuedConnection);
             }});
    if (auto* error = std::get_if<GpuError>(&made)) {
        fallBack(error->description());
        return;
    }
    renderer_ = std::move(std::get<std::unique_ptr<GpuTerminalRenderer>>(made));
    if (replacing_)
        setState(GpuRendererStatus::State::recovering);
}

void GpuTerminalHost::contextLost() {
    if (!renderer_)
        return;
    renderer_->coordinator().invalidate();
    renderer_.reset();
    replacing_ = true;
    setState(GpuRendererStatus::State::recovering);
}

void GpuTerminalHost::paint(unsigned framebuffer, int width, int height, double scale) {
    if (!renderer_)
        return;
    rowContext_ = view_.rowContext();
    updateCursorBlinkTimer();
    renderer_->drawFrame(*this, framebuffer, width, height, std::max(scale, 1.0));
}

void GpuTerminalHost::presented() {
    if (!renderer_)
        return;
    ++status_.presentedFrameCount;
    status_.lastFramePresentedAt = std::chrono::system_clock::now();
    replacing_ = false;
    if (status_.state != GpuRendererStatus::State::healthy) {
        status_.state = GpuRendererStatus::State::healthy;
        emit view_.gpuRendererStatusDidChange();
    }
}

void GpuTerminalHost::retire() {
    std::erase_if(retired_, [](Retired& r) {
        if (r.renderer && r.renderer->coordinator().hasActiveFrame())
            return false;
        if (r.overlay)
            r.overlay->makeCurrent();
        r.renderer.reset();
        if (r.overlay) {
            r.overlay->detach();
            r.overlay->deleteLater();
        }
        return true;
    });
}

void GpuTerminalHost::handleRecovery(const GpuRendererRecoveryReport& report) {
    if (!renderer_)
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
    platform::logWarning(logCategory, line);
    if (!decision.allowed) {
        // The policy's own reason, not a generic sentence.
        fallBack(decision.refusal);
        return;
    }
    // A new widget is a new context; the old one stays until its frame is done.
    renderer_->coordinator().invalidate();
    retired_.push_back({std::move(renderer_), overlay_});
    if (overlay_) {
        overlay_->detach();
        overlay_->hide();
    }
    replacing_ = true;
    setState(GpuRendererStatus::State::recovering);
    makeOverlay();
    retire();
}

void GpuTerminalHost::fallBack(std::string_view reason) {
    std::string line = "Ravelgrid: OpenGL renderer rebind failed; falling back to QPainter: ";
    line.append(reason);
    platform::logError(logCategory, line);
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
    retire();
    setState(GpuRendererStatus::State::fellBackToPainter);
    view_.update();
}

std::optional<std::pair<int, int>> GpuTerminalHost::takeDirtyRange() { return std::exchange(dirty_, std::nullopt); }

}  // namespace ravelgrid

namespace ravelgrid {

Terminal* GpuTerminalHost::terminal() { return &view_.terminal(); }
QSizeF GpuTerminalHost::cellSize() const { return view_.frame_.cellSize(); }
QSizeF GpuTerminalHost::viewSize() const { return QSizeF(view_.size()); }

GpuFont GpuTerminalHost::font(FontFace face) const {
    const FontSet& fonts = view_.frame_.fontSet();
    const QFont& qfont = fonts.font(face);
    auto found = faces().faceFor(fonts.family().toStdString(), qfont.bold(), qfont.italic());
    if (!found)
        return {};
    return GpuFont(std::move(found), fonts.pixelSize());
}

RendererFontMetrics GpuTerminalHost::fontMetrics() const {
    const QRawFont& raw = view_.frame_.fontSet().rawNormal();
    return {raw.descent(), raw.leading(), -raw.underlinePosition(), std::max(raw.lineThickness(), 1.0), raw.xHeight()};
}

CellAttributes& GpuTerminalHost::attributes() { return view_.frame_.attributes(); }
QColor GpuTerminalHost::defaultBackground() const { return view_.effectiveNativeBackground(); }
QColor GpuTerminalHost::defaultForeground() const { return view_.effectiveNativeForeground(); }
bool GpuTerminalHost::antiAliasCustomBlockGlyphs() const { return view_.frame_.antiAliasCustomBlockGlyphs(); }
bool GpuTerminalHost::hasFocus() const { return view_.hasFocus(); }
QColor GpuTerminalHost::caretColor() const { return view_.effectiveCaretColor(); }
QColor GpuTerminalHost::caretTextColor() const { return view_.effectiveCaretTextColor(); }

}  // namespace ravelgrid
