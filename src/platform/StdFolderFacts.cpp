#include "platform/StdFolderFacts.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace drovanta::platform {

std::string StdFolderFacts::canonicalFolder(const std::string &path) const
{
    std::error_code ec;
    if (path.empty() || !fs::is_directory(path, ec))
        return {};
    const fs::path canonical = fs::canonical(path, ec);
    if (ec)
        return {};
    return canonical.string();
}

} // namespace drovanta::platform
