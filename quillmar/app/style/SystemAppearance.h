#pragma once

#include <QDBusVariant>
#include <QObject>

#include <optional>

namespace quillmar {

// Whether the desktop prefers dark: the desktop portal's "color-scheme"
// (org.freedesktop.appearance) over D-Bus, followed as it changes; where no
// portal answers, the lightness of the palette the desktop gave the
// application at start. Asks the portal only once `watch()` is called, and
// never blocks. Main thread only.
class SystemAppearance : public QObject {
    Q_OBJECT

public:
    explicit SystemAppearance(QObject* parent = nullptr);

    bool isDark() const { return portalDark_.value_or(paletteDark_); }
    void watch();

    // The portal's value: 1 prefers dark, 2 prefers light, 0 has no
    // preference (none, so the palette decides).
    static std::optional<bool> darkFromPortalValue(unsigned value);

signals:
    void changed();

private slots:
    void portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void setPortalValue(std::optional<bool> dark);

    bool paletteDark_ = false;
    std::optional<bool> portalDark_;
    bool watching_ = false;
};

}  // namespace quillmar
