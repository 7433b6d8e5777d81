#pragma once

// The content fingerprints of a backup folder's files, over a system's
// primitives (see CheckWalk.h). Besides those the system gives:
//
//   static std::uint64_t sizeOf(const Entry &)
//   static bool sameFile(const Folder &folder, const Entry &entry, const Folder &earlier)
//       whether the item of that name in `earlier` is the very file
//       `entry` (listed in `folder`), not a copy of it
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
#include "engine/CheckWalk.h"
#include "engine/Checking.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace drovanta::engine {

[[nodiscard]] inline std::string hexOf(const XXH128_hash_t &hash)
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

template<typename System>
class FingerprintWalk final {
    using Folder = typename System::Folder;
    using Entry = typename System::Entry;

    // A folder and the same folder of the earlier backup (invalid: none),
    // held open while the files in them wait for a reader.
    struct Folders {
        Folder folder;
        Folder earlier;
    };
    using Item = WalkItem<Folders>;

public:
    FingerprintWalk(const FingerprintParams &params, const std::atomic<bool> &stop, Fingerprints &out)
        : m_params(params), m_stop(stop), m_out(out), m_pool(params.workers, [this](Item &job) { hash(job); })
    {
    }

    void run(Folder folder, Folder earlier)
    {
        listFolder(std::make_shared<Folders>(Folders{std::move(folder), std::move(earlier)}), {});
        const auto open = [this](const Item &next) -> std::shared_ptr<Folders> {
            Outcome<Folder> opened = System::openFolder(next.folders->folder, next.name);
            if (opened.failed()) {
                unreadable(next.path, System::errorText(opened.error.code));
                return nullptr;
            }
            auto folders = std::make_shared<Folders>(Folders{std::move(opened.value), Folder{}});
            if (next.folders->earlier.valid()) {
                Outcome<Folder> earlier = System::openFolder(next.folders->earlier, next.name);
                if (!earlier.failed())
                    folders->earlier = std::move(earlier.value);
            }
            return folders;
        };
        const auto list = [this](const std::shared_ptr<Folders> &folders, const std::string &path) {
            listFolder(folders, path);
        };
        if (!listPending(m_pending, m_stop, open, list))
            m_out.stopped = true;
        m_pool.finish();
    }

private:
    void unreadable(const std::string &path, std::string reason)
    {
        std::lock_guard lock(m_mutex);
        m_out.unreadable.push_back({path.empty() ? "." : path, std::move(reason)});
    }

    void listFolder(const std::shared_ptr<Folders> &folders, const std::string &path)
    {
        std::vector<Entry> entries;
        if (const Error error = System::list(folders->folder, entries)) {
            unreadable(path, System::errorText(error.code));
            return;
        }
        for (const Entry &entry : entries) {
            const std::string itemPath = relativePath(path, entry.name);
            const EntryKind kind = System::kindOf(entry);
            if (kind == EntryKind::Folder) {
                m_pending.push_back({folders, entry.name, itemPath});
                continue;
            }
            if (kind != EntryKind::File || reused(*folders, entry, itemPath))
                continue;
            m_pool.push(Item{folders, entry.name, itemPath});
        }
    }

    // A file shared with the earlier backup is the very file fingerprinted
    // then: the same file cannot hold other bytes unless changed in place,
    // which only a check of that backup would find, at no cost here.
    bool reused(const Folders &folders, const Entry &entry, const std::string &path)
    {
        if (!folders.earlier.valid())
            return false;
        const auto known = m_params.earlierFingerprints.find(path);
        if (known == m_params.earlierFingerprints.end() || known->second.size != System::sizeOf(entry)
            || !System::sameFile(folders.folder, entry, folders.earlier))
            return false;
        std::lock_guard lock(m_mutex);
        m_out.files[path] = known->second;
        ++m_out.filesReused;
        return true;
    }

    void hash(Item &job)
    {
        if (m_stop.load())
            return;
        Outcome<typename System::File> file = System::openFile(job.folders->folder, job.name);
        job.folders.reset();
        if (file.failed()) {
            unreadable(job.path, System::errorText(file.error.code));
            return;
        }
        XXH3_state_t state;
        XXH3_128bits_reset(&state);
        char *const buffer = readBuffer(0);
        std::uint64_t size = 0;
        for (;;) {
            if (m_stop.load())
                return;
            const Outcome<std::size_t> read = System::read(file.value, buffer, readChunk);
            if (read.failed()) {
                unreadable(job.path, System::errorText(read.error.code));
                return;
            }
            if (read.value == 0)
                break;
            XXH3_128bits_update(&state, buffer, read.value);
            size += read.value;
        }
        std::lock_guard lock(m_mutex);
        m_out.files[job.path] = Fingerprint{size, hexOf(XXH3_128bits_digest(&state))};
        ++m_out.filesRead;
    }

    const FingerprintParams &m_params;
    const std::atomic<bool> &m_stop;
    Fingerprints &m_out;
    std::mutex m_mutex;
    std::vector<Item> m_pending;
    ReadPool<Item> m_pool; // last: its readers stop before the members they use go
};

} // namespace drovanta::engine
