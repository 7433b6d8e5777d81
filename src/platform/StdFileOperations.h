#pragma once

#include "platform/FileOperations.h"

namespace drovanta::platform {

// Folder operations on the real filesystem: listings through std::filesystem,
// the backup folder's creation and lock through the system's own calls
// (linux/ and windows/NoFollowFolder.cpp).
class StdFileOperations final : public FileOperations {
public:
    std::unique_ptr<Folder> getFolder(const std::string &path) const override;
    void createFolder(const std::string &path) const override;
    std::unique_ptr<FolderLock> lockFolder(const std::string &path) const override;
    std::optional<std::string> writeProblem(const std::string &path) const override;
};

} // namespace drovanta::platform
