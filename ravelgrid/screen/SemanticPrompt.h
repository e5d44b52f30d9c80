#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ravelgrid/screen/Position.h"

// Value types of shell integration (OSC 133): what a cell holds, where
// prompts begin, and how clicks in a prompt may move the shell's cursor.
namespace ravelgrid {

enum class SemanticPromptKind : uint8_t { initial, right, continuation, secondary };

std::string_view tagName(SemanticPromptKind kind);      // "i", "r", "c", "s"
std::string_view description(SemanticPromptKind kind);  // "initial", ...

class SemanticContent {
public:
    enum class Case : uint8_t { prompt, none, input, output };

    constexpr SemanticContent() = default;
    static constexpr SemanticContent prompt(SemanticPromptKind kind) { return {Case::prompt, kind}; }
    static constexpr SemanticContent none() { return {Case::none, SemanticPromptKind::initial}; }
    static constexpr SemanticContent input() { return {Case::input, SemanticPromptKind::initial}; }
    static constexpr SemanticContent output() { return {Case::output, SemanticPromptKind::initial}; }

    constexpr Case kind() const { return case_; }
    constexpr bool isPrompt() const { return case_ == Case::prompt; }
    // Only meaningful for a prompt.
    constexpr SemanticPromptKind promptKind() const { return promptKind_; }

    // The per-cell code: 0 none, 1..4 the prompt kinds, 5 input, 6 output;
    // any other code decodes to none.
    constexpr uint8_t code() const
    {
        switch (case_) {
        case Case::prompt: return static_cast<uint8_t>(1 + static_cast<uint8_t>(promptKind_));
        case Case::input: return 5;
        case Case::output: return 6;
        case Case::none: break;
        }
        return 0;
    }
    static constexpr SemanticContent fromCode(uint8_t code)
    {
        if (code >= 1 && code <= 4)
            return prompt(static_cast<SemanticPromptKind>(code - 1));
        if (code == 5)
            return input();
        if (code == 6)
            return output();
        return none();
    }

    std::string description() const;

    friend constexpr bool operator==(const SemanticContent& a, const SemanticContent& b)
    {
        return a.case_ == b.case_ && (a.case_ != Case::prompt || a.promptKind_ == b.promptKind_);
    }

private:
    constexpr SemanticContent(Case c, SemanticPromptKind k) : case_(c), promptKind_(k) {}
    Case case_ = Case::none;
    SemanticPromptKind promptKind_ = SemanticPromptKind::initial;
};

struct SemanticPromptAnchor {
    Position position;  // buffer coordinates
    SemanticPromptKind kind = SemanticPromptKind::initial;

    friend bool operator==(const SemanticPromptAnchor&, const SemanticPromptAnchor&) = default;
};

struct SemanticMark {
    SemanticPromptKind kind = SemanticPromptKind::initial;
    int column = 0;
    uint64_t group = 0;

    friend bool operator==(const SemanticMark&, const SemanticMark&) = default;
};

enum class SemanticInputState : uint8_t { idle, prompt, armed, submitted };

enum class SemanticPromptCursorClickMode : uint8_t { line, multiple, conservativeVertical, smartVertical };

class SemanticPromptClickMode {
public:
    enum class Case : uint8_t { cursorKeys, none, clickEventsAbsolute, clickEventsRelative };

    constexpr SemanticPromptClickMode() = default;
    static constexpr SemanticPromptClickMode cursorKeys(SemanticPromptCursorClickMode mode)
    {
        return {Case::cursorKeys, mode};
    }
    static constexpr SemanticPromptClickMode none() { return {Case::none, {}}; }
    static constexpr SemanticPromptClickMode clickEventsAbsolute() { return {Case::clickEventsAbsolute, {}}; }
    static constexpr SemanticPromptClickMode clickEventsRelative() { return {Case::clickEventsRelative, {}}; }

    constexpr Case kind() const { return case_; }
    // Only meaningful for cursorKeys.
    constexpr SemanticPromptCursorClickMode cursorMode() const { return mode_; }

    friend constexpr bool operator==(const SemanticPromptClickMode& a, const SemanticPromptClickMode& b)
    {
        return a.case_ == b.case_ && (a.case_ != Case::cursorKeys || a.mode_ == b.mode_);
    }

private:
    constexpr SemanticPromptClickMode(Case c, SemanticPromptCursorClickMode m) : case_(c), mode_(m) {}
    Case case_ = Case::none;
    SemanticPromptCursorClickMode mode_ = SemanticPromptCursorClickMode::line;
};

// Option set of the modifiers a prompt click may require.
struct SemanticPromptClickModifiers {
    uint8_t rawValue = 0;

    static constexpr uint8_t shift = 1;
    static constexpr uint8_t control = 2;
    static constexpr uint8_t option = 4;
    static constexpr uint8_t command = 8;

    constexpr bool contains(uint8_t flags) const { return (rawValue & flags) == flags; }
    constexpr void insert(uint8_t flags) { rawValue = static_cast<uint8_t>(rawValue | flags); }
    constexpr void remove(uint8_t flags) { rawValue = static_cast<uint8_t>(rawValue & ~flags); }
    constexpr bool isEmpty() const { return rawValue == 0; }
    friend constexpr SemanticPromptClickModifiers operator|(SemanticPromptClickModifiers a,
                                                            SemanticPromptClickModifiers b)
    {
        return {static_cast<uint8_t>(a.rawValue | b.rawValue)};
    }
    friend constexpr SemanticPromptClickModifiers operator&(SemanticPromptClickModifiers a,
                                                            SemanticPromptClickModifiers b)
    {
        return {static_cast<uint8_t>(a.rawValue & b.rawValue)};
    }
    friend bool operator==(const SemanticPromptClickModifiers&, const SemanticPromptClickModifiers&) = default;
};

class SemanticPromptClickBehavior {
public:
    enum class Case : uint8_t { requireModifier, disabled, enabled };

    constexpr SemanticPromptClickBehavior() = default;
    static constexpr SemanticPromptClickBehavior requireModifier(SemanticPromptClickModifiers m)
    {
        return {Case::requireModifier, m};
    }
    static constexpr SemanticPromptClickBehavior disabled() { return {Case::disabled, {}}; }
    static constexpr SemanticPromptClickBehavior enabled() { return {Case::enabled, {}}; }

    constexpr Case kind() const { return case_; }
    // Only meaningful for requireModifier.
    constexpr SemanticPromptClickModifiers modifiers() const { return modifiers_; }

    friend constexpr bool operator==(const SemanticPromptClickBehavior& a, const SemanticPromptClickBehavior& b)
    {
        return a.case_ == b.case_ && (a.case_ != Case::requireModifier || a.modifiers_ == b.modifiers_);
    }

private:
    constexpr SemanticPromptClickBehavior(Case c, SemanticPromptClickModifiers m) : case_(c), modifiers_(m) {}
    Case case_ = Case::disabled;
    SemanticPromptClickModifiers modifiers_{};
};

struct SemanticPromptPointerSnapshot {
    bool selectionWasActive = false;
    bool didDrag = false;
    int clickCount = 0;
    bool pressWasSemanticEligible = false;

    friend bool operator==(const SemanticPromptPointerSnapshot&, const SemanticPromptPointerSnapshot&) = default;
};

}  // namespace ravelgrid
