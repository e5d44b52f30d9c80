#pragma once

#include <string>

namespace quillmar {

// Where the snippets live: the application's data folder, injected so that
// tests can use a scratch one.
class SnippetPaths {
public:
    explicit SnippetPaths(std::string dataDirectory);

    // $XDG_DATA_HOME/quillmar when that is an absolute path, else
    // ~/.local/share/quillmar.
    static SnippetPaths fromEnvironment();

    const std::string& dataDirectory() const { return dir_; }
    std::string snippetsFile() const { return dir_ + "/snippets"; }
    std::string backupsDirectory() const { return dir_ + "/backups"; }

private:
    std::string dir_;
};

}  // namespace quillmar
