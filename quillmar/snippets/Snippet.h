#pragma once

#include "platform/Utf8.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// One command snippet. Text is UTF-8; `id` is a UUID in upper case.
struct Snippet {
    std::string id;
    std::string title;
    std::string command;
    std::string category;
    std::vector<std::string> tags;
    std::string note;

    bool operator==(const Snippet&) const = default;
};

// Bounds on what a snippet list may hold, checked before anything is kept,
// so that a hostile file can't make us allocate without limit.
struct SnippetLimits {
    static constexpr std::size_t maxSnippets = 100000;
    static constexpr std::size_t maxTextBytes = 256 * 1024;  // each of title, command, category, note
    static constexpr std::size_t maxTags = 64;
    static constexpr std::size_t maxTagBytes = 1024;
    static constexpr std::size_t maxFileBytes = 64 * 1024 * 1024;
};

// A random (version 4) UUID in upper case.
std::string newSnippetId();

// The id in upper case when it is a UUID ("8-4-4-4-12" hex digits), else none.
std::optional<std::string> normalizedSnippetId(std::string_view id);

using platform::isValidUtf8;

// Where a snippet without a category is filed and shown.
inline constexpr std::string_view defaultSnippetCategory = "Uncategorized";

// The snippet as the editor saves it: title, category and tags trimmed, tags
// split at commas and blank ones dropped, a blank category filed under
// `defaultSnippetCategory`, and "\r\n" or a lone "\r" in the command and the
// note made "\n". Changes nothing else, so `snippetProblem` still has its say.
Snippet tidiedSnippet(Snippet snippet);

// Why the snippet can't be stored (a sentence), or none when it can. Besides
// blanks, bounds and UTF-8, control characters are refused: none at all in
// the title, category and tags, none but tab and line feed in the command
// and the note, since they would reach a shell or a one-line label.
std::optional<std::string> snippetProblem(const Snippet& snippet);

}  // namespace quillmar
