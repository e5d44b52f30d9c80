#pragma once

#include "platform/Crypto.h"
#include "quillmar/snippets/SnippetError.h"

#include <optional>

namespace quillmar {

// Where the key of the snippets file is kept. `find` and `create` may wait
// on another process (an unlock prompt), so the store calls them off the
// main thread.
class SnippetKeySource {
public:
    virtual ~SnippetKeySource() = default;

    struct Lookup {
        std::optional<platform::SymmetricKey> key;  // none when no key was made yet
        std::optional<SnippetError> error;
    };
    virtual Lookup find() = 0;
    // Makes a new random key and keeps it; gives it only once it is kept.
    virtual SnippetResult<platform::SymmetricKey> create() = 0;
    // Makes a `find` or `create` now waiting on another thread give up with
    // an error. Safe from any thread.
    virtual void cancel() {}
};

}  // namespace quillmar
