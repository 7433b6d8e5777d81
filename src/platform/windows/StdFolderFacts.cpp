// The folder facts that Windows answers through std::filesystem: a drive's
// root is its only filesystem root, and a backup never leaves its drive.
#include "platform/Failure.h"
#include "platform/PathWithin.h"
#include "platform/StdFolderFacts.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace drovanta::platform {
namespace {

fs::space_info spaceOf(const std::string &path, const char *what)
{
    std::error_code ec;
    const fs::space_info space = fs::space(path, ec);
    if (ec)
        throw Failure(std::string(what) + " '" + path + "': " + ec.message());
    return space;
}

} // namespace

bool StdFolderFacts::isFilesystemRoot(const std::string &folder) const
{
    const fs::path path(folder);
    return path == path.root_path();
}

bool StdFolderFacts::backupReaches(const std::string &source, const std::string &folder) const
{
    return isWithin(fs::path(source), fs::path(folder));
}

std::uint64_t StdFolderFacts::availableBytes(const std::string &path) const
{
    return spaceOf(path, "Cannot read the free space of").available;
}

std::uint64_t StdFolderFacts::usedBytes(const std::string &path) const
{
    const fs::space_info space = spaceOf(path, "Cannot read the used space of");
    return space.capacity > space.free ? space.capacity - space.free : 0;
}

} // namespace drovanta::platform
