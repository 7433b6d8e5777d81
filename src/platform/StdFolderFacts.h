#pragma once

#include "platform/FolderFacts.h"

namespace drovanta::platform {

// Folder facts of the real filesystem: the part every system shares here,
// the rest in platform/linux and platform/windows.
class StdFolderFacts final : public FolderFacts {
public:
    std::string canonicalFolder(const std::string &path) const override;
    bool isFilesystemRoot(const std::string &folder) const override;
    bool backupReaches(const std::string &source, const std::string &folder) const override;
    std::uint64_t availableBytes(const std::string &path) const override;
    std::uint64_t usedBytes(const std::string &path) const override;
};

} // namespace drovanta::platform
