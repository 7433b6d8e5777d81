#pragma once

// How a backup differs from its source, over a system's primitives (see
// CheckWalk.h): both trees walked side by side, files read in full on both
// sides. What differs between two items of the same name is the system's to
// judge, by a class `Rules` made for one comparison with
//
//   bool leftOut(const Entry &source, bool top) const
//       an item of the source that a backup leaves out by design (`top`:
//       it lies in the source folder itself)
//   CompareNext judge(const Folder &sourceFolder, const Folder &backupFolder,
//                     const Entry &source, const Entry &backup, std::vector<Found> &found)
//       what differs between the two, and whether their contents are to be
//       read and compared (files) or the walk goes into them (folders)
#include "engine/CheckWalk.h"
#include "engine/Checking.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace drovanta::engine {

// What the walk does after judging a pair of items.
enum class CompareNext { Nothing, Content, Descend };

struct Found {
    Difference kind = Difference::Metadata;
    std::string detail;
};

template<typename System, typename Rules>
class CompareWalk final {
    using Folder = typename System::Folder;
    using Entry = typename System::Entry;

    // A folder of the source and its backup, held open while the files in
    // them wait for a reader.
    struct Folders {
        Folder source;
        Folder backup;
    };
    using Item = WalkItem<Folders>;

public:
    CompareWalk(Rules rules, const CompareParams &params, const std::atomic<bool> &stop, Comparison &out)
        : m_rules(std::move(rules)), m_stop(stop), m_out(out), m_listers(std::max(1u, params.workers / 2)),
          m_pool(params.workers, [this](Item &job) { compareContent(job); })
    {
    }

    void run(Folder source, Folder backup)
    {
        compareFolder(std::make_shared<Folders>(Folders{std::move(source), std::move(backup)}), {}, true);
        const auto open = [this](const Item &next) -> std::shared_ptr<Folders> {
            Outcome<Folder> source = System::openFolder(next.folders->source, next.name);
            if (source.failed()) {
                add(Difference::Unreadable, next.path, "source: " + System::errorText(source.error.code));
                return nullptr;
            }
            Outcome<Folder> backup = System::openFolder(next.folders->backup, next.name);
            if (backup.failed()) {
                add(Difference::Unreadable, next.path, "backup: " + System::errorText(backup.error.code));
                return nullptr;
            }
            return std::make_shared<Folders>(Folders{std::move(source.value), std::move(backup.value)});
        };
        const auto list = [this](const std::shared_ptr<Folders> &folders, const std::string &path) {
            compareFolder(folders, path, false);
        };
        if (!m_pending.run(m_listers, m_stop, open, list))
            m_out.stopped = true;
        m_pool.finish();
    }

private:
    void add(Difference kind, const std::string &path, std::string detail = {})
    {
        std::lock_guard lock(m_mutex);
        m_out.differences.push_back({kind, path, std::move(detail)});
    }

    void compareFolder(const std::shared_ptr<Folders> &folders, const std::string &path, bool top)
    {
        std::vector<Entry> source;
        std::vector<Entry> backup;
        if (const Error error = System::list(folders->source, source)) {
            add(Difference::Unreadable, path.empty() ? "." : path, "source: " + System::errorText(error.code));
            return;
        }
        if (const Error error = System::list(folders->backup, backup)) {
            add(Difference::Unreadable, path.empty() ? "." : path, "backup: " + System::errorText(error.code));
            return;
        }
        // Both sides in the same order: one pass pairs them.
        auto s = source.begin();
        auto b = backup.begin();
        while (s != source.end() || b != backup.end()) {
            if (b == backup.end() || (s != source.end() && s->name < b->name)) {
                if (!m_rules.leftOut(*s, top))
                    add(Difference::Missing, relativePath(path, s->name));
                ++s;
            } else if (s == source.end() || b->name < s->name) {
                add(Difference::Extra, relativePath(path, b->name));
                ++b;
            } else {
                if (!m_rules.leftOut(*s, top))
                    compareItem(folders, relativePath(path, s->name), *s, *b);
                ++s;
                ++b;
            }
        }
    }

    void compareItem(const std::shared_ptr<Folders> &folders, const std::string &path, const Entry &source,
                     const Entry &backup)
    {
        std::vector<Found> found;
        const CompareNext next = m_rules.judge(folders->source, folders->backup, source, backup, found);
        for (Found &difference : found)
            add(difference.kind, path, std::move(difference.detail));
        if (next == CompareNext::Content)
            m_pool.push(Item{folders, source.name, path});
        else if (next == CompareNext::Descend)
            m_pending.add({folders, source.name, path});
    }

    void compareContent(Item &job)
    {
        if (m_stop.load())
            return;
        Outcome<typename System::File> source = System::openFile(job.folders->source, job.name);
        if (source.failed()) {
            add(Difference::Unreadable, job.path, "source: " + System::errorText(source.error.code));
            return;
        }
        Outcome<typename System::File> backup = System::openFile(job.folders->backup, job.name);
        if (backup.failed()) {
            add(Difference::Unreadable, job.path, "backup: " + System::errorText(backup.error.code));
            return;
        }
        job.folders.reset();
        char *const one = readBuffer(0);
        char *const other = readBuffer(1);
        for (;;) {
            if (m_stop.load())
                return;
            const Outcome<std::size_t> a = readFully<System>(source.value, one, readChunk);
            if (a.failed()) {
                add(Difference::Unreadable, job.path, "source: " + System::errorText(a.error.code));
                return;
            }
            const Outcome<std::size_t> b = readFully<System>(backup.value, other, readChunk);
            if (b.failed()) {
                add(Difference::Unreadable, job.path, "backup: " + System::errorText(b.error.code));
                return;
            }
            if (a.value != b.value || std::memcmp(one, other, a.value) != 0) {
                add(Difference::ContentDecayed, job.path);
                return;
            }
            // A piece short of a full one is the end of both.
            if (a.value < readChunk)
                return;
        }
    }

    Rules m_rules;
    const std::atomic<bool> &m_stop;
    Comparison &m_out;
    std::mutex m_mutex;
    PendingFolders<Folders> m_pending;
    const unsigned m_listers;
    ReadPool<Item> m_pool; // last: its readers stop before the members they use go
};

} // namespace drovanta::engine
