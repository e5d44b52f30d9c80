#include "quillmar/app/shell/TerminalHost.h"

#include "platform/Log.h"
#include "quillmar/app/shell/KeyToolCommands.h"
#include "quillmar/app/shell/LocalShell.h"
#include "quillmar/app/shell/SessionEndedCard.h"
#include "quillmar/app/shell/StallHint.h"
#include "ravelgrid/process/RemoteLoginProbe.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/view/PlainText.h"

#include <QFileInfo>
#include <QKeyEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillmar {

std::variant<SessionLaunch, QString> launchFor(const SessionTarget& target)
{
    SessionLaunch launch;
    switch (target.kind) {
    case SessionTarget::Kind::local: {
        const ShellCommand shell = localShellCommand();
        launch = {shell.executable, shell.args, true};
        break;
    }
    case SessionTarget::Kind::ssh:
        // ssh would read an alias with a leading dash as an option.
        if (target.alias.isEmpty() || target.alias.startsWith(QLatin1Char('-')))
            return TerminalHost::tr("cannot start ssh: \"%1\" is not a host alias")
                .arg(ravelgrid::revealHiddenCharacters(target.alias));
        launch = {"/usr/bin/ssh", {target.alias.toStdString()}, false};
        break;
    case SessionTarget::Kind::tool:
        launch.executable = target.executable.toStdString();
        for (const QString& arg : target.arguments)
            launch.args.push_back(arg.toStdString());
        // ssh-copy-id shows what the host says; a local tool like ssh-keygen is ours.
        launch.trusted = !ravelgrid::RemoteLoginProbe::isRemoteLoginProgram(launch.executable);
        break;
    }
    if (launch.executable.empty() || launch.executable.front() != '/')
        return TerminalHost::tr("cannot start \"%1\": not an absolute path")
            .arg(QString::fromStdString(launch.executable));
    if (::access(launch.executable.c_str(), X_OK) != 0)
        return TerminalHost::tr("cannot start %1: %2")
            .arg(QString::fromStdString(launch.executable), QString::fromLocal8Bit(std::strerror(errno)));
    return launch;
}

TerminalHost::TerminalHost(std::shared_ptr<TerminalSession> session, const TerminalScheme& scheme,
                           const ravelgrid::FontSet& font, platform::Scheduler& clock, ExitHandler onExit,
                           QWidget* parent)
    : QWidget(parent), session_(std::move(session)), scheme_(scheme), clock_(clock), onExit_(std::move(onExit))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    view_ = new FocusingTerminalView(this, font);
    ravelgrid::TerminalKittyGraphics::attach(view_->terminal());
    layout->addWidget(view_);
    setFocusProxy(view_);
    view_->setProcessDelegate(this);
    view_->onOutput = [this] { session_->probe.lastOutputAt = clock_.nowNs(); };
    session_->probe.view = view_;
    // Escape on the terminal dismisses the ended card while it shows.
    view_->installEventFilter(this);
    if (session_->target.kind == SessionTarget::Kind::local) {
        stallHint_ = new StallHint(session_, clock_, this);
        connect(stallHint_, &StallHint::showingChanged, this, [this] { placeOverlays(); });
    }
    connect(session_.get(), &TerminalSession::exitNoticeDismissedChanged, this, [this] { updateEndedCard(); });
    applyScheme();
}

TerminalHost::~TerminalHost()
{
    if (view_) {
        view_->setProcessDelegate(nullptr);
        view_->terminate();
    }
}

void TerminalHost::setActive(bool active)
{
    // Focus is taken only on becoming active: a tab that stays active while
    // the tabs around it change leaves the focus where it is (a rename field).
    const bool becoming = active && !active_;
    active_ = active;
    if (becoming && view_->isVisible())
        view_->setFocus(Qt::OtherFocusReason);
}

std::optional<QString> TerminalHost::runningProgram() const
{
    if (!started_ || !session_->running() || !view_->process().running())
        return std::nullopt;
    switch (session_->target.kind) {
    case SessionTarget::Kind::local:
        if (auto program = view_->process().foregroundProgram())
            return QString::fromLocal8Bit(*program);
        return std::nullopt;
    case SessionTarget::Kind::ssh: return QStringLiteral("ssh");
    case SessionTarget::Kind::tool: return QFileInfo(session_->target.executable).fileName();
    }
    return std::nullopt;
}

bool TerminalHost::endedCardShown() const
{
    return endedCard_ && !endedCard_->isHidden();
}

void TerminalHost::updateEndedCard()
{
    const bool show = !session_->running() && !session_->exitNoticeDismissed();
    if (show && !endedCard_)
        endedCard_ = new SessionEndedCard(session_, this);
    if (!endedCard_)
        return;
    if (show) {
        endedCard_->refresh();
        endedCard_->show();
        endedCard_->raise();
    } else {
        endedCard_->hide();
    }
    placeOverlays();
}

void TerminalHost::placeOverlays()
{
    if (stallHint_) {
        const int h = stallHint_->heightForWidth(width());
        stallHint_->setGeometry(0, 0, width(), h > 0 ? h : stallHint_->sizeHint().height());
    }
    if (endedCard_) {
        endedCard_->adjustSize();
        const QSize size = endedCard_->sizeHint().boundedTo(this->size());
        endedCard_->setGeometry(QRect(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size));
    }
}

void TerminalHost::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeOverlays();
}

bool TerminalHost::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == view_ && event->type() == QEvent::KeyPress && endedCardShown()) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            endedCard_->dismiss();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TerminalHost::setScheme(const TerminalScheme& scheme)
{
    if (scheme == scheme_)
        return;
    scheme_ = scheme;
    applyScheme();
}

void TerminalHost::applyScheme()
{
    view_->setNativeBackgroundColor(schemeColor(scheme_.background));
    view_->setNativeForegroundColor(schemeColor(scheme_.foreground));
    view_->setCaretColor(schemeColor(scheme_.cursor));
    view_->setSelectedTextBackgroundColor(schemeColor(scheme_.selection));
    // The schemes name no selection text colour: selected cells keep their
    // own colours wherever those stay readable on the selection.
    view_->setSelectedTextForegroundColor(QColor());
    std::array<ravelgrid::Color, 16> palette;
    for (std::size_t i = 0; i < palette.size(); ++i) {
        const auto rgb = hexRGBComponents(scheme_.ansi[i]);
        palette[i] = ravelgrid::Color::fromRgb8(rgb[0], rgb[1], rgb[2]);
    }
    view_->installColors(palette);
}

void TerminalHost::setTerminalFont(const ravelgrid::FontSet& font)
{
    using ravelgrid::FontFace;
    if (view_->fontSet().faceId(FontFace::normal) == font.faceId(FontFace::normal))
        return;
    view_->setFontSet(font);
}

void TerminalHost::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    start();
    if (active_)
        view_->setFocus(Qt::OtherFocusReason);
}

void TerminalHost::start()
{
    if (started_)
        return;
    started_ = true;
    auto launch = launchFor(session_->target);
    if (auto* why = std::get_if<QString>(&launch)) {
        ended(std::nullopt, *why, true);
        return;
    }
    const SessionLaunch& l = std::get<SessionLaunch>(launch);
    view_->setProcessTrusted(l.trusted);
    // A child that ends at once is reported by the process itself; only a
    // start that never happened is ours to tell.
    if (!view_->process().startProcess(l.executable, l.args, sessionEnvironment(), std::nullopt, sessionDirectory()))
        ended(std::nullopt,
              tr("cannot start %1: no pseudo-terminal or process").arg(QString::fromStdString(l.executable)), true);
}

void TerminalHost::processTerminated(ravelgrid::LocalProcessTerminalView&, std::optional<int> waitStatus)
{
    const std::optional<std::int32_t> code = exitCodeOf(waitStatus);
    if (code == 0 && session_->target.kind == SessionTarget::Kind::tool) {
        // ssh-copy-id exits 0 when it copied nothing; that must not read as success.
        constexpr std::size_t kTail = 64 * 1024;
        const auto bytes =
            view_->terminal().getBufferAsData(ravelgrid::BufferKind::normal, ravelgrid::TextEncoding::utf8);
        const std::size_t from = bytes.size() > kTail ? bytes.size() - kTail : 0;
        const QString tail = QString::fromUtf8(reinterpret_cast<const char*>(bytes.data()) + from,
                                               static_cast<qsizetype>(bytes.size() - from));
        if (KeyToolCommands::installedNothing(session_->target, tail)) {
            view_->feed(
                QStringLiteral("\r\n%1\r\n").arg(tr("quillmar: no key was installed on the host.")).toStdString());
            ended(std::nullopt, tr("nothing installed"));
            return;
        }
    }
    ended(code, describeExit(waitStatus));
}

void TerminalHost::ended(std::optional<std::int32_t> code, const QString& description, bool neverStarted)
{
    if (!session_->running())
        return;
    if (neverStarted) {
        // Say it in the terminal too: the tab is not left blank.
        view_->feed(std::string_view("\r\nquillmar: "));
        view_->feed(description.toStdString());
        view_->feed(std::string_view("\r\n"));
        platform::logWarning("app", "quillmar: " + description.toStdString());
    }
    session_->recordExit(code, description);
    QTimer::singleShot(0, this, [this, code] {
        if (onExit_)
            onExit_(code);
        // A tab the exit policy keeps says how it ended.
        updateEndedCard();
    });
}

}  // namespace quillmar
