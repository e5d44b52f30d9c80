// gio's headers name struct members "signals", which Qt defines as a macro.
#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

#include "ravelgrid/view/ReduceMotion.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QSettings>

namespace ravelgrid {
namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString gnomeGroup = QStringLiteral("org.gnome.desktop.interface");
const QString gnomeKey = QStringLiteral("enable-animations");
const QString kdeGroup = QStringLiteral("org.kde.kdeglobals.KDE");
const QString kdeKey = QStringLiteral("AnimationDurationFactor");

// The portal wraps its answer in one or two variants, by version.
QVariant unwrap(QVariant value)
{
    for (int depth = 0; depth < 4 && value.userType() == qMetaTypeId<QDBusVariant>(); ++depth)
        value = value.value<QDBusVariant>().variant();
    return value;
}

// GSettings signals come on the main thread, whose GLib context Qt runs.
void gsettingsChanged(GSettings* settings, gchar*, gpointer)
{
    const QVariant enabled(bool(g_settings_get_boolean(settings, "enable-animations")));
    QMetaObject::invokeMethod(&ReduceMotion::instance(), "portalSettingChanged", Qt::DirectConnection,
                              Q_ARG(QString, gnomeGroup), Q_ARG(QString, gnomeKey),
                              Q_ARG(QDBusVariant, QDBusVariant(enabled)));
}

}  // namespace

ReduceMotion& ReduceMotion::instance()
{
    static ReduceMotion* reader = new ReduceMotion;  // lives as long as the application
    return *reader;
}

ReduceMotion::ReduceMotion()
{
    qRegisterMetaType<QDBusVariant>();
    readPortal();
}

bool ReduceMotion::reduced() const
{
    return gnomeAnimations_ == false || (kdeAnimationFactor_ && *kdeAnimationFactor_ <= 0.0);
}

void ReduceMotion::readPortal()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        readWithoutPortal();
        return;
    }
    bus.connect(portalService, portalPath, portalSettings, QStringLiteral("SettingChanged"), this,
                SLOT(portalSettingChanged(QString, QString, QDBusVariant)));
    for (const auto& [group, key] : {std::pair(gnomeGroup, gnomeKey), std::pair(kdeGroup, kdeKey)}) {
        QDBusMessage read =
            QDBusMessage::createMethodCall(portalService, portalPath, portalSettings, QStringLiteral("Read"));
        read << group << key;
        ++portalAnswersDue_;
        auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(read, 2000), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this,
                [this, group = group, key = key](QDBusPendingCallWatcher* w) {
                    w->deleteLater();
                    const QDBusMessage reply = w->reply();
                    --portalAnswersDue_;
                    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
                        take(group, key, unwrap(reply.arguments().first()));
                    } else if (!reply.errorName().startsWith(QStringLiteral("org.freedesktop.portal.Error"))) {
                        // No portal at all (not merely a key it does not know).
                        portalFailed_ = true;
                    }
                    if (portalAnswersDue_ == 0 && portalFailed_)
                        readWithoutPortal();
                });
    }
}

void ReduceMotion::readWithoutPortal()
{
    if (gsettings_)
        return;
    // GSettings aborts on a schema it lacks, so it is looked up first.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema =
        source ? g_settings_schema_source_lookup(source, "org.gnome.desktop.interface", TRUE) : nullptr;
    if (schema) {
        if (g_settings_schema_has_key(schema, "enable-animations")) {
            GSettings* settings = g_settings_new("org.gnome.desktop.interface");
            gsettings_ = settings;  // kept, and watched, for the application's life
            take(gnomeGroup, gnomeKey, bool(g_settings_get_boolean(settings, "enable-animations")));
            g_signal_connect(settings, "changed::enable-animations", G_CALLBACK(gsettingsChanged), nullptr);
        }
        g_settings_schema_unref(schema);
    }
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    QSettings kde(config + QStringLiteral("/kdeglobals"), QSettings::IniFormat);
    const QVariant factor = kde.value(QStringLiteral("KDE/AnimationDurationFactor"));
    if (factor.isValid())
        take(kdeGroup, kdeKey, factor);
}

void ReduceMotion::portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value)
{
    take(group, key, unwrap(value.variant()));
}

void ReduceMotion::take(const QString& group, const QString& key, const QVariant& value)
{
    const bool before = reduced();
    if (group == gnomeGroup && key == gnomeKey && value.canConvert<bool>()) {
        gnomeAnimations_ = value.toBool();
    } else if (group == kdeGroup && key == kdeKey) {
        bool ok = false;
        const double factor = value.toDouble(&ok);
        if (ok)
            kdeAnimationFactor_ = factor;
    } else {
        return;
    }
    if (reduced() != before)
        emit changed();
}

}  // namespace ravelgrid
