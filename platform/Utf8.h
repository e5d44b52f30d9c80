#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The one reading of UTF-8 for text from files, tools, hosts and the user.
// Ill-formed means: a byte that cannot begin a sequence, a lead without its
// continuation bytes, an overlong form, a surrogate or a value past U+10FFFF.
namespace platform {

bool isValidUtf8(std::string_view text);

// Length of the well-formed sequence at the start of `text`; 0 when there is
// none there (or the text is empty).
std::size_t utf8SequenceLength(std::string_view text);

// The scalar at `pos` (< text.size()), moving `pos` past it. An ill-formed
// sequence gives U+FFFD and moves past its maximal subpart only: the bytes
// that could still have begun a character, never the byte that broke it.
char32_t nextUtf8Scalar(std::string_view text, std::size_t& pos);

// The text with one U+FFFD for each ill-formed maximal subpart, as the
// terminal prints it; well-formed text comes back unchanged.
std::string lenientUtf8(std::string_view text);

// Characters that show nothing or turn the text around them: format and
// bidirectional controls, zero-width characters and blank fillers. A name
// holding one may read as another.
bool isHiddenCharacter(char32_t c);
// Whether well-formed or lenient UTF-8 text holds one.
bool containsHiddenCharacter(std::string_view text);

}  // namespace platform
