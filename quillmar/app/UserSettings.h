#pragma once

#include "quillmar/app/style/AppAppearance.h"

#include <QObject>
#include <QSettings>
#include <QString>

#include <memory>

namespace quillmar {

// The persisted settings of the application, in
// $XDG_CONFIG_HOME/quillmar/quillmar.conf (~/.config/quillmar/quillmar.conf).
// Every key has its own change signal, so a change made anywhere (a
// shortcut, the settings pane, another window) reaches every view that
// listens. Stored text that does not parse reads as the key's default.
// Main thread only.
class UserSettings : public QObject {
    Q_OBJECT

public:
    static constexpr const char* appearanceKey = "appearance";
    static constexpr const char* schemeKey = "terminal.scheme";
    static constexpr const char* fontNameKey = "terminal.fontName";
    static constexpr const char* fontSizeKey = "terminal.fontSize";
    static constexpr const char* exitPolicyKey = "session.exitPolicy";
    static constexpr const char* fontNerdOnlyKey = "terminal.fontNerdOnly";
    static constexpr const char* localExpandedKey = "sidebar.localExpanded";
    static constexpr const char* hostsExpandedKey = "sidebar.hostsExpanded";
    static constexpr const char* keysExpandedKey = "sidebar.keysExpanded";
    static constexpr const char* snippetsExpandedKey = "sidebar.snippetsExpanded";

    static constexpr double defaultFontSize = 13.0;
    static constexpr double minimumFontSize = 9.0;
    static constexpr double maximumFontSize = 28.0;

    // Settings kept in the given file (tests use a temporary one).
    explicit UserSettings(const QString& filePath, QObject* parent = nullptr);
    ~UserSettings() override;

    // The process's own settings, shared by every window.
    static UserSettings& standard();
    static QString standardFilePath();

    QString filePath() const;

    // The stored text of "appearance", unchecked.
    QString appearanceText() const;
    AppAppearance appearance() const;
    void setAppearance(AppAppearance appearance);
    QString schemeID() const;
    void setSchemeID(const QString& id);
    QString fontName() const;
    void setFontName(const QString& name);
    // The stored size, or the default when the text is not a finite number.
    double fontSize() const;
    void setFontSize(double size);
    // Reads the stored size, steps it, clamps it to 9...28 and writes it back.
    void stepFontSize(double delta);
    SessionExitPolicy exitPolicy() const;
    void setExitPolicy(SessionExitPolicy policy);
    bool localExpanded() const;
    void setLocalExpanded(bool on);
    bool hostsExpanded() const;
    void setHostsExpanded(bool on);
    bool keysExpanded() const;
    void setKeysExpanded(bool on);
    bool snippetsExpanded() const;
    void setSnippetsExpanded(bool on);

    // Whether the font picker lists only faces with the Powerline and icon glyphs.
    bool fontNerdOnly() const;
    void setFontNerdOnly(bool on);

    void sync();

signals:
    void appearanceChanged();
    void schemeIDChanged();
    void fontNameChanged();
    void fontSizeChanged();
    void exitPolicyChanged();
    void localExpandedChanged();
    void hostsExpandedChanged();
    void keysExpandedChanged();
    void snippetsExpandedChanged();
    void fontNerdOnlyChanged();

private:
    QString text(const char* key, const QString& fallback) const;
    bool flag(const char* key, bool fallback) const;
    // Writes and reports whether the stored value changed.
    bool write(const char* key, const QVariant& value);

    std::unique_ptr<QSettings> settings_;
};

}  // namespace quillmar
