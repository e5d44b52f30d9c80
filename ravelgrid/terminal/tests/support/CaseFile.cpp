#include "ravelgrid/terminal/tests/support/CaseFile.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "ravelgrid/screen/Utf8.h"

namespace ravelgrid::test {

std::vector<uint8_t> unescape(std::string_view s)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out.push_back(static_cast<uint8_t>(s[i]));
            continue;
        }
        switch (const char e = s[++i]) {
        case 'e': out.push_back(0x1B); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'a': out.push_back(0x07); break;
        case 'b': out.push_back(0x08); break;
        case '0': out.push_back(0x00); break;
        case 'x':
            out.push_back(static_cast<uint8_t>(std::stoul(std::string(s.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
            break;
        case 'u': {
            const size_t close = s.find('}', i);
            std::string text;
            utf8::append(text,
                         static_cast<char32_t>(std::stoul(std::string(s.substr(i + 2, close - i - 2)), nullptr, 16)));
            out.insert(out.end(), text.begin(), text.end());
            i = close;
            break;
        }
        default: out.push_back(static_cast<uint8_t>(e)); break;
        }
    }
    return out;
}

std::vector<Case> loadCases(const std::string& directory)
{
    std::vector<Case> cases;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
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
            } else if (line.rfind("> ", 0) == 0 || line == ">") {
                const auto bytes = unescape(line.size() > 2 ? std::string_view(line).substr(2) : std::string_view());
                c->input.insert(c->input.end(), bytes.begin(), bytes.end());
            } else if (line == "---") {
                inExpected = true;
            } else if (!line.empty() && line[0] != '#') {
                c->directives.push_back(line);
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

bool directiveValue(const std::string& directive, std::string_view key, std::string& rest)
{
    if (directive.size() <= key.size() || directive.compare(0, key.size(), key) != 0 || directive[key.size()] != ' ')
        return false;
    rest = directive.substr(key.size() + 1);
    return true;
}

std::string caseTestName(const testing::TestParamInfo<Case>& info)
{
    std::string name;
    for (char ch : info.param.name)
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name + "_" + std::to_string(info.index);
}

}  // namespace ravelgrid::test
