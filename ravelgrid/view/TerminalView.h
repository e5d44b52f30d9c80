#pragma once

#include "platform/Scheduler.h"
#include "ravelgrid/drawing/FontSet.h"
#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/gpu/BufferingMode.h"
#include "ravelgrid/gpu/GpuRendererStatus.h"
#include "ravelgrid/protocols/KittyKeyEvent.h"
#include "ravelgrid/screen/SemanticPrompt.h"
#include "ravelgrid/selection/SearchService.h"
#include "ravelgrid/selection/SelectionService.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/TerminalDelegate.h"
#include "ravelgrid/terminal/TerminalOptions.h"
#include "ravelgrid/view/BellAndProgress.h"
#include "ravelgrid/view/BellStyle.h"
#include "ravelgrid/view/FindController.h"
#include "ravelgrid/view/ImageInsertion.h"
#include "ravelgrid/view/KeyEncoder.h"
#include "ravelgrid/view/LinkHover.h"
#include "ravelgrid/view/LinkOptions.h"
#include "ravelgrid/view/MarkedTextOverlay.h"
#include "ravelgrid/view/PointerInput.h"
#include "ravelgrid/view/QtScheduler.h"
#include "ravelgrid/view/TerminalViewDelegate.h"
#include "ravelgrid/view/TerminalViewKeyboard.h"
#include "ravelgrid/view/ViewKeys.h"

#include <QClipboard>
#include <QColor>
#include <QFont>
#include <QPointF>
#include <QPointer>
#include <QSizeF>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class QAction;
class QMenu;
class QLabel;
class QMouseEvent;
class QScrollBar;
class QWheelEvent;

namespace ravelgrid {

class CaretView;
class DebugOverlay;
class FindBar;
class GpuHostedView;
class GpuTerminalHost;
class ProgressBarView;
class MarkedTextOverlay;
class TerminalAccessibilityNotifier;

// A widget that shows one Terminal: host output is fed in and redrawn in
// coalesced passes over the changed rows, keys become xterm byte sequences
// for the child, the grid follows the widget's size. Main thread only.
class TerminalView : public QWidget, public TerminalDelegate {
    Q_OBJECT

public:
    // 16.67 ms: the latest a change waits before it is drawn.
    static constexpr uint64_t displayCoalescingNs = 16'670'000;
    // Output this soon after user input is drawn at once.
    static constexpr uint64_t interactiveInputDisplayWindowNs = 150'000'000;
    // Output past this much since the last user input is a flood rather than
    // an echo: it waits for the coalesced pass even inside that window.
    static constexpr uint64_t interactiveOutputBytes = 32768;
    // Output this soon after a pass drawn at once waits for the coalesced
    // pass: a burst after a key is drawn at its start, not chunk by chunk.
    static constexpr uint64_t immediateDisplaySpacingNs = 8'000'000;
    static constexpr int textBlinkIntervalMs = 700;

    explicit TerminalView(QWidget* parent = nullptr, std::optional<FontSet> font = std::nullopt,
                          TerminalOptions options = {}, platform::Scheduler& scheduler = QtScheduler::system());
    ~TerminalView() override;

    Terminal& terminal() { return *terminal_; }
    const Terminal& terminal() const { return *terminal_; }
    TerminalViewDelegate* terminalDelegate() const { return terminalDelegate_; }
    void setTerminalDelegate(TerminalViewDelegate* delegate) { terminalDelegate_ = delegate; }

    // --- the view's parts ------------------------------------------------------
    // Command keys and the link highlight mode are set on the view: it
    // rebinds its actions and its mouse tracking to them.
    KeyboardInput& keyboard() { return keyboard_; }
    const KeyboardInput& keyboard() const { return keyboard_; }
    PointerInput& pointer() { return pointer_; }
    const PointerInput& pointer() const { return pointer_; }
    LinkHover& links() { return links_; }
    const LinkHover& links() const { return links_; }
    FindController& find() { return *find_; }
    const FindController& find() const { return *find_; }
    BellAndProgress& notices() { return *notices_; }
    const BellAndProgress& notices() const { return *notices_; }

    // --- fonts and cell metrics ------------------------------------------------
    const FontSet& fontSet() const { return frame_.fontSet(); }
    void setFontSet(FontSet fonts);
    void resetToDefaultFont();
    void setLineSpacing(qreal spacing);
    // Off: text is drawn without antialiasing, on both paths.
    bool fontSmoothing() const { return frame_.fontSmoothing(); }
    void setFontSmoothing(bool on);
    std::optional<QSizeF> cellDimension() const { return cellDimension_; }
    // Goes up with every display pass: what was read of the screen before
    // one is still what it shows until the next.
    uint64_t displayPasses() const { return displayPasses_; }
    QSizeF computeCellDimension() const;
    qreal backingScale() const;
    // The scroll bar's width, which the grid leaves free at the right edge.
    qreal reservedScrollerWidth() const;

    // --- colours -------------------------------------------------------------------
    QColor nativeForegroundColor() const { return frame_.colors().nativeForeground(); }
    QColor nativeBackgroundColor() const { return frame_.colors().nativeBackground(); }
    void setNativeForegroundColor(const QColor& c);
    void setNativeBackgroundColor(const QColor& c);
    QColor effectiveNativeForeground() const;
    QColor effectiveNativeBackground() const;
    QColor effectiveCaretColor() const;
    QColor effectiveCaretTextColor() const;
    // The host's caret colours. A program's own caret colour (OSC 12) is
    // shown instead until the program resets it or the host sets another.
    void setCaretColor(const QColor& c);
    void setCaretTextColor(const std::optional<QColor>& c);
    // Whether the caret shows the focus (a hollow, steady box without it);
    // otherwise it is drawn as focused. Both renderers follow it.
    bool caretViewTracksFocus() const;
    void setCaretViewTracksFocus(bool on);
    // The desktop's text colours (the palette's text and base) as the
    // default foreground and background.
    void applySystemTextColors();
    void setUseBrightColors(bool on);
    QColor selectedTextBackgroundColor() const { return selectedTextBackground_; }
    void setSelectedTextBackgroundColor(const QColor& c);
    void setSelectedTextForegroundColor(const QColor& c);
    // The native background's alpha; writes are clamped to 0...1.
    qreal backgroundOpacity() const;
    void setBackgroundOpacity(qreal opacity);
    // Block elements, box drawing and Powerline separators as shapes, and
    // whether those shapes are anti-aliased.
    bool customBlockGlyphs() const { return customBlockGlyphs_; }
    void setCustomBlockGlyphs(bool on);
    bool antiAliasCustomBlockGlyphs() const;
    void setAntiAliasCustomBlockGlyphs(bool on);
    // The 16 ANSI colours of a colour scheme; another count only redraws.
    void installColors(std::span<const Color> colors);

    // --- byte paths ----------------------------------------------------------------
    // Host output.
    void feed(std::span<const uint8_t> bytes);
    void feed(std::string_view text);
    // User input, on its way to the child through the delegate.
    void send(std::span<const uint8_t> bytes);
    void send(std::string_view text);

    // --- display -------------------------------------------------------------------
    void queuePendingDisplay();
    void displayNow();
    void setNotifyUpdateChanges(bool on) { notifyUpdateChanges_ = on; }
    bool textBlinkVisible() const { return textBlinkVisible_; }
    std::vector<int> blinkingLines();
    bool textBlinkTimerActive() const { return textBlinkTimer_.isActive(); }
    // The rectangle the last display pass invalidated (empty when none).
    QRectF lastInvalidatedRect() const { return lastInvalidated_; }
    // Off unless a host asks for one; every display pass refreshes it.
    DebugOverlay* debugOverlay() const;
    void setDebugOverlay(DebugOverlay* overlay);

    // --- options -------------------------------------------------------------------
    // The chords of the view's own commands (defaultViewKeyBindings unless
    // the host sets others): its actions, its menu and the scrollback keys.
    void setCommandKeys(std::vector<ViewKeyBinding> bindings);
    bool allowMouseReporting() const { return allowMouseReporting_; }
    void setAllowMouseReporting(bool on) { allowMouseReporting_ = on; }
    // respectTerminal lays rows out by the terminal's bidirectional settings
    // (drawing, caret, arrows, clicks); legacyLeftToRight shows every row as stored.
    void setBidiHostPolicy(BidiHostPolicy policy);
    // Whether the child may read the screen or the clipboard back: only for
    // local programs that this application started itself. This is the
    // host's word; isProcessTrusted asks at the moment of each request, when
    // a view that knows its child's foreground may say no.
    bool processTrusted() const { return processTrusted_; }
    void setProcessTrusted(bool on) { processTrusted_ = on; }
    // True while insertText sends a paste.
    bool sendingPaste() const { return sendingPaste_; }
    // Keyboard focus in the active window: what the caret shows.
    bool caretFocused() const;

    // --- reads of the options, sizing and the OpenGL path's buffering -----------------
    const TerminalOptions& startupOptions() const { return startupOptions_; }
    qreal lineSpacing() const { return lineSpacing_; }
    bool useBrightColors() const { return frame_.attributes().useBrightColors(); }
    BidiHostPolicy bidiHostPolicy() const { return bidiHostPolicy_; }
    QColor selectedTextForegroundColor() const { return selectedTextForeground_; }
    // The host's caret colours; unset: the defaults (effective foreground and background).
    std::optional<QColor> caretColor() const { return caretColor_; }
    std::optional<QColor> caretTextColor() const { return caretTextColor_; }
    std::optional<double> gpuScaleFactorOverride() const { return gpuScaleFactorOverride_; }
    bool notifyUpdateChanges() const { return notifyUpdateChanges_; }
    // Rows in buffers of their own, kept while unchanged (the default), or
    // all in one set per frame; both draw the same pixels.
    BufferingMode gpuBufferingMode() const { return gpuBufferingMode_; }
    void setGpuBufferingMode(BufferingMode mode) { gpuBufferingMode_ = mode; }
    // A width less the scroll bar's room, never below 0.
    qreal availableGridWidth(qreal width) const;
    // The frame that holds the grid exactly, with the scroll bar's room.
    QRect fittingFrame() const;
    // Resizes the grid to an explicit size and tells the delegate.
    void resizeGrid(int cols, int rows);

    // One cell in whole device pixels (the rule every pixel report shares).
    QSize cellSizeInDevicePixels() const;
    // The answer to CSI t: the text-area and cell pixel reports; a resize
    // request is logged; nothing else is answered here.
    static std::optional<std::vector<uint8_t>> windowCommandReply(const WindowManipulationCommand& command, int cols,
                                                                  int rows, std::optional<QSizeF> cell, qreal scale,
                                                                  bool send8bit);

    // --- selection and search ------------------------------------------------------
    SelectionService& selection() { return *selection_; }
    const SelectionService& selection() const { return *selection_; }
    SearchService& search() { return *search_; }
    bool selectionActive() const { return selection_->active(); }
    // The selected text; nothing without an active selection.
    std::optional<std::string> selectedText() const;
    void selectAll();
    void clearSelectionOnFontChange();

    // --- edit actions ----------------------------------------------------------------
    // Copy (only with a selection), Paste and Select All, on the command keys
    // (Ctrl+Shift+C; Ctrl+Shift+V and Shift+Insert; Ctrl+Shift+A by default).
    QAction* copyAction() const { return copyAction_; }
    QAction* pasteAction() const { return pasteAction_; }
    QAction* selectAllAction() const { return selectAllAction_; }
    // Copy, Paste, Select All and Find…, opened by the right button; the open one, if any.
    QMenu* showContextMenu(QPoint globalPos);
    QMenu* contextMenu() const;
    // The selection to the clipboard and the primary selection.
    void copy();
    // The clipboard's text, typed as a paste.
    void paste();
    // The primary selection's text (the middle button), typed as a paste.
    void pastePrimarySelection();
    // Committed text for the child. A paste is cleaned of control characters
    // first and goes in one write, inside the markers under bracketed paste;
    // its line breaks reach the child as `pasteLineBreak` (CR or LF).
    void insertText(std::string_view text, bool isPaste, char pasteLineBreak = '\r');

    // --- scrolling -----------------------------------------------------------------
    QScrollBar* scroller() const { return scroller_; }
    // legacy: the bar is always shown, beside the grid. overlay: the grid
    // takes the whole width and the bar shows over it only while the
    // viewport moves or the pointer is on it.
    enum class ScrollerStyle { legacy, overlay };
    static constexpr uint64_t overlayScrollerHideDelayNs = 1'000'000'000;
    ScrollerStyle scrollerStyle() const { return scrollerStyle_; }
    void setScrollerStyle(ScrollerStyle style);
    int maxScroll() const;
    bool canScroll() const;
    double scrollThumbsize() const;
    void pageUp();
    void pageDown();
    void scrollUp(int lines);
    void scrollDown(int lines);
    void scrollTo(int row, bool notifyAccessibility = false);
    void scrollToPosition(double position);
    double scrollPosition() const;
    void changeScrollback(std::optional<int> lines);
    void clearScrollback();

    // --- links ---------------------------------------------------------------------------
    void setLinkHighlightMode(LinkHighlightMode mode);
    // The OSC 8 payload of a cell (the right half of a wide character belongs to its link).
    std::optional<std::string> linkAtPosition(int col, int bufferRow) const;
    // The URI (everything after the first ";") and the "key=value" params before it.
    static std::optional<std::pair<std::string, std::map<std::string, std::string>>>
    urlPreviewText(std::string_view payload);
    static QFont tryUrlFont();
    // Opens a link the safe way: web and mail from anywhere, files only from a
    // trusted session; a disguised OSC 8 link, or a target hiding characters,
    // asks first. False when nothing opened.
    bool openLink(const std::string& link);
    // Trust is asked at this moment: the session's programs may have changed.
    // A link that a remote session printed is never trusted.
    std::optional<QUrl> resolveLinkURL(const std::string& link, bool printedByRemote = false);

    // Paints the frame for a rectangle; the widget's paint event and tests use it.
    void drawTerminalContents(QPainter& painter, const QRectF& dirty);
    // Paints what the caret shows, in caret-local coordinates.
    void drawCaret(QPainter& painter, const QRectF& caretRect);
    CaretView* caretView() const { return caret_; }

    // --- input methods ---------------------------------------------------------------
    // Location and length as linear cell indices, row × cols + column, in
    // buffer rows: the selection, else the cursor with length 0.
    std::pair<int, int> selectedRange() const;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

    // --- OpenGL --------------------------------------------------------------------
    // Lays an OpenGL surface over the view that draws it; false when the
    // renderer cannot be set up (the view keeps drawing with QPainter).
    bool enableGpuRenderer(bool on);
    // With the OpenGL surface on, draws its frame before returning; else nothing.
    void drawGpuViewNow();
    GpuRendererStatus gpuRendererStatus() const;
    GpuTerminalHost* gpuHost() const { return gpu_.get(); }
    // The scale the OpenGL path draws at instead of the screen's: a frame
    // of that many pixels per point, scaled onto the surface. A scale not
    // above 1 counts as 1. Unset: the device pixel ratio.
    void setGpuScaleFactorOverride(std::optional<double> scale);
    // Resizes less than liveResizeIntervalNs apart are one live resize.
    static constexpr uint64_t liveResizeIntervalNs = 100'000'000;
    bool inLiveResize() const;
    bool pendingGpuDisplay() const { return pendingGpuDisplay_; }

signals:
    void gpuRendererStatusDidChange();

public:
    // --- TerminalDelegate ---------------------------------------------------------
    void showCursor(Terminal&) override;
    void hideCursor(Terminal&) override;
    void setTerminalTitle(Terminal&, const std::string& title) override;
    void sizeChanged(Terminal&) override;
    void send(Terminal& source, std::span<const uint8_t> data) override;
    void scrolled(Terminal&, int yDisp) override;
    void linefeed(Terminal&) override;
    void bufferActivated(Terminal&) override;
    void synchronizedOutputChanged(Terminal&, bool active) override;
    void bell(Terminal&) override;
    void progressReport(Terminal&, const ProgressReport& report) override;
    std::optional<std::vector<uint8_t>> windowCommand(Terminal&, const WindowManipulationCommand& command) override;
    void selectionChanged(Terminal&) override;
    void mouseModeChanged(Terminal&) override;
    bool isProcessTrusted(Terminal&) override { return processTrusted_; }
    void inputResumed(Terminal&) override;
    std::optional<std::pair<int, int>> cellSizeInPixels(Terminal&) override;
    void cursorStyleChanged(Terminal&, CursorStyle style) override;
    void hostCurrentDirectoryUpdated(Terminal&) override;
    void colorChanged(Terminal&, std::optional<int> idx) override;
    void setForegroundColor(Terminal& source, const Color& color) override;
    void setBackgroundColor(Terminal& source, const Color& color) override;
    void setCursorColor(Terminal& source, const std::optional<Color>& color) override;
    void inlineContentReceived(Terminal&, std::span<const uint8_t> content) override;
    void clipboardCopy(Terminal&, std::span<const uint8_t> content) override;
    std::optional<std::vector<uint8_t>> clipboardRead(Terminal&) override;
    void createImageFromBitmap(Terminal&, std::vector<uint8_t>& rgba, int width, int height) override;
    void createImage(Terminal&, std::span<const uint8_t> data, ImageSizeRequest width, ImageSizeRequest height,
                     bool preserveAspectRatio) override;

    // --- inline images -------------------------------------------------------------
    // Places a picture at the cursor, cut into one strip per cell row.
    bool insertImage(const QImage& image, ImageSizeRequest width, ImageSizeRequest height, bool preserveAspectRatio);
    // Bytes held by the pictures on the buffers' lines.
    size_t imageBytes() { return images_.bytes(); }
    const ImageInsertion& imageInsertion() const { return images_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    bool focusNextPrevChild(bool) override { return false; }

private:
    // The OpenGL host's view of this one.
    class GpuAccess;
    GpuHostedView& gpuAccess();
    friend class PointerInput;
    friend class KeyboardInput;
    // Follows a new widget size; true when the grid changed.
    bool processSizeChange(QSizeF size);
    void applyBackgroundColor();
    // Plain Left and Right: exchanged on a right-to-left cursor row while the
    // terminal asks for it (1243h), in the cursor-key mode's form.
    void sendBidiAwareArrow(bool isLeft);
    void settleBackingStoreSoon();
    bool shouldDisplayImmediately() const;
    void updateDisplay(bool notifyAccessibility);
    void updateCursorPosition();
    void updateScroller();
    void ensureCaretIsVisible();
    // A coalesced redraw of the OpenGL surface, one display interval after
    // the first request; nothing without the OpenGL path.
    void queueGpuDisplay();
    void setupTerminalObjects(QSizeF size);
    void resetFont();
    void resetCaches();
    void markFullScreenDirty();
    void runDisplayPass();
    // The end of every display pass: the debug overlay and screen readers.
    void displayed(bool notifyAccessibility, bool rowsChanged);
    void updateTextBlinkTimer();
    void textBlinkTick();
    void markLinesDirty(const std::vector<int>& lines);
    RowContext rowContext() const;
    TerminalBidi::ClusterScalars clusterScalars() const;
    // A buffer row as shown under the bidi policy.
    TerminalBidi::DisplayedRow displayedRow(int bufferRow) const;
    std::optional<std::pair<int, int>> selectedColumns(int bufferRow) const;
    void setupScroller();
    void scrollerAction(int action);
    void layoutScroller();
    // Overlay style: shows the bar and hides it again after a quiet while.
    void revealOverlayScroller();
    void hideOverlayScrollerWhenIdle();
    // The caret's look changed: both renderers draw it again.
    void caretColorsChanged();
    void updateUserScrolling(int row);
    void redrawAll();
    void setupEditActions();
    // The command keys onto the edit and find actions.
    void applyCommandKeys();
    void updateEditActions();
    void setPrimarySelection();
    std::string clipboardText(QClipboard::Mode mode) const;

    // Deferred calls on the view's clock. Each caller keeps its id and
    // cancels it, at the latest when the view goes.
    platform::Scheduler::TaskId runAfter(uint64_t delayNs, std::function<void()> task);
    void cancelTask(platform::Scheduler::TaskId& id);

    // Ctrl as the pointer and the links see it.
    void setCommandActive(bool on);
    void updateMouseTracking();
    bool shouldTrackMouse() const;
    // The one rule for motion events, also while the terminal is being made.
    bool shouldTrackMouse(MouseMode mode) const;

    std::unique_ptr<Terminal> terminal_;
    std::shared_ptr<SelectionService> selection_;
    std::unique_ptr<SearchService> search_;
    TerminalViewDelegate* terminalDelegate_ = nullptr;
    TerminalOptions startupOptions_;
    platform::Scheduler& scheduler_;
    // The view's deferred redraws; cancelled when the view goes.
    platform::ScopedTasks displayTasks_;
    FramePainter frame_;
    CaretView* caret_ = nullptr;      // a child widget
    QScrollBar* scroller_ = nullptr;  // a child widget
    ScrollerStyle scrollerStyle_ = ScrollerStyle::overlay;
    platform::Scheduler::TaskId scrollerHideTask_ = 0;
    QAction* copyAction_ = nullptr;
    QAction* pasteAction_ = nullptr;
    QAction* selectAllAction_ = nullptr;
    QPointer<QMenu> contextMenu_;
    QTimer textBlinkTimer_;

    std::optional<QSizeF> cellDimension_;
    qreal lineSpacing_ = 1.0;

    bool pendingDisplay_ = false;
    bool textBlinkVisible_ = true;
    bool applicationActive_ = true;
    std::atomic<uint64_t> lastUserInputUptimeNs_{0};
    std::atomic<uint64_t> outputSinceInput_{0};
    bool notifyUpdateChanges_ = false;
    // Set while output in the interactive window is displayed: paint at once.
    bool paintNow_ = false;
    bool settleQueued_ = false;
    // When output was last drawn at once; 0 after user input.
    std::atomic<uint64_t> lastImmediateDisplayNs_{0};
    QRectF lastInvalidated_;
    QPointer<DebugOverlay> debug_;
    // Made on the first pass that finds a screen reader listening.
    std::unique_ptr<TerminalAccessibilityNotifier> accessibility_;
    uint64_t displayPasses_ = 0;

    bool settingFg_ = false;
    bool settingBg_ = false;
    // Unset: the default (effective foreground, effective background).
    std::optional<QColor> caretColor_;
    std::optional<QColor> caretTextColor_;
    // The program's caret colour (OSC 12), over the host's until reset.
    std::optional<QColor> programCaretColor_;
    QColor selectedTextBackground_ = QColor(0, 166, 178);
    QColor selectedTextForeground_ = QColor(0, 0, 0);
    bool customBlockGlyphs_ = true;

    bool allowMouseReporting_ = true;
    BidiHostPolicy bidiHostPolicy_ = BidiHostPolicy::respectTerminal;
    bool processTrusted_ = false;
    bool sendingPaste_ = false;
    bool focused_ = false;
    ImageInsertion images_;
    // Keys, Option-as-Meta and the input method's marked text.
    KeyboardInput keyboard_{*this};
    std::unique_ptr<GpuHostedView> gpuAccess_;
    std::unique_ptr<GpuTerminalHost> gpu_;
    std::optional<double> gpuScaleFactorOverride_;
    BufferingMode gpuBufferingMode_ = BufferingMode::perRowPersistent;
    bool pendingGpuDisplay_ = false;
    // When the last resize came, and whether it followed another closely.
    std::optional<uint64_t> lastResizeNs_;
    bool resizeFollowedResize_ = false;

    // The link under the pointer, and the mouse and wheel (after the links it uses).
    LinkHover links_{*this};
    PointerInput pointer_{*this, links_, scheduler_};

    // Find: the bar, the commands and their actions.
    std::unique_ptr<FindController> find_;

    // The progress bar and the bell.
    std::unique_ptr<BellAndProgress> notices_;
};

}  // namespace ravelgrid
