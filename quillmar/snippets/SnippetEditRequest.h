#pragma once

#include "quillmar/snippets/Snippet.h"

namespace quillmar {

// What the edit sheet is asked to do: add `snippet` when `isNew`, else edit
// the stored snippet with its id.
struct SnippetEditRequest {
    Snippet snippet;
    bool isNew = false;

    bool operator==(const SnippetEditRequest&) const = default;
};

}  // namespace quillmar
