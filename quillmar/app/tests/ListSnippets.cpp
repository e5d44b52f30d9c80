// Prints the title of each snippet in a data folder, one a line, opened with
// the key in the session's keyring: how the end-to-end tests read back what
// the windows saved.
//   list_snippets <data folder>
#include "quillmar/snippets/KeyringKeySource.h"
#include "quillmar/snippets/SnippetVault.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: list_snippets <data folder>\n");
        return 2;
    }
    quillmar::SnippetVault vault(quillmar::SnippetPaths(argv[1]), std::make_unique<quillmar::KeyringKeySource>());
    auto contents = vault.load();
    if (!contents) {
        std::fprintf(stderr, "list_snippets: %s\n", contents.error().message.c_str());
        return 1;
    }
    for (const quillmar::Snippet& s : contents.value().snippets)
        std::printf("%s\n", s.title.c_str());
    return 0;
}
