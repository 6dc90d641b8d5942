// The whole program, above the application object and the main window.
#pragma once

#include <functional>

class TMainForm;

namespace pmv {

// Answers the command line, checks for a display, creates the application and
// the main window, and runs the event loop. onShown, when given, is called
// once the window has been shown and the event loop runs.
int RunHost(int& argc, char** argv, const std::function<void(TMainForm&)>& onShown = {});

} // namespace pmv
