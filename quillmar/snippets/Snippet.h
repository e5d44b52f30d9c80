#pragma once

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

bool isValidUtf8(std::string_view text);

// Why the snippet can't be stored (a sentence), or none when it can.
std::optional<std::string> snippetProblem(const Snippet& snippet);

}  // namespace quillmar
