// Application start: the application object with its error guard, and the
// run of the main window.
//
// An exception that escapes an event handler ends that handler only: its
// message is shown in the standard error box and the event loop goes on. The
// window runs its handlers through RunGuarded(), so that an exception never
// unwinds through the toolkit's own code; the guard in notify() catches what
// escapes any other event processing. An exception that escapes the run
// itself is shown the same way, and the program then ends with exit code 0.
#pragma once

#include <QApplication>
#include <QString>
#include <QStringList>

#include <functional>
#include <string>

class THostApplication : public QApplication {
    Q_OBJECT

public:
    THostApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Runs body under the guard; an exception is shown and gives 0.
    int Run(const std::function<int()>& body);

    // Shows an error message in the standard error box. While one such box
    // is open, further errors are written to stderr instead of stacking
    // boxes on top of each other.
    void ShowException(const QString& message);

    bool ErrorBoxOpen() const { return m_errorBoxDepth > 0; }

private:
    static void KeepNoSettings();

    int m_errorBoxDepth = 0;
};

namespace pmv {

constexpr const char* kApplicationTitle = "PMV-Host";

// Exit codes of pmv-host (listed in --help and the manual page).
constexpr int kExitNoDisplay = 1;
constexpr int kExitUsage = 2;

// What the command line asks for. The host takes no arguments besides
// -h/--help and -v/--version; these and anything wrong are answered before a
// display is looked for.
struct TCommandLineAnswer {
    bool done = false; // help, version or an error: end with exitCode
    int exitCode = 0;
    std::string output; // for standard output
    std::string error;  // for standard error
};

// arguments[0] is the program as started.
TCommandLineAnswer AnswerCommandLine(const QStringList& arguments);

// The version as "major.minor".
QString VersionText();

// Whether Qt has somewhere to show windows: a chosen platform plugin, an X11
// display or a Wayland display. Arguments are the values of QT_QPA_PLATFORM,
// DISPLAY and WAYLAND_DISPLAY (null when unset).
bool DisplayAvailable(const char* qpaPlatform, const char* display, const char* waylandDisplay);
bool DisplayAvailable();

// The text to run the program without a display.
const char* NoDisplayMessage();

// The message text of an exception: UTF-8 when it is valid UTF-8, else 8-bit.
QString ExceptionText(const char* what);

// Shows an error message in the standard error box (through the running
// THostApplication when there is one).
void ShowError(const QString& message);

// Runs one handler; an exception it throws ends it and is shown by ShowError.
void RunGuarded(const std::function<void()>& handler);

} // namespace pmv
