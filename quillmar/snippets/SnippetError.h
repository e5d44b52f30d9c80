#pragma once

#include "platform/Keyring.h"

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quillmar {

// A failed snippet operation, carrying the finished sentence for the user.
struct SnippetError {
    std::string message;
    // How the keyring stood when it couldn't give the key; none for every
    // other failure. Asking again may work once it stands otherwise.
    std::optional<platform::KeyringState> keyring = std::nullopt;
};

// A value or the error that kept us from making it.
template <class T>
class SnippetResult {
public:
    SnippetResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    SnippetResult(SnippetError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const SnippetError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, SnippetError> v_;
};

struct SnippetDone {};
using SnippetStatus = SnippetResult<SnippetDone>;

}  // namespace quillmar
