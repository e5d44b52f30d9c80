#pragma once

#include <QString>

namespace quillmar {

// The application theme, stored under "appearance" as its name.
enum class AppAppearance { dark, light, system, matrix };

QString appearanceName(AppAppearance appearance);
// Anything unknown is the default, dark.
AppAppearance appearanceFromName(const QString& name);

// What a session tab does when its child ends, stored under "session.exitPolicy".
enum class SessionExitPolicy { closeIfClean, alwaysKeep, alwaysClose };

QString exitPolicyName(SessionExitPolicy policy);
SessionExitPolicy exitPolicyFromName(const QString& name);

}  // namespace quillmar
