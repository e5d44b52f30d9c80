#pragma once

#include <string>
#include <string_view>

namespace ravelgrid {

// Pasted text is untrusted: a control character in it could end a bracketed
// paste early or run a command the reader never saw. Keeps TAB and turns LF,
// CR LF and CR into `lineBreak` (CR, what the Return key sends, or LF);
// drops every other C0 and C1 control and DEL, and bytes that are not UTF-8
// at all.
std::string sanitizePaste(std::string_view text, char lineBreak = '\r');

}  // namespace ravelgrid
