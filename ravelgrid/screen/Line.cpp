#include "ravelgrid/screen/Line.h"

#include <cstdlib>

#include "platform/Log.h"

namespace ravelgrid {

void Line::append(LineFragment fragment)
{
    int sum = 0;
    if (__builtin_add_overflow(length, fragment.length, &sum)) {
        platform::logError("ravelgrid", "Line: fragment length overflows the line length");
        std::abort();
    }
    length = sum;
    fragments.push_back(std::move(fragment));
}

std::string Line::debugDescription() const
{
    if (fragments.empty())
        return "[]";
    std::string out = std::to_string(fragments.size()) + "/" + std::to_string(length) + ": ";
    for (const auto& f : fragments) {
        out += '[';
        if (f.text)
            out += *f.text == "\n" ? std::string("\\n") : *f.text;
        out += ']';
    }
    return out;
}

}  // namespace ravelgrid
