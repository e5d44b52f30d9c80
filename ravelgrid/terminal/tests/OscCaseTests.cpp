// Runs the cases in tests/cases/osc/*.txt (see support/CaseFile.h):
// operating-system commands, colour commands and shell-integration marks.
// Directives:
//
//   size 20x4            (default 20x4)
//   trusted              (the host trusts the child)
//   nodelegate           (the terminal has no host)
//   clipboard TEXT       (what reading the clipboard returns, escaped as input)
//   strategy xterm       (the palette strategy)
//   shows FG BG          (the host shows these colours and keeps its own
//                         copies of the ones it is told)
//   show WHAT            (repeatable: state printed after the events)
//
// WHAT is one of: title, icon, cwd, document, palette N, fg, bg, cursor,
// screen, marks, semantic, link COL,ROW (a buffer position). The expected
// output is what the host saw, one call per line, then the "show" lines.
// Every case runs fed whole and fed one byte at a time.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/tests/support/CaseFile.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using namespace ravelgrid;
using ravelgrid::test::Case;

namespace {

std::string escaped(std::span<const uint8_t> bytes)
{
    return test::escapeBytes(bytes);
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
    std::optional<std::pair<Color, Color>> shown;

    void send(Terminal&, std::span<const uint8_t> data) override { events.push_back("reply " + escaped(data)); }
    bool isProcessTrusted(Terminal&) override { return trusted; }
    void setTerminalTitle(Terminal&, const std::string& t) override { events.push_back("title " + t); }
    void setTerminalIconTitle(Terminal&, const std::string& t) override { events.push_back("icon " + t); }
    void hostCurrentDirectoryUpdated(Terminal& t) override
    {
        events.push_back("cwd " + t.hostCurrentDirectory.value_or("(none)"));
    }
    void hostCurrentDocumentUpdated(Terminal& t) override
    {
        events.push_back("document " + t.hostCurrentDocument.value_or("(none)"));
    }
    void progressReport(Terminal&, const ProgressReport& r) override
    {
        static const char* names[] = {"remove", "set", "error", "indeterminate", "pause"};
        events.push_back(std::string("progress ") + names[static_cast<int>(r.state)] +
                         (r.progress ? " " + std::to_string(*r.progress) : std::string()));
    }
    void clipboardCopy(Terminal&, std::span<const uint8_t> content) override
    {
        events.push_back("clipboard-copy " + escaped(content));
    }
    std::optional<std::vector<uint8_t>> clipboardRead(Terminal&) override
    {
        events.push_back("clipboard-read");
        return clipboard;
    }
    void notify(Terminal&, const std::string& title, const std::string& body) override
    {
        events.push_back("notify " + title + " | " + body);
    }
    void createImage(Terminal&, std::span<const uint8_t> data, ImageSizeRequest w, ImageSizeRequest h,
                     bool aspect) override
    {
        events.push_back("image " + escaped(data) + " " + sizeText(w) + " " + sizeText(h) +
                         (aspect ? " keep-aspect" : " stretch"));
    }
    void inlineContentReceived(Terminal&, std::span<const uint8_t> content) override
    {
        events.push_back("inline " + escaped(content));
    }
    void colorChanged(Terminal&, std::optional<int> idx) override
    {
        events.push_back("color-changed " + (idx ? std::to_string(*idx) : std::string("all")));
    }
    void setForegroundColor(Terminal& t, const Color& c) override
    {
        events.push_back("set-fg " + c.formatted());
        if (shown)
            shown->first = c;
        TerminalDelegate::setForegroundColor(t, c);
    }
    void setBackgroundColor(Terminal& t, const Color& c) override
    {
        events.push_back("set-bg " + c.formatted());
        if (shown)
            shown->second = c;
        TerminalDelegate::setBackgroundColor(t, c);
    }
    std::pair<Color, Color> getColors(Terminal& t) override { return shown ? *shown : TerminalDelegate::getColors(t); }
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
        std::string s = test::dumpScreen(t, {});
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
                s += " " + std::to_string(m.column) + "," + std::to_string(r) + "=" + std::string(tagName(m.kind)) +
                     "/g" + std::to_string(m.group);
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
            s += " " + std::to_string(r.row) + ":[" + std::to_string(r.range.lowerBound) + "," +
                 std::to_string(r.range.upperBound) + ")";
        return s;
    }
    return "unknown show: " + what;
}

// "FG BG" as colour texts.
std::pair<Color, Color> shownColors(const std::string& text)
{
    const size_t space = text.find(' ');
    auto parse = [](std::string_view t) {
        return Color::parseColorText({reinterpret_cast<const uint8_t*>(t.data()), t.size()}).value_or(Color{});
    };
    return {parse(std::string_view(text).substr(0, space)), parse(std::string_view(text).substr(space + 1))};
}

std::string run(const Case& c, size_t chunk)
{
    EventHost host;
    TerminalOptions o;
    o.cols = 20;
    o.rows = 4;
    bool noDelegate = false;
    std::vector<std::string> shows;
    for (const auto& d : c.directives) {
        std::string rest;
        if (test::directiveValue(d, "size", rest))
            std::sscanf(rest.c_str(), "%dx%d", &o.cols, &o.rows);
        else if (d == "trusted")
            host.trusted = true;
        else if (d == "nodelegate")
            noDelegate = true;
        else if (test::directiveValue(d, "clipboard", rest))
            host.clipboard = test::unescape(rest);
        else if (d == "strategy xterm")
            o.ansi256PaletteStrategy = Ansi256PaletteStrategy::xterm;
        else if (test::directiveValue(d, "show", rest))
            shows.push_back(rest);
        else if (test::directiveValue(d, "shows", rest))
            host.shown = shownColors(rest);
        else
            ADD_FAILURE() << c.file << ":" << c.line << ": unknown line " << d;
    }
    Terminal t(noDelegate ? nullptr : &host, o);
    t.silentLog = false;
    platform::setLogSink([&](platform::LogLevel, std::string_view, std::string_view message) {
        constexpr std::string_view unknown = "Unknown OSC code: ";
        if (const size_t at = message.find(unknown); at != std::string_view::npos)
            host.events.push_back("fallback " + std::string(message.substr(at + unknown.size())));
    });
    test::feedInChunks(t, c.input, chunk);
    platform::setLogSink(nullptr);
    std::string out;
    for (const auto& e : host.events)
        out += e + "\n";
    for (const auto& s : shows)
        out += show(t, s) + "\n";
    return out;
}

class OscCase : public testing::TestWithParam<Case> {};

TEST_P(OscCase, Whole)
{
    EXPECT_EQ(run(GetParam(), 0), GetParam().expected) << GetParam().file << ":" << GetParam().line;
}

TEST_P(OscCase, OneByteAtATime)
{
    EXPECT_EQ(run(GetParam(), 1), GetParam().expected) << GetParam().file << ":" << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(Cases, OscCase, testing::ValuesIn(test::loadCases(RAVELGRID_CASES_DIR "/osc")),
                         test::caseTestName);

}  // namespace
