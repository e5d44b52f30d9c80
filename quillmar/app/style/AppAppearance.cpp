#include "quillmar/app/style/AppAppearance.h"

namespace quillmar {

QString appearanceName(AppAppearance appearance)
{
    switch (appearance) {
    case AppAppearance::dark: return QStringLiteral("dark");
    case AppAppearance::light: return QStringLiteral("light");
    case AppAppearance::system: return QStringLiteral("system");
    case AppAppearance::matrix: return QStringLiteral("matrix");
    }
    return QStringLiteral("dark");
}

AppAppearance appearanceFromName(const QString& name)
{
    for (AppAppearance a : {AppAppearance::dark, AppAppearance::light, AppAppearance::system, AppAppearance::matrix}) {
        if (appearanceName(a) == name)
            return a;
    }
    return AppAppearance::dark;
}

QString exitPolicyName(SessionExitPolicy policy)
{
    switch (policy) {
    case SessionExitPolicy::closeIfClean: return QStringLiteral("closeIfClean");
    case SessionExitPolicy::alwaysKeep: return QStringLiteral("alwaysKeep");
    case SessionExitPolicy::alwaysClose: return QStringLiteral("alwaysClose");
    }
    return QStringLiteral("closeIfClean");
}

SessionExitPolicy exitPolicyFromName(const QString& name)
{
    for (SessionExitPolicy p :
         {SessionExitPolicy::closeIfClean, SessionExitPolicy::alwaysKeep, SessionExitPolicy::alwaysClose}) {
        if (exitPolicyName(p) == name)
            return p;
    }
    return SessionExitPolicy::closeIfClean;
}

}  // namespace quillmar
