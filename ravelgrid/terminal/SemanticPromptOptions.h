#pragma once

#include <optional>

#include "ravelgrid/screen/SemanticPrompt.h"

namespace ravelgrid {

// The options of an OSC 133 prompt command (k=, cl=, click_events=, special_key=).
struct SemanticPromptOptions {
    SemanticPromptKind kind = SemanticPromptKind::initial;
    std::optional<SemanticPromptCursorClickMode> cursorClick = std::nullopt;
    // clickEventsAbsolute or clickEventsRelative; none = no click events.
    SemanticPromptClickMode clickEvents = SemanticPromptClickMode::none();
    bool specialKey = false;

    friend bool operator==(const SemanticPromptOptions&, const SemanticPromptOptions&) = default;
};

}  // namespace ravelgrid
