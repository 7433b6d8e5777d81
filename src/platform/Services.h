#pragma once

namespace drovanta::engine {
class CopyEngine;
}

namespace drovanta::platform {

class Application;
class Clock;
class Desktop;
class DriveSource;
class FileOperations;
class FolderFacts;
class MessageBoxes;
class RandomSource;
class SettingsBackend;
class UrlOpener;

// Everything the program's logic needs from outside the process, set once at
// start (the real implementations) or by a test (fakes). The pointers are not
// owned.
struct Services {
    Application *application = nullptr;
    Clock *clock = nullptr;
    Desktop *desktop = nullptr; // optional: nullptr announces nothing and blocks no sleep
    DriveSource *drives = nullptr;
    FileOperations *files = nullptr;
    FolderFacts *folders = nullptr;
    engine::CopyEngine *copyEngine = nullptr;
    MessageBoxes *messageBoxes = nullptr;
    RandomSource *random = nullptr;
    SettingsBackend *settings = nullptr;
    UrlOpener *urlOpener = nullptr;
};

// The process-wide services. Reached from every module, like the main window.
Services &services();

} // namespace drovanta::platform
