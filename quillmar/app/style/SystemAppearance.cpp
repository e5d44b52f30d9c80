#include "quillmar/app/style/SystemAppearance.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QPalette>

namespace quillmar {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

// The portal wraps its answer in one or two variants, by version.
std::optional<unsigned> unwrapUint(QVariant value)
{
    for (int depth = 0;
         depth < 4 && value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>(); ++depth)
        value = value.value<QDBusVariant>().variant();
    bool ok = false;
    const unsigned v = value.toUInt(&ok);
    return ok ? std::optional<unsigned>(v) : std::nullopt;
}

}  // namespace

SystemAppearance::SystemAppearance(QObject* parent) : QObject(parent)
{
    // Read once, before the first window's theme replaces the application
    // palette: a later window would read that theme instead of the desktop.
    static const bool desktopDark = qGuiApp && QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
    paletteDark_ = desktopDark;
}

std::optional<bool> SystemAppearance::darkFromPortalValue(unsigned value)
{
    switch (value) {
    case 1: return true;
    case 2: return false;
    default: return std::nullopt;
    }
}

void SystemAppearance::watch()
{
    if (watching_)
        return;
    watching_ = true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.connect(portalService, portalPath, portalSettings, QStringLiteral("SettingChanged"), this,
                SLOT(portalSettingChanged(QString, QString, QDBusVariant)));
    QDBusMessage read =
        QDBusMessage::createMethodCall(portalService, portalPath, portalSettings, QStringLiteral("Read"));
    read << appearanceGroup << colorSchemeKey;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read, 2000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusMessage reply = w->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return;
        if (auto v = unwrapUint(reply.arguments().first()))
            setPortalValue(darkFromPortalValue(*v));
    });
}

void SystemAppearance::portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value)
{
    if (group != appearanceGroup || key != colorSchemeKey)
        return;
    if (auto v = unwrapUint(value.variant()))
        setPortalValue(darkFromPortalValue(*v));
}

void SystemAppearance::setPortalValue(std::optional<bool> dark)
{
    const bool before = isDark();
    portalDark_ = dark;
    if (isDark() != before)
        emit changed();
}

}  // namespace quillmar
