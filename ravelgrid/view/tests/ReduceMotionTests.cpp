// Blinking text and the desktop's wish for less motion, read from a fake
// settings portal on a private bus (see CMakeLists.txt).
#include "ravelgrid/view/ReduceMotion.h"
#include "support/ViewTestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QtTest>

using namespace ravelgrid;

namespace {
constexpr uint64_t ms = 1'000'000;
}

class ReduceMotionTests : public QObject {
    Q_OBJECT

    QProcess portal_;

private slots:
    void initTestCase()
    {
        const QString fake = qEnvironmentVariable("QM_FAKE_PORTAL");
        if (fake.isEmpty())
            QSKIP("needs the fake portal and the private bus of its CTest entry");
        portal_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        portal_.start(fake, {"org.gnome.desktop.interface", "enable-animations", "false"});
        QVERIFY(portal_.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                     QStringLiteral("org.freedesktop.portal.Desktop")),
                                 10000);
    }

    void cleanupTestCase()
    {
        portal_.closeWriteChannel();
        portal_.waitForFinished(5000);
    }

    void blinkingFollowsTheDesktopsMotionSetting()
    {
        ViewOnFakeClock<> f;
        QVERIFY(f.showGrid(20, 5));
        QTRY_VERIFY_WITH_TIMEOUT(ReduceMotion::instance().reduced(), 5000);
        f.view->feed("\x1b[2;1H\x1b[5mX\x1b[0m");
        f.clock.advance(17 * ms);
        QCOMPARE(f.view->blinkingLines(), std::vector<int>{1});
        QVERIFY(!f.view->textBlinkTimerActive());
        QVERIFY(f.view->textBlinkVisible());

        // Turned on while running: the timer starts.
        portal_.write("org.gnome.desktop.interface enable-animations true\n");
        QTRY_VERIFY_WITH_TIMEOUT(f.view->textBlinkTimerActive(), 5000);
        QVERIFY(!ReduceMotion::instance().reduced());

        // KDE's animation speed at 0 stops it again, blinking text shown.
        portal_.write("org.kde.kdeglobals.KDE AnimationDurationFactor 0\n");
        QTRY_VERIFY_WITH_TIMEOUT(!f.view->textBlinkTimerActive(), 5000);
        QVERIFY(f.view->textBlinkVisible());
        portal_.write("org.kde.kdeglobals.KDE AnimationDurationFactor 1.0\n");
        QTRY_VERIFY_WITH_TIMEOUT(f.view->textBlinkTimerActive(), 5000);
    }
};

QTEST_MAIN(ReduceMotionTests)
#include "ReduceMotionTests.moc"
