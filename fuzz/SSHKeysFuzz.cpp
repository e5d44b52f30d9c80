// Public key files and ssh-add output come from outside: parse anything.
#include "platform/Utf8.h"
#include "quillmar/sshkeys/AgentListing.h"
#include "quillmar/sshkeys/KeyScanner.h"
#include "quillmar/sshkeys/PublicKeyLine.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (platform::isValidUtf8(text)) {
        if (auto key = quillmar::PublicKeyLine::parse(text)) {
            const auto fp = quillmar::PublicKeyLine::fingerprint(key->blob);
            if (fp.size() != 50 || fp.find('=') != std::string::npos)
                std::abort();
            if (key->line.find('\n') != std::string::npos)
                std::abort();
        }
    }
    const auto cleaned = platform::lenientUtf8(text);
    if (!platform::isValidUtf8(cleaned))
        std::abort();

    const auto answer = quillmar::AgentAnswer::from(quillmar::AgentListing{0, cleaned});
    if (answer.status.count != static_cast<int>(answer.fingerprints.size()))
        std::abort();

    if (auto path = quillmar::KeyScanner::expandIdentityPath(text, "/home/u", "u")) {
        if (path->empty() || (*path)[0] != '/')
            std::abort();
    }
    return 0;
}
