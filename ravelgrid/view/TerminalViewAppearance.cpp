// Appearance options beyond fonts and the native colours: what each write
// stores and repaints.
#include "ravelgrid/view/TerminalView.h"

#include "ravelgrid/view/CaretView.h"

#include <algorithm>
#include <cmath>

namespace ravelgrid {

qreal TerminalView::backgroundOpacity() const
{
    return nativeBackgroundColor().alphaF();
}

void TerminalView::setBackgroundOpacity(qreal opacity)
{
    const qreal alpha = std::isfinite(opacity) ? std::clamp<qreal>(opacity, 0, 1) : 1.0;
    QColor background = nativeBackgroundColor();
    background.setAlphaF(float(alpha));
    setNativeBackgroundColor(background);
    markFullScreenDirty();
    queuePendingDisplay();
}

void TerminalView::setCustomBlockGlyphs(bool on)
{
    customBlockGlyphs_ = on;
    markFullScreenDirty();
    queuePendingDisplay();
    if (caret_)
        caret_->update();
}

void TerminalView::setFontSmoothing(bool on)
{
    if (on == frame_.fontSmoothing())
        return;
    // The line cache is keyed by face, so the new faces shape afresh.
    frame_.setFontSmoothing(on);
    markFullScreenDirty();
    queuePendingDisplay();
    if (caret_)
        caret_->update();
}

bool TerminalView::antiAliasCustomBlockGlyphs() const
{
    return frame_.antiAliasCustomBlockGlyphs();
}

void TerminalView::setAntiAliasCustomBlockGlyphs(bool on)
{
    frame_.setAntiAliasCustomBlockGlyphs(on);
    markFullScreenDirty();
    queuePendingDisplay();
}

void TerminalView::setSelectedTextBackgroundColor(const QColor& c)
{
    selectedTextBackground_ = c;
    markFullScreenDirty();
    queuePendingDisplay();
}

void TerminalView::setSelectedTextForegroundColor(const QColor& c)
{
    selectedTextForeground_ = c;
    markFullScreenDirty();
    queuePendingDisplay();
}

}  // namespace ravelgrid
