#pragma once
// A key source that answers only when the test lets it, as a keyring behind
// an unlock prompt does, and gives up when it is cancelled.

#include "quillmar/snippets/SnippetKeySource.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace quillmar::testing {

class HeldKeys final : public SnippetKeySource {
public:
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool open = false, cancelled = false, asked = false;
        std::optional<platform::SymmetricKey> key;
    };
    explicit HeldKeys(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}

    Lookup find() override
    {
        std::unique_lock lock(gate_->mutex);
        gate_->asked = true;
        gate_->changed.wait(lock, [&] { return gate_->open || gate_->cancelled; });
        if (gate_->cancelled)
            return {std::nullopt, SnippetError{"Given up."}};
        return {gate_->key, std::nullopt};
    }
    SnippetResult<platform::SymmetricKey> create() override
    {
        std::lock_guard lock(gate_->mutex);
        gate_->key = platform::SymmetricKey::random();
        return *gate_->key;
    }
    void cancel() override
    {
        std::lock_guard lock(gate_->mutex);
        gate_->cancelled = true;
        gate_->changed.notify_all();
    }

private:
    std::shared_ptr<Gate> gate_;
};

// Lets the held source answer (with the key it has, or none).
inline void release(HeldKeys::Gate& gate)
{
    std::lock_guard lock(gate.mutex);
    gate.open = true;
    gate.changed.notify_all();
}

// One of the gate's flags, read under its lock.
inline bool seen(HeldKeys::Gate& gate, bool HeldKeys::Gate::*flag)
{
    std::lock_guard lock(gate.mutex);
    return gate.*flag;
}

}  // namespace quillmar::testing
