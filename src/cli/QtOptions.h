#pragma once

#include <functional>

namespace drovanta::app {

// True when every argument after the program name is one of Qt's standard
// options with its value ("-style Fusion", "-platform offscreen", a session
// manager's "-session ID", "--reverse", "-stylesheet=look.qss"...). Such a
// start opens the window and leaves the options to Qt; any other argument
// (Drovanta's own options, a path, an unknown option) is the command line's.
bool onlyQtOptions(int argc, const char *const argv[]);

// Whether the window has a display to open on: a platform given with
// "-platform" or QT_QPA_PLATFORM that needs none (offscreen, a frame
// buffer...), else an X or Wayland display named in the environment or with
// "-display". `variable` reads the environment. Windows and macOS always
// have one.
bool displayAvailable(int argc, const char *const argv[],
                      const std::function<const char *(const char *)> &variable);

} // namespace drovanta::app
