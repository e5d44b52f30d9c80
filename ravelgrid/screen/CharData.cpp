#include "ravelgrid/screen/CharData.h"

#include <cstdlib>
#include <string>

#include "platform/Log.h"
#include "ravelgrid/screen/Utf8.h"

namespace ravelgrid {

void CharData::setValue(int32_t newCode, int size)
{
    if (size < INT8_MIN || size > INT8_MAX) {
        platform::logError("ravelgrid", "CharData: width " + std::to_string(size) + " does not fit in 8 bits");
        std::abort();
    }
    code = newCode;
    width = static_cast<int8_t>(size);
}

char32_t CharData::getCharacter() const
{
    if (code < 0 || !isUnicodeScalar(static_cast<uint32_t>(code)))
        return U' ';
    return static_cast<char32_t>(code);
}

std::string CharData::debugDescription() const
{
    std::string out = "CharData: " + std::to_string(code) + " ";
    if (code >= 0 && isUnicodeScalar(static_cast<uint32_t>(code)))
        utf8::append(out, static_cast<char32_t>(code));
    else
        out += '?';
    return out;
}

}  // namespace ravelgrid
