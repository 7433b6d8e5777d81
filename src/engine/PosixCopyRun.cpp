#include "engine/PosixCopyRun.h"

#include "engine/FaultInjection.h"
#include "engine/PosixFilesAhead.h"
#include "engine/PosixRunContext.h"
#include "engine/PosixTreeCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>
#include <utility>

namespace drovanta::engine::posix {
namespace {

// The folder `path` beneath `rootFd` (the folder `root` names), never
// through a link; the root itself when `path` is it.
Opened openBelow(int rootFd, const std::string &root, const std::string &path)
{
    BeneathRoot split;
    if (const Error error = splitAtRoot(root, path, split))
        return error;
    if (split.below.empty()) {
        UniqueFd same(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
        if (!same.valid())
            return lastError("open folder");
        return same;
    }
    return openBeneath(rootFd, split.below);
}

class PosixCopyRun final : public CopyRun {
public:
    explicit PosixCopyRun(const RunPlaces &places) : m_shared(places) {}

    Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop) override
    {
        return posix::copyTree(params, progress, stop, &m_shared);
    }

    Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop) override
    {
        if (m_ahead != nullptr && m_ahead->holds(params))
            return m_ahead->claim(params);
        return posix::copyFile(params, progress, stop, &m_shared);
    }

    void expectFiles(const std::vector<Params> &files, ProgressSink &progress, const std::atomic<bool> &stop) override
    {
        m_pending = settleFiles();
        m_ahead = FilesAhead::start(m_shared, files, progress, stop);
    }

    Result settleFiles() override
    {
        Result settled = std::move(m_pending);
        m_pending = Result{};
        if (m_ahead != nullptr) {
            settled.merge(m_ahead->settle());
            m_ahead.reset();
        }
        return settled;
    }

    Result sync() override
    {
        Result synced = settleFiles();
        Error error = m_shared.openError();
        if (!error && m_shared.gone())
            error = {ENODEV, "write to the device"};
        if (!error && ::syncfs(m_shared.backupFolder()) != 0)
            error = lastError("write to the device");
        if (error && !synced.destinationFailed) {
            synced.destinationFailed = true;
            synced.destinationFailure = {m_shared.backupPath(), error.operation, errorText(error.code), error.code};
        }
        return synced;
    }

private:
    RunShared m_shared;
    std::unique_ptr<FilesAhead> m_ahead; // declared after what it uses
    Result m_pending;
};

} // namespace

RunShared::RunShared(const RunPlaces &places) : umask(readUmask()), m_backupPath(normalized(places.backupFolder))
{
    const std::string root = normalized(places.targetRoot);
    Opened rootFolder = openFolderPath(root);
    if (rootFolder.failed()) {
        m_openError = rootFolder.error;
        return;
    }
    Opened backup = openBelow(rootFolder.value.get(), root, m_backupPath);
    struct stat info {};
    if (!backup.failed() && ::fstat(backup.value.get(), &info) != 0)
        backup = lastError("open folder");
    if (backup.failed()) {
        m_openError = backup.error;
        return;
    }
    m_backupFolder = std::move(backup.value);
    m_device = info.st_dev;
    m_inode = info.st_ino;
    if (places.previousFolder.empty())
        return;
    // A second name cannot be given across two filesystems, nor should the
    // run share with its own folder.
    Opened previous = openBelow(rootFolder.value.get(), root, normalized(places.previousFolder));
    struct stat earlier {};
    if (!previous.failed() && ::fstat(previous.value.get(), &earlier) == 0 && earlier.st_dev == m_device
        && earlier.st_ino != m_inode)
        m_previousFolder = std::move(previous.value);
}

const Destination &RunShared::destination(bool asRoot)
{
    if (!m_probed) {
        m_destination = probeDestination(m_backupFolder.get(), asRoot);
        m_probed = true;
    }
    return m_destination;
}

bool RunShared::gone() const
{
    if (!m_backupFolder.valid())
        return false; // never opened: openError() says why
    struct stat now {};
    if (::fstat(m_backupFolder.get(), &now) == 0 && now.st_nlink == 0)
        return true; // removed while the run held it
    if (::stat(m_backupPath.c_str(), &now) != 0)
        return errno == ENOENT || errno == ENOTDIR;
    return now.st_dev != m_device || now.st_ino != m_inode;
}

int RunShared::sourceRoot(const std::string &root)
{
    if (!m_sourceRoot.valid() || root != m_sourceRootPath) {
        Opened opened = openFolderPath(root);
        if (opened.failed()) {
            errno = opened.error.code;
            return -1;
        }
        m_sourceRoot = std::move(opened.value);
        m_sourceRootPath = root;
    }
    return m_sourceRoot.get();
}

void RunShared::sweepLeftovers(int sourceRootFd)
{
    if (std::exchange(m_swept, true))
        return;
    removeLeftovers(m_backupFolder.get(), sourceRootFd, &m_backupPath);
}

bool RunShared::clashesInBackupFolder(const std::string &name)
{
    if (!m_namesListed) {
        m_namesListed = true;
        if (faults::Faults *planted = faults::active())
            planted->targetListings.fetch_add(1, std::memory_order_relaxed);
        const Outcome<UniqueDir> listing = openListing(m_backupFolder.get());
        if (!listing.failed()) {
            while (const dirent *entry = ::readdir(listing.value.get())) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    m_namesByFold[foldedName(entry->d_name)].emplace_back(entry->d_name);
            }
        }
    }
    std::vector<std::string> &names = m_namesByFold[foldedName(name)];
    for (const auto &other : names) {
        if (other != name)
            return true;
    }
    if (names.empty())
        names.push_back(name);
    return false;
}

} // namespace drovanta::engine::posix

namespace drovanta::engine {

std::unique_ptr<CopyRun> NativeCopyEngine::beginRun(const RunPlaces &places)
{
    return std::make_unique<posix::PosixCopyRun>(places);
}

} // namespace drovanta::engine
