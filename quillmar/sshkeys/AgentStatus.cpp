#include "quillmar/sshkeys/AgentStatus.h"

namespace quillmar {

std::string AgentStatus::label() const
{
    switch (kind) {
    case Kind::unknown: return "ssh-agent: checking\u2026";
    case Kind::empty: return "ssh-agent: no keys loaded";
    case Kind::notRunning: return "ssh-agent: not reachable";
    case Kind::loaded: break;
    }
    return "ssh-agent: " + std::to_string(count) + (count == 1 ? " key" : " keys") + " loaded";
}

}  // namespace quillmar
