#pragma once

#include <QString>

#include <optional>

namespace quillmar {

// What the build says about itself, each value as stored (none when absent).
struct VersionInfo {
    std::optional<QString> version;
    std::optional<QString> buildNumber;
    std::optional<QString> devBuild;  // "YES" for a development build
    std::optional<QString> devStamp;
    std::optional<QString> year;

    // The values of this build, from the generated header.
    static const VersionInfo& current();
};

// A missing value reads as "?".
QString appVersion(const VersionInfo& info = VersionInfo::current());
QString buildNumber(const VersionInfo& info = VersionInfo::current());
QString devStamp(const VersionInfo& info = VersionInfo::current());
// Only the exact text "YES" marks a development build.
bool isDevBuild(const VersionInfo& info = VersionInfo::current());
// "v1.2 (build 34)", or "v1.2 (DEV · stamp)" for a development build.
QString versionLine(const VersionInfo& info = VersionInfo::current());
// "DEV · stamp" for a development build, else the build number: the tab strip's pill.
QString buildText(const VersionInfo& info = VersionInfo::current());
// "Copyright © <year> The quillmar developers. All rights reserved."
QString copyrightLine(const VersionInfo& info = VersionInfo::current());

}  // namespace quillmar
