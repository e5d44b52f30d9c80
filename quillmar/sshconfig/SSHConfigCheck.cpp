#include "quillmar/sshconfig/SSHConfigCheck.h"

#include "platform/FileRead.h"
#include "platform/Log.h"
#include "platform/SafeFile.h"
#include "platform/Spawn.h"
#include "quillmar/sshconfig/ConfigText.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace quillmar {
namespace {

constexpr const char* kProbeAlias = "quillmar-check";
constexpr std::size_t kMaxReasonBytes = 300;

bool usableAsDestination(std::string_view alias)
{
    return !alias.empty() && alias.front() != '-' &&
           alias.find_first_of(kDestinationSpecials) == std::string_view::npos &&
           alias.find_first_of("'\"\\") == std::string_view::npos && !configtext::containsWhitespace(alias) &&
           !configtext::containsControl(alias);
}

// A private folder for the planned text and ssh's log, gone afterwards.
class ScratchFolder {
public:
    ScratchFolder()
    {
        std::error_code ec;
        const auto tmp = std::filesystem::temp_directory_path(ec);
        // A TMPDIR that can't be used must not stop every edit.
        for (std::string tmpl : {ec ? std::string() : (tmp / "quillmar-check-XXXXXX").string(),
                                 std::string("/tmp/quillmar-check-XXXXXX")}) {
            if (!tmpl.empty() && ::mkdtemp(tmpl.data())) {
                path_ = tmpl;
                return;
            }
        }
    }
    ~ScratchFolder()
    {
        if (path_.empty())
            return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (std::size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

// ssh's first complaint, with the scratch file's name replaced by the real one.
std::string firstComplaint(const std::string& logPath, const std::string& scratchFile, const std::string& shown,
                           const std::string& home)
{
    auto log = platform::readRegularFileHead(logPath, 4096);
    if (!log.ok())
        return {};
    std::string line;
    for (std::string_view l : configtext::splitAtLineBreaks(log.data)) {
        if (!configtext::trimSpacesTabs(l).empty()) {
            line = std::string(configtext::trimSpacesTabs(l));
            break;
        }
    }
    replaceAll(line, scratchFile, shown);
    replaceAll(line, home + "/", "~/");
    if (line.size() > kMaxReasonBytes)
        line = line.substr(0, kMaxReasonBytes) + "…";
    std::string clean;
    for (char c : configtext::lenientUtf8(line))
        clean.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c);
    return clean;
}

}  // namespace

SSHConfigCheck::SSHConfigCheck(std::string sshExecutable, std::string home)
    : ssh_(std::move(sshExecutable)), home_(std::move(home))
{}

Status SSHConfigCheck::check(std::string_view text, const std::string& shownPath, std::string_view alias) const
{
    return run(text, std::nullopt, shownPath, alias);
}

Status SSHConfigCheck::checkInclude(std::string_view included, const std::string& shownPath,
                                    std::string_view alias) const
{
    return run({}, included, shownPath, alias);
}

Status SSHConfigCheck::run(std::string_view text, std::optional<std::string_view> included,
                           const std::string& shownPath, std::string_view alias) const
{
    const std::string refused = "ssh would refuse " + shownPath + " with this change";
    const std::string cannot = "Couldn't check " + shownPath + " with ssh. Nothing was changed.";
    ScratchFolder scratch;
    if (scratch.path().empty())
        return ConfigError::unchanged(cannot);
    const auto slash = shownPath.rfind('/');
    const std::string file =
        scratch.path() + "/" + (slash == std::string::npos ? shownPath : shownPath.substr(slash + 1));
    const std::string target = scratch.path() + "/quillmar_config";
    const std::string log = scratch.path() + "/ssh.log";
    std::string checked(text);
    if (included) {
        // The Include line as written names the own file relative to ~/.ssh,
        // which ssh finds through the password database; the scratch copy
        // stands in for it, so nothing but our own text is read.
        const bool quote = configtext::containsWhitespace(target);
        checked = std::string("Include ") + (quote ? "\"" + target + "\"" : target) + "\n";
        if (platform::createFileExclusively(target, *included, 0600))
            return ConfigError::unchanged(cannot);
    }
    if (platform::createFileExclusively(file, checked, 0600))
        return ConfigError::unchanged(cannot);

    platform::SpawnRequest request;
    request.executable = ssh_;
    request.arguments = {
        "-G", "-F", file, "-E", log, "--", usableAsDestination(alias) ? std::string(alias) : std::string(kProbeAlias)};
    request.environmentChanges = {{"HOME", home_}};
    request.timeLimit = kTimeLimit;
    request.outputLimit = 256 * 1024;
    const auto result = platform::spawn(request);
    using Ending = platform::SpawnResult::Ending;
    switch (result.ending) {
    case Ending::failedToStart: {
        static std::once_flag logged;
        std::call_once(logged, [&] {
            platform::logWarning("sshconfig",
                                 ssh_ + " can't be run, so SSH files are written without asking it first.");
        });
        return Done{};
    }
    case Ending::timedOut:
        return ConfigError::unchanged("ssh took too long to check " + shownPath +
                                      " with this change. Nothing was changed.");
    case Ending::signalled: return ConfigError::unchanged(refused + ". Nothing was changed.");
    case Ending::exited: break;
    }
    if (result.code == 0)
        return Done{};
    std::string why = firstComplaint(log, file, shownPath, home_);
    replaceAll(why, target, "~/.ssh/quillmar_config");
    return ConfigError::unchanged(refused + (why.empty() ? std::string() : ": " + why) + ". Nothing was changed.");
}

}  // namespace quillmar
