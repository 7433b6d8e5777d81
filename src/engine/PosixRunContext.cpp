#include "engine/PosixRunContext.h"

#include "engine/BackupRemoval.h"
#include "engine/FaultInjection.h"
#include "engine/PosixMetadata.h"
#include "engine/SystemItems.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace drovanta::engine::posix {

// umask() would set it while it reads it, under the feet of any other thread
// making a file; the system shows it in /proc (Linux 4.7 on).
int readUmask()
{
    std::FILE *status = std::fopen("/proc/self/status", "re");
    if (status == nullptr)
        return -1;
    int mask = -1;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        unsigned value = 0;
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
            mask = static_cast<int>(value & 0777);
            break;
        }
    }
    std::fclose(status);
    return mask;
}

RunContext::RunContext(const Params &params_, ProgressSink &progress_, const std::atomic<bool> &stop,
                       HardLinks &hardLinks_, std::function<bool()> destinationGone_, std::optional<int> knownUmask)
    : RunState(stop, std::move(destinationGone_)), params(params_), progress(progress_), asRoot(::geteuid() == 0),
      uid(::geteuid()), gid(::getegid()), umask(knownUmask ? *knownUmask : readUmask()), hardLinks(hardLinks_)
{
}

std::string RunContext::whereNow(const std::string &path) const
{
    if (inHidden() && path.starts_with(hiddenFor) && (path.size() == hiddenFor.size() || path[hiddenFor.size()] == '/'))
        return hiddenAs + path.substr(hiddenFor.size());
    return path;
}

void RunContext::fail(Result &into, const std::string &path, Error error, bool targetSide)
{
    const bool halts = targetSide && isDestinationFatal(error.code);
    record(into,
           {path, error.operation, halts || !targetSide ? errorText(error.code) : reasonFor(path, error.code),
            error.code},
           halts);
}

void RunContext::failWithReason(Result &into, const std::string &path, Error error, std::string_view reason)
{
    record(into, {path, error.operation, std::string(reason), error.code}, false);
}

std::string RunContext::reasonFor(const std::string &path, int code) const
{
    if (code == EFBIG)
        return tooLargeReason(destination);
    // Filesystems of POSIX systems take any name; Windows' refuse some
    // characters, and their drivers say so with assorted codes.
    const std::string &type = destination.filesystem;
    const bool posixNames = type.starts_with("ext") || type == "XFS" || type == "Btrfs" || type == "tmpfs"
        || type == "F2FS";
    if (!posixNames && (code == EINVAL || code == EILSEQ || code == ENOENT || code == EPERM || code == ENAMETOOLONG)
        && isRefusedByWindowsFilesystems(std::string_view(path).substr(path.rfind('/') + 1)))
        return std::string(refusedNameReason);
    return errorText(code);
}

void RunContext::failDestination(const std::string &path, Error error)
{
    RunState::failDestination({path, error.operation, errorText(error.code), error.code});
}

FolderPath::FolderPath(std::string source, std::string target) : m_name(std::move(source)), m_target(std::move(target))
{
}

FolderPath::FolderPath(std::shared_ptr<FolderPath> parent, std::string name)
    : m_parent(std::move(parent)), m_name(std::move(name))
{
}

FolderPath::~FolderPath()
{
    // Letting go of the last holder of a long chain would otherwise destroy
    // it recursively, one call per level.
    std::shared_ptr<FolderPath> up = std::move(m_parent);
    while (up != nullptr && up.use_count() == 1) {
        std::shared_ptr<FolderPath> next = std::move(up->m_parent);
        up.reset();
        up = std::move(next);
    }
}

std::string FolderPath::build(bool target) const
{
    std::vector<const FolderPath *> below;
    const FolderPath *top = this;
    std::size_t size = 0;
    for (; top->m_parent != nullptr; top = top->m_parent.get()) {
        below.push_back(top);
        size += top->m_name.size() + 1;
    }
    std::string path = target ? top->m_target : top->m_name;
    path.reserve(path.size() + size);
    for (auto it = below.rbegin(); it != below.rend(); ++it) {
        if (path.empty() || path.back() != '/')
            path += '/';
        path += (*it)->m_name;
    }
    return path;
}

Folder::Folder(RunContext &run, UniqueFd source, UniqueFd target, std::shared_ptr<FolderPath> path,
               const struct stat &sourceInfo, bool fresh)
    : m_run(run), m_source(std::move(source)), m_target(std::move(target)), m_path(std::move(path)),
      m_sourceInfo(sourceInfo), m_fresh(fresh)
{
    m_run.openFolders.fetch_add(1, std::memory_order_relaxed);
    struct stat info {};
    if (::fstat(m_target.get(), &info) == 0) {
        m_targetDevice = info.st_dev;
        m_targetInode = info.st_ino;
    }
    const Destination &destination = m_run.destination;
    m_foldsCase = destination.foldsCase || folderFoldsCase(destination, m_target.get());
    m_inheritsAcls = destination.holdsAttributes
        && ::fgetxattr(m_target.get(), "system.posix_acl_default", nullptr, 0) > 0;
}

// A folder made by mkdir gets its default access control list and its
// folding of case from the folder it is made in, which keeps its own until
// it is complete, after everything in it is made.
Folder::Folder(RunContext &run, UniqueFd source, UniqueFd target, std::shared_ptr<FolderPath> path,
               const struct stat &sourceInfo, const Folder &madeIn)
    : m_run(run), m_source(std::move(source)), m_target(std::move(target)), m_path(std::move(path)),
      m_sourceInfo(sourceInfo), m_targetDevice(madeIn.m_targetDevice), m_fresh(true),
      m_inheritsAcls(madeIn.m_inheritsAcls), m_foldsCase(madeIn.m_foldsCase)
{
    m_run.openFolders.fetch_add(1, std::memory_order_relaxed);
}

Folder::~Folder()
{
    m_run.openFolders.fetch_sub(1, std::memory_order_relaxed);
}

void Folder::setPrevious(UniqueFd previous)
{
    struct stat info {};
    if (previous.valid() && ::fstat(previous.get(), &info) == 0 && S_ISDIR(info.st_mode)
        && info.st_dev == m_targetDevice && info.st_ino != m_targetInode)
        m_previous = std::move(previous);
}

void Folder::complete(Result &into)
{
    if (m_run.destinationFailed())
        return;
    Error error;
    if (faults::Faults *planted = faults::active(); planted != nullptr && planted->folderMetadataError)
        error = {planted->folderMetadataError(targetPath()), "set times"};
    if (!error)
        error = applyFolderMetadata(m_run, m_source.get(), m_target.get(), m_sourceInfo, m_inheritsAcls, m_fresh);
    if (error)
        m_run.fail(into, targetPath(), error, true);
}

Error applyFolderMetadata(RunContext &run, int sourceFd, int targetFd, const struct stat &source, bool inheritsAcls,
                          bool fresh)
{
    // A folder of an earlier backup usually has all of this already; leaving
    // it alone spares the destination a metadata write per folder. Access
    // times are not compared: listing the folder, as every run does, moves
    // them on both sides; modification times are compared at the precision
    // the destination keeps.
    struct stat current {};
    if (!fresh && ::fstat(targetFd, &current) == 0 && (!run.asRoot || (current.st_uid == source.st_uid && current.st_gid == source.st_gid))
        && (current.st_mode & 07777) == (source.st_mode & 07777) && sameModificationTime(source.st_mtim, current.st_mtim, run.granularityNs))
        return {};
    return applyMetadata(run, sourceFd, targetFd, source, inheritsAcls);
}

void removeLeftovers(int targetFd, int sourceFd, const std::string *backupPath)
{
    if (faults::Faults *planted = faults::active())
        planted->targetListings.fetch_add(1, std::memory_order_relaxed);
    const Outcome<UniqueDir> listing = openListing(targetFd);
    if (listing.failed())
        return;
    std::vector<std::string> leftovers;
    while (const dirent *entry = ::readdir(listing.value.get())) {
        struct stat info {};
        if (isTemporaryName(entry->d_name) && ::fstatat(sourceFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0
            && errno == ENOENT)
            leftovers.emplace_back(entry->d_name);
    }
    for (const auto &name : leftovers) {
        if (::unlinkat(targetFd, name.c_str(), 0) != 0 && errno == EISDIR && backupPath != nullptr)
            (void)removeFolder(*backupPath, "", name);
    }
}

} // namespace drovanta::engine::posix
