#include "backup/engine/PosixItemCopy.h"

#include "backup/engine/FaultInjection.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace drovanta::engine::posix {

namespace {

constexpr int temporaryAttempts = 16;

// The item at the source: dispatches on what it really is now.
enum class Kind { Regular, Link, Folder, Special };

Kind kindOf(mode_t mode)
{
    if (S_ISREG(mode))
        return Kind::Regular;
    if (S_ISLNK(mode))
        return Kind::Link;
    if (S_ISDIR(mode))
        return Kind::Folder;
    return Kind::Special;
}

// Reads a link's text; 0 or errno.
int readLink(int folderFd, const char *name, std::size_t hint, std::string &text)
{
    std::vector<char> buffer(std::max<std::size_t>(hint + 1, 256));
    for (;;) {
        const ssize_t n = ::readlinkat(folderFd, name, buffer.data(), buffer.size());
        if (n < 0)
            return errno;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            text.assign(buffer.data(), static_cast<std::size_t>(n));
            return 0;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool isUnchanged(const RunContext &run, const struct stat &source, const struct stat &target)
{
    return target.st_size == source.st_size
        && sameModificationTime(source.st_mtim, target.st_mtim, run.granularityNs);
}

class ItemCopy final {
public:
    ItemCopy(RunContext &run, const Folder &folder, const std::string &name, const std::string &targetName,
             Result &result)
        : m_run(run), m_folder(folder), m_name(name), m_targetName(targetName), m_result(result),
          m_sourcePath(joinPath(folder.sourcePath(), name))
    {
    }

    void run(unsigned char type)
    {
        struct stat source {};
        bool known = false;
        // In a folder this run created there is nothing to compare with, and
        // opening the source tells its type as well as a stat would.
        if ((!m_folder.fresh() && m_run.params.skipUnchanged) || (type != DT_REG && type != DT_LNK)) {
            if (::fstatat(m_folder.sourceFd(), m_name.c_str(), &source, AT_SYMLINK_NOFOLLOW) != 0) {
                m_run.fail(m_result, m_sourcePath, "read information", errno, false);
                return;
            }
            known = true;
            type = S_ISLNK(source.st_mode) ? DT_LNK : S_ISREG(source.st_mode) ? DT_REG : DT_UNKNOWN;
            if (type == DT_UNKNOWN) {
                otherKind(kindOf(source.st_mode));
                return;
            }
        }
        if (type == DT_LNK)
            copyLink(known ? &source : nullptr);
        else
            copyRegular(known ? &source : nullptr);
    }

private:
    std::string targetPath() const { return joinPath(m_folder.targetPath(), m_targetName); }

    void otherKind(Kind kind)
    {
        if (kind == Kind::Special)
            m_result.skipped.push_back(m_sourcePath);
        else // a folder appeared where a file was listed
            m_run.fail(m_result, m_sourcePath, "copy", EISDIR, false);
    }

    // Whether the target already holds this item's backup.
    bool targetUnchanged(const struct stat &source)
    {
        if (m_folder.fresh() || !m_run.params.skipUnchanged)
            return false;
        struct stat target {};
        if (::fstatat(m_folder.targetFd(), m_targetName.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (S_ISREG(source.st_mode))
            return S_ISREG(target.st_mode) && isUnchanged(m_run, source, target);
        if (!S_ISLNK(target.st_mode) || !isUnchanged(m_run, source, target))
            return false;
        std::string sourceText;
        std::string targetText;
        return readLink(m_folder.sourceFd(), m_name.c_str(), static_cast<std::size_t>(source.st_size), sourceText)
                == 0
            && readLink(m_folder.targetFd(), m_targetName.c_str(), static_cast<std::size_t>(target.st_size), targetText)
                == 0
            && sourceText == targetText;
    }

    void leftAlone()
    {
        ++m_result.unchanged;
        m_run.progress.fileCopied(m_sourcePath, 0);
    }

    int openSource()
    {
        constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        if (!m_run.noAtimeRefused.load(std::memory_order_relaxed)) {
            const int fd = ::openat(m_folder.sourceFd(), m_name.c_str(), flags | O_NOATIME);
            if (fd >= 0 || errno != EPERM)
                return fd;
            m_run.noAtimeRefused.store(true, std::memory_order_relaxed);
        }
        return ::openat(m_folder.sourceFd(), m_name.c_str(), flags);
    }

    void copyRegular(const struct stat *known)
    {
        if (known != nullptr && targetUnchanged(*known)) {
            leftAlone();
            return;
        }
        UniqueFd source(openSource());
        if (!source.valid()) {
            if (errno == ELOOP) { // became a link since it was listed
                copyLink(nullptr);
                return;
            }
            m_run.fail(m_result, m_sourcePath, "open", errno, false);
            return;
        }
        struct stat info {};
        if (::fstat(source.get(), &info) != 0) {
            m_run.fail(m_result, m_sourcePath, "read information", errno, false);
            return;
        }
        if (!S_ISREG(info.st_mode)) {
            otherKind(kindOf(info.st_mode));
            return;
        }
        if (known == nullptr && targetUnchanged(info)) {
            leftAlone();
            return;
        }

        std::string temporary;
        UniqueFd target;
        for (int attempt = 0; attempt < temporaryAttempts && !target.valid(); ++attempt) {
            temporary = makeTemporaryName();
            target = UniqueFd(::openat(m_folder.targetFd(), temporary.c_str(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (!target.valid() && errno != EEXIST)
                break;
        }
        if (!target.valid()) {
            m_run.fail(m_result, targetPath(), "create file", errno, true);
            return;
        }

        int code = 0;
        bool sourceSide = false;
        const char *operation = "write";
        std::uint64_t bytes = 0;
        if (faults::Faults *planted = faults::active(); planted != nullptr && planted->readError) {
            if (const int plantedCode = planted->readError(m_sourcePath); plantedCode != 0) {
                code = plantedCode;
                sourceSide = true;
            }
        }
        if (code == 0) {
            const TransferOutcome outcome = transferData(source.get(), target.get(),
                                                         info.st_dev == m_folder.targetDevice(), m_run.methods);
            code = outcome.error;
            sourceSide = outcome.sourceFailed;
            bytes = outcome.bytes;
        }
        if (sourceSide)
            operation = "read";
        if (code == 0)
            code = applyMetadata(target.get(), info, operation);
        if (const int closed = target.close(); code == 0 && closed != 0) {
            code = closed;
            operation = "write";
        }
        if (code == 0 && ::renameat(m_folder.targetFd(), temporary.c_str(), m_folder.targetFd(), m_targetName.c_str()) != 0) {
            code = errno;
            operation = "replace";
        }
        if (code != 0) {
            (void)::unlinkat(m_folder.targetFd(), temporary.c_str(), 0);
            m_run.fail(m_result, sourceSide ? m_sourcePath : targetPath(), operation, code, !sourceSide);
            return;
        }
        ++m_result.files;
        m_result.bytes += bytes;
        m_run.progress.fileCopied(m_sourcePath, bytes);
    }

    int applyMetadata(int fd, const struct stat &source, const char *&operation)
    {
        // The owner first: changing it clears set-user-ID bits.
        if (m_run.asRoot && (source.st_uid != m_run.uid || source.st_gid != m_run.gid)
            && ::fchown(fd, source.st_uid, source.st_gid) != 0) {
            operation = "set owner";
            return errno;
        }
        if (::fchmod(fd, source.st_mode & 07777) != 0) {
            operation = "set permissions";
            return errno;
        }
        const struct timespec times[2] = {source.st_atim, source.st_mtim};
        if (::futimens(fd, times) != 0) {
            operation = "set times";
            return errno;
        }
        return 0;
    }

    void copyLink(const struct stat *known)
    {
        struct stat info {};
        if (known != nullptr) {
            info = *known;
        } else if (::fstatat(m_folder.sourceFd(), m_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            m_run.fail(m_result, m_sourcePath, "read information", errno, false);
            return;
        }
        if (!S_ISLNK(info.st_mode)) {
            if (S_ISREG(info.st_mode))
                copyRegular(&info);
            else
                otherKind(kindOf(info.st_mode));
            return;
        }
        if (targetUnchanged(info)) {
            leftAlone();
            return;
        }
        std::string text;
        if (const int code = readLink(m_folder.sourceFd(), m_name.c_str(), static_cast<std::size_t>(info.st_size), text);
            code != 0) {
            m_run.fail(m_result, m_sourcePath, "read link", code, false);
            return;
        }
        std::string temporary;
        int code = EEXIST;
        for (int attempt = 0; attempt < temporaryAttempts && code == EEXIST; ++attempt) {
            temporary = makeTemporaryName();
            code = ::symlinkat(text.c_str(), m_folder.targetFd(), temporary.c_str()) == 0 ? 0 : errno;
        }
        if (code != 0) {
            m_run.fail(m_result, targetPath(), "create link", code, true);
            return;
        }
        const char *operation = "";
        const int dir = m_folder.targetFd();
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        if (m_run.asRoot && (info.st_uid != m_run.uid || info.st_gid != m_run.gid)
            && ::fchownat(dir, temporary.c_str(), info.st_uid, info.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
            code = errno;
            operation = "set owner";
        } else if (::utimensat(dir, temporary.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
            code = errno;
            operation = "set times";
        } else if (::renameat(dir, temporary.c_str(), dir, m_targetName.c_str()) != 0) {
            code = errno;
            operation = "replace";
        }
        if (code != 0) {
            (void)::unlinkat(dir, temporary.c_str(), 0);
            m_run.fail(m_result, targetPath(), operation, code, true);
            return;
        }
        ++m_result.links;
        m_run.progress.fileCopied(m_sourcePath, 0);
    }

    RunContext &m_run;
    const Folder &m_folder;
    const std::string &m_name;
    const std::string &m_targetName;
    Result &m_result;
    std::string m_sourcePath;
};

} // namespace

void copyItem(RunContext &run, const Folder &folder, const std::string &name, unsigned char type, Result &result)
{
    ItemCopy(run, folder, name, name, result).run(type);
}

void copyItemAs(RunContext &run, const Folder &folder, const std::string &name, const std::string &targetName,
                unsigned char type, Result &result)
{
    ItemCopy(run, folder, name, targetName, result).run(type);
}

} // namespace drovanta::engine::posix
