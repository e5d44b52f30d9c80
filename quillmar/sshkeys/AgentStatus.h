#pragma once

#include <string>

namespace quillmar {

// What ssh-agent said at its last answer.
struct AgentStatus {
    enum class Kind { loaded, unknown, empty, notRunning };
    Kind kind = Kind::unknown;
    int count = 0;  // distinct keys held; meaningful for loaded only

    static AgentStatus loadedKeys(int n) { return {Kind::loaded, n}; }
    static AgentStatus unknownYet() { return {Kind::unknown, 0}; }
    static AgentStatus noKeys() { return {Kind::empty, 0}; }
    static AgentStatus notReachable() { return {Kind::notRunning, 0}; }

    // The agent line of the Keys pane.
    std::string label() const;

    friend bool operator==(const AgentStatus& a, const AgentStatus& b)
    {
        return a.kind == b.kind && (a.kind != Kind::loaded || a.count == b.count);
    }
};

}  // namespace quillmar
