// The whole program, above the application object and the main window.
#pragma once

#include <functional>
#include <memory>

class THostSignals;
class TMainForm;

namespace pmv {

// Ends the host on SIGTERM, SIGINT and SIGHUP as cleanly as a closed window
// would: the port closed and unsaved changes kept (TMainForm::EndBySignal,
// whose line goes to standard error), exit code 128 + the signal. Holds
// while the returned object lives.
std::unique_ptr<THostSignals> EndOnSignals(TMainForm& form);

// Answers the command line, checks for a display, creates the application and
// the main window, and runs the event loop. onShown, when given, is called
// once the window has been shown and the event loop runs.
int RunHost(int& argc, char** argv, const std::function<void(TMainForm&)>& onShown = {});

} // namespace pmv
