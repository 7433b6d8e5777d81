// The content fingerprints of a backup folder's files.
//
// XXH3-128: the fingerprint has to find decay and changes in place, not
// withstand someone forging a collision (whoever can write the backup can
// rewrite its record as well), so a cryptographic hash buys nothing here
// and costs several times the CPU: XXH3 hashes at tens of GB/s per core,
// well above any drive, so that checking a backup runs at the drive's speed
// even on a small machine. 128 bits make an accidental match across
// millions of files in years of backups practically impossible, where 64
// would be merely unlikely. The distribution keeps it (libxxhash-dev), and
// it is used header-only so that no library is linked.
#include "engine/CopyEngine.h"
#include "engine/PosixCheckWalk.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <vector>

namespace drovanta::engine {
namespace {

using namespace posix;

struct Pending {
    std::shared_ptr<OpenFolders> parent; // `first` the folder, `second` the earlier backup's (or invalid)
    std::string name;
    std::string path;
};

struct HashJob {
    std::shared_ptr<OpenFolders> folders;
    std::string name;
    std::string path;
};

std::string hexOf(const XXH128_hash_t &hash)
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, hash);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (const unsigned char byte : canonical.digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

class TreeFingerprint final {
public:
    TreeFingerprint(const FingerprintParams &params, const std::atomic<bool> &stop, Fingerprints &out)
        : m_params(params), m_stop(stop), m_out(out), m_pool(params.workers, [this](HashJob &job) { hash(job); })
    {
    }

    void run(UniqueFd folder, UniqueFd earlier)
    {
        auto top = std::make_shared<OpenFolders>(OpenFolders{std::move(folder), std::move(earlier)});
        listFolder(top, {});
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
                unreadable(next.path, errorText(errno));
                continue;
            }
            if (next.parent->second.valid())
                folders->second = openSubFolder(next.parent->second.get(), next.name);
            next.parent.reset();
            listFolder(folders, next.path);
        }
        m_pool.finish();
    }

private:
    void unreadable(const std::string &path, std::string reason)
    {
        std::lock_guard lock(m_mutex);
        m_out.unreadable.push_back({path.empty() ? "." : path, std::move(reason)});
    }

    void listFolder(const std::shared_ptr<OpenFolders> &folders, const std::string &path)
    {
        std::vector<ListedEntry> entries;
        if (const Error error = listEntries(folders->first.get(), entries)) {
            unreadable(path, errorText(error.code));
            return;
        }
        for (const ListedEntry &entry : entries) {
            const std::string itemPath = relativePath(path, entry.name);
            if (S_ISDIR(entry.info.st_mode)) {
                m_pending.push_back({folders, entry.name, itemPath});
                continue;
            }
            if (!S_ISREG(entry.info.st_mode))
                continue;
            if (reused(folders->second.get(), entry, itemPath))
                continue;
            m_pool.push(HashJob{folders, entry.name, itemPath});
        }
    }

    // A file shared with the earlier backup is the very file fingerprinted
    // then: the same inode cannot hold other bytes unless changed in place,
    // which only a check of that backup would find, at no cost here.
    bool reused(int earlierFd, const ListedEntry &entry, const std::string &path)
    {
        if (earlierFd < 0)
            return false;
        const auto known = m_params.earlierFingerprints.find(path);
        if (known == m_params.earlierFingerprints.end()
            || known->second.size != static_cast<std::uint64_t>(entry.info.st_size))
            return false;
        struct stat earlier {};
        if (::fstatat(earlierFd, entry.name.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) != 0
            || earlier.st_dev != entry.info.st_dev || earlier.st_ino != entry.info.st_ino)
            return false;
        std::lock_guard lock(m_mutex);
        m_out.files[path] = known->second;
        ++m_out.filesReused;
        return true;
    }

    void hash(HashJob &job)
    {
        if (m_stop.load())
            return;
        Opened file = openForReading(job.folders->first.get(), job.name);
        job.folders.reset();
        if (file.failed()) {
            unreadable(job.path, errorText(file.error.code));
            return;
        }
        (void)::posix_fadvise(file.value.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        XXH3_state_t state;
        XXH3_128bits_reset(&state);
        constexpr std::size_t chunk = 1 << 20;
        std::vector<char> buffer(chunk);
        std::uint64_t size = 0;
        for (;;) {
            if (m_stop.load())
                return;
            const ssize_t n = ::read(file.value.get(), buffer.data(), chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                unreadable(job.path, errorText(errno));
                return;
            }
            if (n == 0)
                break;
            XXH3_128bits_update(&state, buffer.data(), static_cast<std::size_t>(n));
            size += static_cast<std::uint64_t>(n);
        }
        std::lock_guard lock(m_mutex);
        m_out.files[job.path] = Fingerprint{size, hexOf(XXH3_128bits_digest(&state))};
        ++m_out.filesRead;
    }

    const FingerprintParams &m_params;
    const std::atomic<bool> &m_stop;
    Fingerprints &m_out;
    std::mutex m_mutex;
    std::vector<Pending> m_pending;
    ReadPool<HashJob> m_pool; // last: its readers stop before the members they use go
};

} // namespace

Fingerprints NativeCopyEngine::fingerprint(const FingerprintParams &params, const std::atomic<bool> &stop)
{
    Fingerprints fingerprints;
    Opened folder = openFolderPath(params.folder);
    if (folder.failed()) {
        fingerprints.failure = "cannot open '" + params.folder + "': " + errorText(folder.error.code);
        return fingerprints;
    }
    UniqueFd earlier;
    if (!params.earlier.empty() && !params.earlierFingerprints.empty()) {
        Opened opened = openFolderPath(params.earlier);
        if (!opened.failed())
            earlier = std::move(opened.value);
    }
    raiseDescriptorLimit();
    TreeFingerprint(params, stop, fingerprints).run(std::move(folder.value), std::move(earlier));
    return fingerprints;
}

} // namespace drovanta::engine
