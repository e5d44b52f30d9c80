#pragma once

#include <QDBusVariant>
#include <QObject>

#include <optional>

namespace ravelgrid {

// Whether the desktop asks for less motion: GNOME's "enable-animations"
// turned off, or KDE's animation speed factor at 0. Read through the XDG
// settings portal and followed as it changes; where no portal answers, from
// GSettings and KDE's own settings file. Never blocks. Main thread only.
class ReduceMotion : public QObject {
    Q_OBJECT

public:
    // The application's one reader, made (and asking) on first use.
    static ReduceMotion& instance();

    bool reduced() const;

signals:
    void changed();

private slots:
    void portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    ReduceMotion();
    void readPortal();
    void readWithoutPortal();
    void take(const QString& group, const QString& key, const QVariant& value);

    std::optional<bool> gnomeAnimations_;
    std::optional<double> kdeAnimationFactor_;
    void* gsettings_ = nullptr;
    int portalAnswersDue_ = 0;
    bool portalFailed_ = false;
};

}  // namespace ravelgrid
