// Replays what real programs wrote while keys were typed into them (see
// sessions/record.py) and compares the screen with the one another
// terminal showed for the same bytes. Where that terminal is not the one to
// follow, NAME.differences gives the reason in a comment and the line we
// show instead: "screen N line L: TEXT".
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "ravelgrid/terminal/Terminal.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using namespace ravelgrid;

namespace {

// Where the window changed size, or where the screen is compared as well
// as at the end: an offset into the output.
struct Mark {
    size_t offset = 0;
    bool resize = false;
    int cols = 0, rows = 0;
};

struct Session {
    std::vector<uint8_t> output;
    int cols = 0, rows = 0;
    std::vector<Mark> marks;
    // One per "at" section: rows, "cursor X,Y" and "attr" lines, as the
    // dumps write them; the last is the screen at the end.
    std::vector<std::string> screens;
};

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

Session load(const std::string& name)
{
    const std::string base = std::string(RAVELGRID_SESSIONS_DIR) + "/" + name;
    Session s;
    std::ifstream out(base + ".out", std::ios::binary);
    s.output.assign(std::istreambuf_iterator<char>(out), {});
    std::ifstream marks(base + ".marks");
    for (std::string line; std::getline(marks, line);) {
        Mark m;
        char what[16] = {};
        if (std::sscanf(line.c_str(), "%zu %15s %dx%d", &m.offset, what, &m.cols, &m.rows) >= 2) {
            m.resize = std::string(what) == "resize";
            s.marks.push_back(m);
        }
    }
    std::ifstream screen(base + ".screen");
    std::string line;
    std::getline(screen, line);
    std::sscanf(line.c_str(), "size %dx%d", &s.cols, &s.rows);
    while (std::getline(screen, line)) {
        if (line.rfind("at ", 0) == 0)
            s.screens.emplace_back();
        else if (!s.screens.empty())
            s.screens.back() += line + "\n";
    }
    std::ifstream differences(base + ".differences");
    for (std::string line; std::getline(differences, line);) {
        size_t screenNo = 0, lineNo = 0;
        int used = 0;
        if (line.empty() || line[0] == '#')
            continue;
        if (std::sscanf(line.c_str(), "screen %zu line %zu: %n", &screenNo, &lineNo, &used) < 2 || used == 0 ||
            screenNo == 0 || screenNo > s.screens.size() || lineNo == 0) {
            ADD_FAILURE() << name << ".differences: cannot read \"" << line << "\"";
            continue;
        }
        std::vector<std::string> expected = lines(s.screens[screenNo - 1]);
        if (lineNo > expected.size()) {
            ADD_FAILURE() << name << ".differences: no line " << lineNo << " in screen " << screenNo;
            continue;
        }
        expected[lineNo - 1] = line.substr(static_cast<size_t>(used));
        s.screens[screenNo - 1].clear();
        for (const auto& e : expected)
            s.screens[screenNo - 1] += e + "\n";
    }
    return s;
}

// The screens at each compared mark and at the end.
std::vector<std::string> replay(const Session& s, size_t chunk)
{
    test::ReplyRecorder host;
    TerminalOptions o;
    o.cols = s.cols;
    o.rows = s.rows;
    Terminal t(&host, o);
    std::vector<std::string> screens;
    const std::span<const uint8_t> output(s.output);
    size_t done = 0;
    auto feedTo = [&](size_t offset) {
        offset = std::min(offset, output.size());
        if (offset > done)
            test::feedInChunks(t, output.subspan(done, offset - done), chunk);
        done = std::max(done, offset);
    };
    for (const Mark& m : s.marks) {
        feedTo(m.offset);
        if (m.resize)
            t.resize(m.cols, m.rows);
        else
            screens.push_back(test::dumpScreen(t, {}) + test::dumpStyles(t));
    }
    feedTo(output.size());
    screens.push_back(test::dumpScreen(t, {}) + test::dumpStyles(t));
    return screens;
}

// Only the lines that differ, so a failure names the rows or runs at fault.
std::string difference(const std::string& actual, const std::string& expected)
{
    const auto a = lines(actual), e = lines(expected);
    std::string out;
    for (size_t i = 0; i < std::max(a.size(), e.size()); ++i) {
        const std::string* x = i < a.size() ? &a[i] : nullptr;
        const std::string* y = i < e.size() ? &e[i] : nullptr;
        if (x && y && *x == *y)
            continue;
        out += "line " + std::to_string(i + 1) + ":\n";
        if (y)
            out += "  expected " + *y + "\n";
        if (x)
            out += "  actual   " + *x + "\n";
    }
    return out;
}

class SessionReplay : public testing::TestWithParam<const char*> {};

TEST_P(SessionReplay, LeavesTheScreenTheProgramDrew)
{
    const Session s = load(GetParam());
    ASSERT_FALSE(s.output.empty());
    ASSERT_GT(s.cols, 0);
    ASSERT_FALSE(s.screens.empty());
    for (size_t chunk : {0, 1, 7}) {
        const std::vector<std::string> screens = replay(s, chunk);
        ASSERT_EQ(screens.size(), s.screens.size());
        for (size_t i = 0; i < screens.size(); ++i) {
            const std::string diff = difference(screens[i], s.screens[i]);
            EXPECT_TRUE(diff.empty()) << "screen " << i + 1 << " of " << screens.size() << ", fed " << chunk
                                      << " bytes at a time:\n"
                                      << diff;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, SessionReplay,
                         testing::Values("vim-edit", "less-browse", "htop-tree", "tmux-split", "mc-panels",
                                         "dialog-checklist", "man-ls", "nano-edit", "vim-syntax", "less-wide",
                                         "top-colour", "tmux-copy", "mcedit-c", "bash-readline", "bash-resize",
                                         "bash-unicode", "resize-extremes"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

}  // namespace
