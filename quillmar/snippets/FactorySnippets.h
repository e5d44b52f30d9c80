#pragma once

#include "quillmar/snippets/Snippet.h"

#include <vector>

namespace quillmar {

// The snippets a new user starts with, and what "reset" brings back: everyday
// commands in a few categories. Platform-specific ones carry the tag "linux"
// or "macos", which the sidebar marks. Ids are fixed, so the set is the same
// on every machine and an import of it replaces rather than duplicates.
std::vector<Snippet> factorySnippets();

}  // namespace quillmar
