#include "quillmar/sshconfig/ConfigError.h"

namespace quillmar {

EntryField EntryProblem::fieldOf(ProblemCode code)
{
    using P = ProblemCode;
    switch (code) {
    case P::aliasRequired:
    case P::aliasBadCharacters:
    case P::aliasUnsafe:
    case P::aliasInvisible:
    case P::aliasLeadingHyphen:
    case P::aliasLeadingEquals:
    case P::aliasDestinationSpecials:
    case P::aliasExists:
    case P::aliasCaseClash: return EntryField::alias;
    case P::hostNameRequired:
    case P::hostNameSpaces:
    case P::hostNameUnsafe: return EntryField::hostName;
    case P::userSpaces:
    case P::userUnsafe: return EntryField::user;
    case P::portRange: return EntryField::port;
    case P::keyFileUnsafe:
    case P::keyFileMissing: return EntryField::identityFile;
    case P::proxyJumpSpaces:
    case P::proxyJumpUnsafe:
    case P::proxyJumpShape:
    case P::proxyJumpPort: return EntryField::proxyJump;
    }
    return EntryField::alias;
}

std::string describe(const EntryProblem& problem)
{
    using P = ProblemCode;
    const std::string unsafe = " can't contain double quotes, backslashes or control characters.";
    auto arg = [&](std::size_t i) { return i < problem.arguments.size() ? problem.arguments[i] : std::string(); };
    switch (problem.code) {
    case P::aliasRequired: return "Alias is required.";
    case P::aliasBadCharacters: return "Alias can't contain spaces or * ? ! # or quotes.";
    case P::aliasUnsafe: return "Alias" + unsafe;
    case P::aliasInvisible:
        return "Alias can't contain invisible characters or characters that change the direction of text.";
    case P::aliasLeadingHyphen: return "Alias can't start with a hyphen.";
    case P::aliasLeadingEquals: return "Alias can't start with an equals sign.";
    case P::aliasDestinationSpecials: return "Alias can't contain commas, @ or any of $ & ; | < > ( ) { } `.";
    case P::aliasExists: return arg(0) + " already exists in your SSH config. Pick another alias.";
    case P::aliasCaseClash:
        return arg(0) + " differs from " + arg(1) + " in your SSH config only in letter case. Pick another alias.";
    case P::hostNameRequired: return "HostName is required.";
    case P::hostNameSpaces: return "HostName can't contain spaces.";
    case P::hostNameUnsafe: return "HostName" + unsafe;
    case P::userSpaces: return "User can't contain spaces.";
    case P::userUnsafe: return "User" + unsafe;
    case P::portRange: return "Port must be a number from 1 to 65535.";
    case P::keyFileUnsafe: return "Key file path" + unsafe;
    case P::keyFileMissing: return "Key file not found: " + arg(0);
    case P::proxyJumpSpaces: return "ProxyJump can't contain spaces (use commas between hops).";
    case P::proxyJumpUnsafe: return "ProxyJump" + unsafe;
    case P::proxyJumpShape:
        return "ProxyJump must be none or hosts like bastion, user@bastion:2222 or [::1]:22, separated by commas.";
    case P::proxyJumpPort: return "ProxyJump ports must be numbers from 1 to 65535.";
    }
    return {};
}

}  // namespace quillmar
