#pragma once

#include <cstdint>
#include <functional>
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

// How the keyring stands, as far as can be told without asking the user.
enum class KeyringState {
    open,     // answers, and its default collection is unlocked (or not made yet)
    locked,   // answers, and its default collection is locked
    silent,   // owns its name on the bus but doesn't answer
    missing,  // no Secret Service, or it refused to say
};

// Text secrets in the user's keyring through the Secret Service (libsecret),
// one item per account of a service. Calls block until the service answers,
// D-Bus gives up on it, or `cancel` is called: keep them off the main thread.
//
// A locked keyring is unlocked through the desktop's password prompt, which
// waits for the user as long as it takes. A call never withdraws a prompt it
// opened: `cancel` only stops waiting for it, and a call waiting for one also
// ends when another program unlocks the keyring meanwhile.
class Keyring {
public:
    // Called on the calling thread once a call waits at the desktop's password prompt.
    using Prompted = std::function<void()>;

    explicit Keyring(std::string service = "quillmar");

    const std::string& service() const { return service_; }

    KeyringLookup lookup(const std::string& account, const Prompted& prompted = {}) const;
    // Adds the item to the default collection, or replaces its secret.
    std::optional<KeyringError> store(const std::string& account, const std::string& label, std::string_view secret,
                                      const Prompted& prompted = {}) const;
    // The item's secret, stored first as `secret` when there is none: one
    // step for every thread and process on the keyring's session bus. They
    // take turns by owning the bus name `lockName`, each on a connection of
    // its own (so one that dies lets go), then by a flock on `lockFile`,
    // which older versions take alone; each is waited for until it is free
    // or `cancel` is called. Where the bus forbids owning the name, the
    // flock alone is taken. An item found, even one this caller can't use,
    // is given back and never replaced; after a store, the secret the
    // keyring then holds is given.
    KeyringLookup lookupOrAdd(const std::string& account, const std::string& label, std::string_view secret,
                              const std::string& lockName, const std::string& lockFile,
                              const Prompted& prompted = {}) const;
    // Removing an item that isn't there is no error.
    std::optional<KeyringError> remove(const std::string& account) const;

    // The keyring's state once it differs from `was`: at once when it already
    // does, else when the service says its collections changed, its name
    // changed owner, or a look every few seconds finds it so. Never prompts.
    // None when cancelled or when there is no session bus to watch.
    std::optional<KeyringState> waitForChange(KeyringState was) const;

    // Makes the calls in progress on this keyring, or on a copy of it, give
    // up with `noAnswer`, whether they wait yet or not, and those of a
    // `fromNow` copy made before it, even ones yet to begin. Safe from any
    // thread; other later calls are not affected.
    void cancel() const;
    // A copy for one task handed to another thread: every `cancel` from now
    // on ends its calls, also one that came before they began.
    Keyring fromNow() const;

private:
    class Calls;
    // The count of cancels a call started from.
    std::uint64_t since() const;

    std::string service_;
    std::shared_ptr<Calls> calls_;
    std::optional<std::uint64_t> since_;
};

}  // namespace platform
