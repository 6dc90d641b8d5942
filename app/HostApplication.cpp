#include "app/HostApplication.h"

#include "app/Icons.h"
#include "config/CmdRecord.h"
#include "dialogs/Dlgutils.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QMessageBox>
#include <QSettings>
#include <QStringDecoder>

#include <cstdio>
#include <cstdlib>
#include <exception>

THostApplication::THostApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QString::fromLatin1(pmv::kApplicationTitle));
    setApplicationVersion(pmv::VersionText());
    // Names the desktop entry (data/), so that a desktop shows its icon and name.
    setDesktopFileName(QStringLiteral(PMV_APP_ID));
    setWindowIcon(pmv::MakeIcon(pmv::TIcon::Application));
    // The window, the dialogs and the port settings form are laid out for it.
    setFont(pmv::DialogFont());
    KeepNoSettings();
}

// Qt's own dialogs keep their history, last folder, sizes and custom colours
// in the user's shared settings file (QtProject.conf under
// $XDG_CONFIG_HOME), which every Qt program reads and writes. The host keeps
// no settings: its dialogs start the same way every time and leave nothing
// behind. The user-scope settings are therefore placed in a folder that
// cannot exist (a path below /dev/null): reading finds nothing, writing fails
// without a word. The system-wide defaults under /etc/xdg are still read.
void THostApplication::KeepNoSettings() {
    const QString nowhere = QStringLiteral("/dev/null/pmv-host-keeps-no-settings");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, nowhere);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, nowhere);
}

bool THostApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        ShowException(pmv::ExceptionText(e.what()));
    } catch (...) {
        ShowException(QString());
    }
    return false;
}

int THostApplication::Run(const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        ShowException(pmv::ExceptionText(e.what()));
    } catch (...) {
        ShowException(QString());
    }
    return 0;
}

void THostApplication::ShowException(const QString& message) {
    if (m_errorBoxDepth > 0) {
        std::fprintf(stderr, "%s: %s\n", pmv::kApplicationTitle, message.toLocal8Bit().constData());
        return;
    }
    ++m_errorBoxDepth;
    struct TDepthGuard {
        int& depth;
        ~TDepthGuard() { --depth; }
    } guard{m_errorBoxDepth};
    QMessageBox::critical(activeWindow(), QString::fromLatin1(pmv::kApplicationTitle), message);
}

namespace pmv {

namespace {

bool IsSet(const char* value) {
    return value && *value;
}

constexpr const char* kProgram = "pmv-host";

constexpr const char* kExitStatusHelp =
    "\nExit status:\n"
    "  0  the window was closed (also after an error shown in an error box)\n"
    "  1  no display: none of DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM is set\n"
    "  2  a bad command line\n"
    "  129, 130, 143  ended by SIGHUP, SIGINT or SIGTERM: the port closed, changes not\n"
    "     saved kept in a recovery copy beside their file (never over it), which the\n"
    "     log names at the next start\n";

} // namespace

QString VersionText() {
    return QStringLiteral("%1.%2").arg(kVersionMajor).arg(kVersionMinor);
}

TCommandLineAnswer AnswerCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    // "-platform" is one unknown option, not the letters p, l, a, ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("PMV-Host %1 drives and configures a QXM300 motor and pump controller\n"
                       "over a serial port. It takes no arguments: everything it works on is\n"
                       "in the configuration files that are loaded and saved in its window.")
            .arg(VersionText()));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Shows this help and exits."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Shows the version and exits."));
    parser.addOption(help);
    parser.addOption(version);

    TCommandLineAnswer answer;
    const auto refuse = [&](const QString& why) {
        answer.done = true;
        answer.exitCode = kExitUsage;
        answer.error = QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n")
                           .arg(QString::fromLatin1(kProgram), why)
                           .toLocal8Bit()
                           .toStdString();
        return answer;
    };
    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return refuse(QStringLiteral("unexpected argument '%1' (the host takes no arguments)")
                          .arg(parser.positionalArguments().constFirst()));
    if (parser.isSet(help)) {
        // Qt's usage line names the executable as started; ours names the program.
        const QString options = parser.helpText().section(QLatin1Char('\n'), 1);
        answer.done = true;
        answer.output =
            (QStringLiteral("Usage: %1 [options]\n").arg(QString::fromLatin1(kProgram)) + options +
             QString::fromLatin1(kExitStatusHelp))
                .toLocal8Bit()
                .toStdString();
    } else if (parser.isSet(version)) {
        answer.done = true;
        answer.output = QStringLiteral("%1 %2\n")
                            .arg(QString::fromLatin1(kProgram), VersionText())
                            .toLocal8Bit()
                            .toStdString();
    }
    return answer;
}

bool DisplayAvailable(const char* qpaPlatform, const char* display, const char* waylandDisplay) {
    return IsSet(qpaPlatform) || IsSet(display) || IsSet(waylandDisplay);
}

bool DisplayAvailable() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return DisplayAvailable(std::getenv("QT_QPA_PLATFORM"), std::getenv("DISPLAY"),
                            std::getenv("WAYLAND_DISPLAY"));
#else
    return true; // the desktop is always there
#endif
}

const char* NoDisplayMessage() {
    return "pmv-host: no display found (none of DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM is "
           "set).\n"
           "Run it on a desktop, or under a virtual display:\n"
           "    xvfb-run -a pmv-host\n";
}

QString ExceptionText(const char* what) {
    if (!what)
        return {};
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(what));
    if (!utf8.hasError())
        return text;
    return QString::fromLatin1(what);
}

void ShowError(const QString& message) {
    if (auto* app = qobject_cast<THostApplication*>(QCoreApplication::instance())) {
        app->ShowException(message);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), QString::fromLatin1(kApplicationTitle),
                          message);
}

void RunGuarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowError(ExceptionText(e.what()));
    } catch (...) {
        ShowError(QString());
    }
}

} // namespace pmv
