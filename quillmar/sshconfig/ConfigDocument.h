#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// One line of a config being edited, with the break that ended it ("\n",
// "\r\n", or empty for a last line without one and for lines we add).
struct ConfigLine {
    std::string text;
    std::string ending;

    bool operator==(const ConfigLine&) const = default;
};

// A config text cut at line feeds so that an edit can put it back together
// byte for byte, keeping each line's own break. Lines we add take the break
// the file mostly uses already (that of its first line).
class ConfigDocument {
public:
    static ConfigDocument parse(std::string_view text);

    // Each line followed by its own break, or the file's break when it has none;
    // so a non-empty result always ends with a break, and an empty one is the
    // file's break when the old text ended with one.
    std::string join(const std::vector<ConfigLine>& lines) const;
    std::string join() const { return join(lines); }

    ConfigLine newLine(std::string text) const { return ConfigLine{std::move(text), std::string()}; }

    std::vector<ConfigLine> lines;
    bool endedWithBreak = false;
    std::string eol = "\n";
};

// A line of an edit's preview.
struct DiffLine {
    char sign = ' ';  // '-' goes, '+' comes, ' ' shown for context
    std::string text;

    bool operator==(const DiffLine&) const = default;
};

// The lines that went and came between two versions of a file, in file order.
std::vector<DiffLine> lineDiff(const std::vector<std::string>& before, const std::vector<std::string>& after);

// Just the texts of the lines.
std::vector<std::string> lineTexts(const std::vector<ConfigLine>& lines);

}  // namespace quillmar
