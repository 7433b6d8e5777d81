#pragma once

// The content fingerprints of a backup folder's files, over a system's
// primitives (see CheckWalk.h). Besides those the system gives:
//
//   static std::uint64_t sizeOf(const Entry &)
//   static bool sameFile(const Folder &folder, const Entry &entry, const Folder &earlier)
//       whether the item of that name in `earlier` is the very file
//       `entry` (listed in `folder`), not a copy of it
//
#include "engine/CheckWalk.h"
#include "engine/Checking.h"
#include "engine/ContentHash.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace drovanta::engine {

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
        : m_params(params), m_stop(stop), m_out(out), m_listers(std::max(1u, params.workers / 2)),
          m_pool(params.workers, [this](Item &job) { hash(job); })
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
        if (!m_pending.run(m_listers, m_stop, open, list))
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
                m_pending.add({folders, entry.name, itemPath});
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
        const Outcome<ContentHash> hashed = hashContent<System>(file.value, m_stop);
        if (hashed.failed()) {
            unreadable(job.path, System::errorText(hashed.error.code));
            return;
        }
        if (hashed.value.stopped)
            return;
        std::lock_guard lock(m_mutex);
        m_out.files[job.path] = Fingerprint{hashed.value.size, hexOf(hashed.value.hash)};
        ++m_out.filesRead;
    }

    const FingerprintParams &m_params;
    const std::atomic<bool> &m_stop;
    Fingerprints &m_out;
    std::mutex m_mutex;
    PendingFolders<Folders> m_pending;
    const unsigned m_listers;
    ReadPool<Item> m_pool; // last: its readers stop before the members they use go
};

} // namespace drovanta::engine
