#pragma once

namespace drovanta::app {

// True when every argument after the program name is one of Qt's standard
// options with its value ("-style Fusion", "-platform offscreen", a session
// manager's "-session ID", "--reverse", "-stylesheet=look.qss"...). Such a
// start opens the window and leaves the options to Qt; any other argument
// (Drovanta's own options, a path, an unknown option) is the command line's.
bool onlyQtOptions(int argc, const char *const argv[]);

} // namespace drovanta::app
