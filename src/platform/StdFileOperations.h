#pragma once

#include "platform/FileOperations.h"

namespace drovanta::platform {

// Folder operations on the real filesystem through std::filesystem.
class StdFileOperations final : public FileOperations {
public:
    std::unique_ptr<Folder> getFolder(const std::string &path) const override;
    void createFolder(const std::string &path) const override;
};

} // namespace drovanta::platform
