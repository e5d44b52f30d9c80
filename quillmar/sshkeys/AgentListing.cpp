#include "quillmar/sshkeys/AgentListing.h"

#include "platform/Spawn.h"
#include "platform/Utf8.h"

#include <string_view>

namespace quillmar {
namespace {

// A few thousand keys' worth of lines; an agent never holds more.
constexpr std::size_t kMaxListingBytes = 1u << 20;

}  // namespace

AgentListing AgentListing::runSSHAdd(const KeyStoreSettings& settings)
{
    platform::SpawnRequest request;
    request.executable = settings.sshAddPath;
    request.arguments = {"-l", "-E", "sha256"};
    request.timeLimit = settings.agentTimeLimit;
    request.outputLimit = kMaxListingBytes;
    if (settings.authSocket)
        request.environmentChanges.emplace_back("SSH_AUTH_SOCK", *settings.authSocket);

    const platform::SpawnResult result = platform::spawn(request);
    AgentListing listing;
    if (result.ending != platform::SpawnResult::Ending::exited)
        return listing;
    listing.status = result.code;
    std::string_view text = result.output;
    // A cut-off last line would give a bogus fingerprint.
    if (result.outputTruncated)
        text = text.substr(0, text.rfind('\n') + 1);
    listing.output = platform::lenientUtf8(text);
    return listing;
}

AgentAnswer AgentAnswer::from(const AgentListing& listing)
{
    AgentAnswer answer;
    if (!listing.output) {
        answer.status = AgentStatus::notReachable();
        return answer;
    }
    if (listing.status == 1) {
        answer.status = AgentStatus::noKeys();
        return answer;
    }
    if (listing.status != 0) {
        answer.status = AgentStatus::notReachable();
        return answer;
    }
    std::string_view rest = *listing.output;
    while (!rest.empty()) {
        const auto eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view{} : rest.substr(eol + 1);
        int field = 0;
        while (!line.empty()) {
            const auto start = line.find_first_not_of(' ');
            if (start == std::string_view::npos)
                break;
            line.remove_prefix(start);
            const auto end = line.find(' ');
            if (++field == 2) {
                answer.fingerprints.emplace(line.substr(0, end));
                break;
            }
            line = end == std::string_view::npos ? std::string_view{} : line.substr(end);
        }
    }
    answer.status = AgentStatus::loadedKeys(static_cast<int>(answer.fingerprints.size()));
    return answer;
}

}  // namespace quillmar
