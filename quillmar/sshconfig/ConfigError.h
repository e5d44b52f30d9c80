#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quillmar {

// A failed SSH file operation, carrying the finished sentence for the user.
struct ConfigError {
    std::string message;
};

// The sentence of an edit that was undone or never made.
inline std::string withNothingChanged(std::string message) {
    if (message.find("Nothing was changed") == std::string::npos) message += " Nothing was changed.";
    return message;
}

// A value or the error that kept us from making it.
template <class T>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(ConfigError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const ConfigError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, ConfigError> v_;
};

struct Done {};
using Status = Result<Done>;

}  // namespace quillmar
