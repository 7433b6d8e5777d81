#include "engine/PosixItemCopy.h"

#include "engine/FaultInjection.h"
#include "engine/PosixMetadata.h"
#include "engine/PosixNewFile.h"
#include "engine/PosixSpecialFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace drovanta::engine::posix {

namespace {


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

// Reads a link's text.
Error readLink(int folderFd, const char *name, std::size_t hint, std::string &text)
{
    std::vector<char> buffer(std::max<std::size_t>(hint + 1, 256));
    for (;;) {
        const ssize_t n = ::readlinkat(folderFd, name, buffer.data(), buffer.size());
        if (n < 0)
            return lastError("read link");
        if (static_cast<std::size_t>(n) < buffer.size()) {
            text.assign(buffer.data(), static_cast<std::size_t>(n));
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Makes `name` in `dir` another name of `from` (in `fromDir`): linked under
// a temporary name, then renamed over whatever stands there, so the name
// never points at nothing. Where the name is free (`nameFree`: a folder this
// run created) it is linked as it is: a second name is whole as soon as it
// exists, and the folder then never holds the temporary entry, which on
// ext4 leaves large folders a block or more bigger than their names need.
Error linkIntoPlace(int fromDir, const char *from, int dir, const std::string &name, bool nameFree)
{
    if (nameFree) {
        if (::linkat(fromDir, from, dir, name.c_str(), 0) == 0)
            return {};
        if (errno != EEXIST)
            return lastError("create link");
    }
    const std::string temporary = underTemporaryName(
        [&](const char *temporaryName) { return ::linkat(fromDir, from, dir, temporaryName, 0) == 0; });
    if (temporary.empty())
        return lastError("create link");
    if (::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
        const Error error = lastError("replace");
        (void)::unlinkat(dir, temporary.c_str(), 0);
        return error;
    }
    return {};
}

bool isUnchanged(const RunContext &run, const struct stat &source, const struct stat &target)
{
    return target.st_size == source.st_size
        && sameModificationTime(source.st_mtim, target.st_mtim, run.granularityNs);
}

// Whether a copy has the permissions and owner this run would give it.
bool sameModeAndOwner(const RunContext &run, const struct stat &source, const struct stat &copy)
{
    const Destination &destination = run.destination;
    if (!destination.keepsModes)
        return true; // the filesystem shows the same for every file
    const mode_t bits = run.asRoot ? 07777 : 0777; // others cannot set every special bit
    if ((source.st_mode & bits) != (copy.st_mode & bits))
        return false;
    if (run.asRoot)
        return !destination.keepsOwners || (copy.st_uid == source.st_uid && copy.st_gid == source.st_gid);
    return copy.st_uid == run.uid;
}

} // namespace

bool isUpToDate(const RunContext &run, const struct stat &source, const struct stat &target)
{
    return S_ISREG(target.st_mode) && isUnchanged(run, source, target) && sameModeAndOwner(run, source, target);
}

bool isBackupOf(const RunContext &run, int sourceFolderFd, const std::string &name, const struct stat &source,
                int copyFolderFd, const std::string &copyName, const struct stat &copy)
{
    return isUpToDate(run, source, copy)
        && (!run.destination.holdsAttributes || sameAttributes(sourceFolderFd, name, copyFolderFd, copyName));
}

bool isShareable(const RunContext &run, int sourceFolderFd, const std::string &name, const struct stat &source,
                 int previousFd, const std::string &previousName, dev_t targetDevice)
{
    struct stat earlier {};
    return previousFd >= 0 && ::fstatat(previousFd, previousName.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) == 0
        && earlier.st_dev == targetDevice && !(earlier.st_dev == source.st_dev && earlier.st_ino == source.st_ino)
        && isBackupOf(run, sourceFolderFd, name, source, previousFd, previousName, earlier);
}

namespace {

class ItemCopy final {
public:
    ItemCopy(RunContext &run, const Folder &folder, const std::string &name, const std::string &targetName,
             Result &result)
        : m_run(run), m_folder(folder), m_name(name), m_targetName(targetName), m_result(result)
    {
    }

    void run(unsigned char type)
    {
        struct stat source {};
        bool known = false;
        // In a folder this run created there is nothing to compare with, and
        // opening the source tells its type as well as a stat would.
        if ((!m_folder.fresh() && m_run.params.skipUnchanged) || m_folder.previousFd() >= 0
            || (type != DT_REG && type != DT_LNK)) {
            if (::fstatat(m_folder.sourceFd(), m_name.c_str(), &source, AT_SYMLINK_NOFOLLOW) != 0) {
                m_run.fail(m_result, sourcePath(), lastError("read information"), false);
                return;
            }
            known = true;
            if (keptAsItIs(source))
                return;
            type = S_ISLNK(source.st_mode) ? DT_LNK : S_ISREG(source.st_mode) ? DT_REG : DT_UNKNOWN;
            if (type == DT_UNKNOWN) {
                otherKind(source);
                return;
            }
        }
        if (type == DT_LNK)
            copyLink(known ? &source : nullptr);
        else
            copyRegular(known ? &source : nullptr);
    }

private:
    // The item's paths are made only when something names it: a copy that
    // goes well needs none, and making one for every file is an allocation
    // and a walk up the folder's chain.
    const std::string &sourcePath()
    {
        if (m_sourcePath.empty())
            m_sourcePath = joinPath(m_folder.sourcePath(), m_name);
        return m_sourcePath;
    }
    std::string targetPath() const { return joinPath(m_folder.targetPath(), m_targetName); }

    // The path for a planted fault or a progress that names files; else empty.
    const std::string &pathFor(bool named)
    {
        static const std::string unnamed;
        return named ? sourcePath() : unnamed;
    }

    void reportCopied(std::uint64_t bytes) { m_run.progress.fileCopied(pathFor(m_run.progress.namesFiles()), bytes); }

    void otherKind(const struct stat &source)
    {
        if (kindOf(source.st_mode) == Kind::Special)
            copySpecialFile(m_run, m_folder, m_name, source, m_result);
        else // a folder appeared where a file was listed
            m_run.fail(m_result, sourcePath(), {EISDIR, "copy"}, false);
    }

    // Whether the target already holds this item's backup.
    bool targetUnchanged(const struct stat &source)
    {
        if (m_folder.fresh() || !m_run.params.skipUnchanged)
            return false;
        struct stat target {};
        if (::fstatat(m_folder.targetFd(), m_targetName.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        // The copy may be a file shared with an earlier backup: one that
        // differs in anything is written anew, never changed in place.
        // Extended attributes and access control lists count too: a change
        // of those alone gives the copy a new file with them.
        if (S_ISREG(source.st_mode))
            return isBackupOf(m_run, m_folder.sourceFd(), m_name, source, m_folder.targetFd(), m_targetName, target);
        if (!S_ISLNK(target.st_mode) || !isUnchanged(m_run, source, target))
            return false;
        std::string sourceText;
        std::string targetText;
        return !readLink(m_folder.sourceFd(), m_name.c_str(), static_cast<std::size_t>(source.st_size), sourceText)
            && !readLink(m_folder.targetFd(), m_targetName.c_str(), static_cast<std::size_t>(target.st_size),
                         targetText)
            && sourceText == targetText;
    }

    // A restore without leave to overwrite: what the user has in the item's
    // place stays unless it already is the item's copy (then it is left
    // alone as on any rerun).
    bool keptAsItIs(const struct stat &source)
    {
        if (!m_run.params.keepExisting || m_folder.fresh())
            return false;
        struct stat target {};
        if (::fstatat(m_folder.targetFd(), m_targetName.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (S_ISREG(source.st_mode) && isUpToDate(m_run, source, target))
            return false;
        if (S_ISLNK(source.st_mode) && targetUnchanged(source))
            return false;
        if (!S_ISREG(source.st_mode) && !S_ISLNK(source.st_mode)
            && (source.st_mode & (S_IFMT | 07777)) == (target.st_mode & (S_IFMT | 07777))
            && source.st_rdev == target.st_rdev)
            return false;
        m_result.kept.push_back(targetPath());
        reportCopied(0);
        return true;
    }

    // The target already holds this item's backup. A file with more names
    // stays the copy that its later names link to.
    void leftAlone(const struct stat *source = nullptr)
    {
        if (source != nullptr && S_ISREG(source->st_mode) && source->st_nlink > 1) {
            const HardLinks::Claim claim = m_run.hardLinks.claim({source->st_dev, source->st_ino}, source->st_nlink);
            if (claim.first)
                m_run.hardLinks.finished({source->st_dev, source->st_ino}, targetPath());
        }
        ++m_result.unchanged;
        reportCopied(0);
    }

    Opened openSource()
    {
        constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        if (!m_run.noAtimeRefused.load(std::memory_order_relaxed)) {
            UniqueFd fd(::openat(m_folder.sourceFd(), m_name.c_str(), flags | O_NOATIME));
            if (fd.valid())
                return fd;
            if (errno != EPERM)
                return lastError("open");
            m_run.noAtimeRefused.store(true, std::memory_order_relaxed);
        }
        UniqueFd fd(::openat(m_folder.sourceFd(), m_name.c_str(), flags));
        if (!fd.valid())
            return lastError("open");
        return fd;
    }

    // Makes the name another name of the same file in the earlier backup
    // when that file is this one's backup already. True when done (or when
    // the destination failed); false when the data must be copied.
    bool shareWithPrevious(const struct stat &source)
    {
        const int previousFd = m_folder.previousFd();
        if (m_run.sharingRefused.load(std::memory_order_relaxed)
            || !isShareable(m_run, m_folder.sourceFd(), m_name, source, previousFd, m_targetName,
                            m_folder.targetDevice()))
            return false;
        const int dir = m_folder.targetFd();
        const Error error = linkIntoPlace(previousFd, m_targetName.c_str(), dir, m_targetName, m_folder.fresh());
        if (!error) {
            if (source.st_nlink > 1) { // later names of the source file link to this one
                const HardLinks::Claim claim = m_run.hardLinks.claim({source.st_dev, source.st_ino}, source.st_nlink);
                if (claim.first)
                    m_run.hardLinks.finished({source.st_dev, source.st_ino}, targetPath());
            }
            ++m_result.shared;
            reportCopied(0);
            return true;
        }
        if (isDestinationFatal(error.code)) {
            m_run.fail(m_result, targetPath(), error, true);
            return true;
        }
        // A filesystem without second names (or a link across two); a file
        // at its filesystem's link limit is just copied.
        const int code = error.code;
        if (code == EXDEV || code == EPERM || code == ENOTSUP || code == EOPNOTSUPP || code == ENOSYS)
            m_run.sharingRefused.store(true, std::memory_order_relaxed);
        return false;
    }

    void copyRegular(const struct stat *known)
    {
        if (known != nullptr && targetUnchanged(*known)) {
            leftAlone(known);
            return;
        }
        if (known != nullptr && S_ISREG(known->st_mode) && shareWithPrevious(*known))
            return;
        Opened opened = openSource();
        if (opened.failed()) {
            if (opened.error.code == ELOOP) { // became a link since it was listed
                copyLink(nullptr);
                return;
            }
            m_run.fail(m_result, sourcePath(), opened.error, false);
            return;
        }
        const UniqueFd source = std::move(opened.value);
        struct stat info {};
        if (::fstat(source.get(), &info) != 0) {
            m_run.fail(m_result, sourcePath(), lastError("read information"), false);
            return;
        }
        if (!S_ISREG(info.st_mode)) {
            otherKind(info);
            return;
        }
        if (known == nullptr && targetUnchanged(info)) {
            leftAlone(&info);
            return;
        }
        if (m_run.destination.largestFile != 0
            && static_cast<std::uint64_t>(info.st_size) > m_run.destination.largestFile) {
            m_run.fail(m_result, targetPath(), {EFBIG, "write"}, true);
            return;
        }
        // A file with more names: the first name copies the data, the
        // others become links to that copy.
        FirstCopy first(m_run, info);
        if (info.st_nlink > 1) {
            const HardLinks::Claim claim = m_run.hardLinks.claim({info.st_dev, info.st_ino}, info.st_nlink);
            if (claim.first)
                first.expect();
            else if (linkTo(claim.firstCopy))
                return;
        }

        // The copy is made with the source's permissions where nobody can
        // open it through them before it is complete: with no name yet, in
        // a folder nobody sees yet, or with the owner it keeps. That spares
        // setting them again.
        const bool keepsOwner = !m_run.asRoot || (info.st_uid == m_run.uid && info.st_gid == m_run.gid);
        const bool nameFree = m_folder.fresh();
        const bool hidden = nameFree && m_run.inHidden();
        const UnnamedFiles unnamed = m_run.destination.unnamedFiles;
        const mode_t mode = keepsOwner || hidden || (nameFree && unnamed != UnnamedFiles::Unsupported)
                                ? info.st_mode & 0777
                                : 0600;
        Outcome<NewFile> created = hidden ? NewFile::createNamed(m_folder.targetFd(), m_targetName, unnamed, mode)
                                          : NewFile::create(m_folder.targetFd(), unnamed, nameFree, mode);
        if (created.failed()) {
            m_run.fail(m_result, targetPath(), created.error, true);
            return;
        }
        NewFile &target = created.value;
        const bool modeSet = m_run.umask >= 0 && !m_folder.inheritsAcls()
            && (mode & ~static_cast<mode_t>(m_run.umask)) == (info.st_mode & 07777);

        Error error;
        bool sourceSide = false;
        std::uint64_t bytes = 0;
        if (faults::Faults *planted = faults::active(); planted != nullptr && planted->readError) {
            if (const int plantedCode = planted->readError(sourcePath()); plantedCode != 0) {
                error = {plantedCode, "read"};
                sourceSide = true;
            }
        }
        // A file that changes while it is copied would leave a mix of old
        // and new data under its name: it is copied once more, and when it
        // changes again its copy is kept and the item reported.
        bool changed = false;
        for (int attempt = 0; !error && attempt < 2; ++attempt) {
            if (attempt > 0 && !restart(source.get(), target.fd(), info, error))
                break;
            const TransferOutcome outcome = transferData(source.get(), target.fd(), info,
                                                         info.st_dev == m_folder.targetDevice(), m_run.methods,
                                                         m_run.stopFlag(), pathFor(faults::active() != nullptr));
            error = outcome.error;
            sourceSide = outcome.sourceFailed;
            bytes = outcome.bytes;
            if (outcome.stopped) {
                // The file in hand is dropped unnamed; an earlier copy stays.
                m_result.stopped = true;
                return;
            }
            if (faults::Faults *planted = faults::active(); planted != nullptr && planted->dataCopied)
                planted->dataCopied(sourcePath(), attempt);
            struct stat after {};
            changed = !error && ::fstat(source.get(), &after) == 0 && !sameContentStamp(info, after);
            if (!changed)
                break;
            info = after;
        }
        if (!error)
            error = applyMetadata(m_run, source.get(), target.fd(), info, m_folder.inheritsAcls(), modeSet);
        if (!error)
            error = target.publish(m_targetName);
        if (error) {
            m_run.fail(m_result, sourceSide ? sourcePath() : targetPath(), error, !sourceSide);
            return;
        }
        first.made([this] { return targetPath(); });
        ++m_result.files;
        m_result.bytes += bytes;
        reportCopied(bytes);
        if (changed)
            m_run.failWithReason(m_result, sourcePath(), {EAGAIN, "copy"}, changedWhileCopiedReason);
    }

    // Whether a file's size, modification time and change time are the same:
    // nothing wrote to it in between.
    static bool sameContentStamp(const struct stat &before, const struct stat &after)
    {
        return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec
            && before.st_mtim.tv_nsec == after.st_mtim.tv_nsec && before.st_ctim.tv_sec == after.st_ctim.tv_sec
            && before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
    }

    // Empties the copy and rewinds both files for another attempt, taking
    // the source's information anew; false (with `error`) when it cannot.
    static bool restart(int source, int target, struct stat &info, Error &error)
    {
        if (::ftruncate(target, 0) != 0 || ::lseek(target, 0, SEEK_SET) != 0) {
            error = lastError("write");
            return false;
        }
        if (::lseek(source, 0, SEEK_SET) != 0 || ::fstat(source, &info) != 0) {
            error = lastError("read");
            return false;
        }
        return true;
    }

    // Tells the names waiting for a file's first copy where it is, or that
    // it failed (then the next name copies the data), however the copy ends.
    class FirstCopy final {
    public:
        FirstCopy(RunContext &run, const struct stat &source) : m_run(run), m_source(source) {}
        FirstCopy(const FirstCopy &) = delete;
        FirstCopy &operator=(const FirstCopy &) = delete;
        ~FirstCopy()
        {
            if (m_expected)
                m_run.hardLinks.finished({m_source.st_dev, m_source.st_ino}, {});
        }
        void expect() { m_expected = true; }
        // `copyPath()` gives the copy's path, made only when other names wait for it.
        template<typename CopyPath>
        void made(CopyPath copyPath)
        {
            if (m_expected)
                m_run.hardLinks.finished({m_source.st_dev, m_source.st_ino}, copyPath());
            m_expected = false;
        }

    private:
        RunContext &m_run;
        const struct stat &m_source;
        bool m_expected = false;
    };

    // Makes this name a link to `firstCopyNamed` (its path under the names
    // items are reported by). False when the destination cannot link (the data
    // is then copied, and a note says so).
    bool linkTo(const std::string &firstCopyNamed)
    {
        const std::string firstCopy = m_run.whereNow(firstCopyNamed);
        if (m_run.hardLinksRefused.load(std::memory_order_relaxed)) {
            m_run.note(NoteKind::HardLinks);
            return false;
        }
        const int dir = m_folder.targetFd();
        if (!m_folder.fresh()) {
            struct stat existing {};
            struct stat copy {};
            if (::fstatat(dir, m_targetName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0
                && ::stat(firstCopy.c_str(), &copy) == 0 && existing.st_dev == copy.st_dev
                && existing.st_ino == copy.st_ino) {
                ++m_result.unchanged;
                reportCopied(0);
                return true;
            }
        }
        // A path past PATH_MAX is reached through its folder.
        UniqueFd copyFolder;
        int fromDir = AT_FDCWD;
        std::string from = firstCopy;
        if (firstCopy.size() >= PATH_MAX) {
            const auto slash = firstCopy.rfind('/');
            if (Opened folder = openFolderPath(firstCopy.substr(0, slash)); !folder.failed()) {
                copyFolder = std::move(folder.value);
                fromDir = copyFolder.get();
                from = firstCopy.substr(slash + 1);
            }
        }
        const Error error = linkIntoPlace(fromDir, from.c_str(), dir, m_targetName, m_folder.fresh());
        if (!error) {
            ++m_result.files;
            reportCopied(0);
            return true;
        }
        if (isDestinationFatal(error.code)) {
            m_run.fail(m_result, targetPath(), error, true);
            return true;
        }
        const int code = error.code;
        if (code == EPERM || code == ENOTSUP || code == EOPNOTSUPP || code == ENOSYS)
            m_run.hardLinksRefused.store(true, std::memory_order_relaxed);
        m_run.note(NoteKind::HardLinks);
        return false;
    }

    void copyLink(const struct stat *known)
    {
        struct stat info {};
        if (known != nullptr) {
            info = *known;
        } else if (::fstatat(m_folder.sourceFd(), m_name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            m_run.fail(m_result, sourcePath(), lastError("read information"), false);
            return;
        }
        if (!S_ISLNK(info.st_mode)) {
            if (S_ISREG(info.st_mode))
                copyRegular(&info);
            else
                otherKind(info);
            return;
        }
        if (targetUnchanged(info)) {
            leftAlone();
            return;
        }
        std::string text;
        if (const Error error
            = readLink(m_folder.sourceFd(), m_name.c_str(), static_cast<std::size_t>(info.st_size), text)) {
            m_run.fail(m_result, sourcePath(), error, false);
            return;
        }
        const int dir = m_folder.targetFd();
        // A link is whole from the moment it exists. In a folder this run
        // made its name is free, and it is made under it at once; an owner
        // or times not yet set when the run is cut short only make the next
        // run replace it. Elsewhere it takes the place of what is there
        // once it is complete.
        const bool named = m_folder.fresh() && ::symlinkat(text.c_str(), dir, m_targetName.c_str()) == 0;
        std::string temporary;
        if (!named) {
            temporary = underTemporaryName([&](const char *temporaryName) {
                return ::symlinkat(text.c_str(), dir, temporaryName) == 0;
            });
            if (temporary.empty()) {
                m_run.fail(m_result, targetPath(), lastError("create link"), true);
                return;
            }
        }
        const char *made = named ? m_targetName.c_str() : temporary.c_str();
        const struct timespec times[2] = {info.st_atim, info.st_mtim};
        // The link is made: an owner or times the destination refuses are notes.
        if (m_run.asRoot && (info.st_uid != m_run.uid || info.st_gid != m_run.gid)) {
            if (!m_run.destination.keepsOwners
                || ::fchownat(dir, made, info.st_uid, info.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
                m_run.note(NoteKind::OwnersAndPermissions);
        }
        if (::utimensat(dir, made, times, AT_SYMLINK_NOFOLLOW) != 0)
            m_run.note(NoteKind::Times);
        if (!named && ::renameat(dir, temporary.c_str(), dir, m_targetName.c_str()) != 0) {
            const Error error = lastError("replace");
            (void)::unlinkat(dir, temporary.c_str(), 0);
            m_run.fail(m_result, targetPath(), error, true);
            return;
        }
        ++m_result.links;
        reportCopied(0);
    }

    RunContext &m_run;
    const Folder &m_folder;
    const std::string &m_name;
    const std::string &m_targetName;
    Result &m_result;
    std::string m_sourcePath; // made by sourcePath()
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
