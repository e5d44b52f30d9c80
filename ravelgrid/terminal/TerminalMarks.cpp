#include <algorithm>
#include <string>

#include "ravelgrid/terminal/OscText.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr size_t kMaxScanParams = 32;
// More fields than any shell sends: such a command is not a prompt mark.
constexpr size_t kMaxPromptFields = 64;

}  // namespace

// --- OSC 133 ---------------------------------------------------------------------------------

std::optional<SemanticPromptOptions> Terminal::parseSemanticPromptOptions(std::span<const std::string_view> fields)
{
    SemanticPromptOptions options;
    for (std::string_view field : fields) {
        const size_t equals = field.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view key = field.substr(0, equals);
        const std::string_view value = field.substr(equals + 1);
        if (key == "k") {
            if (value == "i")
                options.kind = SemanticPromptKind::initial;
            else if (value == "r")
                options.kind = SemanticPromptKind::right;
            else if (value == "c")
                options.kind = SemanticPromptKind::continuation;
            else if (value == "s")
                options.kind = SemanticPromptKind::secondary;
            else
                return std::nullopt;
        } else if (key == "cl") {
            if (value == "line")
                options.cursorClick = SemanticPromptCursorClickMode::line;
            else if (value == "m")
                options.cursorClick = SemanticPromptCursorClickMode::multiple;
            else if (value == "v")
                options.cursorClick = SemanticPromptCursorClickMode::conservativeVertical;
            else if (value == "w")
                options.cursorClick = SemanticPromptCursorClickMode::smartVertical;
            else
                return std::nullopt;
        } else if (key == "click_events") {
            if (value == "0")
                options.clickEvents = SemanticPromptClickMode::none();
            else if (value == "1")
                options.clickEvents = SemanticPromptClickMode::clickEventsAbsolute();
            else if (value == "2")
                options.clickEvents = SemanticPromptClickMode::clickEventsRelative();
            else
                return std::nullopt;
        } else if (key == "special_key") {
            if (value == "0")
                options.specialKey = false;
            else if (value == "1")
                options.specialKey = true;
            else
                return std::nullopt;
        }
    }
    return options;
}

void Terminal::markCurrentSemanticPrompt(SemanticPromptKind kind)
{
    if (kind == SemanticPromptKind::continuation)
        return;
    Buffer& b = *buffer;
    b.addSemanticMark(kind, b.y() + b.yBase(), b.x());
    updateRange(b.y());
}

void Terminal::oscSemanticPrompt(std::span<const uint8_t> data)
{
    if (isCurrentBufferAlternate() || data.empty() || !isValidUtf8(data))
        return;
    const auto fields = splitAll(asText(data), ';', kMaxPromptFields + 1);
    if (fields.size() > kMaxPromptFields || fields[0].size() != 1)
        return;
    const auto options = parseSemanticPromptOptions(std::span(fields).subspan(1));
    if (!options)
        return;
    Buffer& b = *buffer;
    auto freshLine = [&] {
        const bool atLineStart = marginMode ? b.x() == b.marginLeft() : b.x() == 0;
        if (!atLineStart) {
            cmdCarriageReturn();
            cmdLineFeed();
        }
    };
    auto applyClickMode = [&] {
        if (options->clickEvents.kind() != SemanticPromptClickMode::Case::none)
            b.semanticClickMode = options->clickEvents;
        else if (options->cursorClick)
            b.semanticClickMode = SemanticPromptClickMode::cursorKeys(*options->cursorClick);
        else
            b.semanticClickMode = SemanticPromptClickMode::none();
        b.semanticUsesSpecialCursorKeys = options->specialKey;
    };
    const SemanticPromptKind kind = options->kind;
    switch (fields[0][0]) {
    case 'A':
    case 'N': {
        if (kind == SemanticPromptKind::right) {
            markCurrentSemanticPrompt(kind);
            return;
        }
        freshLine();
        if (kind == SemanticPromptKind::continuation) {
            b.semanticContent = SemanticContent::prompt(kind);
            b.semanticInput = SemanticInputState::prompt;
            return;
        }
        const int row = b.y() + b.yBase();
        const bool newGroup = fields[0][0] == 'N' ||
                              (kind == SemanticPromptKind::initial && !b.semanticPromptQuery(row)) ||
                              (kind == SemanticPromptKind::secondary && !b.semanticPromptStartRow());
        if (newGroup) {
            b.beginSemanticGroup(row);
            b.lines()[row].setSemanticHardContinuationGroup(std::nullopt);
        }
        if (newGroup || kind == SemanticPromptKind::initial)
            applyClickMode();
        markCurrentSemanticPrompt(kind);
        b.semanticContent = SemanticContent::prompt(kind);
        b.semanticInput = SemanticInputState::prompt;
        return;
    }
    case 'P':
        if (kind == SemanticPromptKind::initial) {
            const int row = b.y() + b.yBase();
            if (!b.semanticPromptQuery(row))
                b.beginSemanticGroup(row);
            applyClickMode();
        }
        markCurrentSemanticPrompt(kind);
        b.semanticContent = SemanticContent::prompt(kind);
        return;
    case 'B':
    case 'I':
        b.semanticContent = SemanticContent::input();
        b.semanticInput = SemanticInputState::armed;
        return;
    case 'C':
    case 'D':
        b.semanticContent = SemanticContent::output();
        b.semanticInput = SemanticInputState::submitted;
        b.screenLine(b.y()).setSemanticHardContinuationGroup(std::nullopt);
        return;
    case 'L': freshLine(); return;
    default: return;
    }
}

// --- resets ----------------------------------------------------------------------------------

void Terminal::resetSemanticPromptState(bool clearingScreenMarks)
{
    for (Buffer* b : {normalBuffer.get(), altBuffer.get()}) {
        b->semanticContent = SemanticContent::none();
        b->semanticInput = SemanticInputState::idle;
        b->semanticClickMode = SemanticPromptClickMode::none();
        b->semanticUsesSpecialCursorKeys = false;
        b->semanticPromptStartLine.reset();
        if (!clearingScreenMarks)
            continue;
        auto& ring = b->lines();
        const int end = std::min(b->yBase() + rows, ring.count());
        for (int r = std::max(b->yBase(), 0); r < end; ++r) {
            ring[r].clearSemanticMarks();
            ring[r].setSemanticHardContinuationGroup(std::nullopt);
        }
    }
    resetUserInputScanner();
}

void Terminal::semanticNoteAlternateScreenSwitch()
{
    for (Buffer* b : {normalBuffer.get(), altBuffer.get()}) {
        b->semanticInput = SemanticInputState::submitted;
        const auto kind = b->semanticContent.kind();
        if (kind != SemanticContent::Case::none && kind != SemanticContent::Case::output)
            b->semanticContent = SemanticContent::output();
    }
}

// --- user-input scanner ------------------------------------------------------------------------

void Terminal::resetUserInputScanner()
{
    semanticScanState = SemanticScanState::ground;
    semanticScanInPaste = false;
    semanticScanParams.clear();
}

bool Terminal::scanUserInputForSubmission(std::span<const uint8_t> bytes)
{
    bool submitted = false;
    for (uint8_t c : bytes) {
        if (c == '\r' || c == '\n') {
            // Line breaks inside a bracketed paste are text, not Enter.
            submitted = submitted || !semanticScanInPaste;
            semanticScanState = SemanticScanState::ground;
            continue;
        }
        switch (semanticScanState) {
        case SemanticScanState::ground:
            if (c == kEsc)
                semanticScanState = SemanticScanState::escape;
            break;
        case SemanticScanState::escape:
            if (c == 'O') {
                semanticScanState = SemanticScanState::ss3;
            } else if (c == '[') {
                semanticScanState = SemanticScanState::csi;
                semanticScanParams.clear();
            } else if (c != kEsc) {
                semanticScanState = SemanticScanState::ground;
            }
            break;
        case SemanticScanState::csi:
            if (c >= 0x20 && c <= 0x3F) {
                if (semanticScanParams.size() < kMaxScanParams)
                    semanticScanParams.push_back(c);
            } else if (c >= 0x40 && c <= 0x7E) {
                // Evaluated even inside a paste: the paste markers themselves arrive here.
                const bool enter = interpretSemanticCSI(c);
                submitted = submitted || (enter && !semanticScanInPaste);
                semanticScanState = SemanticScanState::ground;
            } else {
                semanticScanState = c == kEsc ? SemanticScanState::escape : SemanticScanState::ground;
            }
            break;
        case SemanticScanState::ss3:
            // Keypad Enter.
            submitted = submitted || (c == 'M' && !semanticScanInPaste);
            semanticScanState = SemanticScanState::ground;
            break;
        }
    }
    return submitted;
}

bool Terminal::interpretSemanticCSI(uint8_t final)
{
    const std::string_view params = asText(semanticScanParams);
    if (final == '~') {
        if (params == "200")
            semanticScanInPaste = true;
        else if (params == "201")
            semanticScanInPaste = false;
        return false;
    }
    if (final != 'u')
        return false;
    // Keyboard-protocol report: key[:alternates];modifiers[:event-type];...
    const auto fields = splitAll(params, ';', 3);
    if (splitAll(fields[0], ':', 2)[0] != "13")
        return false;
    if (fields.size() < 2)
        return true;
    const auto modifiers = splitAll(fields[1], ':', 3);
    if (modifiers.size() < 2)
        return true;
    return modifiers[1] != "3";
}

// --- clicks in the prompt ----------------------------------------------------------------------

namespace {

constexpr int kMaxPromptClickPresses = 1 << 16;

bool modifiersMatch(const SemanticPromptClickBehavior& behavior, SemanticPromptClickModifiers modifiers)
{
    switch (behavior.kind()) {
    case SemanticPromptClickBehavior::Case::disabled: return false;
    case SemanticPromptClickBehavior::Case::enabled: return modifiers.isEmpty();
    case SemanticPromptClickBehavior::Case::requireModifier: return modifiers == behavior.modifiers();
    }
    return false;
}

bool snapshotAllows(const SemanticPromptPointerSnapshot& s)
{
    return !s.selectionWasActive && !s.didDrag && s.clickCount == 1 && s.pressWasSemanticEligible;
}

}  // namespace

struct Terminal::SemanticGroupGeometry {
    struct RowInfo {
        int row = 0;
        int offset = 0;     // input positions before the row
        int line = 0;       // logical line of the row
        int lineStart = 0;  // offset at which that logical line starts
    };
    std::vector<RowInfo> rows;
    bool hasInput = false;

    const RowInfo* find(int row) const
    {
        for (const auto& r : rows)
            if (r.row == row)
                return &r;
        return nullptr;
    }
};

struct Terminal::SemanticOffset {
    int offset = 0;
    int line = 0;
    int inLine = 0;
};

int Terminal::semanticInputCellCount(int row, int before)
{
    auto& ring = buffer->lines();
    if (row < 0 || row >= ring.count())
        return 0;
    const BufferLine& line = ring[row];
    const int end = std::min({before, line.dataSize(), cols});
    int count = 0;
    for (int c = 0; c < end; ++c) {
        const CharData& cell = line[c];
        if (cell.semanticContentCode == 5 && cell.width != 0)
            ++count;
    }
    return count;
}

std::optional<Terminal::SemanticGroupGeometry> Terminal::semanticGroupGeometry()
{
    Buffer& b = *buffer;
    const auto start = b.semanticPromptStartRow();
    if (!start)
        return std::nullopt;
    SemanticGroupGeometry g;
    int row = *start, offset = 0, line = 0, lineStart = 0;
    auto& ring = b.lines();
    while (true) {
        g.rows.push_back({row, offset, line, lineStart});
        const int count = semanticInputCellCount(row, cols);
        offset += count;
        g.hasInput = g.hasInput || count != 0;
        const int next = row + 1;
        if (next >= ring.count())
            break;
        if (!ring[next].isWrapped()) {
            if (!b.isInActiveSemanticGroup(next))
                break;
            offset += 1;  // the line break is one input position
            ++line;
            lineStart = offset;
        }
        row = next;
    }
    return g;
}

std::optional<Terminal::SemanticOffset> Terminal::semanticOffset(Position p, const SemanticGroupGeometry& g)
{
    const auto* info = g.find(p.row);
    if (!info)
        return std::nullopt;
    const int offset = info->offset + semanticInputCellCount(p.row, p.col);
    return SemanticOffset{offset, info->line, offset - info->lineStart};
}

Position Terminal::normalizeSemanticClickTarget(Position p)
{
    auto& ring = buffer->lines();
    if (p.row < 0 || p.row >= ring.count())
        return p;
    const BufferLine& line = ring[p.row];
    while (p.col > 0 && p.col < line.dataSize() && line[p.col].semanticContentCode == 5 && line[p.col].width == 0)
        --p.col;
    return p;
}

void Terminal::appendSemanticCursorMovement(bool right, int count, std::vector<uint8_t>& out) const
{
    if (count < 1)
        return;
    std::string_view key;
    if (buffer->semanticUsesSpecialCursorKeys)
        key = right ? "\x1b[1u" : "\x1b[1;1u";
    else if (applicationCursor)
        key = right ? "\x1bOC" : "\x1bOD";
    else
        key = right ? "\x1b[C" : "\x1b[D";
    for (int i = 0; i < count; ++i)
        out.insert(out.end(), key.begin(), key.end());
}

void Terminal::appendSemanticVerticalMovement(bool down, int count, std::vector<uint8_t>& out) const
{
    if (count < 1)
        return;
    const std::string_view key = applicationCursor ? (down ? "\x1bOB" : "\x1bOA") : (down ? "\x1b[B" : "\x1b[A");
    for (int i = 0; i < count; ++i)
        out.insert(out.end(), key.begin(), key.end());
}

bool Terminal::mightRouteSemanticPromptClick(SemanticPromptClickModifiers modifiers,
                                             const SemanticPromptPointerSnapshot& snapshot) const
{
    return snapshotAllows(snapshot) && modifiersMatch(semanticPromptClickBehavior, modifiers) &&
           !isCurrentBufferAlternate() && buffer->semanticInput == SemanticInputState::armed &&
           buffer->semanticClickMode.kind() != SemanticPromptClickMode::Case::none;
}

bool Terminal::handleSemanticPromptClick(Position at, SemanticPromptClickModifiers modifiers,
                                         const SemanticPromptPointerSnapshot& snapshot)
{
    return snapshotAllows(snapshot) && handleSemanticPromptClick(at, modifiers);
}

bool Terminal::handleSemanticPromptClick(Position at, SemanticPromptClickModifiers modifiers)
{
    Buffer& b = *buffer;
    if (!modifiersMatch(semanticPromptClickBehavior, modifiers) || isCurrentBufferAlternate() ||
        b.semanticInput != SemanticInputState::armed)
        return false;
    if (at.col < 0 || at.col >= cols || at.row < 0 || at.row >= b.lines().count())
        return false;
    const auto geometry = semanticGroupGeometry();
    if (!geometry || !geometry->find(at.row) || !geometry->hasInput)
        return false;

    auto mouseReport = [&](int y) {
        sendResponse({"\x1b[<0;" + std::to_string(at.col + 1) + ";" + std::to_string(y) + "M"});
        return true;
    };
    const SemanticPromptClickMode mode = b.semanticClickMode;
    switch (mode.kind()) {
    case SemanticPromptClickMode::Case::none: return false;
    case SemanticPromptClickMode::Case::clickEventsAbsolute:
        return mouseReport(std::clamp(at.row - b.yBase() + 1, 1, rows));
    case SemanticPromptClickMode::Case::clickEventsRelative: {
        const auto origin = b.semanticInputRange(at.col, at.row);
        if (!origin || at.row < origin->row)
            return false;
        return mouseReport(at.row - origin->row);
    }
    case SemanticPromptClickMode::Case::cursorKeys: break;
    }

    const Position cursorPos{b.x(), b.y() + b.yBase()};
    if (!geometry->find(cursorPos.row))
        return false;
    const auto cursor = semanticOffset(cursorPos, *geometry);
    const auto target = semanticOffset(normalizeSemanticClickTarget(at), *geometry);
    if (!cursor || !target)
        return false;
    const auto cursorMode = mode.cursorMode();
    const bool sameLine = cursor->line == target->line;
    if (cursorMode == SemanticPromptCursorClickMode::line && !sameLine)
        return false;
    const int delta = target->offset - cursor->offset;
    if (delta == 0)
        return false;

    const bool horizontal = sameLine || cursorMode == SemanticPromptCursorClickMode::line ||
                            cursorMode == SemanticPromptCursorClickMode::multiple || b.semanticUsesSpecialCursorKeys;
    const int lines = std::abs(target->line - cursor->line);
    // A prompt region that the child stretched over the whole history must
    // not turn one click into megabytes of key presses.
    const long long presses = horizontal ? std::abs(static_cast<long long>(delta))
                                         : static_cast<long long>(cursor->inLine) + lines + target->inLine;
    if (presses > kMaxPromptClickPresses)
        return false;
    std::vector<uint8_t> keys;
    if (horizontal) {
        appendSemanticCursorMovement(delta > 0, std::abs(delta), keys);
    } else {
        appendSemanticCursorMovement(false, cursor->inLine, keys);
        appendSemanticVerticalMovement(target->line > cursor->line, lines, keys);
        appendSemanticCursorMovement(true, target->inLine, keys);
    }
    if (keys.empty())
        return false;
    if (tdel_)
        tdel_->send(*this, keys);
    return true;
}

}  // namespace ravelgrid
