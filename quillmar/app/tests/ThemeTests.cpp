// Each window draws the theme of its own settings, and a change of
// appearance reaches every part of it at once, with nothing rebuilt.
#include "quillmar/app/UserSettings.h"
#include "quillmar/app/panes/SnippetsView.h"
#include "quillmar/app/shell/MainWindow.h"
#include "quillmar/app/shell/SessionEndedCard.h"
#include "quillmar/app/shell/StallHint.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/Pill.h"
#include "quillmar/app/style/Theme.h"

#include "quillmar/app/tests/AppTestSupport.h"

#include "platform/FakeScheduler.h"
#include "ravelgrid/view/QtDeliveryQueue.h"

#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace quillmar;

namespace {

using R = Metro::Role;
using V = Metro::Variant;

QColor textOf(const QWidget* w)
{
    return w->palette().color(QPalette::WindowText);
}

// Whether the widget, drawn alone, shows pixels of this colour (the cores of
// its glyphs).
bool drawsIn(QWidget* w, const QColor& colour)
{
    const QImage image = w->grab().toImage();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (std::abs(c.red() - colour.red()) <= 2 && std::abs(c.green() - colour.green()) <= 2 &&
                std::abs(c.blue() - colour.blue()) <= 2)
                return true;
        }
    }
    return false;
}

// The themed parts of one window: a session-ended card and a stall banner
// over its detail area, and its Snippets pane.
struct Parts {
    std::shared_ptr<TerminalSession> session;
    SessionEndedCard* card;
    StallHint* hint;
    SnippetsView* snippets;

    Parts(MainWindow& window, platform::FakeScheduler& clock)
        : session(std::make_shared<TerminalSession>(SessionTarget::local(), 1, 0)),
          card(new SessionEndedCard(session, window.detailStack())),
          hint(new StallHint(session, clock, window.detailStack()))
    {
        window.workspace().openTool(ToolTab::snippets);
        snippets = qobject_cast<SnippetsView*>(window.toolPane(ToolTab::snippets));
    }

    // Everything in the colours of one variant.
    void expect(V v) const
    {
        QVERIFY(snippets);
        QCOMPARE(Metro::variantOf(card), v);
        QCOMPARE(textOf(card->findChildren<QLabel*>().at(0)), Metro::color(R::text, v));
        QCOMPARE(textOf(card->findChildren<QLabel*>().at(1)), Metro::color(R::secondaryText, v));
        QCOMPARE(card->dismissButton()->palette().color(QPalette::ButtonText), Metro::color(R::mutedText, v));
        // Never started: no exit code, so the danger tone.
        QCOMPARE(card->pill()->tone(), Metro::color(R::danger, v));
        QVERIFY(drawsIn(card->pill(), Metro::color(R::danger, v)));
        QCOMPARE(textOf(hint->findChild<QLabel*>()), Metro::color(R::text, v));
        QCOMPARE(hint->findChild<Pill*>()->tone(), Metro::color(R::warning, v));
        QCOMPARE(textOf(snippets->errorText()), Metro::color(R::danger, v));
        QCOMPARE(textOf(snippets->noticeText()), Metro::color(R::warning, v));
    }
};

}  // namespace

class ThemeTests : public QObject {
    Q_OBJECT

    std::unique_ptr<ravelgrid::QtDeliveryQueue> queue_;
    QTemporaryDir home_;
    QTemporaryDir config_;
    platform::FakeScheduler clock_;
    bool desktopDark_ = false;

    // A window on settings of its own (none of them the standard ones).
    struct Opened {
        std::unique_ptr<UserSettings> settings;
        std::unique_ptr<MainWindow> window;
    };
    Opened open(AppAppearance appearance)
    {
        static int n = 0;
        ++n;
        Opened o;
        o.settings = std::make_unique<UserSettings>(config_.filePath(QStringLiteral("s%1.conf").arg(n)));
        o.settings->setAppearance(appearance);
        o.window = std::make_unique<MainWindow>(*o.settings,
                                                apptests::memorySnippetStore(config_, QStringLiteral("data%1").arg(n)));
        return o;
    }

private slots:
    void initTestCase()
    {
        queue_ = ravelgrid::QtDeliveryQueue::installAsMain();
        desktopDark_ = QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
        QVERIFY(config_.isValid());
        QVERIFY(apptests::useQuietHome(home_));
    }

    void changeReachesEveryPartAtOnce()
    {
        auto [settings, window] = open(AppAppearance::dark);
        Parts parts(*window, clock_);
        parts.expect(V::dark);
        // No event loop turn in between: nothing waits to be rebuilt.
        for (auto [appearance, variant] :
             {std::pair{AppAppearance::light, V::light}, std::pair{AppAppearance::matrix, V::matrix},
              std::pair{AppAppearance::dark, V::dark}}) {
            settings->setAppearance(appearance);
            QCOMPARE(window->theme().variant(), variant);
            parts.expect(variant);
            if (QTest::currentTestFailed())
                return;
        }
    }

    // Neither the standard settings nor the other window decide the look.
    void eachWindowDrawsItsOwnSettings()
    {
        QVERIFY(UserSettings::standard().appearance() != AppAppearance::matrix);
        auto matrix = open(AppAppearance::matrix);
        Parts inMatrix(*matrix.window, clock_);
        inMatrix.expect(V::matrix);

        auto light = open(AppAppearance::light);
        Parts inLight(*light.window, clock_);
        inLight.expect(V::light);
        inMatrix.expect(V::matrix);

        light.settings->setAppearance(AppAppearance::dark);
        inLight.expect(V::dark);
        inMatrix.expect(V::matrix);
        QCOMPARE(matrix.window->palette().color(QPalette::Window), Metro::color(R::background, V::matrix));
        QCOMPARE(light.window->palette().color(QPalette::Window), Metro::color(R::background, V::dark));
    }

    // "Same as the desktop" reads the desktop, not the palette another
    // window's theme gave the application.
    void systemFollowsTheDesktopNotAnotherWindow()
    {
        const V desktop = desktopDark_ ? V::dark : V::light;
        const AppAppearance other = desktopDark_ ? AppAppearance::light : AppAppearance::matrix;
        auto first = open(other);
        QVERIFY(first.window->theme().variant() != desktop);
        auto second = open(AppAppearance::system);
        QCOMPARE(second.window->systemAppearance().isDark(), desktopDark_);
        QCOMPARE(second.window->theme().variant(), desktop);
    }

    // A dialog of a window (a sheet) takes the theme of the window it belongs to.
    void dialogsFollowTheirWindow()
    {
        auto [settings, window] = open(AppAppearance::matrix);
        QWidget sheet(window.get(), Qt::Dialog);
        auto* error = makeErrorLabel(&sheet);
        QCOMPARE(textOf(error), Metro::color(R::danger, V::matrix));
        settings->setAppearance(AppAppearance::light);
        QCOMPARE(textOf(error), Metro::color(R::danger, V::light));
        // Outside every themed window: the application's variant.
        QWidget loose;
        QCOMPARE(Metro::variantOf(&loose), Theme::applicationVariant());
    }
};

QTEST_MAIN(ThemeTests)
#include "ThemeTests.moc"
