// A stand-in for the desktop's settings portal on a test's private bus. It
// answers Read for the values given on its command line ("group key value",
// a value of true, false or a number) and, for each such line read from its
// standard input, takes the new value and announces it with SettingChanged.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QMap>
#include <QSocketNotifier>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

class Portal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    void set(const QString& line, bool announce)
    {
        const QStringList parts = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (parts.size() != 3)
            return;
        bool isNumber = false;
        const double number = parts[2].toDouble(&isNumber);
        const QVariant value = parts[2] == QLatin1String("true")    ? QVariant(true)
                               : parts[2] == QLatin1String("false") ? QVariant(false)
                               : isNumber                           ? QVariant(number)
                                                                    : QVariant(parts[2]);
        values_[parts[0] + QLatin1Char('\n') + parts[1]] = value;
        if (announce)
            emit SettingChanged(parts[0], parts[1], QDBusVariant(value));
    }

public slots:
    QDBusVariant Read(const QString& group, const QString& key, const QDBusMessage& message)
    {
        const auto it = values_.constFind(group + QLatin1Char('\n') + key);
        if (it == values_.constEnd()) {
            message.setDelayedReply(true);
            QDBusConnection::sessionBus().send(
                message.createErrorReply(QStringLiteral("org.freedesktop.portal.Error.NotFound"), key));
            return QDBusVariant(QVariant(0));  // not sent: the error is the reply
        }
        // As the portal does: a variant in a variant.
        return QDBusVariant(QVariant::fromValue(QDBusVariant(*it)));
    }

signals:
    void SettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    QMap<QString, QVariant> values_;
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qRegisterMetaType<QDBusVariant>();
    Portal portal;
    for (int i = 1; i + 2 < argc; i += 3)
        portal.set(QStringLiteral("%1 %2 %3").arg(argv[i], argv[i + 1], argv[i + 2]), false);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) ||
        !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
        std::fprintf(stderr, "fake portal: could not take its name\n");
        return 1;
    }
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QString pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            app.quit();
            return;
        }
        pending += QString::fromUtf8(buf, int(n));
        qsizetype end;
        while ((end = pending.indexOf(QLatin1Char('\n'))) >= 0) {
            portal.set(pending.left(end), true);
            pending.remove(0, end + 1);
        }
    });
    return app.exec();
}

#include "FakeSettingsPortal.moc"
