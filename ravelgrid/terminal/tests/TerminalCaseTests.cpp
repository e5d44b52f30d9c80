// Runs the cases in tests/cases/*.txt. Each file holds cases of the form
//
//   === name
//   size 10x4            (optional, default 10x4; "scrollback N" likewise)
//   term NAME            (optional terminal name, default xterm-256color)
//   events               (optional: also dump "event ..." lines for host notices)
//   > input bytes        (lines are joined; \e \n \r \t \a \b \0 \\ \xNN \u{HEX})
//   ---
//   the expected dump: every row, "cursor X,Y", "reply ..." lines
//
// and every case runs twice: fed whole and fed one byte at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/TerminalDump.h"

namespace {

struct Case {
    std::string name;
    std::string file;
    int line = 0;
    ravelgrid::tools::DumpOptions options;
    std::vector<uint8_t> input;
    std::string expected;
};

void appendUtf8(std::vector<uint8_t>& out, uint32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<uint8_t>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<uint8_t>(0xC0 | (c >> 6)));
        out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<uint8_t>(0xE0 | (c >> 12)));
        out.push_back(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<uint8_t>(0xF0 | (c >> 18)));
        out.push_back(static_cast<uint8_t>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<uint8_t>(0x80 | (c & 0x3F)));
    }
}

std::vector<uint8_t> unescape(const std::string& s)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out.push_back(static_cast<uint8_t>(s[i]));
            continue;
        }
        const char e = s[++i];
        switch (e) {
        case 'e': out.push_back(0x1B); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'a': out.push_back(0x07); break;
        case 'b': out.push_back(0x08); break;
        case '0': out.push_back(0x00); break;
        case '\\': out.push_back('\\'); break;
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

std::vector<Case> loadCases()
{
    std::vector<Case> cases;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(RAVELGRID_CASES_DIR))
        if (entry.path().extension() == ".txt")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        std::ifstream in(path);
        std::string line;
        int number = 0;
        Case* current = nullptr;
        bool inExpected = false;
        while (std::getline(in, line)) {
            ++number;
            if (line.rfind("=== ", 0) == 0) {
                cases.push_back({});
                current = &cases.back();
                current->name = path.stem().string() + ": " + line.substr(4);
                current->file = path.filename().string();
                current->line = number;
                current->options.cols = 10;
                current->options.rows = 4;
                inExpected = false;
                continue;
            }
            if (!current)
                continue;
            if (inExpected) {
                current->expected += line + "\n";
            } else if (line.rfind("> ", 0) == 0 || line == ">") {
                auto bytes = unescape(line.size() > 2 ? line.substr(2) : "");
                current->input.insert(current->input.end(), bytes.begin(), bytes.end());
            } else if (line == "---") {
                inExpected = true;
            } else if (line.rfind("size ", 0) == 0) {
                std::sscanf(line.c_str() + 5, "%dx%d", &current->options.cols, &current->options.rows);
            } else if (line.rfind("scrollback ", 0) == 0) {
                current->options.scrollback = std::stoi(line.substr(11));
            } else if (line.rfind("term ", 0) == 0) {
                current->options.termName = line.substr(5);
            } else if (line == "events") {
                current->options.events = true;
            }
        }
    }
    for (auto& c : cases)  // blank lines that separate cases are not part of them
        while (c.expected.size() >= 2 && c.expected.substr(c.expected.size() - 2) == "\n\n")
            c.expected.pop_back();
    return cases;
}

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class TerminalCase : public testing::TestWithParam<Case> {};

TEST_P(TerminalCase, Whole)
{
    const Case& c = GetParam();
    EXPECT_EQ(ravelgrid::tools::runDump(c.input, c.options), c.expected) << c.file << ":" << c.line;
}

TEST_P(TerminalCase, OneByteAtATime)
{
    Case c = GetParam();
    c.options.chunk = 1;
    EXPECT_EQ(ravelgrid::tools::runDump(c.input, c.options), c.expected) << c.file << ":" << c.line;
}

std::string testName(const testing::TestParamInfo<Case>& info)
{
    std::string name;
    for (char ch : info.param.name)
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Cases, TerminalCase, testing::ValuesIn(loadCases()), testName);

}  // namespace
