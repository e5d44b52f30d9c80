#pragma once

#include "platform/Scheduler.h"
#include "ravelgrid/drawing/FontSet.h"
#include "ravelgrid/drawing/FramePainter.h"
#include "ravelgrid/gpu/GpuRendererStatus.h"
#include "ravelgrid/screen/SemanticPrompt.h"
#include "ravelgrid/selection/SearchService.h"
#include "ravelgrid/selection/SelectionService.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/TerminalDelegate.h"
#include "ravelgrid/terminal/TerminalOptions.h"
#include "ravelgrid/protocols/KittyKeyEvent.h"
#include "ravelgrid/view/ImageInsertion.h"
#include "ravelgrid/view/MarkedTextOverlay.h"
#include "ravelgrid/view/BellStyle.h"
#include "ravelgrid/view/KeyEncoder.h"
#include "ravelgrid/view/LinkOptions.h"
#include "ravelgrid/view/QtScheduler.h"
#include "ravelgrid/view/TerminalViewDelegate.h"

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
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <vector>

class QAction;
class QMenu;
class QLabel;
class QVariantAnimation;
class QMouseEvent;
class QScrollBar;
class QWheelEvent;

namespace ravelgrid {

class CaretView;
class DebugOverlay;
class FindBar;
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
    static constexpr int textBlinkIntervalMs = 700;

    explicit TerminalView(QWidget* parent = nullptr, std::optional<FontSet> font = std::nullopt,
                          TerminalOptions options = {}, platform::Scheduler& scheduler = QtScheduler::system());
    ~TerminalView() override;

    Terminal& terminal() { return *terminal_; }
    const Terminal& terminal() const { return *terminal_; }
    TerminalViewDelegate* terminalDelegate() const { return terminalDelegate_; }
    void setTerminalDelegate(TerminalViewDelegate* delegate) { terminalDelegate_ = delegate; }
    const TerminalOptions& startupOptions() const { return startupOptions_; }

    // --- fonts and cell metrics ------------------------------------------------
    const FontSet& fontSet() const { return frame_.fontSet(); }
    void setFontSet(FontSet fonts);
    void resetToDefaultFont();
    qreal lineSpacing() const { return lineSpacing_; }
    void setLineSpacing(qreal spacing);
    bool fontSmoothing() const { return fontSmoothing_; }
    void setFontSmoothing(bool on) { fontSmoothing_ = on; }
    std::optional<QSizeF> cellDimension() const { return cellDimension_; }
    QSizeF computeCellDimension() const;
    qreal backingScale() const;
    // The scroll bar's width, which the grid leaves free at the right edge.
    qreal reservedScrollerWidth() const;
    qreal availableGridWidth(qreal width) const;
    QRect fittingFrame() const;
    // Resizes the grid to an explicit size and tells the delegate.
    void resizeGrid(int cols, int rows);
    // Follows a new widget size; true when the grid changed.
    bool processSizeChange(QSizeF size);

    // --- colours -------------------------------------------------------------------
    QColor nativeForegroundColor() const { return frame_.colors().nativeForeground(); }
    QColor nativeBackgroundColor() const { return frame_.colors().nativeBackground(); }
    void setNativeForegroundColor(const QColor& c);
    void setNativeBackgroundColor(const QColor& c);
    QColor effectiveNativeForeground() const;
    QColor effectiveNativeBackground() const;
    QColor effectiveCaretColor() const;
    QColor effectiveCaretTextColor() const;
    void setCaretColor(const QColor& c);
    void setCaretTextColor(const std::optional<QColor>& c);
    bool useBrightColors() const;
    void setUseBrightColors(bool on);
    QColor selectedTextBackgroundColor() const { return selectedTextBackground_; }
    QColor selectedTextForegroundColor() const { return selectedTextForeground_; }
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
    void applyBackgroundColor();

    // --- byte paths ----------------------------------------------------------------
    // Host output.
    void feed(std::span<const uint8_t> bytes);
    void feed(std::string_view text);
    // User input, on its way to the child through the delegate.
    void send(std::span<const uint8_t> bytes);
    void send(std::string_view text);
    // Plain Left and Right: exchanged on a right-to-left cursor row while the
    // terminal asks for it (1243h), in the cursor-key mode's form.
    void sendBidiAwareArrow(bool isLeft);

    // --- display -------------------------------------------------------------------
    void queuePendingDisplay();
    void displayNow();
    bool shouldDisplayImmediately() const;
    void updateDisplay(bool notifyAccessibility);
    void updateCursorPosition();
    bool pendingDisplay() const { return pendingDisplay_; }
    bool notifyUpdateChanges() const { return notifyUpdateChanges_; }
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
    bool optionAsMetaKey() const { return optionAsMetaKey_; }
    void setOptionAsMetaKey(bool on) { optionAsMetaKey_ = on; }
    bool backspaceSendsControlH() const { return backspaceSendsControlH_; }
    void setBackspaceSendsControlH(bool on) { backspaceSendsControlH_ = on; }
    bool allowMouseReporting() const { return allowMouseReporting_; }
    void setAllowMouseReporting(bool on) { allowMouseReporting_ = on; }
    // respectTerminal lays rows out by the terminal's bidirectional settings
    // (drawing, caret, arrows, clicks); legacyLeftToRight shows every row as stored.
    BidiHostPolicy bidiHostPolicy() const { return bidiHostPolicy_; }
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

    BellStyle bellStyle() const { return bellStyle_; }
    void setBellStyle(BellStyle style) { bellStyle_ = style; }
    // A bell flood beeps and flashes at most once per this interval.
    static constexpr uint64_t bellIntervalNs = 100'000'000;
    static constexpr int visualBellDurationMs = 200;
    static constexpr qreal visualBellPeakOpacity = 0.35;
    // Flashes the view; a flash already running starts over.
    void flashVisualBell();
    bool visualBellActive() const;
    qreal visualBellOpacity() const;
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
    // Copy (Ctrl+Shift+C, only with a selection), Paste (Ctrl+Shift+V and
    // Shift+Insert) and Select All (Ctrl+Shift+A).
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
    void updateScroller();
    int maxScroll() const;
    bool canScroll() const;
    double scrollThumbsize() const;
    void pageUp();
    void pageDown();
    // Shift+PageUp/PageDown/Home/End on the normal screen; false for any other key.
    bool scrollbackKey(int key, Qt::KeyboardModifiers modifiers);
    void scrollUp(int lines);
    void scrollDown(int lines);
    void scrollTo(int row, bool notifyAccessibility = false);
    void scrollToPosition(double position);
    void ensureCaretIsVisible();
    double scrollPosition() const;
    void changeScrollback(std::optional<int> lines);
    void clearScrollback();

    // --- mouse -----------------------------------------------------------------------
    static constexpr uint64_t autoScrollIntervalNs = 50'000'000;
    qreal scrollSensitivity() const { return scrollSensitivity_; }
    void setScrollSensitivity(qreal s) { scrollSensitivity_ = (s > 0 && std::isfinite(s)) ? s : 1.0; }
    qreal scrollAccumulator() const { return scrollAccumulator_; }
    // Rows an auto-scroll tick moves for a pointer this many rows outside.
    static int calcScrollingVelocity(int delta, int rows);
    int autoScrollDelta() const { return autoScrollDelta_; }
    bool autoScrollRunning() const { return autoScrollRunning_; }
    void stopSelectionAutoScrollTimer();
    // How long a click on a prompt waits for a second click.
    uint64_t semanticClickCoalescingDelayNs() const { return semanticClickDelayNs_; }
    void setSemanticClickCoalescingDelayNs(uint64_t ns) { semanticClickDelayNs_ = ns; }
    int semanticDeferralScheduleCount() const { return semanticDeferralScheduleCount_; }
    bool semanticClickPending() const { return pendingSemanticClick_ != 0; }
    bool commandActive() const { return commandActive_; }
    bool shouldTrackMouse() const;

    // --- links ---------------------------------------------------------------------------
    LinkReporting linkReporting() const { return linkReporting_; }
    void setLinkReporting(LinkReporting r) { linkReporting_ = r; }
    LinkHighlightMode linkHighlightMode() const { return linkHighlightMode_; }
    void setLinkHighlightMode(LinkHighlightMode mode);
    const std::optional<std::vector<LinkMatch::RowRange>>& linkHighlightRange() const { return linkHighlightRange_; }
    QLabel* urlPreview() const { return urlPreview_; }
    // The OSC 8 payload of a cell (the right half of a wide character belongs to its link).
    std::optional<std::string> linkAtPosition(int col, int bufferRow) const;
    // The URI (everything after the first ";") and the "key=value" params before it.
    static std::optional<std::pair<std::string, std::map<std::string, std::string>>> urlPreviewText(
        std::string_view payload);
    void showUrlPreview(const std::string& payload);
    void hideUrlPreview();
    // nullopt: Ctrl as the view last saw it.
    void updateLinkHighlight(Position grid, std::optional<bool> modifierHeld = std::nullopt);
    // The link a click at a buffer position opens, with its params.
    std::optional<std::pair<std::string, std::map<std::string, std::string>>> handleMouseUpAction(Position grid,
                                                                                                   bool ctrlHeld);
    static QFont tryUrlFont();
    // Opens a link the safe way: web and mail from anywhere, files only from a
    // trusted session; a disguised OSC 8 link, or a target hiding characters,
    // asks first. False when nothing opened.
    bool openLink(const std::string& link);
    // Trust is asked at this moment: the foreground program may have changed.
    std::optional<QUrl> resolveLinkURL(const std::string& link);

    // --- find ------------------------------------------------------------------------------
    FindBar* findBar() const { return findBar_; }
    FindBar* ensureFindBar();
    void showFindBar(bool useSelection);
    void hideFindBar();
    void findNext();
    void findPrevious();
    void useSelectionForFind();
    // The find string every view shares (the stand-in for a find pasteboard).
    static QString findString();
    static void setFindString(const QString& term);
    void handleFindBarSearchChanged(const QString& term);
    void handleFindBarOptionsChanged(const SearchOptions& options);
    bool findNextMatch(const std::string& term, const SearchOptions& options, bool scroll);
    bool findPreviousMatch(const std::string& term, const SearchOptions& options, bool scroll);
    std::pair<int, int> findMatchSummary(const std::string& term, const SearchOptions& options, int limit);
    // The find commands by their menu tags: 1 show, 2 next, 3 previous,
    // 7 use selection, 11 hide. Others do nothing.
    void performFindAction(int tag);
    bool findActionEnabled(int tag) const;
    const QString& findBarTerm() const { return findBarTerm_; }
    // The action bound to a find tag's key (Ctrl+Shift+F/G/H/E; Escape in the bar).
    QAction* findAction(int tag) const;

    // --- progress -----------------------------------------------------------------------
    static constexpr uint64_t progressReportTimeoutNs = 15'000'000'000ull;
    ProgressBarView* progressBarView() const { return progressBar_; }
    void applyProgressReport(const ProgressReport& report);
    std::optional<uint8_t> resolveProgress(const ProgressReport& report);
    std::optional<uint8_t> lastProgressValue() const { return lastProgressValue_; }
    void clearProgressReport();

    // Paints the frame for a rectangle; the widget's paint event and tests use it.
    void drawTerminalContents(QPainter& painter, const QRectF& dirty);
    // Paints what the caret shows, in caret-local coordinates.
    void drawCaret(QPainter& painter, const QRectF& caretRect);
    CaretView* caretView() const { return caret_; }

    // --- input methods ---------------------------------------------------------------
    // Uncommitted text at the caret; empty text removes it.
    void setMarkedText(const QString& text, int cursor = -1);
    void unmarkText();
    bool hasMarkedText() const { return !markedText_.isEmpty(); }
    const QString& markedText() const { return markedText_; }
    // The overlay showing the marked text; null without marked text.
    MarkedTextOverlay* markedTextOverlay() const { return markedOverlay_.get(); }
    // Location and length as linear cell indices, row × cols + column, in
    // buffer rows: the selection, else the cursor with length 0.
    std::pair<int, int> selectedRange() const;
    bool kittyIsComposing() const { return kittyIsComposing_; }
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

    // --- OpenGL --------------------------------------------------------------------
    // Lays an OpenGL surface over the view that draws it; false when the
    // renderer cannot be set up (the view keeps drawing with QPainter).
    bool enableGpuRenderer(bool on);
    GpuRendererStatus gpuRendererStatus() const;
    GpuTerminalHost* gpuHost() const { return gpu_.get(); }
    // The scale the OpenGL path draws at instead of the screen's: a frame
    // of that many pixels per point, scaled onto the surface. A scale not
    // above 1 counts as 1. Unset: the device pixel ratio.
    std::optional<double> gpuScaleFactorOverride() const { return gpuScaleFactorOverride_; }
    void setGpuScaleFactorOverride(std::optional<double> scale);
    // Resizes less than liveResizeIntervalNs apart are one live resize.
    static constexpr uint64_t liveResizeIntervalNs = 100'000'000;
    bool inLiveResize() const;
    // A coalesced redraw of the OpenGL surface, one display interval after
    // the first request; nothing without the OpenGL path.
    void queueGpuDisplay();
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
    friend class GpuTerminalHost;
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
    KeyModes keyModes() const;
    // Kitty keyboard events; only while the flags are not 0.
    bool kittyKeyPress(QKeyEvent* event);
    void kittyKeyRelease(QKeyEvent* event);
    std::optional<KittyKeyEvent> kittyKeyEvent(const QKeyEvent& event, KittyKeyboardEventType type,
                                               std::optional<std::string> text) const;
    KittyKeyEvent kittyTextEvent(std::string_view text) const;
    bool sendKittyKeyEvent(const KittyKeyEvent& event);
    void updateMarkedTextOverlay();
    RowContext rowContext() const;
    TerminalBidi::ClusterScalars clusterScalars() const;
    // A buffer row as shown under the bidi policy.
    TerminalBidi::DisplayedRow displayedRow(int bufferRow) const;
    std::optional<std::pair<int, int>> selectedColumns(int bufferRow) const;
    void setupScroller();
    void scrollerAction(int action);
    void layoutScroller();
    void updateUserScrolling(int row);
    void redrawAll();
    void setupEditActions();
    void updateEditActions();
    void setPrimarySelection();
    std::string clipboardText(QClipboard::Mode mode) const;

    // Deferred calls on the view's clock. Each caller keeps its id and
    // cancels it, at the latest when the view goes.
    platform::Scheduler::TaskId runAfter(uint64_t delayNs, std::function<void()> task);
    void cancelTask(platform::Scheduler::TaskId& id);

    // Mouse reporting and gestures.
    struct MouseHit {
        Position grid;    // column, buffer row
        QPoint pixels;    // from the top-left corner, clamped to the view
    };
    MouseHit calculateMouseHit(QPointF point) const;
    bool shiftBypassesMouseReporting(Qt::KeyboardModifiers modifiers) const;
    bool mouseReportingApplies(Qt::KeyboardModifiers modifiers) const;
    int encodeMouseButton(int button, bool release, Qt::KeyboardModifiers modifiers) const;
    void reportMouse(int code, const MouseHit& hit);
    int countClick(QPointF point, Qt::MouseButton button, uint64_t timestampMs);
    void handleSelectionPress(const MouseHit& hit, int clickCount, Qt::KeyboardModifiers modifiers);
    void handleSelectionDrag(QPointF point);
    void autoScrollTick(uint64_t generation);
    void runSemanticClick(uint64_t id, BufferLine* line, uint64_t generation, int col,
                          SemanticPromptClickModifiers modifiers, SemanticPromptPointerSnapshot snapshot);
    void cancelPendingSemanticClick();
    int wheelLines(QWheelEvent* event, qreal cellHeight);
    void setCommandActive(bool on);
    void updateMouseTracking();
    // The one rule for motion events, also while the terminal is being made.
    bool shouldTrackMouse(MouseMode mode) const;
    // A Ctrl+click here would open a link: the press is the link's, not the program's.
    bool opensLinkOnCtrlClick(Position grid);
    // Hands the link a click at the position opens to the delegate; false when there is none.
    bool requestLinkOpen(Position grid, bool ctrlHeld);
    // The link state under the pointer: the preview while Ctrl is held, and the highlight.
    void followPointer(Position grid);
    // Links.
    void invalidateLinkHighlightRows(const std::optional<std::vector<LinkMatch::RowRange>>& before,
                                     const std::optional<std::vector<LinkMatch::RowRange>>& after);
    std::optional<std::pair<int, int>> linkColumns(int bufferRow) const;
    std::optional<LinkMatch> linkUnder(Position grid, bool withImplicit);
    std::string visibleLinkText(const LinkMatch& match);
    // What a click on the link hands to the opener: an OSC 8 link's parsed
    // target, else the link's text.
    struct LinkTarget {
        std::string url;
        std::map<std::string, std::string> params;
        bool fromPayload = false;
    };
    LinkTarget linkTarget(const LinkMatch& match, Position grid);
    // Whether the opener would take the link: the one rule for showing a
    // link as one and for opening it.
    bool linkWouldOpen(const LinkMatch& match, const std::string& url);
    // Find and progress.
    void setupFindActions();
    void setupProgressBar();
    void updateProgressBarFrame();
    void layoutFindBar();
    bool runFind(const std::string& term, const SearchOptions& options, bool scroll, bool forward);
    void updateFindActions();
    void scheduleProgressReportTimeout();

    std::unique_ptr<Terminal> terminal_;
    std::shared_ptr<SelectionService> selection_;
    std::unique_ptr<SearchService> search_;
    TerminalViewDelegate* terminalDelegate_ = nullptr;
    TerminalOptions startupOptions_;
    platform::Scheduler& scheduler_;
    // The view's deferred redraws; cancelled when the view goes.
    platform::ScopedTasks displayTasks_;
    FramePainter frame_;
    CaretView* caret_ = nullptr;  // a child widget
    QScrollBar* scroller_ = nullptr;  // a child widget
    QAction* copyAction_ = nullptr;
    QAction* pasteAction_ = nullptr;
    QAction* pasteInsertAction_ = nullptr;
    QAction* selectAllAction_ = nullptr;
    QPointer<QMenu> contextMenu_;
    QTimer textBlinkTimer_;

    std::optional<QSizeF> cellDimension_;
    qreal lineSpacing_ = 1.0;
    bool fontSmoothing_ = true;

    bool pendingDisplay_ = false;
    bool textBlinkVisible_ = true;
    bool applicationActive_ = true;
    std::atomic<uint64_t> lastUserInputUptimeNs_{0};
    bool notifyUpdateChanges_ = false;
    // Set while output in the interactive window is displayed: paint at once.
    bool paintNow_ = false;
    QRectF lastInvalidated_;
    QPointer<DebugOverlay> debug_;
    // Made on the first pass that finds a screen reader listening.
    std::unique_ptr<TerminalAccessibilityNotifier> accessibility_;

    bool settingFg_ = false;
    bool settingBg_ = false;
    bool cursorColorIsDefault_ = true;
    bool cursorTextColorIsDefault_ = true;
    QColor caretColor_;
    std::optional<QColor> caretTextColor_;
    QColor selectedTextBackground_ = QColor(0, 166, 178);
    QColor selectedTextForeground_ = QColor(0, 0, 0);
    bool customBlockGlyphs_ = true;

    bool optionAsMetaKey_ = true;
    bool backspaceSendsControlH_ = false;
    bool allowMouseReporting_ = true;
    BidiHostPolicy bidiHostPolicy_ = BidiHostPolicy::respectTerminal;
    bool processTrusted_ = false;
    bool sendingPaste_ = false;
    bool focused_ = false;
    ImageInsertion images_;
    QString markedText_;
    int markedCursor_ = -1;
    std::unique_ptr<MarkedTextOverlay> markedOverlay_;
    bool kittyIsComposing_ = false;
    BellStyle bellStyle_ = BellStyle::sound;
    std::optional<uint64_t> lastBeepNs_;
    std::optional<uint64_t> lastFlashNs_;
    QWidget* bellOverlay_ = nullptr;  // a child widget, made on the first flash
    QVariantAnimation* bellAnimation_ = nullptr;  // owned by the overlay
    std::unique_ptr<GpuTerminalHost> gpu_;
    std::optional<double> gpuScaleFactorOverride_;
    bool pendingGpuDisplay_ = false;
    // When the last resize came, and whether it followed another closely.
    std::optional<uint64_t> lastResizeNs_;
    bool resizeFollowedResize_ = false;

    // Mouse state.
    qreal scrollAccumulator_ = 0;
    qreal scrollSensitivity_ = 1.0;
    bool commandActive_ = false;
    // Clicks are counted here, by the events' time stamps.
    uint64_t lastClickNs_ = 0;
    QPointF lastClickPoint_;
    Qt::MouseButton lastClickButton_ = Qt::NoButton;
    int clickCount_ = 0;
    QPointF pressPoint_;
    Qt::MouseButton pressButton_ = Qt::NoButton;
    // Selection gestures.
    int autoScrollDelta_ = 0;
    bool autoScrollRunning_ = false;
    uint64_t autoScrollGeneration_ = 0;
    platform::Scheduler::TaskId autoScrollTask_ = 0;
    platform::Scheduler::TaskId semanticClickTask_ = 0;
    std::optional<QPointF> lastSelectionDragPoint_;
    bool didSelectionDrag_ = false;
    bool dragStarted_ = false;
    SemanticPromptPointerSnapshot pointerPressSnapshot_;
    uint64_t pendingSemanticClick_ = 0;  // 0: none
    uint64_t semanticClickSequence_ = 0;
    uint64_t semanticClickDelayNs_ = 0;
    int semanticDeferralScheduleCount_ = 0;

    // Links.
    LinkReporting linkReporting_ = LinkReporting::implicit;
    LinkHighlightMode linkHighlightMode_ = LinkHighlightMode::hoverWithModifier;
    std::optional<std::vector<LinkMatch::RowRange>> linkHighlightRange_;
    QLabel* urlPreview_ = nullptr;  // a child widget
    std::optional<QPointF> lastPointer_;
    // The explicit link a click is opening and the text it shows.
    std::optional<std::pair<std::string, std::string>> clickedLink_;
    // The opener's last answer for the link under the pointer: a file link
    // is not looked at again on every move over it.
    struct LinkVerdict {
        std::vector<LinkMatch::RowRange> ranges;
        std::string url;
        bool opens = false;
    };
    std::optional<LinkVerdict> linkVerdict_;
    // The left button went down with Ctrl on a link while the program takes the mouse.
    bool linkPress_ = false;

    // Find.
    FindBar* findBar_ = nullptr;  // a child widget
    QString findBarTerm_;
    SearchOptions findBarOptions_;
    std::vector<std::pair<int, QAction*>> findActions_;

    // Progress.
    ProgressBarView* progressBar_ = nullptr;  // a child widget
    platform::Scheduler::TaskId progressTimeoutTask_ = 0;
    std::optional<uint8_t> lastProgressValue_;
};

}  // namespace ravelgrid
