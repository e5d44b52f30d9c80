// Runs the cases in tests/cases/osc/*.txt: operating-system commands, colour
// commands and shell-integration marks. A case is
//
//   === name
//   size 20x4            (optional; default 20x4)
//   trusted              (optional: the host trusts the child)
//   nodelegate           (optional: the terminal has no host)
//   clipboard TEXT       (optional: what reading the clipboard returns)
//   strategy xterm       (optional: the palette strategy)
//   > input bytes        (lines are joined; \e \a \n \r \\ \xNN \u{HEX})
//   show WHAT            (optional, repeatable: state printed after the events)
//   ---
//   what the host saw, one call per line, then the "show" lines
//
// WHAT is one of: title, icon, cwd, document, palette N, fg, bg, cursor,
// screen, marks, semantic, link COL,ROW (a buffer position).
// Every case runs fed whole and fed one byte at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "ravelgrid/terminal/Terminal.h"
#include "tools/TerminalDump.h"

using namespace ravelgrid;

namespace {

struct Case {
    std::string name, file;
    int line = 0;
    int cols = 20, rows = 4;
    bool trusted = false, noDelegate = false;
    std::optional<std::vector<uint8_t>> clipboard;
    std::optional<Ansi256PaletteStrategy> strategy;
    std::vector<uint8_t> input;
    std::vector<std::string> shows;
    std::string expected;
};

void appendUtf8(std::vector<uint8_t>& out, uint32_t c)
{
    std::string s;
    if (c < 0x80) {
        s += static_cast<char>(c);
    } else if (c < 0x800) {
        s += static_cast<char>(0xC0 | (c >> 6));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += static_cast<char>(0xE0 | (c >> 12));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (c >> 18));
        s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (c & 0x3F));
    }
    out.insert(out.end(), s.begin(), s.end());
}

std::vector<uint8_t> unescape(const std::string& s)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out.push_back(static_cast<uint8_t>(s[i]));
            continue;
        }
        switch (const char e = s[++i]) {
        case 'e': out.push_back(0x1B); break;
        case 'a': out.push_back(0x07); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 'x':
            out.push_back(static_cast<uint8_t>(std::stoul(s.substr(i + 1, 2), nullptr, 16)));
            i += 2;
            break;
        case 'u': {
            const size_t close = s.find('}', i);
            appendUtf8(out, static_cast<uint32_t>(std::stoul(s.substr(i + 2, close - i - 2), nullptr, 16)));
            i = close;
            break;
        }
        default: out.push_back(static_cast<uint8_t>(e)); break;
        }
    }
    return out;
}

std::string escaped(std::span<const uint8_t> bytes)
{
    return tools::escapeBytes(bytes);
}

std::string sizeText(ImageSizeRequest r)
{
    switch (r.kind) {
    case ImageSizeRequest::Kind::cells: return "cells(" + std::to_string(r.value) + ")";
    case ImageSizeRequest::Kind::pixels: return "pixels(" + std::to_string(r.value) + ")";
    case ImageSizeRequest::Kind::percent: return "percent(" + std::to_string(r.value) + ")";
    case ImageSizeRequest::Kind::automatic: return "auto";
    }
    return "?";
}

// Writes down every call the terminal makes on its host.
class EventHost : public TerminalDelegate {
public:
    std::vector<std::string> events;
    bool trusted = false;
    std::optional<std::vector<uint8_t>> clipboard;

    void send(Terminal&, std::span<const uint8_t> data) override { events.push_back("reply " + escaped(data)); }
    bool isProcessTrusted(Terminal&) override { return trusted; }
    void setTerminalTitle(Terminal&, const std::string& t) override { events.push_back("title " + t); }
    void setTerminalIconTitle(Terminal&, const std::string& t) override { events.push_back("icon " + t); }
    void hostCurrentDirectoryUpdated(Terminal& t) override { events.push_back("cwd " + t.hostCurrentDirectory.value_or("(none)")); }
    void hostCurrentDocumentUpdated(Terminal& t) override { events.push_back("document " + t.hostCurrentDocument.value_or("(none)")); }
    void progressReport(Terminal&, const ProgressReport& r) override
    {
        static const char* names[] = {"remove", "set", "error", "indeterminate", "pause"};
        events.push_back(std::string("progress ") + names[static_cast<int>(r.state)] +
                         (r.progress ? " " + std::to_string(*r.progress) : std::string()));
    }
    void clipboardCopy(Terminal&, std::span<const uint8_t> content) override { events.push_back("clipboard-copy " + escaped(content)); }
    std::optional<std::vector<uint8_t>> clipboardRead(Terminal&) override
    {
        events.push_back("clipboard-read");
        return clipboard;
    }
    void notify(Terminal&, const std::string& title, const std::string& body) override { events.push_back("notify " + title + " | " + body); }
    void createImage(Terminal&, std::span<const uint8_t> data, ImageSizeRequest w, ImageSizeRequest h, bool aspect) override
    {
        events.push_back("image " + escaped(data) + " " + sizeText(w) + " " + sizeText(h) + (aspect ? " keep-aspect" : " stretch"));
    }
    void inlineContentReceived(Terminal&, std::span<const uint8_t> content) override { events.push_back("inline " + escaped(content)); }
    void colorChanged(Terminal&, std::optional<int> idx) override
    {
        events.push_back("color-changed " + (idx ? std::to_string(*idx) : std::string("all")));
    }
    void setForegroundColor(Terminal& t, const Color& c) override
    {
        events.push_back("set-fg " + c.formatted());
        TerminalDelegate::setForegroundColor(t, c);
    }
    void setBackgroundColor(Terminal& t, const Color& c) override
    {
        events.push_back("set-bg " + c.formatted());
        TerminalDelegate::setBackgroundColor(t, c);
    }
    void setCursorColor(Terminal& t, const std::optional<Color>& c) override
    {
        events.push_back("set-cursor " + (c ? c->formatted() : std::string("none")));
        TerminalDelegate::setCursorColor(t, c);
    }
};

std::string semanticText(const SemanticContent& c)
{
    switch (c.kind()) {
    case SemanticContent::Case::prompt: return "prompt(" + std::string(description(c.promptKind())) + ")";
    case SemanticContent::Case::none: return "none";
    case SemanticContent::Case::input: return "input";
    case SemanticContent::Case::output: return "output";
    }
    return "?";
}

std::string clickModeText(const SemanticPromptClickMode& m)
{
    switch (m.kind()) {
    case SemanticPromptClickMode::Case::none: return "none";
    case SemanticPromptClickMode::Case::clickEventsAbsolute: return "clickEventsAbsolute";
    case SemanticPromptClickMode::Case::clickEventsRelative: return "clickEventsRelative";
    case SemanticPromptClickMode::Case::cursorKeys: break;
    }
    static const char* modes[] = {"line", "multiple", "conservativeVertical", "smartVertical"};
    return std::string("cursorKeys(") + modes[static_cast<int>(m.cursorMode())] + ")";
}

std::string show(Terminal& t, const std::string& what)
{
    if (what == "title")
        return "title: " + t.terminalTitle;
    if (what == "icon")
        return "icon: " + t.iconTitle;
    if (what == "cwd")
        return "cwd: " + t.hostCurrentDirectory.value_or("(none)");
    if (what == "document")
        return "document: " + t.hostCurrentDocument.value_or("(none)");
    if (what.rfind("palette ", 0) == 0) {
        const int n = std::stoi(what.substr(8));
        return "palette " + std::to_string(n) + ": " + t.ansiColors[static_cast<size_t>(n)].formatted();
    }
    if (what == "fg")
        return "fg: " + t.foregroundColor().formatted();
    if (what == "bg")
        return "bg: " + t.backgroundColor().formatted();
    if (what == "cursor")
        return "cursor: " + (t.cursorColor() ? t.cursorColor()->formatted() : std::string("none"));
    if (what == "screen") {
        std::string s = tools::dumpScreen(t, {});
        s.pop_back();
        return s;
    }
    if (what == "semantic") {
        static const char* inputs[] = {"idle", "prompt", "armed", "submitted"};
        Buffer& b = t.activeBuffer();
        return "semantic: " + semanticText(b.semanticContent) + " " + inputs[static_cast<int>(b.semanticInput)] + " " +
               clickModeText(b.semanticClickMode) + (b.semanticUsesSpecialCursorKeys ? " special-keys" : "");
    }
    if (what == "marks") {
        std::string s = "marks:";
        Buffer& b = t.activeBuffer();
        for (int r = 0; r < b.lines().count(); ++r)
            for (const auto& m : b.lines()[r].semanticMarks())
                s += " " + std::to_string(m.column) + "," + std::to_string(r) + "=" + std::string(tagName(m.kind)) + "/g" +
                     std::to_string(m.group);
        return s;
    }
    if (what.rfind("link ", 0) == 0) {
        Position p;
        std::sscanf(what.c_str() + 5, "%d,%d", &p.col, &p.row);
        const auto m = t.linkMatch(LinkLookupLocation::buffer(p), LinkLookupMode::explicitAndImplicit);
        if (!m)
            return "link: none";
        std::string s = std::string("link: ") + (m->isExplicit ? "explicit " : "implicit ") + m->text;
        for (const auto& r : m->rowRanges)
            s += " " + std::to_string(r.row) + ":[" + std::to_string(r.range.lowerBound) + "," + std::to_string(r.range.upperBound) + ")";
        return s;
    }
    return "unknown show: " + what;
}

std::vector<Case> loadCases()
{
    std::vector<Case> cases;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(RAVELGRID_CASES_DIR "/osc"))
        if (entry.path().extension() == ".txt")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path);
        std::string line;
        int number = 0;
        Case* c = nullptr;
        bool inExpected = false;
        while (std::getline(in, line)) {
            ++number;
            if (line.rfind("=== ", 0) == 0) {
                c = &cases.emplace_back();
                c->name = path.stem().string() + ": " + line.substr(4);
                c->file = path.filename().string();
                c->line = number;
                inExpected = false;
            } else if (!c) {
                continue;
            } else if (inExpected) {
                c->expected += line + "\n";
            } else if (line.rfind("> ", 0) == 0) {
                auto bytes = unescape(line.substr(2));
                c->input.insert(c->input.end(), bytes.begin(), bytes.end());
            } else if (line == "---") {
                inExpected = true;
            } else if (line.rfind("size ", 0) == 0) {
                std::sscanf(line.c_str() + 5, "%dx%d", &c->cols, &c->rows);
            } else if (line == "trusted") {
                c->trusted = true;
            } else if (line == "nodelegate") {
                c->noDelegate = true;
            } else if (line.rfind("clipboard ", 0) == 0) {
                c->clipboard = unescape(line.substr(10));
            } else if (line == "strategy xterm") {
                c->strategy = Ansi256PaletteStrategy::xterm;
            } else if (line.rfind("show ", 0) == 0) {
                c->shows.push_back(line.substr(5));
            } else if (!line.empty() && line[0] != '#') {
                ADD_FAILURE() << path << ":" << number << ": unknown line " << line;
            }
        }
    }
    for (auto& c : cases) {  // blank lines between cases belong to none
        while (c.expected.size() >= 2 && c.expected.substr(c.expected.size() - 2) == "\n\n")
            c.expected.pop_back();
        if (c.expected == "\n")
            c.expected.clear();
    }
    return cases;
}

std::string run(const Case& c, size_t chunk)
{
    EventHost host;
    host.trusted = c.trusted;
    host.clipboard = c.clipboard;
    TerminalOptions o;
    o.cols = c.cols;
    o.rows = c.rows;
    if (c.strategy)
        o.ansi256PaletteStrategy = *c.strategy;
    Terminal t(c.noDelegate ? nullptr : &host, o);
    t.silentLog = false;
    platform::setLogSink([&](platform::LogLevel, std::string_view, std::string_view message) {
        constexpr std::string_view unknown = "Unknown OSC code: ";
        if (const size_t at = message.find(unknown); at != std::string_view::npos)
            host.events.push_back("fallback " + std::string(message.substr(at + unknown.size())));
    });
    tools::feedInChunks(t, c.input, chunk);
    platform::setLogSink(nullptr);
    std::string out;
    for (const auto& e : host.events)
        out += e + "\n";
    for (const auto& s : c.shows)
        out += show(t, s) + "\n";
    return out;
}

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class OscCase : public testing::TestWithParam<Case> {};

TEST_P(OscCase, Whole)
{
    const Case& c = GetParam();
    EXPECT_EQ(run(c, 0), c.expected) << c.file << ":" << c.line;
}

TEST_P(OscCase, OneByteAtATime)
{
    const Case& c = GetParam();
    EXPECT_EQ(run(c, 1), c.expected) << c.file << ":" << c.line;
}

std::string testName(const testing::TestParamInfo<Case>& info)
{
    std::string name;
    for (char ch : info.param.name)
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Cases, OscCase, testing::ValuesIn(loadCases()), testName);

}  // namespace
