#pragma once

#include "platform/Keyring.h"
#include "quillmar/snippets/SnippetKeySource.h"

#include <string>

namespace quillmar {

// The snippets key in the desktop keyring: service "quillmar", account
// "snippets-key", the 32 key bytes as base64 text.
class KeyringKeySource : public SnippetKeySource {
public:
    static constexpr const char* kAccount = "snippets-key";
    static constexpr const char* kLabel = "quillmar snippets key";

    // Owned on the session bus while a key may be made: the keyring's scope.
    static constexpr const char* kLockName = "org.quillmar.SnippetsKey";

    explicit KeyringKeySource(platform::Keyring keyring = platform::Keyring());

    Lookup find() override;
    // Made while this owns `kLockName` on the keyring's session bus and then
    // holds the flock on `lockFile`, after one more look, so that windows
    // and processes starting at once keep one key, whatever folders they see.
    SnippetResult<platform::SymmetricKey> create() override;
    // Also ends a `create` waiting for another's lock.
    void cancel() override { keyring_.cancel(); }
    std::shared_ptr<SnippetKeySource> askFromNow() override;
    void setPromptListener(std::function<void()> listener) override { prompted_ = std::move(listener); }
    std::optional<platform::KeyringState> waitForChange(platform::KeyringState was) override
    {
        return keyring_.waitForChange(was);
    }

    static std::string encode(const platform::SymmetricKey& key);
    static std::optional<platform::SymmetricKey> decode(std::string_view text);

    // In the session's runtime folder, else in the data folder: the lock of
    // older versions, which only starts that see the same folder share.
    static std::string lockFile();

private:
    static Lookup taken(platform::KeyringLookup found);

    platform::Keyring keyring_;
    platform::Keyring::Prompted prompted_;
};

}  // namespace quillmar
