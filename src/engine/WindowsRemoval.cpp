// Old backup folders on Windows. Removing them must give back the
// read-only attribute that deleting a name clears for every other name of
// the same file (a file shared with a later backup); until that is done, no
// folder is offered for removal here.
#include "engine/BackupRemoval.h"

#include <windows.h>

namespace drovanta::engine {

std::vector<std::uint64_t> bytesFreedByRemoving(const std::string &, const std::vector<std::string> &)
{
    return {};
}

FolderRemoval removeFolder(const std::string &root, const std::string &name, const std::string &)
{
    FolderRemoval removal;
    removal.failures.push_back({root + "\\" + name, "remove", "not supported on this system",
                                static_cast<int>(ERROR_NOT_SUPPORTED)});
    return removal;
}

} // namespace drovanta::engine
