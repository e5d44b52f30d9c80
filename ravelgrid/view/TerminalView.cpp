#include "ravelgrid/view/TerminalView.h"
#include "ravelgrid/view/ReduceMotion.h"

#include "ravelgrid/drawing/CellMetrics.h"
#include "ravelgrid/drawing/ColorResolver.h"
#include "ravelgrid/protocols/KittyKeyEvent.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/screen/Utf8.h"
#include "ravelgrid/terminal/EscapeSequences.h"
#include "ravelgrid/view/CaretView.h"
#include "ravelgrid/view/DebugOverlay.h"
#include "ravelgrid/view/GpuTerminalHost.h"
#include "ravelgrid/view/PasteText.h"
#include "ravelgrid/view/TerminalAccessible.h"

#include <QAction>
#include <QApplication>
#include <QBackingStore>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QStyle>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace ravelgrid {

void TerminalViewDelegate::bell(TerminalView&)
{
    QApplication::beep();
}

TerminalView::TerminalView(QWidget* parent, std::optional<FontSet> font, TerminalOptions options,
                           platform::Scheduler& scheduler)
    : QWidget(parent), startupOptions_(std::move(options)), scheduler_(scheduler), displayTasks_(scheduler)
{
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_InputMethodEnabled, true);
    setCursor(Qt::IBeamCursor);
    TerminalAccessible::install();
    if (font)
        frame_.setFontSet(std::move(*font));
    frame_.setPictureReadyCallback([this] { update(); });
    setupScroller();

    textBlinkTimer_.setInterval(textBlinkIntervalMs);
    connect(&textBlinkTimer_, &QTimer::timeout, this, &TerminalView::textBlinkTick);
    if (qGuiApp) {
        applicationActive_ = QGuiApplication::applicationState() == Qt::ApplicationActive ||
                             QGuiApplication::platformName() == QLatin1String("offscreen");
        connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            applicationActive_ = state == Qt::ApplicationActive;
            updateTextBlinkTimer();
        });
        connect(&ReduceMotion::instance(), &ReduceMotion::changed, this, &TerminalView::updateTextBlinkTimer);
    }

    // A widget has no size of its own before it is laid out: the terminal
    // starts with the options' grid.
    setupTerminalObjects(QSizeF(0, 0));
    setupEditActions();
    find_ = std::make_unique<FindController>(*this, [this] { redrawAll(); });
    applyCommandKeys();
    notices_ = std::make_unique<BellAndProgress>(*this, scheduler_);
    updateScroller();
}

TerminalView::~TerminalView()
{
    gpu_.reset();
    textBlinkTimer_.stop();
    pointer_.cancelDeferred();
    cancelTask(scrollerHideTask_);
    // The service outlives nothing it points at: drop it before the terminal.
    selection_.reset();
    search_.reset();
    if (terminal_)
        terminal_->setDelegate(nullptr);
}

// --- fonts and cell metrics ----------------------------------------------------------

qreal TerminalView::backingScale() const
{
    const qreal scale = devicePixelRatioF();
    return scale > 0 ? scale : 1.0;
}

QSizeF TerminalView::computeCellDimension() const
{
    return ravelgrid::computeCellDimension(frame_.fontSet().rawNormal(), lineSpacing_, backingScale());
}

qreal TerminalView::reservedScrollerWidth() const
{
    return scroller_ && scrollerStyle_ == ScrollerStyle::legacy ? qreal(scroller_->sizeHint().width()) : 0;
}

qreal TerminalView::availableGridWidth(qreal width) const
{
    const qreal available = width - reservedScrollerWidth();
    return available > 0 ? available : 0;  // NaN too
}

QRect TerminalView::fittingFrame() const
{
    const QSizeF cell = cellDimension_.value_or(QSizeF(1, 1));
    return QRectF(0, 0, terminal_->cols * cell.width() + reservedScrollerWidth(), terminal_->rows * cell.height())
        .toAlignedRect();
}

void TerminalView::resetCaches()
{
    frame_.colors().resetAll();
    frame_.attributes().clear();
}

void TerminalView::setupTerminalObjects(QSizeF size)
{
    resetCaches();
    cellDimension_ = computeCellDimension();
    frame_.setCellSize(*cellDimension_);

    TerminalOptions options = terminal_ ? terminal_->options() : startupOptions_;
    if (!size.isNull()) {
        const QSize grid = gridSizeFor(size, *cellDimension_);
        options.cols = grid.width();
        options.rows = grid.height();
    }
    if (!terminal_) {
        terminal_ = std::make_unique<Terminal>(this, options);
        // The synchronized-output timeout runs on the view's scheduler; the
        // terminal cancels its timer when it goes with the view.
        terminal_->setScheduler(&scheduler_);
        // Large images decode off the window's thread while input waits.
        terminal_->setBackgroundWorkAllowed(true);
        frame_.colors().setPaletteLookup([this](uint8_t index) {
            if (!terminal_ || index >= terminal_->ansiColors.size())
                return Color::defaultForeground();
            return terminal_->ansiColors[index];
        });
        terminal_->setBackgroundColor(Color(0, 0, 0));
        terminal_->setForegroundColor(Color(35389, 35389, 35389));
    }
    selection_ = SelectionService::create(*terminal_);
    search_ = std::make_unique<SearchService>(*terminal_);
    if (!caret_) {
        caret_ = new CaretView(this);
        caret_->setGeometry(QRectF(QPointF(0, 0), *cellDimension_).toAlignedRect());
    }
    update();
}

void TerminalView::setFontSet(FontSet fonts)
{
    frame_.setFontSet(std::move(fonts));
    resetFont();
    clearSelectionOnFontChange();
}

void TerminalView::resetToDefaultFont()
{
    setFontSet(FontSet::defaultSet());
}

void TerminalView::setLineSpacing(qreal spacing)
{
    lineSpacing_ = (spacing > 0 && std::isfinite(spacing)) ? spacing : 1.0;
    resetFont();
}

void TerminalView::resetFont()
{
    resetCaches();
    cellDimension_ = computeCellDimension();
    frame_.setCellSize(*cellDimension_);
    if (width() > 0 && height() > 0) {
        const QSize grid = gridSizeFor(QSizeF(size()), *cellDimension_, reservedScrollerWidth());
        resizeGrid(grid.width(), grid.height());
    }
    markFullScreenDirty();
    updateCursorPosition();
    update();
}

void TerminalView::resizeGrid(int cols, int rows)
{
    // No soft reset here: a running full-screen program keeps its modes and
    // redraws on the SIGWINCH that the new size brings.
    terminal_->resize(cols, rows);
    if (terminalDelegate_)
        terminalDelegate_->sizeChanged(*this, terminal_->cols, terminal_->rows);
    updateScroller();
}

bool TerminalView::processSizeChange(QSizeF size)
{
    if (size.isNull() || !cellDimension_)
        return false;
    const QSize grid = gridSizeFor(size, *cellDimension_, reservedScrollerWidth());
    if (grid.width() == terminal_->cols && grid.height() == terminal_->rows)
        return false;
    selection_->setActive(false);
    terminal_->resize(grid.width(), grid.height());
    search_->invalidateCache();
    // The terminal keeps its bounds (at least 2 by 1): report what it holds.
    if (terminalDelegate_)
        terminalDelegate_->sizeChanged(*this, terminal_->cols, terminal_->rows);
    updateScroller();
    return true;
}

// --- colours ----------------------------------------------------------------------------

void TerminalView::setNativeForegroundColor(const QColor& c)
{
    if (settingFg_)
        return;
    settingFg_ = true;
    frame_.colors().setNativeForeground(c);
    if (terminal_)
        terminal_->setForegroundColor(qColorToColor(c));
    settingFg_ = false;
}

void TerminalView::setNativeBackgroundColor(const QColor& c)
{
    if (settingBg_)
        return;
    settingBg_ = true;
    frame_.colors().setNativeBackground(c);
    if (terminal_)
        terminal_->setBackgroundColor(qColorToColor(c));
    settingBg_ = false;
}

QColor TerminalView::effectiveNativeForeground() const
{
    return frame_.colors().effectiveForeground(terminal_ && terminal_->reverseColors);
}

QColor TerminalView::effectiveNativeBackground() const
{
    return frame_.colors().effectiveBackground(terminal_ && terminal_->reverseColors);
}

QColor TerminalView::effectiveCaretColor() const
{
    return programCaretColor_.value_or(caretColor_.value_or(effectiveNativeForeground()));
}

QColor TerminalView::effectiveCaretTextColor() const
{
    return caretTextColor_.value_or(effectiveNativeBackground());
}

void TerminalView::setCaretColor(const QColor& c)
{
    // The host's colour is what a program's reset returns to.
    caretColor_ = c;
    programCaretColor_.reset();
    caretColorsChanged();
}

void TerminalView::setCaretTextColor(const std::optional<QColor>& c)
{
    caretTextColor_ = c;
    caretColorsChanged();
}

void TerminalView::caretColorsChanged()
{
    if (caret_)
        caret_->update();
    // The renderer's caret has no change of its own to wait for.
    queueGpuDisplay();
}

bool TerminalView::caretViewTracksFocus() const
{
    return caret_->tracksFocus();
}

void TerminalView::setCaretViewTracksFocus(bool on)
{
    caret_->setTracksFocus(on);
    queueGpuDisplay();
}

void TerminalView::applySystemTextColors()
{
    const QPalette& colors = palette();
    setNativeForegroundColor(colors.color(QPalette::Active, QPalette::Text));
    // The terminal reports the change back and the view repaints from it.
    setNativeBackgroundColor(colors.color(QPalette::Active, QPalette::Base));
}

void TerminalView::setUseBrightColors(bool on)
{
    frame_.attributes().setUseBrightColors(on);
    markFullScreenDirty();
    queuePendingDisplay();
}

void TerminalView::installColors(std::span<const Color> colors)
{
    if (colors.size() == 16)
        terminal_->installPalette(colors);
    frame_.colors().resetPalette();
    applyBackgroundColor();
}

void TerminalView::applyBackgroundColor()
{
    frame_.attributes().clear();
    if (!terminal_)
        return;
    markFullScreenDirty();
    queuePendingDisplay();
}

// --- byte paths ----------------------------------------------------------------------------

void TerminalView::inputResumed(Terminal&)
{
    search_->invalidateCache();
    queuePendingDisplay();
}

void TerminalView::feed(std::span<const uint8_t> bytes)
{
    search_->invalidateCache();
    if (allowMouseReporting_)
        selection_->setActive(false);
    terminal_->feed(bytes);
    const uint64_t sinceInput = outputSinceInput_.fetch_add(bytes.size(), std::memory_order_relaxed) + bytes.size();
    const uint64_t now = scheduler_.nowNs();
    const uint64_t lastImmediate = lastImmediateDisplayNs_.load(std::memory_order_relaxed);
    const bool spaced = lastImmediate == 0 || now - lastImmediate >= immediateDisplaySpacingNs;
    if (spaced && sinceInput <= interactiveOutputBytes && shouldDisplayImmediately()) {
        // An echo of typing: painted in this turn of the event loop, only
        // the changed rows and the caret.
        lastImmediateDisplayNs_.store(std::max<uint64_t>(now, 1), std::memory_order_relaxed);
        paintNow_ = isVisible() && QThread::currentThread() == thread();
        displayNow();
        if (paintNow_ && !(gpu_ && gpu_->coversView()))
            settleBackingStoreSoon();
        paintNow_ = false;
    } else
        queuePendingDisplay();
}

// Qt's X11 backing store makes the next paint wait for the X server to have
// read the shared image of the last one (a round trip). Taking that wait on
// the next turn of the loop, after this echo's pixels went out, keeps it off
// the next keystroke's path.
void TerminalView::settleBackingStoreSoon()
{
    // Other platforms' stores may swap or clear buffers when a paint begins.
    static const bool x11 = QGuiApplication::platformName() == QLatin1String("xcb");
    if (!x11 || settleQueued_)
        return;
    settleQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        settleQueued_ = false;
        QWidget* top = window();
        QBackingStore* store = top->backingStore();
        // A store that is due a resize is left to the next real paint; a
        // translucent window's store clears what a paint begins on.
        if (!store || !top->isVisible() || store->size() != top->size() ||
            top->testAttribute(Qt::WA_TranslucentBackground))
            return;
        // Only a paint over what was just sent waits.
        store->beginPaint(QRegion(QRect(mapTo(top, QPoint(0, 0)), size())));
        store->endPaint();
    });
}

void TerminalView::feed(std::string_view text)
{
    feed(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void TerminalView::send(std::span<const uint8_t> bytes)
{
    lastUserInputUptimeNs_.store(scheduler_.nowNs(), std::memory_order_relaxed);
    outputSinceInput_.store(0, std::memory_order_relaxed);
    lastImmediateDisplayNs_.store(0, std::memory_order_relaxed);
    ensureCaretIsVisible();
    Buffer& active = *terminal_->buffer;
    if (terminal_->scanUserInputForSubmission(bytes) && active.semanticInput == SemanticInputState::armed)
        active.semanticInput = SemanticInputState::submitted;
    if (terminalDelegate_)
        terminalDelegate_->send(*this, bytes);
}

void TerminalView::send(std::string_view text)
{
    send(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void TerminalView::sendBidiAwareArrow(bool isLeft)
{
    Buffer& buffer = *terminal_->buffer;
    const int cursorLine = buffer.yBase() + buffer.y();
    bool rightToLeft = false;
    if (bidiHostPolicy_ == BidiHostPolicy::respectTerminal && cursorLine >= 0 && cursorLine < buffer.lines().count()) {
        const BufferLine* line = buffer.lines().peek(cursorLine);
        const BidiPresentationState state = line ? line->bidiState() : buffer.defaultBidiState;
        if (state.supportMode == BidiSupportMode::explicit_)
            rightToLeft = state.fallbackDirection == BidiDirection::rightToLeft;
        else if (const auto paragraph =
                     TerminalBidi::rowLayout(cursorLine, buffer, terminal_->cols,
                                             terminal_->options().maximumBidiParagraphRows, clusterScalars()))
            rightToLeft = paragraph->baseDirection == BidiDirection::rightToLeft;
    }
    const bool swap = rightToLeft && terminal_->bidiArrowKeySwap;
    const bool right = isLeft == swap;
    const char sequence[3] = {'\x1b', terminal_->applicationCursor ? 'O' : '[', right ? 'C' : 'D'};
    send(std::string_view(sequence, 3));
}

// --- display -------------------------------------------------------------------------------

void TerminalView::queuePendingDisplay()
{
    if (terminal_->synchronizedOutputActive || pendingDisplay_)
        return;
    pendingDisplay_ = true;
    displayTasks_.after(displayCoalescingNs, [this] {
        // A pass drawn at once meanwhile took this one's changes.
        if (pendingDisplay_)
            runDisplayPass();
    });
}

void TerminalView::runDisplayPass()
{
    updateScroller();
    updateTextBlinkTimer();
    updateDisplay(true);
    pendingDisplay_ = false;
}

void TerminalView::displayNow()
{
    if (QThread::currentThread() == thread()) {
        runDisplayPass();
        return;
    }
    if (pendingDisplay_)
        return;
    pendingDisplay_ = true;
    QMetaObject::invokeMethod(
        this, [this] { runDisplayPass(); }, Qt::QueuedConnection);
}

bool TerminalView::shouldDisplayImmediately() const
{
    if (terminal_->synchronizedOutputActive)
        return false;
    const uint64_t last = lastUserInputUptimeNs_.load(std::memory_order_relaxed);
    if (last == 0)
        return false;
    const uint64_t now = scheduler_.nowNs();
    return now >= last && now - last <= interactiveInputDisplayWindowNs;
}

DebugOverlay* TerminalView::debugOverlay() const
{
    return debug_;
}

void TerminalView::setDebugOverlay(DebugOverlay* overlay)
{
    debug_ = overlay;
}

void TerminalView::displayed(bool notifyAccessibility, bool rowsChanged)
{
    ++displayPasses_;
    if (debug_)
        debug_->refresh();
    // Costs nothing unless a screen reader (or any accessibility client) listens.
    if (!notifyAccessibility || !TerminalAccessibilityNotifier::listening())
        return;
    if (!accessibility_)
        accessibility_ = std::make_unique<TerminalAccessibilityNotifier>(*this);
    accessibility_->displayed(rowsChanged);
}

void TerminalView::updateDisplay(bool notifyAccessibility)
{
    if (terminal_->synchronizedOutputActive) {
        pendingDisplay_ = false;
        return;
    }
    updateCursorPosition();

    Buffer& buffer = terminal_->activeBuffer();
    const auto range = terminal_->getUpdateRange();
    if (!range) {
        if (notifyUpdateChanges_ && terminalDelegate_) {
            const int cursorLine = buffer.yDisp() + buffer.y();
            terminalDelegate_->rangeChanged(*this, cursorLine, cursorLine);
        }
        if (paintNow_ && caret_ && caret_->isVisible())
            caret_->repaint();
        if (gpu_)
            gpu_->noteCursor(buffer.x(), buffer.yBase() + buffer.y(), terminal_->cursorHidden);
        displayed(notifyAccessibility, false);
        pendingDisplay_ = false;
        return;
    }
    const int start = range->first;
    const int end = range->second;
    if (notifyUpdateChanges_ && terminalDelegate_)
        terminalDelegate_->rangeChanged(*this, start, end);
    terminal_->clearUpdateRange();

    int first = start;
    int last = end;
    const int lineCount = buffer.lines().count();
    if (!(start < 0 || end < start || end >= terminal_->rows || lineCount == 0)) {
        first = std::max(start, 0);
        last = std::min({end, terminal_->rows - 1, lineCount - 1 - buffer.yDisp()});
        last = std::max(last, first);
        // A change anywhere in a bidi paragraph can move every cell of it.
        if (bidiHostPolicy_ == BidiHostPolicy::respectTerminal) {
            const int yDisp = buffer.yDisp();
            const auto [from, to] = TerminalBidi::expandToParagraphs(first + yDisp, last + yDisp, buffer,
                                                                     terminal_->options().maximumBidiParagraphRows);
            first = std::max(from - yDisp, 0);
            last = std::max(std::min(to - yDisp, terminal_->rows - 1), first);
        }
    }
    const GridGeometry geometry = frame_.geometry(QSizeF(size()));
    const QRectF rect = geometry.invalidationRect(std::max(first, 0), std::max(last, 0), terminal_->rows,
                                                  buffer.yDisp() == buffer.yBase());
    lastInvalidated_ = rect;
    // Under the OpenGL surface the view paints nothing: marking it would
    // only make Qt compose the window's raster layer again for nothing.
    const bool covered = gpu_ && gpu_->coversView();
    if (!rect.isEmpty() && !covered) {
        if (paintNow_) {
            repaint(rect.toAlignedRect());
            // The caret is painted with the rows it sits on.
            if (caret_ && caret_->isVisible() && !rect.contains(QRectF(caret_->geometry())))
                caret_->repaint();
        } else
            update(rect.toAlignedRect());
    }
    if (gpu_) {
        gpu_->noteDirtyLines(std::max(first, 0) + buffer.yDisp(), std::max(last, 0) + buffer.yDisp());
        gpu_->noteCursor(buffer.x(), buffer.yBase() + buffer.y(), terminal_->cursorHidden);
    }
    displayed(notifyAccessibility, true);
    pendingDisplay_ = false;
}

void TerminalView::updateCursorPosition()
{
    if (!caret_ || !cellDimension_)
        return;
    Buffer& buffer = terminal_->activeBuffer();
    const int cursorLine = buffer.yBase() + buffer.y();
    if (cursorLine >= buffer.yDisp() + terminal_->rows || cursorLine < buffer.yDisp() ||
        cursorLine >= buffer.lines().count()) {
        caret_->hide();
        return;
    }
    // The OpenGL path draws the caret itself.
    caret_->setVisible(!terminal_->cursorHidden && !(gpu_ && gpu_->active()));

    BufferLine& line = buffer.lines()[cursorLine];
    const int column = std::clamp(buffer.x(), 0, std::max(line.dataSize() - 1, 0));
    const int cellsWide = line.dataSize() > 0 ? std::clamp<int>(line[column].width, 1, 2) : 1;
    const qreal f = line.renderMode() == BufferLine::RenderLineMode::single ? 1.0 : 2.0;
    const GridGeometry geometry = frame_.geometry(QSizeF(size()));
    // A cursor waiting to wrap sits past the last column; show it on it.
    int x = std::clamp(buffer.x(), 0, std::max(terminal_->cols - 1, 0));
    // On a right-to-left or mixed row the caret sits on the cell's visual column.
    const TerminalBidi::DisplayedRow shown = displayedRow(cursorLine);
    if (const BidiRowLayout* layout = shown.layout())
        x = std::clamp(layout->visualColumn(x), 0, std::max(terminal_->cols - 1, 0));
    const QRectF cell(x * cellDimension_->width() * f, geometry.rowTop(cursorLine - buffer.yDisp()),
                      cellsWide * cellDimension_->width() * f, cellDimension_->height());
    caret_->setGeometry(cell.toAlignedRect());
    caret_->update();
}

std::vector<int> TerminalView::blinkingLines()
{
    std::vector<int> result;
    // Scanning every shown cell costs a typed echo tens of microseconds.
    if (!terminal_->blinkEverSet)
        return result;
    Buffer& buffer = terminal_->activeBuffer();
    const int from = std::max(buffer.yDisp(), 0);
    const int to = std::min(buffer.yDisp() + terminal_->rows, buffer.lines().count());
    for (int lineIndex = from; lineIndex < to; ++lineIndex) {
        const BufferLine& line = buffer.lines()[lineIndex];
        // The kept cells only: the last one stands for the rest of the row,
        // and reading them does not make a compact line full.
        const auto cells = line.storedCells();
        if (cells.empty())
            continue;
        bool blinking = false;
        const size_t n = std::min<size_t>(cells.size(), size_t(std::max(terminal_->cols, 0)));
        for (size_t c = 0; c < n && !blinking; ++c)
            blinking = cells[c].attribute.style.contains(CharacterStyle::blink);
        // Columns past the line's cells show its last cell's attribute.
        if (!blinking && line.dataSize() < terminal_->cols)
            blinking = cells.back().attribute.style.contains(CharacterStyle::blink);
        if (blinking)
            result.push_back(lineIndex);
    }
    return result;
}

void TerminalView::markLinesDirty(const std::vector<int>& lines)
{
    const int yDisp = terminal_->activeBuffer().yDisp();
    for (int line : lines) {
        const int row = line - yDisp;
        if (row >= 0)
            terminal_->updateRange(row);
    }
}

void TerminalView::updateTextBlinkTimer()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this] { updateTextBlinkTimer(); }, Qt::QueuedConnection);
        return;
    }
    const std::vector<int> lines = blinkingLines();
    const bool shouldRun = isVisible() && applicationActive_ && !ReduceMotion::instance().reduced() && !lines.empty();
    if (shouldRun) {
        if (!textBlinkTimer_.isActive()) {
            textBlinkVisible_ = true;
            textBlinkTimer_.start();
        }
        return;
    }
    textBlinkTimer_.stop();
    if (!textBlinkVisible_) {
        textBlinkVisible_ = true;
        markLinesDirty(lines);
        queuePendingDisplay();
    }
}

void TerminalView::textBlinkTick()
{
    textBlinkVisible_ = !textBlinkVisible_;
    markLinesDirty(blinkingLines());
    queuePendingDisplay();
}

void TerminalView::markFullScreenDirty()
{
    terminal_->updateFullScreen();
}

// --- selection and edit actions --------------------------------------------------------------

std::optional<std::string> TerminalView::selectedText() const
{
    if (!selection_->active())
        return std::nullopt;
    return selection_->getSelectedText();
}

void TerminalView::selectAll()
{
    selection_->selectAll();
}

void TerminalView::clearSelectionOnFontChange()
{
    if (!selection_->active())
        return;
    selection_->setActive(false);
    selection_->setSelectionMode(SelectionService::SelectionMode::character);
    selection_->invalidate();
}

void TerminalView::redrawAll()
{
    markFullScreenDirty();
    update();
}

void TerminalView::setupEditActions()
{
    // Their keys come from the command keys once the find actions exist too.
    auto make = [this](QAction*& slot, const char* text, auto handler) {
        slot = new QAction(QString::fromLatin1(text), this);
        slot->setShortcutContext(Qt::WidgetShortcut);
        connect(slot, &QAction::triggered, this, handler);
        addAction(slot);
    };
    make(copyAction_, "Copy", [this] { copy(); });
    make(pasteAction_, "Paste", [this] { paste(); });
    make(selectAllAction_, "Select All", [this] { selectAll(); });
    // Every right press reaches mousePressEvent, which reports it or opens the menu.
    setContextMenuPolicy(Qt::PreventContextMenu);
    updateEditActions();
}

// The right-click menu stands in for the menu bar's Edit and Find commands.
// Its items mirror the view's actions, so that Paste is greyed out with an
// empty clipboard while Ctrl+Shift+V itself stays bound.
QMenu* TerminalView::showContextMenu(QPoint globalPos)
{
    if (contextMenu_)
        contextMenu_->close();
    updateEditActions();
    const QClipboard* clipboard = QGuiApplication::clipboard();
    const QMimeData* data = clipboard ? clipboard->mimeData(QClipboard::Clipboard) : nullptr;
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const auto mirror = [menu](QAction* source, bool enabled) {
        QAction* item = menu->addAction(source->text());
        item->setShortcut(source->shortcut());
        // The shortcut is shown only; the view's own action handles the key.
        item->setShortcutContext(Qt::WidgetShortcut);
        item->setEnabled(enabled && source->isEnabled());
        connect(item, &QAction::triggered, source, &QAction::trigger);
    };
    mirror(copyAction_, true);
    mirror(pasteAction_, data && data->hasText());
    mirror(selectAllAction_, true);
    menu->addSeparator();
    if (QAction* find = find_->action(FindCommand::showFindBar))
        mirror(find, true);
    contextMenu_ = menu;
    menu->popup(globalPos);
    return menu;
}

QMenu* TerminalView::contextMenu() const
{
    return contextMenu_;
}

void TerminalView::setCommandKeys(std::vector<ViewKeyBinding> bindings)
{
    keyboard_.setCommandKeys(std::move(bindings));
    applyCommandKeys();
}

void TerminalView::applyCommandKeys()
{
    const auto bind = [this](QAction* action, ViewCommand command) {
        if (!action)
            return;
        QList<QKeySequence> keys;
        for (const KeyChord& chord : keyboard_.chordsFor(command))
            keys.append(chord.sequence());
        // The first is the one menus show.
        action->setShortcuts(keys);
    };
    bind(copyAction_, ViewCommand::copy);
    bind(pasteAction_, ViewCommand::paste);
    bind(selectAllAction_, ViewCommand::selectAll);
    bind(find_->action(FindCommand::showFindBar), ViewCommand::showFindBar);
    bind(find_->action(FindCommand::findNext), ViewCommand::findNext);
    bind(find_->action(FindCommand::findPrevious), ViewCommand::findPrevious);
    bind(find_->action(FindCommand::useSelectionForFind), ViewCommand::useSelectionForFind);
}

void TerminalView::updateEditActions()
{
    if (copyAction_)
        copyAction_->setEnabled(selection_ && selection_->active());
    if (find_)
        find_->updateActions();
}

std::string TerminalView::clipboardText(QClipboard::Mode mode) const
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard || (mode == QClipboard::Selection && !clipboard->supportsSelection()))
        return {};
    return clipboard->text(mode).toStdString();
}

void TerminalView::setPrimarySelection()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard || !clipboard->supportsSelection() || !selection_->active() || !selection_->hasSelectionRange())
        return;
    clipboard->setText(QString::fromStdString(selection_->getSelectedText()), QClipboard::Selection);
}

void TerminalView::copy()
{
    if (!selection_->active())
        return;
    const QString text = QString::fromStdString(selection_->getSelectedText());
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        clipboard->setText(text, QClipboard::Clipboard);
        if (clipboard->supportsSelection())
            clipboard->setText(text, QClipboard::Selection);
    }
}

void TerminalView::paste()
{
    insertText(clipboardText(QClipboard::Clipboard), true);
}

void TerminalView::pastePrimarySelection()
{
    // Without a primary selection (Wayland, no X server) there is nothing to paste.
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard || !clipboard->supportsSelection())
        return;
    insertText(clipboardText(QClipboard::Selection), true);
}

void TerminalView::insertText(std::string_view text, bool isPaste, char pasteLineBreak)
{
    // What this sends is tagged, so the child's input queue can tell a paste from typing.
    const QScopedValueRollback pasting(sendingPaste_, isPaste);
    std::string clean;
    if (isPaste) {
        clean = sanitizePaste(text, pasteLineBreak);
        text = clean;
    }
    const auto asBytes = [](std::string_view s) {
        return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    if (isPaste && terminal_->bracketedPasteMode) {
        // One write: nothing may slip between the markers and the text.
        std::vector<uint8_t> bytes;
        bytes.reserve(EscapeSequences::bracketedPasteStart.size() + text.size() +
                      EscapeSequences::bracketedPasteEnd.size());
        bytes.insert(bytes.end(), EscapeSequences::bracketedPasteStart.begin(),
                     EscapeSequences::bracketedPasteStart.end());
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.insert(bytes.end(), EscapeSequences::bracketedPasteEnd.begin(), EscapeSequences::bracketedPasteEnd.end());
        send(std::span<const uint8_t>(bytes));
        return;
    }
    if (text.empty())
        return;
    const KittyKeyboardFlags flags = terminal_->keyboardEnhancementFlags();
    if (flags.rawValue == 0) {
        send(asBytes(text));
        return;
    }
    keyboard_.sendKittyText(text);
}

// --- scrolling -------------------------------------------------------------------------------

int TerminalView::maxScroll() const
{
    const Buffer& buffer = *terminal_->buffer;
    return std::max(buffer.lines().count() - terminal_->rows, 0);
}

bool TerminalView::canScroll() const
{
    const Buffer& buffer = *terminal_->buffer;
    return !terminal_->isCurrentBufferAlternate() && buffer.hasScrollback() && terminal_->rows < buffer.lines().count();
}

double TerminalView::scrollPosition() const
{
    const Buffer& buffer = *terminal_->buffer;
    if (terminal_->isCurrentBufferAlternate() || buffer.yDisp() <= 0)
        return 0.0;
    const int max = maxScroll();
    return buffer.yDisp() < max ? double(buffer.yDisp()) / double(max) : 1.0;
}

double TerminalView::scrollThumbsize() const
{
    if (terminal_->isCurrentBufferAlternate())
        return 0.0;
    const int lines = terminal_->buffer->lines().count();
    if (lines <= 0)
        return 1.0;
    return std::max(double(terminal_->rows) / double(lines), 0.01);
}

void TerminalView::setupScroller()
{
    if (!scroller_) {
        scroller_ = new QScrollBar(Qt::Vertical, this);
        scroller_->setFocusPolicy(Qt::NoFocus);
        scroller_->setCursor(Qt::ArrowCursor);
        connect(scroller_, &QAbstractSlider::actionTriggered, this, [this](int action) { scrollerAction(action); });
        // A released knob may hide again.
        connect(scroller_, &QAbstractSlider::sliderReleased, this, [this] { hideOverlayScrollerWhenIdle(); });
    }
    scroller_->setEnabled(false);
    scroller_->setRange(0, 0);
    scroller_->setVisible(scrollerStyle_ == ScrollerStyle::legacy);
    layoutScroller();
}

void TerminalView::setScrollerStyle(ScrollerStyle style)
{
    scrollerStyle_ = style;
    cancelTask(scrollerHideTask_);
    scroller_->setVisible(style == ScrollerStyle::legacy);
    layoutScroller();
    // The grid gains or gives up the bar's width.
    if (width() > 0 && height() > 0)
        processSizeChange(QSizeF(size()));
    updateScroller();
    markFullScreenDirty();
    update();
}

void TerminalView::revealOverlayScroller()
{
    if (scrollerStyle_ != ScrollerStyle::overlay || !canScroll())
        return;
    scroller_->show();
    hideOverlayScrollerWhenIdle();
}

void TerminalView::hideOverlayScrollerWhenIdle()
{
    if (scrollerStyle_ != ScrollerStyle::overlay)
        return;
    cancelTask(scrollerHideTask_);
    scrollerHideTask_ = runAfter(overlayScrollerHideDelayNs, [this] {
        scrollerHideTask_ = 0;
        // Kept while the pointer rests on it or holds its knob.
        if (scroller_->underMouse() || scroller_->isSliderDown())
            hideOverlayScrollerWhenIdle();
        else
            scroller_->hide();
    });
}

void TerminalView::layoutScroller()
{
    if (!scroller_)
        return;
    const int w = scroller_->sizeHint().width();
    scroller_->setGeometry(std::max(width() - w, 0), 0, w, height());
}

void TerminalView::updateScroller()
{
    if (!scroller_ || !terminal_)
        return;
    const bool scrollable = canScroll();
    const int max = scrollable ? maxScroll() : 0;
    scroller_->setEnabled(scrollable);
    if (!scrollable && scrollerStyle_ == ScrollerStyle::overlay) {
        cancelTask(scrollerHideTask_);
        scroller_->hide();
    }
    // Knob proportion = pageStep / (range + pageStep): rows / lines.
    scroller_->setPageStep(std::max(terminal_->rows, 1));
    scroller_->setSingleStep(1);
    scroller_->setRange(0, max);
    const QSignalBlocker block(scroller_);
    scroller_->setValue(scrollable ? std::clamp(terminal_->buffer->yDisp(), 0, max) : 0);
}

void TerminalView::scrollerAction(int action)
{
    switch (action) {
    case QAbstractSlider::SliderMove: {
        const int max = maxScroll();
        scrollToPosition(max > 0 ? double(scroller_->sliderPosition()) / double(max) : 0.0);
        break;
    }
    case QAbstractSlider::SliderPageStepSub: pageUp(); break;
    case QAbstractSlider::SliderPageStepAdd: pageDown(); break;
    case QAbstractSlider::SliderSingleStepSub: scrollUp(1); break;
    case QAbstractSlider::SliderSingleStepAdd: scrollDown(1); break;
    case QAbstractSlider::SliderToMinimum: scrollTo(0, true); break;
    case QAbstractSlider::SliderToMaximum: scrollTo(maxScroll(), true); break;
    default: return;
    }
    // The slider applies its own step after this signal: keep ours instead.
    scroller_->setSliderPosition(canScroll() ? terminal_->buffer->yDisp() : 0);
}

void TerminalView::updateUserScrolling(int row)
{
    terminal_->userScrolling = row < maxScroll();
}

void TerminalView::scrollTo(int row, bool notifyAccessibility)
{
    Buffer& buffer = terminal_->activeBuffer();
    const int target = std::clamp(row, 0, maxScroll());
    updateUserScrolling(target);
    if (target == buffer.yDisp())
        return;
    if (buffer.yDisp() >= 0)
        buffer.setYDisp(target);
    markFullScreenDirty();
    updateDisplay(notifyAccessibility);
    if (terminalDelegate_)
        terminalDelegate_->scrolled(*this, scrollPosition());
    updateScroller();
    revealOverlayScroller();
    update();
}

void TerminalView::scrollToPosition(double position)
{
    if (!std::isfinite(position))
        return;
    const int max = maxScroll();
    // A hair over, so that k / max lands on row k despite rounding.
    const int target = std::clamp(int(std::trunc(position * max + 1e-9)), 0, max);
    if (target == terminal_->activeBuffer().yDisp())
        updateUserScrolling(target);
    else
        scrollTo(target, true);
}

void TerminalView::scrollUp(int lines)
{
    scrollTo(std::max(terminal_->activeBuffer().yDisp() - lines, 0), true);
}

void TerminalView::scrollDown(int lines)
{
    scrollTo(std::max(std::min(terminal_->activeBuffer().yDisp() + lines, maxScroll()), 0), true);
}

void TerminalView::changeScrollback(std::optional<int> lines)
{
    if (lines)
        lines = std::max(*lines, 0);
    terminal_->normalBuffer->changeHistorySize(lines);
    TerminalOptions options = terminal_->options();
    options.scrollback = lines.value_or(0);
    terminal_->setOptions(options);
    markFullScreenDirty();
    updateScroller();
    if (terminalDelegate_)
        terminalDelegate_->scrolled(*this, scrollPosition());
    queuePendingDisplay();
}

void TerminalView::clearScrollback()
{
    terminal_->normalBuffer->clearScrollback();
    markFullScreenDirty();
    updateScroller();
    if (terminalDelegate_)
        terminalDelegate_->scrolled(*this, scrollPosition());
    queuePendingDisplay();
}

void TerminalView::pageUp()
{
    if (terminal_->isCurrentBufferAlternate())
        send(std::span<const uint8_t>(EscapeSequences::cmdPageUp));
    else
        scrollUp(terminal_->rows);
}

void TerminalView::pageDown()
{
    if (terminal_->isCurrentBufferAlternate())
        send(std::span<const uint8_t>(EscapeSequences::cmdPageDown));
    else
        scrollDown(terminal_->rows);
}

void TerminalView::ensureCaretIsVisible()
{
    if (terminal_->synchronizedOutputActive)
        return;
    Buffer& buffer = terminal_->activeBuffer();
    const int cursorRow = buffer.yBase() + buffer.y();
    if (cursorRow < buffer.yDisp() || cursorRow >= buffer.yDisp() + buffer.rows())
        scrollTo(buffer.yBase());
}

// --- drawing ---------------------------------------------------------------------------------

RowContext TerminalView::rowContext() const
{
    RowContext context;
    Terminal* terminal = terminal_.get();
    context.clusterText = [terminal](int32_t code) { return QString::fromStdString(terminal->character(code)); };
    context.selectedColumns = [this](int bufferRow) { return selectedColumns(bufferRow); };
    context.selectedBackground = selectedTextBackground_;
    context.selectedForeground = selectedTextForeground_;
    context.textBlinkVisible = textBlinkVisible_;
    context.reverseColors = terminal_->reverseColors;
    context.bidi = bidiHostPolicy_ == BidiHostPolicy::respectTerminal;
    context.maximumBidiParagraphRows = terminal_->options().maximumBidiParagraphRows;
    context.clusterScalars = clusterScalars();
    if (links_.highlightRange())
        context.linkColumns = [links = &links_](int bufferRow) { return links->columns(bufferRow); };
    context.underlineAllLinks = links_.underlinesAll();
    context.customBlockGlyphs = customBlockGlyphs_;
    return context;
}

TerminalBidi::ClusterScalars TerminalView::clusterScalars() const
{
    const Terminal* terminal = terminal_.get();
    return [terminal](int32_t code) {
        const std::string text = terminal->character(code);
        std::u32string scalars;
        for (size_t pos = 0; pos < text.size();)
            scalars.push_back(utf8::next(text, pos));
        return scalars;
    };
}

TerminalBidi::DisplayedRow TerminalView::displayedRow(int bufferRow) const
{
    if (bidiHostPolicy_ != BidiHostPolicy::respectTerminal)
        return {};
    return TerminalBidi::displayedRow(bufferRow, *terminal_->buffer, terminal_->cols,
                                      terminal_->options().maximumBidiParagraphRows, clusterScalars());
}

void TerminalView::setBidiHostPolicy(BidiHostPolicy policy)
{
    if (policy == bidiHostPolicy_)
        return;
    bidiHostPolicy_ = policy;
    markFullScreenDirty();
    queuePendingDisplay();
    updateCursorPosition();
}

std::optional<std::pair<int, int>> TerminalView::selectedColumns(int bufferRow) const
{
    if (!selection_ || !selection_->active() || !selection_->hasSelectionRange())
        return std::nullopt;
    const Position first = std::min(selection_->start(), selection_->end());
    const Position last = std::max(selection_->start(), selection_->end());
    if (bufferRow < first.row || bufferRow > last.row)
        return std::nullopt;
    const int cols = terminal_->cols;
    if (selection_->selectionMode() == SelectionService::SelectionMode::row)
        return std::pair<int, int>{0, cols};
    // The end column is exclusive, as in the copied text.
    const int begin = bufferRow == first.row ? std::clamp(first.col, 0, cols) : 0;
    const int end = bufferRow == last.row ? std::clamp(last.col, 0, cols) : cols;
    if (end <= begin)
        return std::nullopt;
    return std::pair<int, int>{begin, end};
}

void TerminalView::drawTerminalContents(QPainter& painter, const QRectF& dirty)
{
    if (!terminal_ || !cellDimension_)
        return;
    Buffer& buffer = terminal_->activeBuffer();
    FrameInput input;
    input.buffer = &buffer;
    input.columns = terminal_->cols;
    input.rows = terminal_->rows;
    input.startRow = buffer.yDisp();
    input.viewSize = QSizeF(size());
    input.dirty = dirty;
    input.row = rowContext();
    if (TerminalKittyGraphics* kitty = TerminalKittyGraphics::of(*terminal_))
        input.kitty = &kitty->state();
    input.alternateBuffer = terminal_->isCurrentBufferAlternate();
    frame_.drawTerminalContents(painter, input);
}

bool TerminalView::caretFocused() const
{
    return QWidget::hasFocus() && (!window() || window()->isActiveWindow());
}

void TerminalView::drawCaret(QPainter& painter, const QRectF& caretRect)
{
    if (!cellDimension_)
        return;
    const QColor caretColor = effectiveCaretColor();
    const CursorStyle style = terminal_->cursorStyle;
    const qreal scale = backingScale();
    // Strips and outlines in whole device pixels: 2 and 3 at scale 1.
    auto px = [scale](qreal n) { return std::max<qreal>(1.0, std::round(n * scale)) / scale; };

    if (caret_ && !caret_->drawsFocused()) {
        // A hollow box for every style, and no character.
        const qreal w = std::min({px(3), caretRect.width() / 2, caretRect.height() / 2});
        const QRectF r = caretRect;
        painter.fillRect(QRectF(r.left(), r.top(), r.width(), w), caretColor);
        painter.fillRect(QRectF(r.left(), r.bottom() - w, r.width(), w), caretColor);
        painter.fillRect(QRectF(r.left(), r.top() + w, w, r.height() - 2 * w), caretColor);
        painter.fillRect(QRectF(r.right() - w, r.top() + w, w, r.height() - 2 * w), caretColor);
        return;
    }
    if (style == CursorStyle::blinkBar || style == CursorStyle::steadyBar) {
        painter.fillRect(QRectF(caretRect.left(), caretRect.top(), px(2), caretRect.height()), caretColor);
        return;
    }
    if (style == CursorStyle::blinkUnderline || style == CursorStyle::steadyUnderline) {
        painter.fillRect(QRectF(caretRect.left(), caretRect.bottom() - px(2), caretRect.width(), px(2)), caretColor);
        return;
    }
    painter.fillRect(caretRect, caretColor);

    // The character under a block caret, in the caret's text colour.
    Buffer& buffer = terminal_->activeBuffer();
    const int cursorLine = buffer.yBase() + buffer.y();
    if (cursorLine >= buffer.lines().count())
        return;
    BufferLine& line = buffer.lines()[cursorLine];
    const int x = std::clamp(buffer.x(), 0, std::max(terminal_->cols - 1, 0));
    if (line.dataSize() == 0 || x >= line.dataSize())
        return;
    const CharData& cell = line[x];
    // Blinking text in its hidden phase leaves the caret blank too.
    if (cell.attribute.style.contains(CharacterStyle::blink) && !textBlinkVisible_)
        return;
    const QColor textColor = effectiveCaretTextColor();
    const RowContext context = rowContext();
    const int cellsWide = std::clamp<int>(cell.width, 1, 2);
    if (context.customBlockGlyphs && cell.code > 0 && isPowerlineShape(char32_t(cell.code))) {
        const PowerlineRenderItem item{0, cellsWide, char32_t(cell.code), textColor};
        drawPowerlineItems(painter, std::span<const PowerlineRenderItem>(&item, 1), BufferLine::RenderLineMode::single,
                           CustomGlyphCell{*cellDimension_, scale, 0});
        return;
    }
    const CellStyle cellStyle = frame_.attributes().attributesForCell(cell.attribute, false, terminal_->reverseColors);
    RowCell rowCell{0, cellsWide, cell.code, false};
    // On a laid-out row: the cell's visual place and the form it shows there.
    int drawX = x;
    const TerminalBidi::DisplayedRow shown = displayedRow(cursorLine);
    if (const BidiRowLayout* layout = shown.layout()) {
        drawX = layout->visualColumn(x);
        for (const BidiCell& visual : layout->visualCells) {
            if (visual.logicalCol != x || visual.display.empty())
                continue;
            rowCell.code = int32_t(visual.display[0]);
            if (visual.display.size() > 1)
                rowCell.display = QString::fromUcs4(visual.display.data(), qsizetype(visual.display.size()));
            break;
        }
    }
    const GridGeometry geometry = frame_.geometry(QSizeF(size()));
    // In caret-local coordinates.
    const qreal baseline = geometry.baselineY(cursorLine - buffer.yDisp()) - caret_->y();
    painter.save();
    painter.translate(QPointF(drawX * cellDimension_->width() - caret_->x(), 0));
    frame_.drawCellGlyph(painter, rowCell, cellStyle.face, textColor, baseline, context);
    painter.restore();
}

// --- events ------------------------------------------------------------------------------------

void TerminalView::paintEvent(QPaintEvent* event)
{
    if (gpu_ && gpu_->coversView())
        return;
    QPainter painter(this);
    drawTerminalContents(painter, QRectF(event->rect()));
}

void TerminalView::drawGpuViewNow()
{
    if (gpu_)
        gpu_->drawNow();
}

bool TerminalView::enableGpuRenderer(bool on)
{
    if (!on) {
        // The host stays: its status reads disabled, count and date kept.
        const bool wasOn = gpu_ && gpu_->active();
        if (gpu_)
            gpu_->disable();
        if (wasOn) {
            updateCursorPosition();
            update();
        }
        return true;
    }
    if (!gpu_)
        gpu_ = std::make_unique<GpuTerminalHost>(gpuAccess(), scheduler_);
    return gpu_->enable();
}

GpuRendererStatus TerminalView::gpuRendererStatus() const
{
    return gpu_ ? gpu_->status() : GpuRendererStatus{};
}

void TerminalView::setGpuScaleFactorOverride(std::optional<double> scale)
{
    if (scale == gpuScaleFactorOverride_)
        return;
    gpuScaleFactorOverride_ = scale;
    if (gpu_)
        gpu_->requestFrame();
}

bool TerminalView::inLiveResize() const
{
    return resizeFollowedResize_ && lastResizeNs_ && scheduler_.nowNs() - *lastResizeNs_ < liveResizeIntervalNs;
}

void TerminalView::queueGpuDisplay()
{
    if (!gpu_ || !gpu_->active() || pendingGpuDisplay_)
        return;
    pendingGpuDisplay_ = true;
    displayTasks_.after(displayCoalescingNs, [this] {
        pendingGpuDisplay_ = false;
        if (gpu_)
            gpu_->endStretch();
    });
}

void TerminalView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const uint64_t now = scheduler_.nowNs();
    resizeFollowedResize_ = lastResizeNs_ && now - *lastResizeNs_ < liveResizeIntervalNs;
    lastResizeNs_ = now;
    layoutScroller();
    notices_->layoutProgressBar();
    find_->layoutBar();
    if (!cellDimension_) {
        if (gpu_)
            gpu_->layout();
        return;
    }
    processSizeChange(QSizeF(size()));
    // During a live resize the OpenGL surface draws once per display
    // interval, not at every step.
    const bool throttled = gpu_ && gpu_->active() && inLiveResize() && GpuTerminalHost::liveResizeThrottle();
    if (gpu_)
        gpu_->layout(throttled);
    update();
    if (throttled) {
        gpu_->holdFrames(true);
        updateDisplay(false);
        gpu_->holdFrames(false);
        queueGpuDisplay();
    } else {
        updateDisplay(false);
        if (gpu_)
            gpu_->requestFrame();
    }
}

void TerminalView::keyReleaseEvent(QKeyEvent* event)
{
    keyboard_.release(event);
    QWidget::keyReleaseEvent(event);
}

void TerminalView::keyPressEvent(QKeyEvent* event)
{
    keyboard_.press(event);
}

bool TerminalView::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::ShortcutOverride: {
        auto* key = static_cast<QKeyEvent*>(event);
        if (keyboard_.claimsShortcutOverride(*key)) {
            key->accept();
            return true;
        }
        break;
    }
    case QEvent::KeyPress: {
        // Tab and Backtab would otherwise move the focus.
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
        break;
    }
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
        // The caret's focus also depends on the window being active.
        if (caret_)
            caret_->updateAnimations();
        break;
    case QEvent::ScreenChangeInternal:
        if (cellDimension_ && computeCellDimension() != *cellDimension_)
            resetFont();
        break;
    default: break;
    }
    return QWidget::event(event);
}

void TerminalView::focusInEvent(QFocusEvent* event)
{
    QWidget::focusInEvent(event);
    terminal_->setTerminalFocus(true);
    if (caret_)
        caret_->updateAnimations();
    // The renderer's caret follows the focus too.
    queueGpuDisplay();
}

void TerminalView::focusOutEvent(QFocusEvent* event)
{
    QWidget::focusOutEvent(event);
    // The release of a Ctrl held while the focus left never comes.
    setCommandActive(false);
    terminal_->setTerminalFocus(false);
    if (caret_)
        caret_->updateAnimations();
    queueGpuDisplay();
}

void TerminalView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The screen (and its pixel ratio) is known only now.
    if (cellDimension_ && computeCellDimension() != *cellDimension_)
        resetFont();
    updateTextBlinkTimer();
    // Shown again: a fresh frame.
    if (gpu_ && gpu_->isRetryEligible())
        gpu_->requestFrame();
}

void TerminalView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    updateTextBlinkTimer();
}

// --- TerminalDelegate ------------------------------------------------------------------------

void TerminalView::showCursor(Terminal&)
{
    // The OpenGL path draws the caret itself.
    if (gpu_ && gpu_->active())
        queueGpuDisplay();
    else if (caret_)
        caret_->show();
}

void TerminalView::hideCursor(Terminal&)
{
    if (gpu_ && gpu_->active())
        queueGpuDisplay();
    else if (caret_)
        caret_->hide();
}

void TerminalView::setTerminalTitle(Terminal&, const std::string& title)
{
    if (terminalDelegate_)
        terminalDelegate_->setTerminalTitle(*this, title);
}

void TerminalView::send(Terminal&, std::span<const uint8_t> data)
{
    // Replies of the terminal: no input time stamp, no scrolling.
    if (terminalDelegate_)
        terminalDelegate_->send(*this, data);
}

void TerminalView::scrolled(Terminal&, int)
{
    // The scroll bar follows in the display pass, not once per line of output.
    if (terminal_)
        queuePendingDisplay();
    if (terminalDelegate_)
        terminalDelegate_->scrolled(*this, scrollPosition());
}

void TerminalView::linefeed(Terminal&)
{
    if (allowMouseReporting_ && selection_ && selection_->active()) {
        selection_->setActive(false);
        selection_->setStart({0, 0});
        selection_->setEnd({0, 0});
        selection_->invalidate();
    }
}

void TerminalView::bufferActivated(Terminal&)
{
    updateScroller();
}

void TerminalView::selectionChanged(Terminal&)
{
    if (!terminal_)
        return;
    redrawAll();
    updateEditActions();
}

void TerminalView::mouseModeChanged(Terminal& source)
{
    // Also while the terminal is being made, before terminal_ holds it.
    setMouseTracking(shouldTrackMouse(source.mouseMode()));
}

void TerminalView::synchronizedOutputChanged(Terminal&, bool active)
{
    if (active)
        return;
    updateScroller();
    queuePendingDisplay();
    if (terminalDelegate_)
        terminalDelegate_->scrolled(*this, scrollPosition());
}

void TerminalView::cursorStyleChanged(Terminal&, CursorStyle)
{
    if (caret_)
        caret_->updateAnimations();
    // The renderer's caret: a new shape, and its blink starts or stops.
    queueGpuDisplay();
}

void TerminalView::hostCurrentDirectoryUpdated(Terminal& source)
{
    if (terminalDelegate_)
        terminalDelegate_->hostCurrentDirectoryUpdate(*this, source.hostCurrentDirectory);
}

void TerminalView::colorChanged(Terminal&, std::optional<int> idx)
{
    if (idx)
        frame_.colors().resetPaletteEntry(*idx);
    else
        frame_.colors().resetPalette();
    applyBackgroundColor();
}

void TerminalView::setForegroundColor(Terminal&, const Color& color)
{
    setNativeForegroundColor(colorToQColor(color));
    applyBackgroundColor();
}

void TerminalView::setBackgroundColor(Terminal&, const Color& color)
{
    setNativeBackgroundColor(colorToQColor(color));
    applyBackgroundColor();
}

void TerminalView::setCursorColor(Terminal& source, const std::optional<Color>& color)
{
    TerminalDelegate::setCursorColor(source, color);
    // A reset uncovers the host's colour.
    programCaretColor_ = color ? std::optional<QColor>(colorToQColor(*color)) : std::nullopt;
    caretColorsChanged();
}

void TerminalView::inlineContentReceived(Terminal&, std::span<const uint8_t> content)
{
    if (terminalDelegate_)
        terminalDelegate_->inlineContent(*this, content);
}

void TerminalView::clipboardCopy(Terminal&, std::span<const uint8_t> content)
{
    if (terminalDelegate_)
        terminalDelegate_->clipboardCopy(*this, content);
}

std::optional<std::vector<uint8_t>> TerminalView::clipboardRead(Terminal&)
{
    if (!terminalDelegate_)
        return std::nullopt;
    return terminalDelegate_->clipboardRead(*this);
}

}  // namespace ravelgrid
