#pragma once

#include <optional>
#include <string>
#include <vector>

namespace ravelgrid {

// One piece of extracted text and the cells it came from.
struct LineFragment {
    std::optional<std::string> text;
    int line = 0;      // buffer row
    int location = 0;  // first column
    int length = 0;    // columns covered

    friend bool operator==(const LineFragment&, const LineFragment&) = default;
};

// A logical line of extracted text, made of fragments in reading order.
class Line {
public:
    std::vector<LineFragment> fragments;
    int length = 0;

    // Adds the fragment and its length; a length sum that overflows is a
    // programming error and stops the process.
    void append(LineFragment fragment);

    std::string debugDescription() const;
};

}  // namespace ravelgrid
