#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "ravelgrid/terminal/OscText.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

// Cuts at most `limit` bytes of valid UTF-8 without splitting a character.
std::string truncatedUtf8(std::span<const uint8_t> text, size_t limit)
{
    size_t end = std::min(text.size(), limit);
    if (end < text.size())
        while (end > 0 && (text[end] & 0xC0) == 0x80)
            --end;
    return std::string(asText(text.first(end)));
}

std::string titleText(std::span<const uint8_t> payload)
{
    return isValidUtf8(payload) ? truncatedUtf8(payload, Terminal::kMaxTitleBytes) : std::string();
}

constexpr std::string_view kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(uint8_t c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Standard alphabet, padded groups of four, nothing else allowed.
std::optional<std::vector<uint8_t>> decodeBase64(std::span<const uint8_t> text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int padding = 0;
        if (last && text[i + 3] == '=')
            padding = text[i + 2] == '=' ? 2 : 1;
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            int v = 0;
            if (k < 4 - static_cast<size_t>(padding)) {
                v = base64Value(text[i + k]);
                if (v < 0)
                    return std::nullopt;
            }
            group = group << 6 | static_cast<uint32_t>(v);
        }
        out.push_back(static_cast<uint8_t>(group >> 16));
        if (padding < 2)
            out.push_back(static_cast<uint8_t>(group >> 8));
        if (padding < 1)
            out.push_back(static_cast<uint8_t>(group));
    }
    return out;
}

std::string encodeBase64(std::span<const uint8_t> bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t g =
            static_cast<uint32_t>(bytes[i]) << 16 | static_cast<uint32_t>(bytes[i + 1]) << 8 | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            out += kBase64Alphabet[g >> shift & 0x3F];
    }
    if (const size_t rest = bytes.size() - i; rest > 0) {
        uint32_t g = static_cast<uint32_t>(bytes[i]) << 16;
        if (rest == 2)
            g |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        out += kBase64Alphabet[g >> 18 & 0x3F];
        out += kBase64Alphabet[g >> 12 & 0x3F];
        out += rest == 2 ? kBase64Alphabet[g >> 6 & 0x3F] : '=';
        out += '=';
    }
    return out;
}

struct InlineImageArguments {
    std::optional<std::string_view> inlineFlag, width, height, preserveAspectRatio;

    void set(std::string_view key, std::string_view value)
    {
        if (key == "inline")
            inlineFlag = value;
        else if (key == "width")
            width = value;
        else if (key == "height")
            height = value;
        else if (key == "preserveAspectRatio")
            preserveAspectRatio = value;
    }
};

ImageSizeRequest imageSizeRequest(std::optional<std::string_view> given)
{
    if (!given || *given == "auto")
        return {};
    const std::string_view value = *given;
    auto within = [](std::optional<long long> n, long long low, long long high) {
        return n && *n >= low && *n <= high;
    };
    if (value.ends_with('%')) {
        const auto n = parseSignedInteger(value.substr(0, value.size() - 1));
        return within(n, 1, 100) ? ImageSizeRequest{ImageSizeRequest::Kind::percent, static_cast<int>(*n)}
                                 : ImageSizeRequest{};
    }
    if (value.ends_with("px")) {
        const auto n = parseSignedInteger(value.substr(0, value.size() - 2));
        return within(n, 1, 4095) ? ImageSizeRequest{ImageSizeRequest::Kind::pixels, static_cast<int>(*n)}
                                  : ImageSizeRequest{};
    }
    const auto n = parseSignedInteger(value);
    return within(n, 1, 199) ? ImageSizeRequest{ImageSizeRequest::Kind::cells, static_cast<int>(*n)}
                             : ImageSizeRequest{};
}

}  // namespace

void Terminal::oscDispatch(int64_t number, std::span<const uint8_t> payload)
{
    if (number <= INT32_MAX) {
        if (auto it = oscHandlers_.find(static_cast<int>(number)); it != oscHandlers_.end()) {
            it->second(payload);
            return;
        }
    }
    switch (number) {
    case 0:
    case 2: setTitle(titleText(payload)); return;
    case 1: setIconTitle(titleText(payload)); return;
    case 4: oscChangeOrQueryColorIndex(payload); return;
    case 6: oscSetCurrentDocument(payload); return;
    case 7: oscSetCurrentDirectory(payload); return;
    case 8: oscHyperlink(payload); return;
    case 9:
        if (!oscProgressReport(payload))
            reportUnknownOsc(number);
        return;
    case 10:
    case 11:
    case 12: oscSetColors(payload, static_cast<int>(number - 10)); return;
    case 52: oscClipboard(payload); return;
    case 104: oscResetColor(payload); return;
    case 110: oscResetDefaultColor(0); return;
    case 111: oscResetDefaultColor(1); return;
    case 112: oscResetCursorColor(); return;
    case 133: oscSemanticPrompt(payload); return;
    case 777: oscNotification(payload); return;
    case 1337: oscInlineImage(payload); return;
    default: reportUnknownOsc(number); return;
    }
}

// --- host directory and document ---------------------------------------------------------

namespace {

// The text of OSC 6 / OSC 7, or nothing when the sender may not set it. A
// remote host must not be able to point local actions at a path of its
// choosing; while that cannot be told yet, the report is made again later.
std::optional<std::string> hostLocationText(Terminal& terminal, std::span<const uint8_t> payload,
                                            void (Terminal::*report)(std::span<const uint8_t>))
{
    if (payload.size() > Terminal::kMaxHostLocationBytes || !isValidUtf8(payload))
        return std::nullopt;
    const auto trusted =
        terminal.gatedRequest([&terminal, report, bytes = std::vector<uint8_t>(payload.begin(), payload.end())] {
            (terminal.*report)(bytes);
        });
    if (trusted != true)
        return std::nullopt;
    return std::string(asText(payload));
}

}  // namespace

void Terminal::oscSetCurrentDirectory(std::span<const uint8_t> payload)
{
    auto text = hostLocationText(*this, payload, &Terminal::oscSetCurrentDirectory);
    if (!text)
        return;
    hostCurrentDirectory = std::move(*text);
    tdel_->hostCurrentDirectoryUpdated(*this);
}

void Terminal::oscSetCurrentDocument(std::span<const uint8_t> payload)
{
    auto text = hostLocationText(*this, payload, &Terminal::oscSetCurrentDocument);
    if (!text)
        return;
    hostCurrentDocument = std::move(*text);
    tdel_->hostCurrentDocumentUpdated(*this);
}

// --- hyperlinks --------------------------------------------------------------------------

void Terminal::oscHyperlink(std::span<const uint8_t> payload)
{
    const std::string_view text = asText(payload);
    const size_t semicolon = text.find(';');
    const bool hasUri = semicolon != std::string_view::npos && semicolon + 1 < text.size();
    // No URI means "end of link" whatever the parameters say; text that is
    // not UTF-8 or absurdly long cannot be a usable target, so it ends the
    // current link instead of starting one to a mangled address.
    if (!hasUri || payload.size() > kMaxHyperlinkBytes || !isValidUtf8(payload)) {
        activeHyperlink.reset();
        return;
    }
    // Programs often repeat the sequence for every piece of one link.
    if (activeHyperlink && activeHyperlink->kind != ActiveHyperlink::Kind::unavailable &&
        activeHyperlink->uri == text && activeHyperlink->remote == outputRemote_)
        return;
    sweepPayloadsIfDue();
    activeHyperlink = ActiveHyperlink{ActiveHyperlink::Kind::pending, std::string(text), {}, outputRemote_};
}

void Terminal::sweepPayloadsIfDue()
{
    ++linkStartsSinceSweep_;
    const bool grown = payloads_.liveCount() >= payloadSweepThreshold_;
    const bool fullAndDue =
        payloads_.full() &&
        linkStartsSinceSweep_ >= std::max(kPayloadFullRetryInterval, lastSweptCells_ / kSweptCellsPerLinkStart);
    if (!grown && !fullAndDue)
        return;
    garbageCollectPayload();
    linkStartsSinceSweep_ = 0;
    payloadSweepThreshold_ = std::max(kMinPayloadSweepThreshold, payloads_.liveCount() * 2);
}

void Terminal::releaseAllPayloads()
{
    activeHyperlink.reset();
    garbageCollectPayload();
    payloadSweepThreshold_ = kMinPayloadSweepThreshold;
}

// --- progress reports ----------------------------------------------------------------------

std::optional<ProgressReport> Terminal::parseProgressReport(std::span<const uint8_t> payload)
{
    if (!isAscii(payload))
        return std::nullopt;
    const auto pieces = splitAll(asText(payload), ';', 4);
    if (pieces.size() < 2 || pieces[0] != "4")
        return std::nullopt;
    if (pieces[1].size() != 1 || pieces[1][0] < '0' || pieces[1][0] > '4')
        return std::nullopt;
    ProgressReport report;
    report.state = static_cast<ProgressReportState>(pieces[1][0] - '0');
    if (report.state == ProgressReportState::remove)
        return report;
    if (pieces.size() >= 3 && !pieces[2].empty()) {
        const auto value = parseSignedInteger(pieces[2]);
        if (!value)
            return std::nullopt;
        report.progress = static_cast<uint8_t>(std::clamp<long long>(*value, 0, 100));
    } else if (report.state == ProgressReportState::set) {
        report.progress = 0;
    }
    return report;
}

bool Terminal::oscProgressReport(std::span<const uint8_t> payload)
{
    const auto report = parseProgressReport(payload);
    if (!report)
        return false;
    if (tdel_)
        tdel_->progressReport(*this, *report);
    return true;
}

// --- clipboard ---------------------------------------------------------------------------------

void Terminal::oscClipboard(std::span<const uint8_t> payload)
{
    const std::string_view text = asText(payload);
    const size_t semicolon = text.find(';');
    if (semicolon == std::string_view::npos)
        return;
    const auto pc = payload.first(semicolon);
    const auto pd = payload.subspan(semicolon + 1);
    std::string selection =
        pc.empty() || !isAscii(pc) || pc.size() > kMaxClipboardSelectionBytes ? "c" : std::string(asText(pc));
    if (pd.size() == 1 && pd[0] == '?') {
        // Reading the clipboard hands the user's data to the child: only a
        // process the host trusts gets an answer.
        const auto trusted =
            gatedRequest([this, bytes = std::vector<uint8_t>(payload.begin(), payload.end())] { oscClipboard(bytes); });
        if (trusted != true)
            return;
        const auto content = tdel_->clipboardRead(*this);
        if (!content)
            return;
        sendResponse({cc.osc(), "52;" + selection + ";" + encodeBase64(*content), cc.st()});
        return;
    }
    if (pd.size() > (kMaxClipboardWriteBytes + 2) / 3 * 4)
        return;
    const auto decoded = decodeBase64(pd);
    if (!decoded)
        return;
    if (tdel_)
        tdel_->clipboardCopy(*this, *decoded);
}

// --- notifications -------------------------------------------------------------------------------

void Terminal::oscNotification(std::span<const uint8_t> payload)
{
    if (!isValidUtf8(payload))
        return;
    const auto pieces = splitAll(asText(payload), ';', 3);
    if (pieces.size() < 3 || pieces[0] != "notify")
        return;
    if (tdel_)
        tdel_->notify(*this, std::string(pieces[1]), std::string(pieces[2]));
}

// --- inline images (iTerm2 form) ---------------------------------------------------------------

void Terminal::oscInlineImage(std::span<const uint8_t> payload)
{
    const std::string_view text = asText(payload);
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return;
    auto passOn = [&] {
        if (tdel_)
            tdel_->inlineContentReceived(*this, payload);
    };
    if (text.substr(0, equals) != "File") {
        passOn();
        return;
    }
    const size_t colon = text.find(':', equals + 1);
    if (colon == std::string_view::npos)
        return;
    // Only these keys are read; the rest are walked over, never stored.
    InlineImageArguments arguments;
    std::string_view rest = text.substr(equals + 1, colon - equals - 1);
    while (true) {
        const size_t end = std::min(rest.find(';'), rest.size());
        const std::string_view piece = rest.substr(0, end);
        const size_t at = piece.find('=');
        if (piece.empty() || at == std::string_view::npos)
            break;
        arguments.set(piece.substr(0, at), piece.substr(at + 1));
        if (end == rest.size())
            break;
        rest.remove_prefix(end + 1);
    }
    if (arguments.inlineFlag != "1") {
        passOn();
        return;
    }
    const auto data = decodeBase64(payload.subspan(colon + 1));
    if (!data)
        return;
    const bool preserveAspectRatio = !arguments.preserveAspectRatio || *arguments.preserveAspectRatio == "1";
    if (tdel_)
        tdel_->createImage(*this, *data, imageSizeRequest(arguments.width), imageSizeRequest(arguments.height),
                           preserveAspectRatio);
}

}  // namespace ravelgrid
