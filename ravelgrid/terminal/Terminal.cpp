#include "ravelgrid/terminal/Terminal.h"

#include <algorithm>
#include <atomic>
#include <clocale>
#include <condition_variable>
#include <cstdlib>
#include <langinfo.h>
#include <locale.h>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "platform/Log.h"

namespace ravelgrid {

// Turns the parser's actions into Terminal calls.
class Terminal::ParserBridge : public ParserHandler {
public:
    explicit ParserBridge(Terminal& t) : t_(t) {}
    void print(std::span<const uint8_t> run) override { t_.handlePrint(run); }
    void printAscii(std::span<const uint8_t> run) override { t_.handlePrint(run, true); }
    void execute(uint8_t code) override
    {
        t_.forgetLastCell();
        // A tab leaves the wrap pending, as at the screen's edge; BEL, SO and
        // SI do not touch the cursor.
        if (t_.marginWrap_.buffer && code != 0x09 && code != 0x07 && code != 0x0E && code != 0x0F)
            t_.endMarginWrap();
        t_.execute(code);
    }
    void csiDispatch(const CsiParams& p, std::span<const uint8_t> collect, uint8_t final) override
    {
        t_.forgetLastCell();
        // Attributes, modes, reports, the cursor's shape and REP (which
        // prints) leave a pending wrap.
        if (t_.marginWrap_.buffer && final != 'm' && final != 'h' && final != 'l' && final != 'q' && final != 'n' &&
            final != 'c' && final != 't' && final != 'p' && final != 'y' && final != 'b')
            t_.endMarginWrap();
        t_.csiDispatch(p, collect, final);
    }
    void escDispatch(std::span<const uint8_t> collect, uint8_t final) override
    {
        t_.forgetLastCell();
        // Designating a character set, DECSC and the keypad modes leave it.
        if (t_.marginWrap_.buffer && collect.empty() && final != '7' && final != '=' && final != '>')
            t_.endMarginWrap();
        t_.escDispatch(collect, final);
    }
    void oscDispatch(int64_t number, std::span<const uint8_t> payload) override
    {
        t_.forgetLastCell();
        t_.oscDispatch(number, payload);
    }
    void apcDispatch(uint8_t command, std::span<const uint8_t> payload) override
    {
        t_.forgetLastCell();
        t_.apcDispatch(command, payload);
    }
    bool dcsHook(const CsiParams& p, std::span<const uint8_t> collect, uint8_t final) override
    {
        t_.forgetLastCell();
        return t_.dcsHook(p, collect, final);
    }
    void dcsPut(std::span<const uint8_t> data) override
    {
        if (t_.activeDcsHandler_)
            t_.activeDcsHandler_->put(data);
    }
    void dcsUnhook() override
    {
        t_.forgetLastCell();
        if (auto handler = std::move(t_.activeDcsHandler_))
            handler->unhook();
    }
    bool parseError(const ParsingState& s) override
    {
        t_.reportParseError(s);
        return false;
    }
    // Called at the start of every sequence: the call is skipped when no
    // character is half received.
    void printStateReset() override
    {
        if (t_.putbackSize_ != 0)
            t_.printStateReset();
    }

private:
    Terminal& t_;
};

Terminal::Terminal(TerminalDelegate* delegate, const TerminalOptions& options)
    : tdel_(delegate), options_(options.validated()), bridge_(std::make_unique<ParserBridge>(*this)), parser_(*bridge_)
{
    if (auto problem = options.problem())
        platform::logWarning("terminal", *problem);
    cols = options_.cols;
    rows = options_.rows;
    tabStopWidth = options_.tabStopWidth;
    cursorStyle = options_.cursorStyle;

    const auto& defaults = Color::defaultInstalledColors();
    std::copy(defaults.begin(), defaults.end(), installedColors.begin());
    rebuildAnsiPalette(false);

    currentBidiState = options_.initialBidiState;
    bidiArrowKeySwap = options_.initialBidiArrowKeySwap;

    normalBuffer = makeBuffer(false);
    altBuffer = makeBuffer(true);
    buffer = normalBuffer.get();
    cc.send8bit = false;
    setup(false);
}

// A worker's share of held work: done once `work` has returned.
struct Terminal::HeldJob {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

Terminal::~Terminal() = default;

std::unique_ptr<Buffer> Terminal::makeBuffer(bool alternate)
{
    auto b = std::make_unique<Buffer>(
        cols, rows, tabStopWidth, alternate ? std::nullopt : std::optional<int>(options_.scrollback), currentBidiState);
    installBuffer(*b);
    b->fillViewportRows(std::nullopt);
    b->detectsDirection = !alternate;
    b->reordersRows = !alternate;
    return b;
}

void Terminal::installBuffer(Buffer& b)
{
    b.resetTabStops(-1, tabStopWidth);
}

// --- feeding ---------------------------------------------------------------------

void Terminal::feed(std::span<const uint8_t> bytes)
{
    const bool remote = tdel_ && tdel_->isOutputRemote(*this);
    if (remote != outputRemote_) {
        outputRemote_ = remote;
        cursorLine_ = nullptr;  // the next print marks its row
    }
    checkSynchronizedOutputTimeout();
    parseOrQueue(bytes);
}

void Terminal::parseOrQueue(std::span<const uint8_t> bytes)
{
    if (parsing_) {
        // A delegate fed us from inside a handler; run it after the current input.
        constexpr size_t kMaxDeferred = 16u << 20;
        if (deferredInput_.size() + bytes.size() <= kMaxDeferred)
            deferredInput_.insert(deferredInput_.end(), bytes.begin(), bytes.end());
        else
            platform::logWarning("terminal", "re-entrant input dropped: too much queued");
        return;
    }
    if (heldJob_ || !heldInput_.empty()) {
        holdInput(bytes);
        // The host did not pause: wait rather than hold without bound.
        if (heldInputBytes_ > kMaxHeldInputBytes)
            finishHeldInput();
        return;
    }
    parsing_ = true;
    parseTakingHolds(bytes);
    while (!deferredInput_.empty()) {
        std::vector<uint8_t> pending;
        pending.swap(deferredInput_);
        parseTakingHolds(pending);
    }
    parsing_ = false;
}

void Terminal::parseTakingHolds(std::span<const uint8_t> bytes)
{
    if (heldJob_) {
        holdInput(bytes);
        return;
    }
    const size_t taken = parser_.parse(bytes);
    if (taken < bytes.size())
        holdInput(bytes.subspan(taken));
}

void Terminal::holdInput(std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return;
    if (!heldInput_.empty() && heldInput_.back().remote == outputRemote_) {
        auto& last = heldInput_.back().bytes;
        last.insert(last.end(), bytes.begin(), bytes.end());
    } else {
        heldInput_.push_back(HeldInput{std::vector<uint8_t>(bytes.begin(), bytes.end()), outputRemote_});
    }
    heldInputBytes_ += bytes.size();
}

bool Terminal::runHoldingInput(std::function<void()> work, std::function<void()> then)
{
    if (!backgroundWorkAllowed_ || !timers_ || heldJob_ || !parsing_)
        return false;
    auto job = std::make_shared<HeldJob>();
    try {
        std::thread([job, work = std::move(work)] {
            work();
            std::lock_guard lock(job->mutex);
            job->done = true;
            job->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return false;  // no thread to be had: the caller works now
    }
    heldJob_ = std::move(job);
    heldThen_ = std::move(then);
    parser_.stopAfterSequence();
    armHeldPoll();
    return true;
}

void Terminal::armHeldPoll()
{
    // One poll at a time, re-armed while the work runs.
    if (!timers_ || heldPollTask_ != 0)
        return;
    heldPollTask_ = timers_->after(heldPollNs, [this] {
        heldPollTask_ = 0;
        pollHeldInput();
    });
}

void Terminal::pollHeldInput()
{
    if (!heldJob_)
        return;
    bool done = false;
    {
        std::lock_guard lock(heldJob_->mutex);
        done = heldJob_->done;
    }
    // Not from inside a parse (a nested event loop): the next poll resumes.
    if (!done || parsing_) {
        armHeldPoll();
        return;
    }
    resumeHeldInput();
}

void Terminal::finishHeldInput()
{
    if (parsing_)
        return;
    while (heldJob_) {
        {
            std::unique_lock lock(heldJob_->mutex);
            heldJob_->finished.wait(lock, [&] { return heldJob_->done; });
        }
        resumeHeldInput();
    }
}

void Terminal::resumeHeldInput()
{
    if (parsing_)
        return;
    heldJob_.reset();
    const bool remote = outputRemote_;
    parsing_ = true;
    if (auto then = std::exchange(heldThen_, nullptr)) {
        // It may hold the input again (a retried request that loads an image).
        then();
        parser_.cancelStop();
    }
    while (!heldJob_ && !heldInput_.empty()) {
        HeldInput piece = std::move(heldInput_.front());
        heldInput_.pop_front();
        heldInputBytes_ -= piece.bytes.size();
        if (piece.remote != outputRemote_) {
            outputRemote_ = piece.remote;
            cursorLine_ = nullptr;  // the next print marks its row
        }
        const size_t taken = parser_.parse(piece.bytes);
        if (taken < piece.bytes.size()) {
            // Held again: the rest goes back in front, as it was read.
            piece.bytes.erase(piece.bytes.begin(), piece.bytes.begin() + static_cast<std::ptrdiff_t>(taken));
            heldInputBytes_ += piece.bytes.size();
            heldInput_.push_front(std::move(piece));
        }
    }
    while (!deferredInput_.empty()) {
        std::vector<uint8_t> pending;
        pending.swap(deferredInput_);
        parseTakingHolds(pending);
    }
    parsing_ = false;
    if (remote != outputRemote_) {
        outputRemote_ = remote;
        cursorLine_ = nullptr;
    }
    if (!heldJob_ && timers_)
        timers_->cancel(std::exchange(heldPollTask_, 0));  // finished without it
    if (!heldJob_ && tdel_)
        tdel_->inputResumed(*this);
}

std::optional<bool> Terminal::gatedRequest(std::function<void()> retry)
{
    if (settledTrust_)
        return *settledTrust_;
    if (outputRemote_ || !tdel_)
        return false;
    switch (tdel_->requestTrust(*this)) {
    case RequestTrust::trusted: return true;
    case RequestTrust::untrusted: return false;
    case RequestTrust::unknown: break;
    }
    auto awaiter = tdel_->requestTrustAwaiter(*this);
    if (!awaiter)
        return false;
    auto answer = std::make_shared<std::atomic<bool>>(false);
    auto then = [this, answer, retry = std::move(retry)] {
        settledTrust_ = answer->load();
        retry();
        settledTrust_.reset();
    };
    if (runHoldingInput([awaiter, answer] { *answer = awaiter(); }, std::move(then)))
        return std::nullopt;
    // Nowhere to wait but here (a headless terminal's own thread).
    return awaiter();
}

// --- dirty rows --------------------------------------------------------------------

void Terminal::updateRange(int startLine, int endLine, bool scrolling)
{
    updateRange(startLine, scrolling);
    updateRange(endLine, scrolling);
}

void Terminal::refresh(int startRow, int endRow)
{
    updateRange(startRow);
    updateRange(endRow);
}

void Terminal::updateFullScreen()
{
    refreshStart = 0;
    refreshEnd = rows;
    scrollInvariantRefreshStart = buffer->yDisp();
    scrollInvariantRefreshEnd = buffer->yDisp() + rows;
}

std::optional<std::pair<int, int>> Terminal::getUpdateRange() const
{
    if (refreshEnd == -1 && refreshStart == INT32_MAX)
        return std::nullopt;
    return std::pair{refreshStart, refreshEnd};
}

std::optional<std::pair<int, int>> Terminal::getScrollInvariantUpdateRange() const
{
    if (scrollInvariantRefreshEnd == -1 && scrollInvariantRefreshStart == INT32_MAX)
        return std::nullopt;
    return std::pair{scrollInvariantRefreshStart, scrollInvariantRefreshEnd};
}

void Terminal::clearUpdateRange()
{
    refreshStart = INT32_MAX;
    refreshEnd = -1;
    scrollInvariantRefreshStart = INT32_MAX;
    scrollInvariantRefreshEnd = -1;
}

// --- replies ------------------------------------------------------------------------

void Terminal::sendResponse(std::initializer_list<ResponseItem> items)
{
    std::vector<uint8_t> joined;
    for (const auto& item : items)
        joined.insert(joined.end(), item.bytes.begin(), item.bytes.end());
    if (tdel_)
        tdel_->send(*this, joined);
}

void Terminal::sendResponse(std::string_view text)
{
    sendResponse({ResponseItem(text)});
}

void Terminal::setTerminalFocus(bool focused)
{
    reportedFocusState = focused;
    if (sendFocus)
        sendFocusReport();
}

void Terminal::sendFocusReport()
{
    std::vector<uint8_t> bytes = cc.csi();
    bytes.push_back(reportedFocusState ? 'I' : 'O');
    if (tdel_)
        tdel_->send(*this, bytes);
}

// --- colours --------------------------------------------------------------------------

void Terminal::notifyColorChange(bool& guard, const std::function<void()>& call)
{
    if (guard || !tdel_)
        return;
    guard = true;
    call();
    guard = false;
}

void Terminal::setForegroundColor(const Color& c)
{
    foregroundColor_ = c;
    if (!settingOscColor_)
        foregroundBeforeOsc_.reset();
    notifyColorChange(settingFgColor_, [&] { tdel_->setForegroundColor(*this, c); });
    if (!settingFgColor_ && options_.ansi256PaletteStrategy != Ansi256PaletteStrategy::xterm)
        rebuildAnsiPalette(true);
}

void Terminal::setBackgroundColor(const Color& c)
{
    backgroundColor_ = c;
    if (!settingOscColor_)
        backgroundBeforeOsc_.reset();
    notifyColorChange(settingBgColor_, [&] { tdel_->setBackgroundColor(*this, c); });
    if (!settingBgColor_ && options_.ansi256PaletteStrategy != Ansi256PaletteStrategy::xterm)
        rebuildAnsiPalette(true);
}

void Terminal::setCursorColor(const std::optional<Color>& c)
{
    cursorColor_ = c;
    if (!settingOscColor_)
        cursorBeforeOsc_.reset();
    notifyColorChange(settingCursorColor_, [&] { tdel_->setCursorColor(*this, c); });
}

void Terminal::installPalette(std::span<const Color> colors)
{
    if (colors.size() != 16)
        return;
    std::copy(colors.begin(), colors.end(), installedColors.begin());
    rebuildAnsiPalette(false);
}

void Terminal::rebuildAnsiPalette(bool notifyDelegate)
{
    std::vector<Color> palette;
    switch (options_.ansi256PaletteStrategy) {
    case Ansi256PaletteStrategy::xterm:
        palette = Color::appendXtermCube(std::vector<Color>(installedColors.begin(), installedColors.end()));
        break;
    case Ansi256PaletteStrategy::base16Lab:
    case Ansi256PaletteStrategy::base16LabHarmonious:
        palette =
            Color::build256Palette(installedColors, backgroundColor_, foregroundColor_,
                                   options_.ansi256PaletteStrategy == Ansi256PaletteStrategy::base16LabHarmonious);
        break;
    }
    defaultAnsiColors = palette;
    ansiColors = std::move(palette);
    if (notifyDelegate && tdel_)
        tdel_->colorChanged(*this, std::nullopt);
}

void Terminal::setAnsi256PaletteStrategy(Ansi256PaletteStrategy s)
{
    if (s == options_.ansi256PaletteStrategy)
        return;
    options_.ansi256PaletteStrategy = s;
    rebuildAnsiPalette(true);
}

void Terminal::setMouseMode(MouseMode m)
{
    mouseMode_ = m;
    if (tdel_)
        tdel_->mouseModeChanged(*this);
}

// --- selections -----------------------------------------------------------------------

void Terminal::registerSelection(const std::shared_ptr<SelectionHook>& selection)
{
    std::erase_if(selections_, [](const auto& s) { return s.ref.expired(); });
    for (const auto& s : selections_)
        if (s.hook == selection.get())
            return;
    selections_.push_back({selection, selection.get()});
}

void Terminal::selectionsAdjustForScroll(int top, int bottom, int delta)
{
    // Called for every scrolled line: a reference is taken only for an
    // active selection, as an inactive one ignores scrolls.
    for (const auto& s : selections_)
        if (!s.ref.expired() && s.hook->active())
            if (auto held = s.ref.lock())
                held->adjustForScroll(top, bottom, delta);
}

void Terminal::selectionsInvalidateForColumnRestrictedScroll(int top, int bottom, int left, int right)
{
    for (const auto& registered : selections_) {
        auto s = registered.ref.lock();
        if (!s || !s->active())
            continue;
        Position a = s->start(), b = s->end();
        if (b < a)
            std::swap(a, b);
        bool hit = a.row <= bottom && b.row >= top;
        if (hit && a.row == b.row)
            hit = a.col <= right && b.col >= left;
        if (!hit)
            continue;
        s->setActive(false);
        if (tdel_)
            tdel_->selectionChanged(*this);
        s->invalidate();
    }
}

// --- screen access -----------------------------------------------------------------------

BufferLine* Terminal::getLine(int row)
{
    if (row < 0 || row >= rows)
        return nullptr;
    const int ringRow = row + buffer->yDisp();
    if (ringRow >= buffer->lines().count())
        return nullptr;
    return &buffer->lines()[ringRow];
}

BufferLine* Terminal::getScrollInvariantLine(int row)
{
    const int top = buffer->linesTop();
    if (row < top || row >= top + buffer->lines().count())
        return nullptr;
    return &buffer->lines()[row - top];
}

std::optional<CharData> Terminal::getCharData(int col, int row)
{
    if (col < 0 || col >= cols)
        return std::nullopt;
    BufferLine* line = getLine(row);
    if (!line || line->dataSize() == 0)
        return std::nullopt;
    return (*line)[col];
}

std::string Terminal::getCharacter(int col, int row)
{
    auto cell = getCharData(col, row);
    return cell ? character(cell->code) : std::string();
}

// --- buffers ----------------------------------------------------------------------------

void Terminal::resetNormalBuffer()
{
    normalBuffer = makeBuffer(false);
}

void Terminal::activateNormalBuffer(bool clearAlt)
{
    if (buffer == normalBuffer.get())
        return;
    semanticNoteAlternateScreenSwitch();
    if (altBuffer->x() >= 0)
        normalBuffer->setX(altBuffer->x());
    if (altBuffer->y() >= 0)
        normalBuffer->setY(altBuffer->y());
    if (clearAlt) {
        kittyCleanupForBufferSwitch(*altBuffer, true);
        altBuffer->clear();
    }
    buffer = normalBuffer.get();
}

// --- environment -------------------------------------------------------------------------------

namespace {

// What belongs to this launch or to the terminal this process was started
// from, not to the desktop session: a child that kept them would answer our
// startup notification or think itself inside that other terminal.
constexpr std::string_view kLaunchOnly[] = {"TERM",
                                            "COLORTERM",
                                            "DESKTOP_STARTUP_ID",
                                            "XDG_ACTIVATION_TOKEN",
                                            "DESKTOP_AUTOSTART_ID",
                                            "GIO_LAUNCHED_DESKTOP_FILE",
                                            "GIO_LAUNCHED_DESKTOP_FILE_PID",
                                            "BAMF_DESKTOP_FILE_HINT",
                                            "WINDOWID",
                                            "TERM_PROGRAM",
                                            "TERM_PROGRAM_VERSION",
                                            "VTE_VERSION",
                                            "COLUMNS",
                                            "LINES"};

// Every category but the character type, for spelling out LC_ALL.
constexpr std::string_view kOtherLocaleCategories[] = {
    "LC_COLLATE", "LC_MONETARY", "LC_NUMERIC",   "LC_TIME",        "LC_MESSAGES",      "LC_PAPER",
    "LC_NAME",    "LC_ADDRESS",  "LC_TELEPHONE", "LC_MEASUREMENT", "LC_IDENTIFICATION"};

bool installedUtf8Locale(const std::string& name)
{
    locale_t l = newlocale(LC_CTYPE_MASK, name.c_str(), static_cast<locale_t>(0));
    if (!l)
        return false;
    const char* codeset = nl_langinfo_l(CODESET, l);
    const bool utf8 = codeset && std::string_view(codeset) == "UTF-8";
    freelocale(l);
    return utf8;
}

std::string_view nameOf(std::string_view entry)
{
    return entry.substr(0, entry.find('='));
}

}  // namespace

std::vector<std::string> Terminal::getEnvironmentVariables(const std::optional<std::string>& termName, bool trueColor)
{
    std::vector<std::string> own;
    for (char** e = environ; e && *e; ++e)
        own.emplace_back(*e);
    return getEnvironmentVariables(termName, trueColor, own, installedUtf8Locale);
}

std::vector<std::string> Terminal::getEnvironmentVariables(const std::optional<std::string>& termName, bool trueColor,
                                                           std::span<const std::string> inherited,
                                                           const std::function<bool(const std::string&)>& isUtf8Locale)
{
    std::vector<std::string> env;
    env.push_back("TERM=" + termName.value_or("xterm-256color"));
    if (trueColor)
        env.emplace_back("COLORTERM=truecolor");
    std::unordered_set<std::string_view> seen;
    for (const std::string& entry : inherited) {
        const std::string_view name = nameOf(entry);
        if (name.empty() || name.size() == entry.size())
            continue;
        // getenv finds the first of two equal names; the child must see the same.
        if (std::find(std::begin(kLaunchOnly), std::end(kLaunchOnly), name) != std::end(kLaunchOnly) ||
            !seen.insert(name).second)
            continue;
        env.push_back(entry);
    }

    auto valueOf = [&env](std::string_view name) {
        for (const std::string& entry : env)
            if (nameOf(entry) == name)
                return entry.substr(name.size() + 1);
        return std::string();
    };
    auto erase = [&env](std::string_view name) {
        std::erase_if(env, [name](const std::string& entry) { return nameOf(entry) == name; });
    };
    // The character type as the C library picks it; an empty value counts as unset.
    const std::string all = valueOf("LC_ALL");
    std::string ctype = all;
    if (ctype.empty())
        ctype = valueOf("LC_CTYPE");
    if (ctype.empty())
        ctype = valueOf("LANG");
    if (!ctype.empty() && isUtf8Locale(ctype))
        return env;

    // Only the character type changes: language, formats and messages stay
    // the user's. The same language in UTF-8 where it is installed.
    std::string utf8 = "C.UTF-8";
    if (!ctype.empty() && ctype != "C" && ctype != "POSIX") {
        const std::size_t at = ctype.find('@');
        const std::string modifier = at == std::string::npos ? std::string() : ctype.substr(at);
        const std::string same = ctype.substr(0, ctype.find_first_of(".@")) + ".UTF-8" + modifier;
        if (isUtf8Locale(same))
            utf8 = same;
    }
    if (!all.empty()) {
        // LC_ALL would override LC_CTYPE: it becomes each other category.
        erase("LC_ALL");
        for (std::string_view category : kOtherLocaleCategories) {
            erase(category);
            env.push_back(std::string(category) + "=" + all);
        }
    }
    erase("LC_CTYPE");
    env.push_back("LC_CTYPE=" + utf8);
    return env;
}

// --- dispatch ------------------------------------------------------------------------------------

void Terminal::csiDispatch(const Params& p, Collect collect, uint8_t final)
{
    const bool noCollect = collect.empty();
    const bool single = collect.size() == 1;
    const uint8_t c0 = single ? collect[0] : 0;
    // Functions named by the final byte alone: with an intermediate or a
    // private marker the same final names another function (SL, SR, DECDC,
    // DECRQCRA...) or none, never this one.
    if (!noCollect) {
        // One bit per final from '@' on: a look-up with no call keeps this
        // function free of a stack frame on the common path.
        static constexpr uint64_t plainOnly = [] {
            uint64_t mask = 0;
            for (const char f : std::string_view("@ABCDEFGHILMPSXZ`abdefg"))
                mask |= uint64_t{1} << (f - '@');
            return mask;
        }();
        if (single && c0 == ' ' && (final == '@' || final == 'A')) {
            cmdScrollColumns(p, final == '@');
            return;
        }
        if (final >= '@' && final - '@' < 64 && (plainOnly >> (final - '@') & 1) != 0 &&
            !(final == 'S' && single && (c0 == ' ' || c0 == '?'))) {
            reportUnknownCsi(p, collect, final);
            return;
        }
        // DECSED and DECSEL erase like ED and EL: no cell is ever protected here.
        if ((final == 'J' || final == 'K') && !(single && c0 == '?')) {
            reportUnknownCsi(p, collect, final);
            return;
        }
    }
    switch (final) {
    case '@': cmdInsertChars(p, collect); return;
    case 'A': cmdCursorUp(p, collect); return;
    case 'B': cmdCursorDown(p, collect); return;
    case 'C': cursorForward(p.get(0, 1)); return;
    case 'D': cursorBackward(p.get(0, 1)); return;
    case 'E': cmdCursorNextLine(p, collect); return;
    case 'F': cmdCursorPrecedingLine(p, collect); return;
    case 'G': cmdCursorCharAbsolute(p, collect); return;
    case 'H': cmdCursorPosition(p, collect); return;
    case 'I': cmdCursorForwardTab(p, collect); return;
    case 'J': cmdEraseInDisplay(p, collect); return;
    case 'K': cmdEraseInLine(p, collect); return;
    case 'L': cmdInsertLines(p, collect); return;
    case 'M': cmdDeleteLines(p, collect); return;
    case 'P': cmdDeleteChars(p, collect); return;
    case 'S':
        if (single && c0 == ' ')
            cmdSelectPresentationDirection(p, collect);
        else
            cmdScrollUp(p, collect);
        return;
    case 'T':
        if (noCollect)
            cmdScrollDown(p, collect);
        else if (single && c0 == '>')
            cmdXtermTitleModeReset(p);
        return;
    case 'X': cmdEraseChars(p, collect); return;
    case 'Z': cmdCursorBackwardTab(p, collect); return;
    case '`': cmdCharPosAbsolute(p, collect); return;
    case 'a': cmdHPositionRelative(p, collect); return;
    case 'b': cmdRepeatPrecedingCharacter(p, collect); return;
    case 'c': cmdSendDeviceAttributes(p, collect); return;
    case 'd': cmdLinePosAbsolute(p, collect); return;
    case 'e': cmdVPositionRelative(p, collect); return;
    case 'f': cmdHVPosition(p, collect); return;
    case 'g': cmdTabClear(p, collect); return;
    case 'h': cmdSetMode(p, collect); return;
    case 'k':
        if (single && c0 == ' ')
            cmdSelectCharacterPath(p, collect);
        return;
    case 'l': cmdResetMode(p, collect); return;
    case 'm': cmdCsiM(p, collect); return;
    case 'n': cmdDeviceStatus(p, collect); return;
    case 'p': csiPHandler(p, collect); return;
    case 'q':
        if (single && c0 == '>')
            cmdXTVERSION(p, collect);
        else
            cmdSetCursorStyle(p, collect);
        return;
    case 'r':
        if (single && c0 == '?')
            cmdRestorePrivateModes(p, collect);
        else
            cmdSetScrollRegion(p, collect);
        return;
    case 's':
        if (single && c0 == '>')
            cmdSetShiftEscape(p);
        else if (single && c0 == '?')
            cmdSavePrivateModes(p, collect);
        else if (noCollect) {
            if (marginMode)
                cmdSetMargins(p, collect);
            else
                cmdSaveCursor(p, collect);
        }
        return;
    case 't':
        if (noCollect)
            cmdWindowOptions(p, collect);
        else if (single && c0 == '>')
            cmdXtermTitleModeSet(p);
        else
            reportUnknownCsi(p, collect, final);
        return;
    case 'u': cmdCsiU(p, collect); return;
    case 'v': csiCopyRectangularArea(p, collect); return;
    case 'x': csiX(p, collect); return;
    case 'y':
        if (single && c0 == '*')
            cmdDECRQCRA(p, collect);
        else
            reportUnknownCsi(p, collect, final);
        return;
    case 'z': csiZ(p, collect); return;
    case '{': csiOpenBrace(p, collect); return;
    case '}': csiCloseBrace(p, collect); return;
    case '~':
        if (single && c0 == '\'')
            cmdDeleteColumns(p, collect);
        else
            reportUnknownCsi(p, collect, final);
        return;
    default: reportUnknownCsi(p, collect, final); return;
    }
}

void Terminal::escDispatch(Collect collect, uint8_t final)
{
    if (collect.empty()) {
        switch (final) {
        case '6': columnIndex(true); return;
        case '7': cmdSaveCursor(); return;
        case '8': cmdRestoreCursor(); return;
        case '9': columnIndex(false); return;
        case '=': applicationKeypad = true; return;
        case '>': applicationKeypad = false; return;
        case 'D': cmdIndex(); return;
        case 'E': cmdNextLine(); return;
        case 'H': cmdTabSet(); return;
        case 'M': reverseIndex(); return;
        case '\\': return;
        case 'c':
            parser_.reset();
            activeDcsHandler_.reset();
            resetToInitialState();
            return;
        case 'n':
        case '}': setgLevel(2); return;
        case 'o':
        case '|': setgLevel(3); return;
        case '~': setgLevel(1); return;
        default: break;
        }
    } else if (collect.size() == 1) {
        const uint8_t c = collect[0];
        if (c == ' ' && (final == 'F' || final == 'G')) {
            cc.send8bit = final == 'G';
            return;
        }
        if (c == '#') {
            switch (final) {
            case '3': setLineRenderMode(BufferLine::RenderLineMode::doubledTop); return;
            case '4': setLineRenderMode(BufferLine::RenderLineMode::doubledDown); return;
            case '5': setLineRenderMode(BufferLine::RenderLineMode::single); return;
            case '6': setLineRenderMode(BufferLine::RenderLineMode::doubleWidth); return;
            case '8': cmdScreenAlignmentPattern(); return;
            default: break;
            }
        }
        if (c == '%' && (final == '@' || final == 'G')) {
            setgLevel(0);
            setgCharset(0, nullptr);
            return;
        }
        if ((c == '(' || c == ')' || c == '*' || c == '+' || c == '-' || c == '.' || c == '/') &&
            CharSets::isDesignator(final)) {
            const uint8_t pair[2] = {c, final};
            selectCharset(pair);
            return;
        }
    }
    reportUnknownEsc(collect, final);
}

void Terminal::apcDispatch(uint8_t command, std::span<const uint8_t> payload)
{
    if (command == 'G')
        kittyGraphicsCommand(payload);
    else
        reportUnknownApc(command);
}

bool Terminal::dcsHook(const Params& p, Collect collect, uint8_t final)
{
    activeDcsHandler_.reset();
    if (final == 'q' && collect.size() == 1 && collect[0] == '$')
        activeDcsHandler_ = std::make_unique<DECRQSS>(*this);
    if (final == 'q' && collect.empty() && kittyGraphicsHook_)
        activeDcsHandler_ = kittyGraphicsHook_->makeSixelHandler();
    if (!activeDcsHandler_)
        return false;
    activeDcsHandler_->hook(collect, p, final);
    return true;
}

}  // namespace ravelgrid
