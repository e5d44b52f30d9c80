#pragma once

#include "quillmar/snippets/Snippet.h"
#include "quillmar/snippets/SnippetError.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// The JSON form of a snippet list: an array of objects with the keys "id",
// "title", "command", "category", "tags" (array of strings) and "note".
class SnippetJson {
public:
    static std::string encode(std::span<const Snippet> snippets);

    // Reads a list written by `encode`. "tags" and "note" may be missing;
    // other keys are ignored. Every bound of `SnippetLimits` is checked as the
    // text is read, ids must be UUIDs and unique. `what` names the source in
    // error sentences ("The snippets file", "The export file").
    static SnippetResult<std::vector<Snippet>> decode(std::string_view json, std::string_view what);
};

}  // namespace quillmar
