#pragma once

// The case files shared by the terminal's data-driven tests. A file holds
// cases of the form
//
//   === name
//   directive lines      (each runner reads its own: "size 10x4", "trusted" ...)
//   > input bytes        (lines are joined; \e \n \r \t \a \b \0 \\ \xNN \u{HEX})
//   ---
//   the expected output
//
// Blank lines and lines starting with "#" outside the expected output are
// comments; blank lines after the expected output separate cases.

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace ravelgrid::test {

struct Case {
    std::string name;  // "file stem: title"
    std::string file;
    int line = 0;
    std::vector<std::string> directives;
    std::vector<uint8_t> input;
    std::string expected;
};

std::vector<uint8_t> unescape(std::string_view text);

// Every case of the *.txt files in `directory`, files in name order.
std::vector<Case> loadCases(const std::string& directory);

// A directive "KEY rest": the rest when `directive` starts with KEY and a space.
bool directiveValue(const std::string& directive, std::string_view key, std::string& rest);

std::string caseTestName(const testing::TestParamInfo<Case>& info);

inline void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

}  // namespace ravelgrid::test
