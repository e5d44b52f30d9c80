#include "quillmar/snippets/SnippetPaths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace quillmar {

SnippetPaths::SnippetPaths(std::string dataDirectory) : dir_(std::move(dataDirectory))
{
    while (dir_.size() > 1 && dir_.back() == '/')
        dir_.pop_back();
}

SnippetPaths SnippetPaths::fromEnvironment()
{
    // Relative values are invalid by the XDG rules and are ignored.
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/') {
        std::string dir = data;
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        return SnippetPaths(dir == "/" ? "/quillmar" : dir + "/quillmar");
    }
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    return SnippetPaths(home + "/.local/share/quillmar");
}

}  // namespace quillmar
