#pragma once

#include "quillmar/snippets/Snippet.h"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace quillmar {

// What an import would do to the stored list, for the caller to show and
// confirm before anything changes.
struct SnippetImportPlan {
    std::vector<Snippet> incoming;       // the file's snippets as they will be stored, in its order
    std::vector<std::string> added;      // ids not stored yet
    std::vector<std::string> replaced;   // stored ids whose snippet differs
    std::vector<std::string> unchanged;  // stored ids whose snippet is the same
    std::size_t tidied = 0;              // taken in the form the editor saves
    std::size_t refused = 0;             // left out, as the editor would refuse them
    // A sentence on the tidied ones and one for each reason of leaving out.
    std::vector<std::string> notes;

    // Replacing stored snippets needs the user's yes.
    bool needsConfirmation() const { return !replaced.empty(); }
};

enum class SnippetImportChoice {
    keepExisting,     // add the new ones only
    replaceExisting,  // add the new ones and replace those with the same id
};

struct SnippetImportOutcome {
    std::vector<std::string> added;
    std::vector<std::string> replaced;
};

class SnippetImport {
public:
    // A file is as untrusted as anything pasted: each snippet goes through
    // the editor's rules (`tidiedSnippet`, `snippetProblem`) before it is
    // compared with the stored ones.
    static SnippetImportPlan plan(std::span<const Snippet> stored, std::vector<Snippet> incoming);

    // The merged list: stored snippets keep their places (replaced ones take
    // the imported fields), new ones follow in the file's order. Works from
    // the list as it is now, not as it was when the plan was made.
    static std::vector<Snippet> merge(std::span<const Snippet> stored, std::span<const Snippet> incoming,
                                      SnippetImportChoice choice, SnippetImportOutcome* outcome = nullptr);
};

}  // namespace quillmar
