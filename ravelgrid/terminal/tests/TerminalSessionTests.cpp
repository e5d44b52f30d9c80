// Replays what real programs wrote while keys were typed into them (see
// sessions/record.py) and compares the screen with the one another
// terminal showed for the same bytes.
#include <gtest/gtest.h>

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
    std::string screen;  // rows and "cursor X,Y", as the dump writes them
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
    return tools::dumpScreen(t, {});
}

class SessionReplay : public testing::TestWithParam<const char*> {};

TEST_P(SessionReplay, LeavesTheScreenTheProgramDrew)
{
    const Session s = load(GetParam());
    ASSERT_FALSE(s.output.empty());
    ASSERT_GT(s.cols, 0);
    EXPECT_EQ(replay(s, 0), s.screen);
    EXPECT_EQ(replay(s, 1), s.screen);
    EXPECT_EQ(replay(s, 7), s.screen);
}

INSTANTIATE_TEST_SUITE_P(Programs, SessionReplay, testing::Values("vim-edit", "less-browse"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

}  // namespace
