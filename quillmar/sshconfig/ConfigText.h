#pragma once

#include "platform/Utf8.h"

#include <string>
#include <string_view>
#include <vector>

// Small text helpers shared by the SSH config readers and editors.
namespace quillmar::configtext {

using platform::isValidUtf8;
using platform::lenientUtf8;

// ASCII-only lower-casing: the keywords we look for are ASCII.
std::string asciiLower(std::string_view text);

// Trims spaces and tabs at both ends.
std::string_view trimSpacesTabs(std::string_view text);

// True when nothing but white space (Unicode space separators, tab) is left.
bool isBlank(std::string_view text);

// True when the text holds any white space or line break character, ASCII or Unicode.
bool containsWhitespace(std::string_view text);

// True for bytes below 0x20 (tab included) and DEL.
bool containsControl(std::string_view text);

// Cuts a text into lines at LF, CR, VT, FF, NEL, LINE SEPARATOR and
// PARAGRAPH SEPARATOR. A CR LF pair leaves an empty line between its halves.
std::vector<std::string_view> splitAtLineBreaks(std::string_view text);

}  // namespace quillmar::configtext
