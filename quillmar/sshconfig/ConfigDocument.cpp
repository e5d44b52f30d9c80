#include "quillmar/sshconfig/ConfigDocument.h"

#include <algorithm>
#include <cstdint>

namespace quillmar {

ConfigDocument ConfigDocument::parse(std::string_view text)
{
    ConfigDocument doc;
    std::size_t start = 0;
    bool sawFirstBreak = false;
    while (start < text.size()) {
        auto lf = text.find('\n', start);
        if (lf == std::string_view::npos) {
            doc.lines.push_back({std::string(text.substr(start)), std::string()});
            break;
        }
        std::size_t end = lf;
        const char* ending = "\n";
        if (end > start && text[end - 1] == '\r') {
            --end;
            ending = "\r\n";
        }
        if (!sawFirstBreak) {
            doc.eol = ending;
            sawFirstBreak = true;
        }
        doc.lines.push_back({std::string(text.substr(start, end - start)), std::string(ending)});
        start = lf + 1;
    }
    doc.endedWithBreak = !text.empty() && text.back() == '\n';
    return doc;
}

std::string ConfigDocument::join(const std::vector<ConfigLine>& out) const
{
    if (out.empty())
        return endedWithBreak ? eol : std::string();
    std::string text;
    for (const ConfigLine& line : out) {
        text += line.text;
        text += line.ending.empty() ? eol : line.ending;
    }
    return text;
}

std::vector<std::string> lineTexts(const std::vector<ConfigLine>& lines)
{
    std::vector<std::string> texts;
    texts.reserve(lines.size());
    for (const ConfigLine& l : lines)
        texts.push_back(l.text);
    return texts;
}

std::vector<DiffLine> lineDiff(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    std::size_t prefix = 0;
    while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix])
        ++prefix;
    std::size_t suffix = 0;
    while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
           a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix])
        ++suffix;
    const std::size_t n = a.size() - prefix - suffix;
    const std::size_t m = b.size() - prefix - suffix;
    std::vector<DiffLine> out;
    auto del = [&](std::size_t i) { out.push_back({'-', a[prefix + i]}); };
    auto add = [&](std::size_t j) { out.push_back({'+', b[prefix + j]}); };

    // A longest common subsequence when the changed middle is small enough;
    // otherwise everything in it is shown as replaced, which is still correct.
    constexpr std::size_t kMaxCells = 4u * 1024 * 1024;
    if (n == 0 || m == 0 || (n + 1) * (m + 1) > kMaxCells) {
        for (std::size_t i = 0; i < n; ++i)
            del(i);
        for (std::size_t j = 0; j < m; ++j)
            add(j);
        return out;
    }
    std::vector<std::uint32_t> lcs((n + 1) * (m + 1), 0);
    auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& { return lcs[i * (m + 1) + j]; };
    for (std::size_t i = n; i-- > 0;)
        for (std::size_t j = m; j-- > 0;)
            at(i, j) = a[prefix + i] == b[prefix + j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
    std::size_t i = 0, j = 0;
    while (i < n && j < m) {
        if (a[prefix + i] == b[prefix + j]) {
            ++i;
            ++j;
        } else if (at(i + 1, j) >= at(i, j + 1)) {
            del(i++);
        } else {
            add(j++);
        }
    }
    while (i < n)
        del(i++);
    while (j < m)
        add(j++);
    return out;
}

}  // namespace quillmar
