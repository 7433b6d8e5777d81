#pragma once

#include <memory>
#include <string>
#include <vector>

namespace drovanta::platform {

// One item of a folder listing.
struct FolderItem {
    std::string name; // the item's own name
    std::string path; // its full path
};

// An opened folder. Each call lists the folder again, in the system's order.
// Sub-folders are real folders (a symbolic link to a folder is not one);
// files are every other kind of entry.
class Folder {
public:
    virtual ~Folder() = default;
    virtual std::vector<FolderItem> subFolders() const = 0;
    virtual std::vector<FolderItem> files() const = 0;
};

// The folder operations the copier needs. Failures throw drovanta::Failure
// with a sentence naming the path and the system's reason.
class FileOperations {
public:
    // Fails when the path does not name an existing, readable folder.
    virtual std::unique_ptr<Folder> getFolder(const std::string &path) const = 0;
    // Creates one level; fails when the folder exists or its parent is missing.
    virtual void createFolder(const std::string &path) const = 0;

protected:
    ~FileOperations() = default;
};

} // namespace drovanta::platform
