#include "quillmar/app/Version.h"

#include "quillmar/app/BuildInfo.h"

#include <QCoreApplication>
#include <QDate>

namespace quillmar {
namespace {

std::optional<QString> given(const char* text)
{
    const QString value = QString::fromUtf8(text);
    if (value.isEmpty())
        return std::nullopt;
    return value;
}

QString orQuestionMark(const std::optional<QString>& value)
{
    return value.value_or(QStringLiteral("?"));
}

}  // namespace

const VersionInfo& VersionInfo::current()
{
    static const VersionInfo info{given(QM_BUILD_VERSION), given(QM_BUILD_NUMBER), given(QM_BUILD_DEV),
                                  given(QM_BUILD_STAMP), given(QM_BUILD_YEAR)};
    return info;
}

QString appVersion(const VersionInfo& info)
{
    return orQuestionMark(info.version);
}
QString buildNumber(const VersionInfo& info)
{
    return orQuestionMark(info.buildNumber);
}
QString devStamp(const VersionInfo& info)
{
    return orQuestionMark(info.devStamp);
}
bool isDevBuild(const VersionInfo& info)
{
    return info.devBuild == QStringLiteral("YES");
}

QString versionLine(const VersionInfo& info)
{
    if (isDevBuild(info))
        return QCoreApplication::translate("quillmar::Version", "v%1 (DEV \u00B7 %2)")
            .arg(appVersion(info), devStamp(info));
    return QCoreApplication::translate("quillmar::Version", "v%1 (build %2)").arg(appVersion(info), buildNumber(info));
}

QString buildText(const VersionInfo& info)
{
    return isDevBuild(info) ? QCoreApplication::translate("quillmar::Version", "DEV \u00B7 %1").arg(devStamp(info))
                            : buildNumber(info);
}

QString copyrightLine(const VersionInfo& info)
{
    // The build's year; a build that did not say takes the current one.
    const QString year = info.year.value_or(QString::number(QDate::currentDate().year()));
    return QCoreApplication::translate("quillmar::Version",
                                       "Copyright \u00A9 %1 The quillmar developers. All rights reserved.")
        .arg(year);
}

}  // namespace quillmar
