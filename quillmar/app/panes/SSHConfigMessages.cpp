#include "quillmar/app/panes/SSHConfigMessages.h"

#include "ravelgrid/view/PlainText.h"

namespace quillmar {

QString SSHConfigMessages::problem(const EntryProblem& p)
{
    using P = ProblemCode;
    // Names and paths as the sidebar shows names: nothing hidden or turned.
    auto arg = [&](std::size_t i) {
        return i < p.arguments.size() ? ravelgrid::revealHiddenCharacters(QString::fromStdString(p.arguments[i]))
                                      : QString();
    };
    switch (p.code) {
    case P::aliasRequired: return tr("Alias is required.");
    case P::aliasBadCharacters: return tr("Alias can't contain spaces or * ? ! # or quotes.");
    case P::aliasUnsafe: return tr("Alias can't contain double quotes, backslashes or control characters.");
    case P::aliasInvisible:
        return tr("Alias can't contain invisible characters or characters that change the direction of text.");
    case P::aliasLeadingHyphen: return tr("Alias can't start with a hyphen.");
    case P::aliasLeadingEquals: return tr("Alias can't start with an equals sign.");
    case P::aliasDestinationSpecials: return tr("Alias can't contain commas, @ or any of $ & ; | < > ( ) { } `.");
    case P::aliasExists: return tr("%1 already exists in your SSH config. Pick another alias.").arg(arg(0));
    case P::aliasCaseClash:
        return tr("%1 differs from %2 in your SSH config only in letter case. Pick another alias.").arg(arg(0), arg(1));
    case P::hostNameRequired: return tr("HostName is required.");
    case P::hostNameSpaces: return tr("HostName can't contain spaces.");
    case P::hostNameUnsafe: return tr("HostName can't contain double quotes, backslashes or control characters.");
    case P::userSpaces: return tr("User can't contain spaces.");
    case P::userUnsafe: return tr("User can't contain double quotes, backslashes or control characters.");
    case P::portRange: return tr("Port must be a number from 1 to 65535.");
    case P::keyFileUnsafe: return tr("Key file path can't contain double quotes, backslashes or control characters.");
    case P::keyFileMissing: return tr("Key file not found: %1").arg(arg(0));
    case P::proxyJumpSpaces: return tr("ProxyJump can't contain spaces (use commas between hops).");
    case P::proxyJumpUnsafe: return tr("ProxyJump can't contain double quotes, backslashes or control characters.");
    case P::proxyJumpShape:
        return tr("ProxyJump must be none or hosts like bastion, user@bastion:2222 or [::1]:22, separated by "
                  "commas.");
    case P::proxyJumpPort: return tr("ProxyJump ports must be numbers from 1 to 65535.");
    }
    return ravelgrid::revealHiddenCharacters(QString::fromStdString(describe(p)));
}

QString SSHConfigMessages::error(const ConfigError& e)
{
    // Failures of files and of ssh come worded by the library; only problems
    // with the entry are worded here.
    if (!e.problem)
        return ravelgrid::revealHiddenCharacters(QString::fromStdString(e.message));
    QString text = problem(*e.problem);
    if (e.nothingChanged)
        text += QLatin1Char(' ') + tr("Nothing was changed.");
    return text;
}

}  // namespace quillmar
