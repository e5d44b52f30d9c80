#pragma once

#include "platform/Crypto.h"
#include "quillmar/snippets/SnippetError.h"

#include <functional>
#include <memory>
#include <optional>

namespace quillmar {

// Where the key of the snippets file is kept. `find` and `create` may wait
// on another process (an unlock prompt), so the store calls them off the
// main thread.
class SnippetKeySource : public std::enable_shared_from_this<SnippetKeySource> {
public:
    virtual ~SnippetKeySource() = default;

    struct Lookup {
        std::optional<platform::SymmetricKey> key;  // none when no key was made yet
        std::optional<SnippetError> error;
    };
    virtual Lookup find() = 0;
    // Makes a new random key and keeps it; gives it only once it is kept.
    // When another window or process kept one meanwhile, gives that one
    // instead: a kept key is never replaced.
    virtual SnippetResult<platform::SymmetricKey> create() = 0;
    // Makes a `find`, `create` or `waitForChange` now waiting on another
    // thread give up (a password prompt stays open), and every call of an
    // `askFromNow` source made before it. Safe from any thread.
    virtual void cancel() {}
    // This source for one ask handed to another thread: a `cancel` from now
    // on ends its calls, whether they wait yet or have yet to begin; asks
    // begun later are not affected. Only on a source owned by a shared_ptr;
    // the source itself by default.
    virtual std::shared_ptr<SnippetKeySource> askFromNow() { return shared_from_this(); }

    // Told on the asking thread once a `find` or `create` waits for the user
    // at the keyring's password prompt. Set once, before anything is asked.
    virtual void setPromptListener(std::function<void()> listener) { (void)listener; }
    // Waits until the keyring no longer stands as `was` and says how it
    // stands then; none when cancelled or when it can't be watched (the
    // default). Never asks the user anything.
    virtual std::optional<platform::KeyringState> waitForChange(platform::KeyringState was)
    {
        (void)was;
        return std::nullopt;
    }
};

}  // namespace quillmar
