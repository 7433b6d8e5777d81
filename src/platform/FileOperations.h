#pragma once

#include "platform/Failure.h"

#include <memory>
#include <optional>
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

// Something other than a real folder stands where a folder must be: `kind`
// says what, as in "it is a link".
class NotAFolder : public Failure {
public:
    NotAFolder(const std::string &path, std::string kind)
        : Failure("'" + path + "' is not a folder (it is " + kind + ")"), m_kind(std::move(kind))
    {
    }
    // "a link", "a file", "a device", "a named pipe", "a socket", "something else".
    const std::string &kind() const { return m_kind; }

private:
    std::string m_kind;
};

// The program's own folder beside the backups in a destination: the
// backups' fingerprint records and, on POSIX systems, their lock files. A
// backup folder holds the source's items and nothing else.
inline constexpr const char *bookkeepingFolderName = ".drovanta";

// Keeps a folder to one run for as long as it lives; released when destroyed.
class FolderLock {
public:
    virtual ~FolderLock() = default;
};

// The folder operations the copier needs. Failures throw drovanta::Failure
// with a sentence naming the path and the system's reason.
class FileOperations {
public:
    // Fails when the path does not name an existing, readable folder.
    virtual std::unique_ptr<Folder> getFolder(const std::string &path) const = 0;
    // Creates the last level of `path` only (its parent must exist), without
    // following a link at `path`. A real folder already there is taken as it
    // is; anything else there (a link, even one to a folder, a file, a device)
    // throws NotAFolder.
    virtual void createFolder(const std::string &path) const = 0;
    // Takes the folder at `path` exclusively for one run, across processes,
    // without following a link at `path` (NotAFolder). Returns nullptr when
    // another process holds it. A lock taken again in this process while one
    // is held shares that one (a run nested inside another). Only a writer
    // can hold it: on POSIX systems it is a write lock on the file
    // "<bookkeeping folder>/<folder's name>.lock" beside the folder, created
    // for the user alone, which goes when the folder has gone.
    virtual std::unique_ptr<FolderLock> lockFolder(const std::string &path) const = 0;
    // Why a run could not write the backup folder at `path`, in the system's
    // words: its creation fails, or, where it exists, the creation of an item
    // in it. Tried for real and undone, since only the filesystem knows (a
    // read-only mount, access lists, a share's own rules). nullopt when it
    // can be written, and when something other than a folder stands there
    // (the backup folder's taking says what).
    virtual std::optional<std::string> writeProblem(const std::string &path) const = 0;

protected:
    ~FileOperations() = default;
};

} // namespace drovanta::platform
