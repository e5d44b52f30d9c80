#pragma once

#include "ravelgrid/gpu/GpuRecovery.h"
#include "ravelgrid/gpu/GpuRendererStatus.h"
#include "ravelgrid/gpu/RendererView.h"
#include "ravelgrid/gpu/opengl/OpenGlShaderLibrary.h"

#include <QObject>
#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QPointer>
#include <QTimer>

#include <memory>
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

protected:
    void initializeGL() override;
    void paintGL() override;
    void resizeGL(int, int) override {}

private:
    void releaseContext();

    GpuTerminalHost* host_;
    QMetaObject::Connection contextGone_;
};

class TerminalView;

// Hosts the OpenGL renderer of one TerminalView: a QOpenGLWidget laid over
// the view and drawn on demand, the published status, and recovery: a
// renderer that stops presenting is replaced at most once in 30 s, else the
// view goes back to QPainter.
class GpuTerminalHost : public QObject, public RendererView {
    Q_OBJECT

public:
    GpuTerminalHost(TerminalView& view, platform::Scheduler& scheduler);
    ~GpuTerminalHost() override;

    // Where the shader source is looked for; tests offer none.
    static OpenGlShaderLibrary::Search& shaderSearch();

    // False (and status disabled) when the renderer cannot be set up.
    bool enable();
    const GpuRendererStatus& status() const { return status_; }
    // True while the overlay draws the view, so QPainter need not.
    bool coversView() const;
    void noteDirtyLines(int first, int last);
    void requestFrame();
    void layout();
    GpuTerminalRenderer* renderer() const { return renderer_.get(); }
    std::size_t retiredCount() const { return retired_.size(); }
    GpuOverlayWidget* overlay() const { return overlay_; }
    static constexpr int cursorBlinkIntervalMs = 700;
    bool cursorBlinkTimerActive() const { return blinkTimer_.isActive(); }
    // Starts or stops the caret's blink timer for the cursor's style.
    void updateCursorBlinkTimer();

    // Called by the overlay widget.
    void contextReady();
    void contextLost();
    void paint(unsigned framebuffer, int width, int height, double scale);
    void presented();
    void handleRecovery(const GpuRendererRecoveryReport& report);

    // RendererView
    Terminal* terminal() override;
    QSizeF cellSize() const override;
    QSizeF viewSize() const override;
    GpuFont font(FontFace face) const override;
    RendererFontMetrics fontMetrics() const override;
    CellAttributes& attributes() override;
    QColor defaultBackground() const override;
    QColor defaultForeground() const override;
    const RowContext& rowContext() const override { return rowContext_; }
    bool antiAliasCustomBlockGlyphs() const override;
    bool hasFocus() const override;
    bool caretTracksFocus() const override { return true; }
    bool cursorBlinkOn() const override { return blinkOn_; }
    QColor caretColor() const override;
    QColor caretTextColor() const override;
    BufferingMode bufferingMode() const override { return bufferingMode_; }
    std::optional<std::pair<int, int>> takeDirtyRange() override;

    BufferingMode bufferingMode_ = BufferingMode::perRowPersistent;

private:
    void setState(GpuRendererStatus::State state);
    void makeOverlay();
    void fallBack(std::string_view reason);
    void retire();

    TerminalView& view_;
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
    bool replacing_ = false;
    QTimer blinkTimer_;
    bool blinkOn_ = true;
};

}  // namespace ravelgrid
