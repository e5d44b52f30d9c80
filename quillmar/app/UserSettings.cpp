#include "quillmar/app/UserSettings.h"

#include <QDir>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>

namespace quillmar {

UserSettings::UserSettings(const QString& filePath, QObject* parent)
    : QObject(parent), settings_(std::make_unique<QSettings>(filePath, QSettings::IniFormat))
{}

UserSettings::~UserSettings() = default;

QString UserSettings::standardFilePath()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/quillmar/quillmar.conf");
}

UserSettings& UserSettings::standard()
{
    // Destroyed at exit, which writes out what is still unsaved.
    static UserSettings shared(standardFilePath());
    return shared;
}

QString UserSettings::filePath() const
{
    return settings_->fileName();
}

QString UserSettings::text(const char* key, const QString& fallback) const
{
    const QVariant v = settings_->value(QLatin1String(key));
    return v.isValid() ? v.toString() : fallback;
}

bool UserSettings::flag(const char* key, bool fallback) const
{
    const QVariant v = settings_->value(QLatin1String(key));
    if (!v.isValid())
        return fallback;
    const QString s = v.toString().trimmed().toLower();
    if (s == QLatin1String("true") || s == QLatin1String("1"))
        return true;
    if (s == QLatin1String("false") || s == QLatin1String("0"))
        return false;
    return fallback;
}

bool UserSettings::write(const char* key, const QVariant& value)
{
    const QString k = QLatin1String(key);
    const QVariant old = settings_->value(k);
    if (old.isValid() && old.toString() == value.toString())
        return false;
    settings_->setValue(k, value);
    return true;
}

QString UserSettings::appearanceText() const
{
    return text(appearanceKey, QStringLiteral("dark"));
}
AppAppearance UserSettings::appearance() const
{
    return appearanceFromName(appearanceText());
}
void UserSettings::setAppearance(AppAppearance appearance)
{
    if (write(appearanceKey, appearanceName(appearance)))
        emit appearanceChanged();
}

QString UserSettings::schemeID() const
{
    return text(schemeKey, QStringLiteral("match-appearance"));
}
void UserSettings::setSchemeID(const QString& id)
{
    if (write(schemeKey, id))
        emit schemeIDChanged();
}

QString UserSettings::fontName() const
{
    return text(fontNameKey, QStringLiteral("JetBrainsMonoNFM-Regular"));
}
void UserSettings::setFontName(const QString& name)
{
    if (write(fontNameKey, name))
        emit fontNameChanged();
}

double UserSettings::fontSize() const
{
    bool ok = false;
    const double v = text(fontSizeKey, QString()).trimmed().toDouble(&ok);
    return ok && std::isfinite(v) ? v : defaultFontSize;
}
void UserSettings::setFontSize(double size)
{
    if (!std::isfinite(size))
        size = defaultFontSize;
    if (write(fontSizeKey, size))
        emit fontSizeChanged();
}
void UserSettings::stepFontSize(double delta)
{
    setFontSize(std::clamp(fontSize() + delta, minimumFontSize, maximumFontSize));
}

SessionExitPolicy UserSettings::exitPolicy() const
{
    return exitPolicyFromName(text(exitPolicyKey, QStringLiteral("closeIfClean")));
}
void UserSettings::setExitPolicy(SessionExitPolicy policy)
{
    if (write(exitPolicyKey, exitPolicyName(policy)))
        emit exitPolicyChanged();
}

bool UserSettings::localExpanded() const
{
    return flag(localExpandedKey, true);
}
void UserSettings::setLocalExpanded(bool on)
{
    if (write(localExpandedKey, on))
        emit localExpandedChanged();
}
bool UserSettings::hostsExpanded() const
{
    return flag(hostsExpandedKey, false);
}
void UserSettings::setHostsExpanded(bool on)
{
    if (write(hostsExpandedKey, on))
        emit hostsExpandedChanged();
}
bool UserSettings::keysExpanded() const
{
    return flag(keysExpandedKey, true);
}
void UserSettings::setKeysExpanded(bool on)
{
    if (write(keysExpandedKey, on))
        emit keysExpandedChanged();
}
bool UserSettings::snippetsExpanded() const
{
    return flag(snippetsExpandedKey, false);
}
void UserSettings::setSnippetsExpanded(bool on)
{
    if (write(snippetsExpandedKey, on))
        emit snippetsExpandedChanged();
}

bool UserSettings::fontNerdOnly() const
{
    return flag(fontNerdOnlyKey, false);
}
void UserSettings::setFontNerdOnly(bool on)
{
    if (write(fontNerdOnlyKey, on))
        emit fontNerdOnlyChanged();
}

void UserSettings::sync()
{
    settings_->sync();
}

}  // namespace quillmar
