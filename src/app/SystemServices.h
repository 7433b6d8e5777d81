#pragma once

// The services both programs take from the system as it is, one of each for
// the program's life, installed where every module finds them. Each main
// adds its own application, message boxes and desktop.
#include "engine/CopyEngine.h"

#include "platform/Services.h"
#include "platform/StdFileOperations.h"
#include "platform/StdFolderFacts.h"
#include "platform/StdRandomSource.h"
#include "platform/SystemClock.h"
#ifdef _WIN32
#include "platform/windows/WindowsDriveSource.h"
#else
#include "platform/linux/LinuxDriveSource.h"
#endif

namespace drovanta::app {

class SystemServices final {
public:
    SystemServices()
    {
        platform::Services &services = platform::services();
        services.clock = &m_clock;
        services.drives = &m_drives;
        services.files = &m_files;
        services.folders = &m_folders;
        services.copyEngine = &m_copyEngine;
        services.random = &m_random;
    }
    SystemServices(const SystemServices &) = delete;
    SystemServices &operator=(const SystemServices &) = delete;

private:
    platform::SystemClock m_clock;
#ifdef _WIN32
    platform::WindowsDriveSource m_drives;
#else
    platform::LinuxDriveSource m_drives;
#endif
    platform::StdFileOperations m_files;
    platform::StdFolderFacts m_folders;
    engine::NativeCopyEngine m_copyEngine;
    platform::StdRandomSource m_random;
};

} // namespace drovanta::app
