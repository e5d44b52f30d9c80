// Feeds arbitrary bytes to the SSH config reader as ~/.ssh/config of a
// scratch home, and to the text edits, which must never crash or loop.
#include "quillmar/sshconfig/SSHConfigIdentity.h"
#include "quillmar/sshconfig/SSHConfigMerge.h"
#include "quillmar/sshconfig/SSHConfigReader.h"
#include "quillmar/sshconfig/SSHConfigRemove.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void writeFile(const std::string& path, const std::string& data)
{
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
}

struct ScratchHome {
    ScratchHome()
    {
        char tmpl[] = "/tmp/qm-sshfuzz-XXXXXX";
        path = ::mkdtemp(tmpl);
        ::mkdir((path + "/.ssh").c_str(), 0700);
    }
    ~ScratchHome()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

const std::string& scratchHome()
{
    static const ScratchHome home;
    return home.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Input: the config, then optionally a NUL and quillmar_config.
    const std::string input(reinterpret_cast<const char*>(data), size);
    const auto nul = input.find('\0');
    const std::string text = input.substr(0, nul);
    const std::string own = nul == std::string::npos ? std::string() : input.substr(nul + 1);

    const quillmar::SSHPaths paths(scratchHome());
    quillmar::SSHConfigReader reader{paths};
    const std::string config = paths.configPath();
    writeFile(config, text);
    writeFile(paths.ownConfigPath(), own);

    auto list = reader.loadHostList();
    std::vector<std::string> hosts{"*"};
    std::vector<quillmar::IdentityFileRecord> records;
    reader.parseIdentityFiles(config, 0, hosts, records);
    std::string alias = list.aliases.empty() ? std::string("web") : list.aliases.front();
    std::vector<std::string> found;
    reader.findDefiningFiles(alias, config, 0, found);

    // The edits are planned only; nothing is applied.
    quillmar::SSHConfigWriter writer(paths);
    quillmar::SSHConfigRemove remover(writer);
    (void)quillmar::SSHConfigRemove::removeFromText(text, alias);
    (void)remover.cleanupConfig(text);
    (void)quillmar::SSHConfigIdentity(writer).editBlock(text, alias, "~/.ssh/k");
    quillmar::SSHConfigMerge merge(writer);
    if (auto plan = merge.plan()) {
        std::map<std::string, quillmar::SSHConfigMerge::Keep> choices;
        for (const auto& c : plan->conflicts)
            choices[c] = quillmar::SSHConfigMerge::Keep::quillmar;
        (void)merge.preview(choices);
    }
    (void)writer.includePresentAtTop();
    return 0;
}
