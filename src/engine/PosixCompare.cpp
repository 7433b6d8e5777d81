// How a backup differs from its source: both trees walked side by side,
// files read in full on both sides.
#include "engine/CopyEngine.h"
#include "engine/PosixCheckWalk.h"
#include "engine/PosixDestination.h"
#include "engine/PosixMetadata.h"
#include "engine/SystemItems.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace drovanta::engine {
namespace {

using namespace posix;

struct Pending {
    std::shared_ptr<OpenFolders> parent; // null for the top
    std::string name;
    std::string path; // relative
};

struct ContentJob {
    std::shared_ptr<OpenFolders> folders;
    std::string name;
    std::string path;
};

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string kindName(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISREG(mode))
        return "a file";
    if (S_ISLNK(mode))
        return "a link";
    return "a special file";
}

class TreeComparison final {
public:
    TreeComparison(const CompareParams &params, const std::atomic<bool> &stop, Comparison &out)
        : m_params(params), m_stop(stop), m_out(out), m_asRoot(::geteuid() == 0),
          m_pool(params.workers, [this](ContentJob &job) { compareContent(job); })
    {
    }

    void run(UniqueFd source, UniqueFd backup)
    {
        struct stat backupInfo {};
        (void)::fstat(backup.get(), &backupInfo);
        m_backupDevice = backupInfo.st_dev;
        m_backupInode = backupInfo.st_ino;
        m_granularityNs = std::max(timeGranularityNs(source.get()), timeGranularityNs(backup.get()));
        m_destination = destinationByType(backup.get());
        auto top = std::make_shared<OpenFolders>(OpenFolders{std::move(source), std::move(backup)});
        compareFolder(top, {}, true);
        while (!m_pending.empty()) {
            if (m_stop.load()) {
                m_out.stopped = true;
                break;
            }
            Pending next = std::move(m_pending.back());
            m_pending.pop_back();
            auto folders = std::make_shared<OpenFolders>();
            folders->first = openSubFolder(next.parent->first.get(), next.name);
            if (!folders->first.valid()) {
                add(Difference::Unreadable, next.path, "source: " + errorText(errno));
                continue;
            }
            folders->second = openSubFolder(next.parent->second.get(), next.name);
            if (!folders->second.valid()) {
                add(Difference::Unreadable, next.path, "backup: " + errorText(errno));
                continue;
            }
            next.parent.reset();
            compareFolder(folders, next.path, false);
        }
        m_pool.finish();
    }

private:
    void add(Difference kind, const std::string &path, std::string detail = {})
    {
        std::lock_guard lock(m_mutex);
        m_out.differences.push_back({kind, path, std::move(detail)});
    }

    // What a backup leaves out of the source by design.
    bool leftOutByBackup(const ListedEntry &entry, bool top) const
    {
        if (top && m_params.atDriveRoot && isDriveBookkeepingName(entry.name))
            return true;
        if (S_ISSOCK(entry.info.st_mode))
            return true;
        if ((S_ISCHR(entry.info.st_mode) || S_ISBLK(entry.info.st_mode)) && !m_asRoot)
            return true;
        return S_ISDIR(entry.info.st_mode) && entry.info.st_dev == m_backupDevice
            && entry.info.st_ino == m_backupInode;
    }

    void compareFolder(const std::shared_ptr<OpenFolders> &folders, const std::string &path, bool top)
    {
        std::vector<ListedEntry> source;
        std::vector<ListedEntry> backup;
        if (const Error error = listEntries(folders->first.get(), source)) {
            add(Difference::Unreadable, path.empty() ? "." : path, "source: " + errorText(error.code));
            return;
        }
        if (const Error error = listEntries(folders->second.get(), backup)) {
            add(Difference::Unreadable, path.empty() ? "." : path, "backup: " + errorText(error.code));
            return;
        }
        struct stat folderInfo {};
        (void)::fstat(folders->first.get(), &folderInfo);
        auto s = source.begin();
        auto b = backup.begin();
        while (s != source.end() || b != backup.end()) {
            if (b == backup.end() || (s != source.end() && s->name < b->name)) {
                if (!leftOutByBackup(*s, top))
                    add(Difference::Missing, relativePath(path, s->name));
                ++s;
            } else if (s == source.end() || b->name < s->name) {
                add(Difference::Extra, relativePath(path, b->name));
                ++b;
            } else {
                if (!leftOutByBackup(*s, top))
                    compareItem(folders, path, *s, *b, folderInfo.st_dev);
                ++s;
                ++b;
            }
        }
    }

    void compareItem(const std::shared_ptr<OpenFolders> &folders, const std::string &folder,
                     const ListedEntry &source, const ListedEntry &backup, dev_t folderDevice)
    {
        const std::string path = relativePath(folder, source.name);
        const struct stat &s = source.info;
        const struct stat &b = backup.info;
        if ((s.st_mode & S_IFMT) != (b.st_mode & S_IFMT)) {
            add(Difference::SourceChanged, path, kindName(s.st_mode) + " in the source, " + kindName(b.st_mode) +
                                                     " in the backup");
            return;
        }
        if (S_ISREG(s.st_mode)) {
            if (s.st_size != b.st_size) {
                add(Difference::SourceChanged, path,
                    "size " + std::to_string(s.st_size) + ", backup " + std::to_string(b.st_size));
                return;
            }
            if (!sameModificationTime(s.st_mtim, b.st_mtim, m_granularityNs)) {
                add(Difference::SourceChanged, path, "modification time differs");
                return;
            }
            compareMetadata(folders, path, source, backup, false);
            m_pool.push(ContentJob{folders, source.name, path});
            return;
        }
        if (S_ISLNK(s.st_mode)) {
            if (linkText(folders->first.get(), source.name) != linkText(folders->second.get(), source.name))
                add(Difference::Metadata, path, "link target");
            return;
        }
        if ((S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode)) && s.st_rdev != b.st_rdev) {
            add(Difference::SourceChanged, path, "device number");
            return;
        }
        compareMetadata(folders, path, source, backup, true);
        // Another filesystem mounted here: the backup holds the folder only.
        if (S_ISDIR(s.st_mode) && s.st_dev == folderDevice)
            m_pending.push_back({folders, source.name, path});
    }

    void compareMetadata(const std::shared_ptr<OpenFolders> &folders, const std::string &path,
                         const ListedEntry &source, const ListedEntry &backup, bool withTime)
    {
        const struct stat &s = source.info;
        const struct stat &b = backup.info;
        std::string differs;
        const auto note = [&differs](const std::string &what) {
            differs += differs.empty() ? what : ", " + what;
        };
        const mode_t bits = m_asRoot ? 07777 : 0777;
        if (m_destination.keepsModes && (s.st_mode & bits) != (b.st_mode & bits))
            note("mode " + octal(s.st_mode) + ", backup " + octal(b.st_mode));
        if (m_asRoot && m_destination.keepsOwners && (s.st_uid != b.st_uid || s.st_gid != b.st_gid))
            note("owner " + std::to_string(s.st_uid) + ":" + std::to_string(s.st_gid) + ", backup " +
                 std::to_string(b.st_uid) + ":" + std::to_string(b.st_gid));
        if (withTime && !sameModificationTime(s.st_mtim, b.st_mtim, m_granularityNs))
            note("modification time");
        if (m_destination.holdsAttributes
            && !sameAttributes(folders->first.get(), source.name, folders->second.get(), backup.name))
            note("extended attributes or ACLs");
        if (!differs.empty())
            add(Difference::Metadata, path, differs);
    }

    void compareContent(ContentJob &job)
    {
        if (m_stop.load())
            return;
        Opened source = openForReading(job.folders->first.get(), job.name);
        if (source.failed()) {
            add(Difference::Unreadable, job.path, "source: " + errorText(source.error.code));
            return;
        }
        Opened backup = openForReading(job.folders->second.get(), job.name);
        if (backup.failed()) {
            add(Difference::Unreadable, job.path, "backup: " + errorText(backup.error.code));
            return;
        }
        job.folders.reset();
        (void)::posix_fadvise(source.value.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        (void)::posix_fadvise(backup.value.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        constexpr std::size_t chunk = 1 << 20;
        std::vector<char> one(chunk);
        std::vector<char> other(chunk);
        for (;;) {
            if (m_stop.load())
                return;
            const ssize_t a = readFully(source.value.get(), one.data(), chunk);
            if (a < 0) {
                add(Difference::Unreadable, job.path, "source: " + errorText(errno));
                return;
            }
            const ssize_t b = readFully(backup.value.get(), other.data(), chunk);
            if (b < 0) {
                add(Difference::Unreadable, job.path, "backup: " + errorText(errno));
                return;
            }
            if (a != b || std::memcmp(one.data(), other.data(), static_cast<std::size_t>(a)) != 0) {
                add(Difference::ContentDecayed, job.path);
                return;
            }
            if (a == 0)
                return;
        }
    }

    static ssize_t readFully(int fd, char *buffer, std::size_t size)
    {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::read(fd, buffer + done, size - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        return static_cast<ssize_t>(done);
    }

    const CompareParams &m_params;
    const std::atomic<bool> &m_stop;
    Comparison &m_out;
    bool m_asRoot;
    std::mutex m_mutex;
    std::vector<Pending> m_pending;
    dev_t m_backupDevice = 0;
    ino_t m_backupInode = 0;
    std::int64_t m_granularityNs = 1;
    Destination m_destination;
    ReadPool<ContentJob> m_pool; // last: its readers stop before the members they use go
};

} // namespace

Comparison NativeCopyEngine::compare(const CompareParams &params, const std::atomic<bool> &stop)
{
    Comparison comparison;
    Opened source = openFolderPath(params.source);
    if (source.failed()) {
        comparison.failure = "cannot open '" + params.source + "': " + errorText(source.error.code);
        return comparison;
    }
    Opened backup = openFolderPath(params.backup);
    if (backup.failed()) {
        comparison.failure = "cannot open '" + params.backup + "': " + errorText(backup.error.code);
        return comparison;
    }
    raiseDescriptorLimit();
    TreeComparison(params, stop, comparison).run(std::move(source.value), std::move(backup.value));
    return comparison;
}

} // namespace drovanta::engine
