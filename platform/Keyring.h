#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Why the desktop keyring couldn't be used, with a sentence for the user.
struct KeyringError {
    enum class Kind {
        unavailable,  // no Secret Service on the session bus
        locked,       // the keyring is locked and couldn't be opened
        noAnswer,     // the service took longer than D-Bus waits, or the call was cancelled
        failed,       // anything else the service refused
    };
    Kind kind = Kind::failed;
    std::string message;
};

struct KeyringLookup {
    std::optional<std::string> secret;  // none when no item matches
    std::optional<KeyringError> error;

    bool ok() const { return !error.has_value(); }
};

// Text secrets in the user's keyring through the Secret Service (libsecret),
// one item per account of a service. Calls block until the service answers,
// D-Bus gives up on it, or `cancel` is called: an unanswered unlock prompt
// waits forever, so keep them off the main thread.
class Keyring {
public:
    explicit Keyring(std::string service = "quillmar");

    const std::string& service() const { return service_; }

    KeyringLookup lookup(const std::string& account) const;
    // Adds the item to the default collection, or replaces its secret.
    std::optional<KeyringError> store(const std::string& account, const std::string& label,
                                      std::string_view secret) const;
    // Removing an item that isn't there is no error.
    std::optional<KeyringError> remove(const std::string& account) const;

    // Makes the calls now waiting on this keyring, or on a copy of it, give
    // up with `noAnswer`. Safe from any thread; later calls are not affected.
    void cancel() const;

private:
    class Calls;

    std::string service_;
    std::shared_ptr<Calls> calls_;
};

}  // namespace platform
