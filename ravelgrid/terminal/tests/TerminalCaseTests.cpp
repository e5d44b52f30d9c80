// Runs the cases in tests/cases/*.txt (see support/CaseFile.h). Directives:
//
//   size 10x4            (default 10x4; "scrollback N" likewise)
//   term NAME            (terminal name, default xterm-256color)
//   events               (also dump "event ..." lines for host notices)
//
// The expected output is the dump: every row, "cursor X,Y", "reply ..."
// lines. Every case runs fed whole and fed one byte at a time.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ravelgrid/terminal/tests/support/CaseFile.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

using ravelgrid::test::Case;

namespace {

std::string run(const Case& c, size_t chunk)
{
    ravelgrid::test::DumpOptions options;
    options.cols = 10;
    options.rows = 4;
    options.chunk = chunk;
    for (const auto& d : c.directives) {
        std::string rest;
        if (ravelgrid::test::directiveValue(d, "size", rest))
            std::sscanf(rest.c_str(), "%dx%d", &options.cols, &options.rows);
        else if (ravelgrid::test::directiveValue(d, "scrollback", rest))
            options.scrollback = std::stoi(rest);
        else if (ravelgrid::test::directiveValue(d, "term", rest))
            options.termName = rest;
        else if (d == "events")
            options.events = true;
        else
            ADD_FAILURE() << c.file << ":" << c.line << ": unknown line " << d;
    }
    return ravelgrid::test::runDump(c.input, options);
}

class TerminalCase : public testing::TestWithParam<Case> {};

TEST_P(TerminalCase, Whole)
{
    EXPECT_EQ(run(GetParam(), 0), GetParam().expected) << GetParam().file << ":" << GetParam().line;
}

TEST_P(TerminalCase, OneByteAtATime)
{
    EXPECT_EQ(run(GetParam(), 1), GetParam().expected) << GetParam().file << ":" << GetParam().line;
}

INSTANTIATE_TEST_SUITE_P(Cases, TerminalCase, testing::ValuesIn(ravelgrid::test::loadCases(RAVELGRID_CASES_DIR)),
                         ravelgrid::test::caseTestName);

}  // namespace
