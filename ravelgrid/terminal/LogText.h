#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ravelgrid {

namespace logtext {
template <typename T>
std::string list(std::span<const T> values)
{
    std::string s = "[";
    for (size_t i = 0; i < values.size(); ++i)
        s += (i ? ", " : "") + std::to_string(values[i]);
    return s + "]";
}
}  // namespace logtext

// "[1, 2, 3]": parameter and collect lists in the log's wording.
inline std::string listText(std::span<const int> values)
{
    return logtext::list(values);
}

inline std::string listText(std::span<const uint8_t> values)
{
    return logtext::list(values);
}

}  // namespace ravelgrid
