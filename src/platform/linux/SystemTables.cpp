#include "platform/linux/SystemTables.h"

#include "platform/linux/UdevData.h"
#include "platform/linux/UtabOptions.h"

#ifdef DROVANTA_HAVE_LIBMOUNT
#include "platform/linux/LibmountTables.h"
#endif
#ifdef DROVANTA_HAVE_LIBUDEV
#include "platform/linux/LibudevProperties.h"
#endif

namespace drovanta::platform {

bool libmountBuiltIn()
{
#ifdef DROVANTA_HAVE_LIBMOUNT
    return true;
#else
    return false;
#endif
}

bool libudevBuiltIn()
{
#ifdef DROVANTA_HAVE_LIBUDEV
    return true;
#else
    return false;
#endif
}

SystemTables::SystemTables(LinuxSystemPaths paths) : m_paths(std::move(paths)) {}

bool SystemTables::throughLibmount() const
{
    return libmountBuiltIn() && m_paths.readers == TableReaders::SystemLibraries;
}

bool SystemTables::throughLibudev() const
{
    const LinuxSystemPaths system;
    return libudevBuiltIn() && m_paths.readers == TableReaders::SystemLibraries && m_paths.sysfs == system.sysfs
        && m_paths.udevData == system.udevData;
}

std::vector<MountEntry> SystemTables::mounts() const
{
#ifdef DROVANTA_HAVE_LIBMOUNT
    if (throughLibmount())
        return libmountMounts(m_paths.mountInfo);
#endif
    std::vector<MountEntry> mounts = readMountInfo(m_paths.mountInfo);
    addUserOptions(mounts, readUtab(m_paths.utab));
    return mounts;
}

std::vector<ConfiguredMount> SystemTables::fstab() const
{
#ifdef DROVANTA_HAVE_LIBMOUNT
    if (throughLibmount())
        return libmountFstab(m_paths.fstab);
#endif
    return readFstab(m_paths.fstab);
}

std::map<std::string, std::string> SystemTables::udevProperties(std::string_view number) const
{
#ifdef DROVANTA_HAVE_LIBUDEV
    if (throughLibudev())
        return libudevProperties(number);
#endif
    return platform::udevProperties(m_paths.udevData, number);
}

} // namespace drovanta::platform
