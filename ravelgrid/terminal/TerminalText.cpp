#include <algorithm>
#include <string>

#include "ravelgrid/screen/Utf8.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

bool isRightHalf(const BufferLine& line, int col)
{
    return col > 0 && col < line.dataSize() && line[col].code == 0 && line[col - 1].width == 2;
}

bool encodeLine(std::u32string_view scalars, TextEncoding encoding, std::vector<uint8_t>& out)
{
    switch (encoding) {
    case TextEncoding::utf8: {
        std::string text;
        for (char32_t c : scalars)
            utf8::append(text, c);
        out.insert(out.end(), text.begin(), text.end());
        return true;
    }
    case TextEncoding::ascii:
    case TextEncoding::isoLatin1: {
        const char32_t limit = encoding == TextEncoding::ascii ? 0x7F : 0xFF;
        if (std::any_of(scalars.begin(), scalars.end(), [&](char32_t c) { return c > limit; }))
            return false;
        for (char32_t c : scalars)
            out.push_back(static_cast<uint8_t>(c));
        return true;
    }
    }
    return false;
}

}  // namespace

std::string Terminal::translateBufferLineToString(Buffer& in, int line, int start, int end)
{
    return lineText(in, line, start, end).first;
}

std::pair<std::string, int> Terminal::lineText(Buffer& in, int row, int start, int end)
{
    auto& ring = in.lines();
    if (row < 0 || row >= ring.count())
        return {};
    const BufferLine& line = ring[row];
    if (end < 0)
        end = line.dataSize();
    // An alternate-screen row keeps cells past a narrower width; they are not shown, so not text.
    end = std::min({end, line.trimmedLength(), in.cols()});
    std::string text;
    int count = 0;
    for (int c = std::max(start, 0); c < end; ++c) {
        if (isRightHalf(line, c))
            continue;
        text += character(line[c].code);
        ++count;
    }
    return {std::move(text), count};
}

std::vector<Line> Terminal::getSelectedLines(Position p1, Position p2, Buffer& in)
{
    std::vector<Line> lines;
    Line current;
    auto fragment = [&](int row, int startCol, int endCol) {
        auto [text, count] = lineText(in, row, startCol, endCol);
        current.append({std::move(text), row, startCol, count});
    };
    fragment(p1.row, p1.col, p1.row == p2.row ? p2.col : -1);
    auto& ring = in.lines();
    for (int row = p1.row + 1; row <= p2.row && row < ring.count(); ++row) {
        if (!ring[row].isWrapped()) {
            current.append({std::string("\n"), row - 1, -1, 1});
            lines.push_back(std::move(current));
            current = Line{};
        }
        fragment(row, 0, row == p2.row ? p2.col : -1);
    }
    lines.push_back(std::move(current));
    return lines;
}

std::string Terminal::getText(Position start, Position end)
{
    if (end < start)
        std::swap(start, end);
    const int count = buffer->lines().count();
    if (start == end || start.row < 0 || start.row >= count)
        return {};
    end.row = std::min(end.row, count - 1);
    start.col = std::max(start.col, 0);
    std::string text;
    for (const Line& line : getSelectedLines(start, end, *buffer))
        for (const LineFragment& f : line.fragments)
            if (f.text)
                text += *f.text;
    return text;
}

std::vector<uint8_t> Terminal::getBufferAsData(BufferKind kind, TextEncoding encoding)
{
    Buffer& b = kind == BufferKind::active ? *buffer : kind == BufferKind::normal ? *normalBuffer : *altBuffer;
    auto& ring = b.lines();
    std::vector<uint8_t> out;
    std::u32string scalars;
    for (int row = 0; row < ring.count(); ++row) {
        const BufferLine& line = ring[row];
        int end = 0;
        for (int c = line.dataSize() - 1; c >= 0; --c) {
            if (line[c].code != 0) {
                end = std::min(c + std::max<int>(line[c].width, 1), line.dataSize());
                break;
            }
        }
        scalars.clear();
        for (int c = 0; c < end; ++c) {
            // The right half of a wide character is part of its left half, not a NUL of its own.
            if (isRightHalf(line, c))
                continue;
            const int32_t code = line[c].code;
            scalars += code < CharData::firstClusterCode && isUnicodeScalar(static_cast<uint32_t>(code))
                           ? static_cast<char32_t>(code)
                           : U' ';
        }
        const size_t mark = out.size();
        if (encodeLine(scalars, encoding, out))
            out.push_back('\n');
        else
            out.resize(mark);
    }
    return out;
}

}  // namespace ravelgrid
