#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/Scheduler.h"
#include "ravelgrid/screen/Attribute.h"
#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/screen/CharData.h"
#include "ravelgrid/screen/CharSets.h"
#include "ravelgrid/screen/Color.h"
#include "ravelgrid/screen/Line.h"
#include "ravelgrid/screen/PayloadTable.h"
#include "ravelgrid/screen/SelectionHook.h"
#include "ravelgrid/terminal/DcsHandler.h"
#include "ravelgrid/terminal/EscapeSequenceParser.h"
#include "ravelgrid/terminal/EscapeSequences.h"
#include "ravelgrid/terminal/GraphemeTable.h"
#include "ravelgrid/terminal/KittyGraphicsHook.h"
#include "ravelgrid/terminal/LinkMatch.h"
#include "ravelgrid/terminal/SemanticPromptOptions.h"
#include "ravelgrid/terminal/TerminalDelegate.h"
#include "ravelgrid/terminal/TerminalOptions.h"
#include "ravelgrid/terminal/TerminalTypes.h"

namespace ravelgrid {

// The emulator: owns both screen buffers, the modes, the parser that feeds
// it, and talks to its host only through TerminalDelegate. One thread.
//
// The implementation is split by concern: Terminal.cpp (core, feeding,
// dispatch tables), TerminalPrint.cpp (text and C0), TerminalScroll.cpp
// (scroll core, index, charsets, RIS), TerminalCursor.cpp (cursor moves and
// erasing), TerminalEdit.cpp (insert/delete/rectangles), TerminalAttributes.cpp
// (SGR), TerminalModes.cpp (modes, screens, power-on state, synchronized
// output), TerminalReports.cpp (device reports, window ops, titles),
// TerminalMouse.cpp (mouse reports), TerminalOsc.cpp (OSC commands),
// TerminalDcs.cpp (DCS handlers, parser hooks and log lines).
class Terminal {
public:
    static constexpr double synchronizedOutputTimeoutSeconds = 1.0;

    using Params = CsiParams;
    using Collect = std::span<const uint8_t>;
    using OscHandler = std::function<void(std::span<const uint8_t>)>;

    // A DECRQSS request being gathered (DCS $ q ... ST).
    class DECRQSS : public DcsHandler {
    public:
        static constexpr size_t kMaxRequest = 64;
        explicit DECRQSS(Terminal& terminal) : terminal_(terminal) {}
        void hook(std::span<const uint8_t>, const CsiParams&, uint8_t) override
        {
            data_.clear();
            overflow_ = false;
        }
        void put(std::span<const uint8_t> data) override;
        void unhook() override;

    private:
        Terminal& terminal_;
        std::vector<uint8_t> data_;
        bool overflow_ = false;
    };

    explicit Terminal(TerminalDelegate* delegate, const TerminalOptions& options = {});
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // --- host ------------------------------------------------------------------
    TerminalDelegate* delegate() const { return tdel_; }
    void setDelegate(TerminalDelegate* d) { tdel_ = d; }
    const TerminalOptions& options() const { return options_; }
    void setOptions(const TerminalOptions& o) { options_ = o; }
    std::pair<int, int> getDims() const { return {cols, rows}; }

    // The environment offered to a child process, as name=value entries: this
    // process's own, as terminals pass on the desktop session's, without what
    // belongs to this launch, with TERM and COLORTERM ours and, when the
    // locale variables name no UTF-8 locale, LC_CTYPE one that is installed.
    static std::vector<std::string> getEnvironmentVariables(const std::optional<std::string>& termName, bool trueColor);
    // The same from `inherited`, asking `isUtf8Locale` which locales exist in UTF-8.
    static std::vector<std::string>
    getEnvironmentVariables(const std::optional<std::string>& termName, bool trueColor,
                            std::span<const std::string> inherited,
                            const std::function<bool(const std::string&)>& isUtf8Locale);

    // --- feeding ---------------------------------------------------------------
    void feed(std::span<const uint8_t> bytes);
    void feed(std::string_view text)
    {
        feed(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }
    void parse(std::span<const uint8_t> bytes) { feed(bytes); }
    EscapeSequenceParser& parser() { return parser_; }

    // --- slow work held off the parser (Terminal.cpp) -----------------------------
    // Lets a handler run slow work (decoding a large image) on a worker
    // thread: input after the current sequence waits, in order and with the
    // trust it was read with, until `then` has run on this thread. Only with
    // a scheduler and a host that allows it; false means: do the work now.
    bool runHoldingInput(std::function<void()> work, std::function<void()> then);
    // Hosts that can pause their output while input is held allow it.
    void setBackgroundWorkAllowed(bool allowed) { backgroundWorkAllowed_ = allowed; }
    bool inputHeld() const { return heldJob_ != nullptr; }
    // Waits for the held work and parses what waited.
    void finishHeldInput();
    // Whether a request that hands local data to the child may be answered:
    // the delegate's word, and never for output a remote session printed.
    // None while the delegate cannot tell yet: then the input after this
    // sequence waits, and `retry` makes the request again once the answer is
    // known (it is then given at once), before anything later is parsed.
    std::optional<bool> gatedRequest(std::function<void()> retry);
    // More held input than this waits for the work instead of growing.
    static constexpr size_t kMaxHeldInputBytes = 16u << 20;
    // How often the terminal's thread looks whether held work is done.
    static constexpr std::uint64_t heldPollNs = 1'000'000;

    void registerOscHandler(int code, OscHandler handler) { oscHandlers_[code] = std::move(handler); }

    // --- dirty rows --------------------------------------------------------------
    // Inline: every print and cursor move marks a row or two.
    void updateRange(int y, bool scrolling = false) { updateRange(*buffer, y, scrolling); }
    void updateRange(Buffer& borrowing, int y, bool scrolling = false)
    {
        if (!scrolling) {
            const int invariant = y + borrowing.yDisp();
            if (invariant >= 0) {
                scrollInvariantRefreshStart = std::min(scrollInvariantRefreshStart, invariant);
                scrollInvariantRefreshEnd = std::max(scrollInvariantRefreshEnd, invariant);
            }
        }
        if (y >= 0) {
            refreshStart = std::min(refreshStart, y);
            refreshEnd = std::max(refreshEnd, y);
        }
    }
    void updateRange(int startLine, int endLine, bool scrolling);
    void updateFullScreen();
    // (startY, endY) in screen rows; endY may equal rows after updateFullScreen().
    std::optional<std::pair<int, int>> getUpdateRange() const;
    std::optional<std::pair<int, int>> getScrollInvariantUpdateRange() const;
    void clearUpdateRange();
    void refresh(int startRow, int endRow);

    // --- replies -----------------------------------------------------------------
    struct ResponseItem {
        ResponseItem(std::span<const uint8_t> b) : bytes(b.begin(), b.end()) {}
        ResponseItem(const std::vector<uint8_t>& b) : bytes(b) {}
        ResponseItem(std::string_view s) : bytes(s.begin(), s.end()) {}
        ResponseItem(const std::string& s) : bytes(s.begin(), s.end()) {}
        ResponseItem(const char* s) : ResponseItem(std::string_view(s)) {}
        ResponseItem(uint8_t b) : bytes{b} {}
        std::vector<uint8_t> bytes;
    };
    void sendResponse(std::initializer_list<ResponseItem> items);
    void sendResponse(std::string_view text);
    void setTerminalFocus(bool focused);
    void sendFocusReport();
    // Bytes typed by the user, on their way to the child.
    void sendUserInput(std::span<const uint8_t> bytes);

    // --- colours -------------------------------------------------------------------
    const Color& foregroundColor() const { return foregroundColor_; }
    const Color& backgroundColor() const { return backgroundColor_; }
    const std::optional<Color>& cursorColor() const { return cursorColor_; }
    void setForegroundColor(const Color& c);
    void setBackgroundColor(const Color& c);
    void setCursorColor(const std::optional<Color>& c);
    void installPalette(std::span<const Color> colors);
    void rebuildAnsiPalette(bool notifyDelegate);
    Ansi256PaletteStrategy ansi256PaletteStrategy() const { return options_.ansi256PaletteStrategy; }
    void setAnsi256PaletteStrategy(Ansi256PaletteStrategy s);

    // --- selections --------------------------------------------------------------
    void registerSelection(const std::shared_ptr<SelectionHook>& selection);
    void selectionsInvalidateForColumnRestrictedScroll(int top, int bottom, int left, int right);
    void selectionsAdjustForScroll(int top, int bottom, int delta);

    // --- screen access -------------------------------------------------------------
    Buffer& activeBuffer() { return *buffer; }
    bool isCurrentBufferAlternate() const { return buffer == altBuffer.get(); }
    BufferLine* getLine(int row);
    BufferLine* getScrollInvariantLine(int row);
    std::optional<CharData> getCharData(int col, int row);
    // The text of a cell code (UTF-8); " " for codes that name nothing.
    std::string character(int32_t code) const;
    std::string getCharacter(int col, int row);
    std::string getCharacter(const CharData& cell) const { return character(cell.code); }
    // The cell code for a character given as scalars; interns clusters.
    int32_t code(std::span<const char32_t> scalars);
    size_t clusterCount() const { return clusters_.size(); }
    std::pair<int, int> getCursorLocation() const { return {buffer->x(), buffer->y()}; }
    const Attribute& currentAttribute() const { return curAttr; }
    KittyKeyboardFlags keyboardEnhancementFlags() const
    {
        return isCurrentBufferAlternate() ? keyboardModeAlt.flags : keyboardModeNormal.flags;
    }
    // Shell-integration queries on the active buffer (rows count from the top of the ring).
    std::optional<SemanticContent> semanticContent(Position at);
    std::vector<SemanticPromptAnchor> semanticPromptMarks(int row) { return buffer->semanticMarksOfRow(row); }
    std::optional<int> semanticRow(const BufferLine* line, uint64_t recycleGeneration);
    std::optional<SemanticPromptKind> semanticRowKind(int row) { return buffer->semanticPromptSpan(row); }
    std::optional<Position> activeSemanticPromptOrigin() { return buffer->semanticInputStart(); }

    // The erase cell's attribute: default foreground, current background.
    // Inline: every scrolled line asks for it.
    Attribute eraseAttr() const
    {
        Attribute a;
        a.bg = curAttr.bg;
        return a;
    }

    // --- buffers -------------------------------------------------------------------
    void resetNormalBuffer();
    void activateNormalBuffer(bool clearAlt);
    void activateAltBuffer(std::optional<Attribute> fillAttribute);

    // --- size (TerminalResize.cpp) ---------------------------------------------------
    // The host's resize: clamped to the minimum and to the option bounds; a
    // new size ends synchronized output and reflows the normal screen.
    void resize(int cols, int rows);
    // Both buffers to the new size, the normal one first.
    void resizeBuffers(int newColumns, int newRows);

    // --- synchronized output (mode 2026) --------------------------------------------
    void beginSynchronizedOutput();
    void endSynchronizedOutput();
    void scheduleSynchronizedOutputTimeout();
    // Ends synchronized output when its time is up; hosts with a timer call it,
    // and every feed checks it too.
    void checkSynchronizedOutputTimeout();
    bool synchronizedOutputActive = false;
    // Whether any cell may blink: set by the first SGR 5, never cleared.
    // Until then hosts need not look for blinking text.
    bool blinkEverSet = false;
    // The clock and the timer of the timeout; without one the steady clock
    // is read and only feeding checks the timeout. The scheduler must
    // outlive the terminal or be replaced first; a pending timer is
    // cancelled when the terminal goes.
    void setScheduler(platform::Scheduler* scheduler);

    // --- print path and C0 --------------------------------------------------------------
    // printableAscii: the caller knows every byte is in 0x20-0x7E.
    void handlePrint(std::span<const uint8_t> bytes, bool printableAscii = false);
    void insertCharacter(const CharData& cell);
    void execute(uint8_t code);
    void cmdLineFeed();
    void cmdBackspace();
    void cmdCarriageReturn();
    void emitLineFeed();
    void garbageCollectPayload();
    std::optional<std::pair<int, int>> combiningTarget(Buffer& b) const;

    // --- scrolling, index, charsets, RIS ----------------------------------------------------
    void scroll(bool isWrapped);
    void cmdIndex();
    void cmdNextLine();
    void reverseIndex();
    void columnIndex(bool back);
    void columnScroll(bool back, int at);
    void resetToInitialState();
    void setgLevel(uint8_t level);
    void setgCharset(uint8_t g, const CharsetMap* charset);
    void selectCharset(std::span<const uint8_t> bytes);
    void clearScrollback();
    void changeScrollback(std::optional<int> lines);
    void showCursor();
    void hideCursor();
    void setTitle(const std::string& text);
    void setIconTitle(const std::string& text);

    // --- cursor and erasing -----------------------------------------------------------------
    void restrictCursor(bool pendingWrapNotAllowed = true);
    void setCursor(int col, int row);
    void cursorForward(int count);
    void cursorBackward(int count);
    void cmdCursorUp(const Params& p, Collect c = {});
    void cmdCursorDown(const Params& p, Collect c = {});
    void cmdCursorNextLine(const Params& p, Collect c = {});
    void cmdCursorPrecedingLine(const Params& p, Collect c = {});
    void cmdCursorCharAbsolute(const Params& p, Collect c = {});
    void cmdCursorPosition(const Params& p, Collect c = {});
    void cmdCursorForwardTab(const Params& p, Collect c = {});
    void cmdCursorBackwardTab(const Params& p, Collect c = {});
    void cmdCharPosAbsolute(const Params& p, Collect c = {});
    void cmdHPositionRelative(const Params& p, Collect c = {});
    void cmdLinePosAbsolute(const Params& p, Collect c = {});
    void cmdVPositionRelative(const Params& p, Collect c = {});
    void cmdHVPosition(const Params& p, Collect c = {});
    void cmdTabClear(const Params& p, Collect c = {});
    void cmdTabSet();
    void cmdEraseInDisplay(const Params& p, Collect c = {});
    void cmdEraseInLine(const Params& p, Collect c = {});
    void cmdEraseChars(const Params& p, Collect c = {});
    void cmdSaveCursor(const Params& p = {}, Collect c = {});
    void cmdRestoreCursor(const Params& p = {}, Collect c = {});
    void cmdSelectPresentationDirection(const Params& p, Collect c = {});
    void cmdSelectCharacterPath(const Params& p, Collect c = {});
    void resetBufferLine(int y, bool clearImages, std::optional<BidiPresentationState> bidiState);

    // --- insert, delete, rectangles ----------------------------------------------------------
    void cmdInsertChars(const Params& p, Collect c = {});
    void cmdDeleteChars(const Params& p, Collect c = {});
    void cmdInsertLines(const Params& p, Collect c = {});
    void cmdDeleteLines(const Params& p, Collect c = {});
    void cmdScrollUp(const Params& p, Collect c = {});
    void cmdScrollDown(const Params& p, Collect c = {});
    void cmdRepeatPrecedingCharacter(const Params& p, Collect c = {});
    void cmdScrollColumns(const Params& p, bool left);  // SL and SR
    void cmdDeleteColumns(const Params& p, Collect c);
    void csiCopyRectangularArea(const Params& p, Collect c);
    void csiX(const Params& p, Collect c);
    void cmdDECRQCRA(const Params& p, Collect c);
    void csiZ(const Params& p, Collect c);
    void csiOpenBrace(const Params& p, Collect c);
    void csiCloseBrace(const Params& p, Collect c);
    void setLineRenderMode(BufferLine::RenderLineMode mode);
    void cmdScreenAlignmentPattern();

    // --- character attributes ------------------------------------------------------------------
    void cmdCsiM(const Params& p, Collect c);
    void cmdCharAttributes(const Params& p);

    // --- modes ------------------------------------------------------------------------------
    void setup(bool isReset);
    void cmdSetMode(const Params& p, Collect c);
    void cmdResetMode(const Params& p, Collect c);
    void setMode(int mode, Collect c);
    void resetMode(int mode, Collect c);
    void csiPHandler(const Params& p, Collect c);
    void cmdDecRqm(const Params& p, bool decMode);
    void softReset();
    static constexpr size_t kMaxKeyboardStackDepth = 16;

    // Fields of currentBidiState, as bits of a set.
    enum class BidiStateProperty : uint8_t {
        supportMode = 1,
        autodetectDirection = 2,
        fallbackDirection = 4,
        boxMirroring = 8
    };
    static constexpr uint8_t kAllBidiStateProperties = 15;
    // Makes `state` current for new rows and pushes `properties` of it into
    // the paragraph at the cursor.
    void installBidiState(const BidiPresentationState& state, uint8_t properties);
    void applyCurrentBidiStateAtParagraphStart(uint8_t properties);
    // Keep bidi paragraphs from spanning the edges of moved rows (ring rows).
    void hardenBidiScrollBoundaries(bool insertedAtTop, int count);
    void hardenBidiLineShiftBoundaries(int firstRow, std::optional<int> movedRow, int lastRow);
    void cmdSavePrivateModes(const Params& p, Collect c);
    void cmdRestorePrivateModes(const Params& p, Collect c);
    void cmdCsiU(const Params& p, Collect c);
    bool handleKittyKeyboardProtocol(const Params& p, Collect c);

    // --- reports and window operations -------------------------------------------------------
    void cmdSendDeviceAttributes(const Params& p, Collect c);
    void cmdDeviceStatus(const Params& p, Collect c);
    void cmdXTVERSION(const Params& p, Collect c);
    void cmdSetCursorStyle(const Params& p, Collect c);
    void setCursorStyle(CursorStyle style);
    void cmdSetConformanceLevel(const Params& p, Collect c);
    static constexpr size_t kMaxTitleStackDepth = 10;
    void cmdSetScrollRegion(const Params& p, Collect c);
    void cmdSetMargins(const Params& p, Collect c);
    void cmdWindowOptions(const Params& p, Collect c);
    void cmdXtermTitleModeSet(const Params& p);
    void cmdXtermTitleModeReset(const Params& p);
    void cmdSetShiftEscape(const Params& p);

    // --- mouse reports ---------------------------------------------------------------------
    // Marks a release in encodeButton's result, so that the SGR forms can
    // name the released button; the other forms send release code 3.
    static constexpr int kMouseReleaseFlag = 0x100;
    // button: 1 middle, 2 right, 3 left, 4 and 5 wheel up and down.
    int encodeButton(int button, bool release, bool shift, bool meta, bool control) const;
    // x and y are 0-based cells of the visible screen.
    void sendEvent(int buttonFlags, int x, int y) { sendEvent(buttonFlags, x, y, x, y); }
    void sendEvent(int buttonFlags, int x, int y, int pixelX, int pixelY);
    void sendMotion(int buttonFlags, int x, int y, int pixelX, int pixelY)
    {
        sendEvent(buttonFlags + 32, x, y, pixelX, pixelY);
    }
    static void encodeMouseUtf(std::vector<uint8_t>& data, int ch);

    // --- operating-system commands ----------------------------------------------------------
    void oscDispatch(int64_t number, std::span<const uint8_t> payload);
    void oscChangeOrQueryColorIndex(std::span<const uint8_t> payload);
    void oscSetCurrentDocument(std::span<const uint8_t> payload);
    void oscSetCurrentDirectory(std::span<const uint8_t> payload);
    void oscHyperlink(std::span<const uint8_t> payload);
    bool oscProgressReport(std::span<const uint8_t> payload);
    void oscSetColors(std::span<const uint8_t> payload, int startAt);
    void oscClipboard(std::span<const uint8_t> payload);
    void oscResetColor(std::span<const uint8_t> payload);
    void oscResetCursorColor();
    void oscResetDefaultColor(int target);  // 0 foreground, 1 background
    void applyOscColor(int target, const Color& color);
    std::pair<Color, Color> shownColors();
    void oscSemanticPrompt(std::span<const uint8_t> payload);
    void oscNotification(std::span<const uint8_t> payload);
    void oscInlineImage(std::span<const uint8_t> payload);
    static std::optional<ProgressReport> parseProgressReport(std::span<const uint8_t> payload);
    // Gives back every payload atom this terminal holds (full reset).
    void releaseAllPayloads();
    // The values behind this terminal's cell payloads. Each terminal has its
    // own table: one that runs out of codes only stops linking, and never
    // takes codes from another.
    const PayloadTable& payloadTable() const { return payloads_; }
    // Cells the payload sweeps have visited, over the terminal's life.
    size_t payloadCellsSwept() const { return payloadCellsSwept_; }
    // Bytes the print path has read to find where its runs end, over the
    // terminal's life: about once each, however long the line.
    size_t printBytesScanned() const { return printBytesScanned_; }
    // Bounds on what a child may hand over through OSC.
    static constexpr size_t kMaxTitleBytes = 4096;
    static constexpr size_t kMaxHostLocationBytes = 8192;
    static constexpr size_t kMaxHyperlinkBytes = 8192;
    static constexpr size_t kMaxClipboardSelectionBytes = 16;
    static constexpr size_t kMaxClipboardWriteBytes = 2u << 20;

    // --- colour commands ---------------------------------------------------------------------
    void resetAllColors();
    void reportColor(int oscCode, const Color& color);

    // --- shell integration (OSC 133) and the user-input scanner ------------------------------
    static std::optional<SemanticPromptOptions> parseSemanticPromptOptions(std::span<const std::string_view> fields);
    void markCurrentSemanticPrompt(SemanticPromptKind kind);
    // True when the bytes the user sends submit a command line.
    bool scanUserInputForSubmission(std::span<const uint8_t> bytes);
    bool interpretSemanticCSI(uint8_t final);
    void resetUserInputScanner();
    void resetSemanticPromptState(bool clearingScreenMarks);
    void semanticNoteAlternateScreenSwitch();
    SemanticPromptClickMode semanticPromptClickMode() const { return buffer->semanticClickMode; }
    // A click the view may route to the shell instead of starting a selection.
    bool mightRouteSemanticPromptClick(SemanticPromptClickModifiers modifiers,
                                       const SemanticPromptPointerSnapshot& snapshot) const;
    // Sends the cursor keys or mouse report for a click at a buffer position;
    // false when nothing was sent.
    bool handleSemanticPromptClick(Position at, SemanticPromptClickModifiers modifiers,
                                   const SemanticPromptPointerSnapshot& snapshot);
    bool handleSemanticPromptClick(Position at, SemanticPromptClickModifiers modifiers);

    // --- links and text ------------------------------------------------------------------------
    std::optional<LinkMatch> linkMatch(LinkLookupLocation at, LinkLookupMode mode);
    std::optional<Position> resolveLinkLocation(LinkLookupLocation at, Buffer& in) const;
    std::optional<LinkMatch> explicitLinkMatch(Position at, Buffer& in);
    std::optional<LinkMatch> implicitLinkMatch(Position at, Buffer& in);
    static std::optional<uint16_t> payloadCode(Position at, Buffer& in);
    // Whether a remote session printed the link (its text or its OSC 8
    // target), whatever runs now.
    bool linkPrintedByRemote(const LinkMatch& match, Buffer& in) const;
    // The output being fed is a remote session's (see TerminalDelegate::isOutputRemote).
    bool outputRemote() const { return outputRemote_; }
    // The URI of an OSC 8 payload ("params;uri").
    static std::optional<std::string> parseHyperlinkPayload(std::string_view payload);
    // Text between two positions of the active buffer (rows count from the top of the ring).
    std::string getText(Position start, Position end);
    std::vector<Line> getSelectedLines(Position p1, Position p2, Buffer& in);
    // end -1 = to the end of the line.
    std::string translateBufferLineToString(Buffer& in, int line, int start, int end);
    // Every line of a buffer, each ended by a line feed; lines the encoding
    // cannot hold are left out.
    std::vector<uint8_t> getBufferAsData(BufferKind kind, TextEncoding encoding);

    // --- graphics hooks (filled in with the graphics protocols) -------------------------------
    // Forwarded to the installed hook; without one they do nothing.
    void setKittyGraphicsHook(std::unique_ptr<KittyGraphicsHook> hook) { kittyGraphicsHook_ = std::move(hook); }
    KittyGraphicsHook* kittyGraphicsHook() const { return kittyGraphicsHook_.get(); }
    void kittyGraphicsCommand(std::span<const uint8_t> payload);
    void kittyAdjustPlacementsForScroll();
    void kittyShiftPlacementsForScroll(int rows);
    void resetKittyGraphics();
    void kittyCleanupForBufferSwitch(Buffer& buffer, bool isAlternate);

    // --- parser hooks and log lines --------------------------------------------------------------
    void csiDispatch(const Params& p, Collect collect, uint8_t final);
    void escDispatch(Collect collect, uint8_t final);
    void apcDispatch(uint8_t command, std::span<const uint8_t> payload);
    bool dcsHook(const Params& p, Collect collect, uint8_t final);
    void printStateReset();
    // Anything but printing may move the cursor, change the cell before it or
    // move lines around.
    void forgetLastCell()
    {
        lastCellKnown_ = false;
        cursorLine_ = nullptr;
    }
    // Printing that filled a row up to the right margin leaves the cursor one
    // past the margin with the wrap pending; a cursor moved there is simply
    // right of the margin. Anything that moves the cursor ends the wrap.
    bool wrapPendingAtMargin() const;
    void noteMarginWrap();
    void clearMarginWrap() { marginWrap_.buffer = nullptr; }
    // The wrap ends without a move: the cursor stays on the margin's last
    // column, where reports, erasing and the next character find it.
    void endMarginWrap();
    void reportUnknownCsi(const Params& p, Collect collect, uint8_t final);
    void reportUnknownEsc(Collect collect, uint8_t final);
    void reportUnknownOsc(int64_t number);
    void reportUnknownApc(uint8_t command);
    void reportParseError(const ParsingState& state);
    // "Info: " + message, only while silentLog is off.
    void log(std::string_view message) const;
    bool silentLog = true;

    // --- state ---------------------------------------------------------------------------------
    int cols = 80;
    int rows = 25;
    int tabStopWidth = 8;

    std::unique_ptr<Buffer> normalBuffer;
    std::unique_ptr<Buffer> altBuffer;
    Buffer* buffer = nullptr;  // the active one

    SemanticPromptClickBehavior semanticPromptClickBehavior = SemanticPromptClickBehavior::enabled();

    bool applicationKeypad = false;
    bool applicationCursor = false;
    bool reverseColors = false;
    KeyboardModeState keyboardModeNormal;
    KeyboardModeState keyboardModeAlt;
    bool sendFocus = false;

    BidiPresentationState currentBidiState;
    bool bidiArrowKeySwap = false;
    std::map<int, bool> savedBidiPrivateModes;

    bool cursorHidden = false;
    bool originMode = false;
    bool marginMode = false;
    bool insertMode = false;
    bool wraparound = false;
    bool bracketedPasteMode = false;
    bool alternateScrollMode = true;

    const CharsetMap* charset = nullptr;  // active translation, nullptr = none
    std::array<const CharsetMap*, 4> gCharsets{};
    int gcharset = 0;
    bool reverseWraparound = false;

    Attribute curAttr;

    uint8_t gLevel = 0;
    bool cursorBlink = false;
    bool allow80To132 = false;

    bool userScrolling = false;
    bool lineFeedMode = false;
    bool smoothScroll = false;

    std::array<Color, 16> installedColors{};
    std::vector<Color> defaultAnsiColors;
    std::vector<Color> ansiColors;
    CC cc;

    std::optional<std::string> hostCurrentDirectory;
    std::optional<std::string> hostCurrentDocument;

    MouseProtocolEncoding mouseProtocol = MouseProtocolEncoding::x10;
    bool reportedFocusState = true;
    MouseMode mouseMode() const { return mouseMode_; }
    void setMouseMode(MouseMode m);
    bool mouseShiftCapture = false;

    bool xtermTitleSetUtf = false;
    bool xtermTitleSetHex = false;
    bool xtermTitleQueryUtf = false;
    bool xtermTitleQueryHex = false;

    TerminalConformance conformance = TerminalConformance::vt500;
    CursorStyle cursorStyle = CursorStyle::blinkBlock;

    SemanticScanState semanticScanState = SemanticScanState::ground;
    bool semanticScanInPaste = false;
    std::vector<uint8_t> semanticScanParams;

    std::optional<ActiveHyperlink> activeHyperlink;

    std::string terminalTitle;
    std::string iconTitle;
    std::vector<std::string> terminalTitleStack;
    std::vector<std::string> terminalIconStack;

    int refreshStart = INT32_MAX;
    int refreshEnd = -1;
    int scrollInvariantRefreshStart = INT32_MAX;
    int scrollInvariantRefreshEnd = -1;

private:
    class ParserBridge;

    std::unique_ptr<Buffer> makeBuffer(bool alternate);
    void installBuffer(Buffer& b);
    void notifyColorChange(bool& guard, const std::function<void()>& call);

    // print path helpers
    void printScalar(char32_t s);
    void printReplacement() { printScalar(0xFFFD); }
    // Returns false when it stayed on the cursor's row and called nothing
    // outside the terminal.
    bool writeAsciiRun(const uint8_t* bytes, size_t length, bool printable);
    void wrapCursorToNextLine();
    // The line under the cursor, cached while only printing happens.
    BufferLine& cursorLine();
    void joinIntoTarget(std::pair<int, int> target, char32_t s);
    void clearWideCharacterAround(BufferLine& line, int x, int width);
    // Mends the wide characters that a narrow run about to be written cuts
    // into; returns the run's cells again, as mending may move them.
    CharData* mendRunEnds(BufferLine& line, int x, int width);
    void flushPendingUtf8();
    int rightLimit() const;
    void joinSemanticGroupAfterMove();
    TinyAtom hyperlinkPayload();

    void parseOrQueue(std::span<const uint8_t> bytes);

    // modes
    void setInsertMode(bool on);
    void setWraparound(bool on);
    void setMarginMode(bool on);
    void setReverseColors(bool on);
    void setBidiFlag(BidiStateProperty property, bool on);
    void switchColumnMode(int newCols);
    void afterScreenSwitch();
    int ansiModeStatus(int mode) const;
    int decModeStatus(int mode) const;
    void hardenBidiRow(int row);
    // reports
    std::pair<int, int> reportedCursorPosition() const;
    void popWindowTitle();
    void popIconTitle();
    std::uint64_t nowNs() const;
    void armSynchronizedOutputTimer(std::uint64_t delayNs);
    void synchronizedOutputTimerFired();

    TerminalDelegate* tdel_ = nullptr;
    TerminalOptions options_;
    std::unique_ptr<ParserBridge> bridge_;
    EscapeSequenceParser parser_;
    std::map<int, OscHandler> oscHandlers_;
    std::unique_ptr<DcsHandler> activeDcsHandler_;

    // print path state: an unfinished UTF-8 sequence carried between feeds
    std::array<uint8_t, 4> putback_{};
    uint8_t putbackSize_ = 0;
    GraphemeTable clusters_;
    bool clusterTableFullLogged_ = false;
    int32_t lastPrintedCode_ = 0;  // for REP
    int lastPrintedWidth_ = 1;
    // The cell left of the cursor is the last one printed (no other action since).
    bool lastCellKnown_ = false;
    struct MarginWrap {
        const Buffer* buffer = nullptr;
        int x = 0;
        int y = 0;
    } marginWrap_;
    BufferLine* cursorLine_ = nullptr;
    bool outputRemote_ = false;
    const Buffer* cursorLineBuffer_ = nullptr;
    int cursorLineRow_ = 0;
    const Buffer* lastCellBuffer_ = nullptr;
    int lastCellX_ = 0;
    int lastCellRow_ = 0;
    void rememberLastCell()
    {
        lastCellKnown_ = true;
        lastCellBuffer_ = buffer;
        lastCellX_ = buffer->x();
        lastCellRow_ = buffer->yBase() + buffer->y();
    }

    BufferLinePtr blankLine_;

    MouseMode mouseMode_ = MouseMode::off;
    Color foregroundColor_ = Color::defaultForeground();
    Color backgroundColor_ = Color::defaultBackground();
    std::optional<Color> cursorColor_;
    bool settingFgColor_ = false;
    bool settingBgColor_ = false;
    bool settingCursorColor_ = false;
    bool settingOscColor_ = false;
    // What the colour queries reported before a program first changed the
    // colour: OSC 110, 111 and 112 give exactly that back. A change by the
    // host makes its colour the one to return to.
    std::optional<Color> foregroundBeforeOsc_;
    std::optional<Color> backgroundBeforeOsc_;
    std::optional<std::optional<Color>> cursorBeforeOsc_;

    // Selections die on the terminal's own thread, so one whose reference
    // has not expired may be asked through the raw pointer.
    struct RegisteredSelection {
        std::weak_ptr<SelectionHook> ref;
        SelectionHook* hook = nullptr;
    };
    std::vector<RegisteredSelection> selections_;

    std::optional<std::uint64_t> synchronizedOutputDeadlineNs_;
    std::unique_ptr<platform::ScopedTasks> timers_;
    bool synchronizedOutputTimerPending_ = false;

    bool parsing_ = false;
    std::vector<uint8_t> deferredInput_;

    // Input waiting for held work, each piece with whether a remote session printed it.
    struct HeldInput {
        std::vector<uint8_t> bytes;
        bool remote = false;
    };
    struct HeldJob;
    void holdInput(std::span<const uint8_t> bytes);
    void parseTakingHolds(std::span<const uint8_t> bytes);
    void armHeldPoll();
    void pollHeldInput();
    void resumeHeldInput();
    bool backgroundWorkAllowed_ = false;
    std::shared_ptr<HeldJob> heldJob_;
    platform::Scheduler::TaskId heldPollTask_ = 0;  // 0 while no poll is pending
    std::function<void()> heldThen_;
    std::optional<bool> settledTrust_;  // the answer a retried request gets
    std::deque<HeldInput> heldInput_;
    size_t heldInputBytes_ = 0;

    std::unique_ptr<KittyGraphicsHook> kittyGraphicsHook_;

    // OSC 8 payload upkeep and shell-integration click helpers. A sweep scans
    // every cell of both screens, so sweeps are spaced out: by the table's
    // growth while it has room, and by link starts in proportion to the
    // cells last scanned once it is full, so that a full table costs a link
    // no more than a few cell visits.
    PayloadTable payloads_;
    static constexpr size_t kMinPayloadSweepThreshold = 1024;
    static constexpr size_t kPayloadFullRetryInterval = 256;
    static constexpr size_t kSweptCellsPerLinkStart = 16;
    size_t payloadSweepThreshold_ = kMinPayloadSweepThreshold;
    size_t linkStartsSinceSweep_ = 0;
    size_t lastSweptCells_ = 0;
    size_t payloadCellsSwept_ = 0;
    size_t printBytesScanned_ = 0;
    void sweepPayloadsIfDue();
    std::pair<std::string, int> lineText(Buffer& in, int row, int start, int end);
    struct SemanticGroupGeometry;
    struct SemanticOffset;
    std::optional<SemanticGroupGeometry> semanticGroupGeometry();
    int semanticInputCellCount(int row, int before);
    std::optional<SemanticOffset> semanticOffset(Position p, const SemanticGroupGeometry& geometry);
    Position normalizeSemanticClickTarget(Position p);
    void appendSemanticCursorMovement(bool right, int count, std::vector<uint8_t>& out) const;
    void appendSemanticVerticalMovement(bool down, int count, std::vector<uint8_t>& out) const;
};

}  // namespace ravelgrid
