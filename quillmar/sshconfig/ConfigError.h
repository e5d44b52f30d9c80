#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quillmar {

// The field of a host entry that a problem is about.
enum class EntryField { alias, hostName, user, port, identityFile, proxyJump };

// What is wrong with a host entry. Each code has one sentence; its arguments
// are the names and paths it mentions.
enum class ProblemCode {
    aliasRequired,
    aliasBadCharacters,
    aliasUnsafe,
    aliasInvisible,
    aliasLeadingHyphen,
    aliasLeadingEquals,
    aliasDestinationSpecials,
    aliasExists,     // the alias
    aliasCaseClash,  // the alias, the known alias it clashes with
    hostNameRequired,
    hostNameSpaces,
    hostNameUnsafe,
    userSpaces,
    userUnsafe,
    portRange,
    keyFileUnsafe,
    keyFileMissing,  // the path as typed
    proxyJumpSpaces,
    proxyJumpUnsafe,
    proxyJumpShape,
    proxyJumpPort,
};

struct EntryProblem {
    ProblemCode code;
    EntryField field;
    std::vector<std::string> arguments;

    static EntryField fieldOf(ProblemCode code);
    static EntryProblem make(ProblemCode code, std::vector<std::string> arguments = {})
    {
        return {code, fieldOf(code), std::move(arguments)};
    }
};

// The English sentence of a problem, for callers without translations.
std::string describe(const EntryProblem& problem);

// A failed SSH file operation. `message` is the finished English sentence;
// `problem` is set when the entry itself was refused, so that a window can
// word it in its own language.
struct ConfigError {
    ConfigError() = default;
    explicit ConfigError(std::string sentence, bool unchangedSaid = false, std::optional<EntryProblem> entry = {})
        : message(std::move(sentence)), nothingChanged(unchangedSaid), problem(std::move(entry))
    {}

    std::string message;
    // Whether the failure left every file as it was and `message` says so.
    bool nothingChanged = false;
    std::optional<EntryProblem> problem;

    // An error whose sentence already ends by telling that nothing changed.
    static ConfigError unchanged(std::string message) { return ConfigError(std::move(message), true); }
};

// The error of an edit that was undone or never made.
inline ConfigError withNothingChanged(ConfigError error)
{
    if (!error.nothingChanged) {
        error.message += " Nothing was changed.";
        error.nothingChanged = true;
    }
    return error;
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
