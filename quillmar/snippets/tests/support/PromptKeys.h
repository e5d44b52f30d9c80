#pragma once
// A key source standing for a desktop keyring with a password prompt: while
// it is locked, `find` opens the prompt and waits until the test answers it,
// or until the keyring is unlocked from elsewhere (`setState`); a watch waits
// for the state to change, as the real one does over D-Bus.

#include "quillmar/snippets/SnippetKeySource.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace quillmar::testing {

class PromptKeys final : public SnippetKeySource {
public:
    struct Desk {
        std::mutex mutex;
        std::condition_variable changed;
        platform::KeyringState state = platform::KeyringState::locked;
        // Refused as locked whatever the state, without a prompt (an item
        // in another locked collection, say).
        bool refuses = false;
        bool prompting = false;
        enum class Answer { none, password, dismissed } answer = Answer::none;
        bool cancelled = false;
        int asks = 0;
        std::optional<platform::KeyringState> watchedFrom;  // while a watch waits
        std::optional<platform::SymmetricKey> key;
    };
    explicit PromptKeys(std::shared_ptr<Desk> desk) : desk_(std::move(desk)) {}

    Lookup find() override
    {
        const SnippetError locked{"The keyring is locked.", platform::KeyringState::locked};
        std::unique_lock lock(desk_->mutex);
        ++desk_->asks;
        if (desk_->refuses)
            return {std::nullopt, locked};
        if (desk_->state == platform::KeyringState::locked) {
            desk_->prompting = true;
            desk_->answer = Desk::Answer::none;
            lock.unlock();
            if (listener_)
                listener_();
            lock.lock();
            desk_->changed.wait(lock, [&] {
                return desk_->answer != Desk::Answer::none || desk_->state != platform::KeyringState::locked ||
                       desk_->cancelled;
            });
            desk_->prompting = false;
            if (desk_->answer == Desk::Answer::password)
                desk_->state = platform::KeyringState::open;
            if (desk_->state == platform::KeyringState::locked)
                return {std::nullopt, desk_->cancelled ? SnippetError{"Given up."} : locked};
        }
        return {desk_->key, std::nullopt};
    }
    SnippetResult<platform::SymmetricKey> create() override
    {
        std::lock_guard lock(desk_->mutex);
        desk_->key = platform::SymmetricKey::random();
        return *desk_->key;
    }
    void cancel() override
    {
        std::lock_guard lock(desk_->mutex);
        desk_->cancelled = true;
        desk_->changed.notify_all();
    }
    void setPromptListener(std::function<void()> listener) override { listener_ = std::move(listener); }
    std::optional<platform::KeyringState> waitForChange(platform::KeyringState was) override
    {
        std::unique_lock lock(desk_->mutex);
        desk_->watchedFrom = was;
        desk_->changed.notify_all();
        desk_->changed.wait(lock, [&] { return desk_->state != was || desk_->cancelled; });
        desk_->watchedFrom.reset();
        if (desk_->cancelled)
            return std::nullopt;
        return desk_->state;
    }

private:
    std::shared_ptr<Desk> desk_;
    std::function<void()> listener_;
};

// Changes the desk under its lock and wakes whoever waits on it.
inline void change(PromptKeys::Desk& desk, const std::function<void(PromptKeys::Desk&)>& how)
{
    std::lock_guard lock(desk.mutex);
    how(desk);
    desk.changed.notify_all();
}

// Reads the desk under its lock.
template <class T>
T read(PromptKeys::Desk& desk, T PromptKeys::Desk::*field)
{
    std::lock_guard lock(desk.mutex);
    return desk.*field;
}

}  // namespace quillmar::testing
