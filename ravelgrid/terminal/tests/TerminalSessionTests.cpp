// Replays what real programs wrote while keys were typed into them (see
// sessions/record.py) and compares the screen with the one another
// terminal showed for the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ravelgrid/terminal/Terminal.h"
#include "tools/TerminalDump.h"

using namespace ravelgrid;

namespace {

struct Session {
    std::vector<uint8_t> output;
    int cols = 0, rows = 0;
    std::string screen;  // rows, "cursor X,Y" and "attr" lines, as the dumps write them
};

Session load(const std::string& name)
{
    const std::string base = std::string(RAVELGRID_SESSIONS_DIR) + "/" + name;
    Session s;
    std::ifstream out(base + ".out", std::ios::binary);
    s.output.assign(std::istreambuf_iterator<char>(out), {});
    std::ifstream screen(base + ".screen");
    std::string line;
    std::getline(screen, line);
    std::sscanf(line.c_str(), "size %dx%d", &s.cols, &s.rows);
    std::stringstream rest;
    rest << screen.rdbuf();
    s.screen = rest.str();
    return s;
}

std::string replay(const Session& s, size_t chunk)
{
    tools::ReplyRecorder host;
    TerminalOptions o;
    o.cols = s.cols;
    o.rows = s.rows;
    Terminal t(&host, o);
    tools::feedInChunks(t, s.output, chunk);
    return tools::dumpScreen(t, {}) + tools::dumpStyles(t);
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
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
    for (size_t chunk : {0, 1, 7})
    {
        const std::string diff = difference(replay(s, chunk), s.screen);
        EXPECT_TRUE(diff.empty()) << "fed " << chunk << " bytes at a time:\n" << diff;
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, SessionReplay, testing::Values("vim-edit", "less-browse", "htop-tree", "tmux-split", "mc-panels",
                                                         "dialog-checklist", "man-ls", "nano-edit"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

}  // namespace
