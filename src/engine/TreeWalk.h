#pragma once

// The copy of a tree, one algorithm for every system: workers that each list
// the folders they take, a bounded chain of open folders along each walk's
// path, folders completed after their contents, the stop looked at between
// items. Every item is reached through the folder that holds it, held open,
// never through a link.
//
// A system gives the walk its primitives as an object of a class with:
//
//   Run     the run context: a RunState with `params`, and for a Path (a
//           path as the system spells it) fail(Result &, const Path &,
//           Error, bool targetSide), failWithReason(Result &, const Path &,
//           Error, std::string_view) and failDestination(const Path &, Error)
//   Folder  a source folder and its copy, held open; fresh() (made by this
//           run), foldsCase(), itemsQueued(count), itemDone() (true for the
//           last entry of the folder done, its walk's listing included) and
//           complete(Result &) (its metadata, once everything inside is in)
//   Entry   one listed item, its `name` among it, a Name
//   Cursor  where the listing of a folder stands; a new one is at its start,
//           and one let go of holds nothing open
//   Closed  what a level of the chain keeps while it is closed: its name and
//           the identity of both sides, to find the same folders again
//
//   bool read(Folder &, Cursor &, std::vector<Entry> &, int &error)
//           appends what one read of the listing gives ("." and ".." left
//           out); false at its end, with `error` set when reading failed
//   static bool isFolder(const Entry &)
//   static Name folded(const Name &)   the name as a filesystem that folds
//           case compares it
//   bool knowKind(Folder &, Entry &, Result &)   tells the entry's kind when
//           the listing did not; false when it could not (reported)
//   void copyItem(Folder &, const Entry &, Result &)   a file or link: data,
//           metadata, published under its name
//   std::shared_ptr<Folder> openFolder(Folder &parent, const Name &, Result &)
//           the source folder and its copy, made when missing, leftovers of
//           an interrupted run removed; null when it is not walked (done or
//           reported there)
//   Closed close(const Folder &)   what the level keeps once closed
//   static const Name &nameOf(const Closed &)
//   std::shared_ptr<Folder> reopen(const Closed &, const Folder *below,
//           const Folder &anchor, const std::vector<Name> &names, Result &)
//           the closed level's folders again, through the open one `below`
//           it when given, else by `names` beneath the open `anchor` above;
//           null, reported, when they are not the same folders (or cannot
//           be opened)
//   Path pathOf(const Folder &), pathOf(const Folder &, const Name &),
//           targetPathOf(const Folder &)   the paths failures name
//   std::size_t folderLimit()   the most folders a run should hold open
//   static constexpr Error outOfMemory, nameTaken, destinationGone
#include "engine/CopyEngine.h"
#include "engine/EngineError.h"
#include "engine/FaultInjection.h"
#include "engine/RunState.h"
#include "engine/WorkStack.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

namespace drovanta::engine {

namespace treewalk {

// Entries listed and waiting for a worker beyond which a walk copies what it
// lists itself: enough to keep the workers busy while folders are read,
// few enough that a folder of a million entries needs no more memory.
inline constexpr std::size_t queueCapacity = 4096;
// Entries a walk gathers before it hands them over together. It hands them
// over sooner whenever it may wait (before it reads more of a folder, at
// the end of one), so that no worker waits on a gathered entry.
inline constexpr std::size_t batchSize = 256;
// Files of one folder that a rerun checks in one go. Checking an unchanged
// file takes two stats, less than handing it to another worker: one at a
// time would spend the run handing files over.
inline constexpr std::size_t rerunJobFiles = 32;
// Folders along a walk's path that stay open (a source and a target each)
// while few folders are open in all. Deeper, the walk closes the levels
// above these and opens them again on the way back; with many folders open
// in all, it keeps only the deepest two.
inline constexpr std::size_t openLevels = 64;

} // namespace treewalk

// The entries of one folder as a walk reads them, a read at a time. What
// has been read and not yet taken is kept here, so that the folder can be
// closed and the listing go on.
template<typename System>
class Listing final {
public:
    using Entry = typename System::Entry;
    using Folder = typename System::Folder;

    // The next entry, read when none is left over; false at the end. A
    // failure to read ends the listing and sets `error`.
    bool next(System &system, Folder &folder, Entry &entry, int &error)
    {
        if (m_at == m_read.size() && !read(system, folder, error))
            return false;
        entry = std::move(m_read[m_at++]);
        return true;
    }

    // Whether the next entry is at hand, with nothing to read for it.
    [[nodiscard]] bool atHand() const { return m_at < m_read.size() || m_ended; }

    // Reads the rest of the folder now: it is about to be closed.
    void readAll(System &system, Folder &folder, int &error)
    {
        m_read.erase(m_read.begin(), m_read.begin() + static_cast<std::ptrdiff_t>(m_at));
        m_at = 0;
        while (!m_ended)
            fill(system, folder, error);
    }

    // Lets go of the rest: the folder is not listed further.
    void drop()
    {
        m_read.clear();
        m_at = 0;
        end();
    }

private:
    bool read(System &system, Folder &folder, int &error)
    {
        m_read.clear();
        m_at = 0;
        while (m_read.empty() && !m_ended)
            fill(system, folder, error);
        return !m_read.empty();
    }

    void fill(System &system, Folder &folder, int &error)
    {
        if (!system.read(folder, m_cursor, m_read, error))
            end();
    }

    void end()
    {
        m_ended = true;
        m_cursor = {};
    }

    std::vector<Entry> m_read;
    std::size_t m_at = 0;
    bool m_ended = false;
    typename System::Cursor m_cursor{};
};

// Copies a tree with workers that each list the folders they take: a walk
// lists one folder, copies nothing itself while others can, and hands its
// entries to the others in batches (files to copy, folders to list in turn).
// Every folder is listed by one walk only, start to end.
template<typename System>
class TreeWalk final {
public:
    using Run = typename System::Run;
    using Folder = typename System::Folder;
    using Entry = typename System::Entry;
    using Name = decltype(Entry::name);

    TreeWalk(Run &run, System &system)
        : m_run(run), m_system(system), m_folderLimit(folderLimit(system)),
          m_work(run.params.workers, [this](Batch &part, Result &result) { process(part, result); })
    {
    }

    // Copies what is in `root`, which is completed after it.
    Result run(std::shared_ptr<Folder> root)
    {
        return m_work.run([&](Result &result) { walk(std::move(root), result); });
    }

private:
    using Work = WorkStack<std::shared_ptr<Folder>, Entry>;
    using Batch = typename Work::Batch;

    // One level of a walk's path. A closed level keeps its place in the
    // chain and what opens it again, never a full path: a chain of 100,000
    // folders would otherwise hold gigabytes of text.
    struct Level {
        std::shared_ptr<Folder> folder; // null while closed
        typename System::Closed closed{};
        Listing<System> listing;
        // On a destination that folds case: the folded names listed so far.
        std::unordered_set<Name> claimed;
        // Entries listed and not yet handed over, and where those handed
        // over wait.
        std::vector<Entry> gathered;
        typename Work::Place handed;
    };

    // The state of one walk, on one worker's thread.
    struct Path {
        std::vector<Level> levels;
        std::size_t open = 0;
        std::size_t lowestOpen = 1;
    };

    static std::size_t folderLimit(System &system)
    {
        const faults::Faults *planted = faults::active();
        return planted != nullptr && planted->folderLimit != 0 ? planted->folderLimit : system.folderLimit();
    }

    // No new item should be started.
    bool stopped(Result &result) const
    {
        if (!m_run.cutShort() && !m_work.abandoned())
            return false;
        result.stopped = result.stopped || m_run.stopRequested();
        return true;
    }

    // Does the entries of one folder handed over by a walk: files are
    // copied, folders made and listed.
    void process(Batch &part, Result &result)
    {
        for (std::size_t i = 0; i < part.entries.size(); ++i) {
            Entry &entry = part.entries[i];
            Folder &folder = *part.holder;
            if (stopped(result)) {
                finish(folder, result); // the rest is let go, the folder completed all the same
                continue;
            }
            checkDestination(folder);
            if (!System::isFolder(entry)) {
                copyOne(folder, entry, result);
                finish(folder, result);
                continue;
            }
            std::shared_ptr<Folder> below = m_system.openFolder(folder, entry.name, result);
            finish(folder, result); // made in the copy, which is all this folder waits for
            if (i + 1 == part.entries.size())
                part.holder.reset(); // not held open while the one below is walked
            if (below != nullptr)
                walk(std::move(below), result);
        }
        part.holder.reset();
    }

    // An entry handed over from `folder` is done, or its walk is done
    // listing it: the last of them completes the folder, into `result`.
    static void finish(Folder &folder, Result &result)
    {
        if (folder.itemDone())
            folder.complete(result);
    }

    void copyOne(Folder &folder, const Entry &entry, Result &result)
    {
        try {
            m_system.copyItem(folder, entry, result);
        } catch (const std::exception &) {
            m_run.fail(result, m_system.pathOf(folder, entry.name), System::outOfMemory, false);
        }
    }

    // Whether a walk may hand a folder over (it holds its parent open until
    // a worker takes it) or the files of a folder below its first (they
    // hold that open too), rather than go down into it or copy them itself.
    bool mayHandOver() const
    {
        return m_run.openFolders.load(std::memory_order_relaxed) < m_folderLimit
            && m_work.queued() < treewalk::queueCapacity;
    }

    // Lists `top` and whatever the walk goes down into, depth first, with
    // the path held in `path.levels`, not on the call stack: the depth of
    // the tree is the user's to choose.
    void walk(std::shared_ptr<Folder> top, Result &result)
    {
        Path path;
        path.levels.emplace_back();
        path.levels.back().folder = std::move(top);
        path.open = 1;
        while (!path.levels.empty()) {
            if (stopped(result))
                break;
            Level &level = path.levels.back();
            if (level.folder == nullptr) { // could not be opened again: the rest of it is not copied
                leave(path, result);
                continue;
            }
            checkDestination(*level.folder);
            Entry entry;
            if (!nextEntry(level, entry, result)) {
                handOver(level);
                leave(path, result);
                continue;
            }
            Folder &folder = *level.folder;
            if (folder.foldsCase() && !level.claimed.insert(System::folded(entry.name)).second) {
                m_run.failWithReason(result, m_system.pathOf(folder, entry.name), System::nameTaken,
                                     caseClashReason);
                continue;
            }
            if (!m_system.knowKind(folder, entry, result))
                continue;
            // Below its first folder a walk hands nothing over when many
            // folders are open: what it holds open stays bounded.
            const bool folderEntry = System::isFolder(entry);
            const bool handOn = folderEntry || path.levels.size() > 1 ? mayHandOver()
                                                                      : m_work.queued() < treewalk::queueCapacity;
            if (handOn) {
                level.gathered.push_back(std::move(entry));
                if (level.gathered.size() >= treewalk::batchSize)
                    handOver(level);
            } else if (folderEntry) {
                handOver(level);
                enter(path, entry.name, result);
            } else {
                copyOne(folder, entry, result);
            }
        }
        // Stopped: the open folders are let go (and completed as their last
        // entry finishes); closed ones keep what they have.
        for (auto level = path.levels.rbegin(); level != path.levels.rend(); ++level) {
            if (level->folder != nullptr)
                finish(*level->folder, result);
        }
    }

    // Hands what `level` has gathered to the workers.
    void handOver(Level &level)
    {
        if (level.gathered.empty())
            return;
        Batch batch;
        batch.entries = std::move(level.gathered);
        level.gathered.clear();
        // A file of a folder that an earlier run copied is most likely
        // unchanged, and checked with the next ones of its folder.
        batch.most = !level.folder->fresh() && m_run.params.skipUnchanged ? treewalk::rerunJobFiles : 1;
        level.folder->itemsQueued(batch.entries.size());
        batch.holder = level.folder;
        m_work.push(std::move(batch), level.handed);
    }

    // Fails the destination once the backup folder is no longer where the
    // run found it (a drive pulled mid-run); looked at about twice a second
    // by whichever worker comes by.
    void checkDestination(const Folder &folder)
    {
        thread_local unsigned since = 0;
        if (!m_run.destinationGone || ++since < 256)
            return;
        since = 0;
        const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        std::int64_t last = m_lastCheckMs.load(std::memory_order_relaxed);
        if (now - last < 500 || !m_lastCheckMs.compare_exchange_strong(last, now, std::memory_order_relaxed))
            return;
        if (m_run.destinationGone())
            m_run.failDestination(m_system.targetPathOf(folder), System::destinationGone);
    }

    // The next entry of `level`; false at its end.
    bool nextEntry(Level &level, Entry &entry, Result &result)
    {
        if (!level.listing.atHand())
            handOver(level); // reading may wait on the drive: the workers get what is gathered first
        int error = 0;
        if (level.listing.next(m_system, *level.folder, entry, error))
            return true;
        if (error != 0)
            m_run.fail(result, m_system.pathOf(*level.folder), {error, "list folder"}, false);
        return false;
    }

    // Goes down into folder `name` of the deepest level.
    void enter(Path &path, const Name &name, Result &result)
    {
        std::shared_ptr<Folder> folder = m_system.openFolder(*path.levels.back().folder, name, result);
        if (folder == nullptr)
            return;
        path.levels.emplace_back();
        path.levels.back().folder = std::move(folder);
        ++path.open;
        closeDeepLevels(path, result);
    }

    // Closes levels above the deepest `openLevels` (above the deepest two,
    // when many folders are open in all) whose entries are all done; a
    // level with entries still handed over stays open until they are. A
    // closed level is not complete: the walk completes it once it has
    // opened it again and listed the rest. The walk's first level stays
    // open: it is where the walk's path starts.
    void closeDeepLevels(Path &path, Result &result)
    {
        const std::size_t keep
            = m_run.openFolders.load(std::memory_order_relaxed) > m_folderLimit ? 2 : treewalk::openLevels;
        if (path.open <= keep)
            return;
        const std::size_t limit = path.levels.size() - std::min(keep, path.levels.size());
        path.lowestOpen = std::max<std::size_t>(path.lowestOpen, 1);
        for (std::size_t i = path.lowestOpen; i < limit && path.open > keep; ++i) {
            Level &level = path.levels[i];
            if (level.folder == nullptr || level.folder.use_count() != 1)
                continue;
            std::atomic_thread_fence(std::memory_order_acquire); // the workers are done with its folders
            int error = 0;
            level.listing.readAll(m_system, *level.folder, error);
            if (error != 0)
                m_run.fail(result, m_system.pathOf(*level.folder), {error, "list folder"}, false);
            level.closed = m_system.close(*level.folder);
            level.folder.reset();
            --path.open;
        }
        while (path.lowestOpen < limit && path.levels[path.lowestOpen].folder == nullptr)
            ++path.lowestOpen;
    }

    // Leaves the deepest level, opening the level above again when it was
    // closed.
    void leave(Path &path, Result &result)
    {
        const std::size_t index = path.levels.size() - 1;
        if (index > 0 && path.levels[index - 1].folder == nullptr)
            reopen(path, index - 1, result);
        if (path.levels[index].folder != nullptr) {
            finish(*path.levels[index].folder, result);
            --path.open;
        }
        path.levels.pop_back();
        path.lowestOpen = std::min(path.lowestOpen, path.levels.size());
    }

    // Opens closed level `index` again, through the level below it when
    // that is open, else by name from the nearest open level above. One
    // that is no longer the same folder on either side (moved or replaced
    // in the meantime) is reported and the rest of it is not copied.
    void reopen(Path &path, std::size_t index, Result &result)
    {
        std::vector<Level> &levels = path.levels;
        Level &level = levels[index];
        std::size_t anchor = index;
        while (levels[anchor - 1].folder == nullptr) // the walk's first level is never closed
            --anchor;
        std::vector<Name> names;
        for (std::size_t i = anchor; i <= index; ++i)
            names.push_back(System::nameOf(levels[i].closed));
        const Folder *below = levels[index + 1].folder.get();
        level.folder = m_system.reopen(level.closed, below, *levels[anchor - 1].folder, names, result);
        if (level.folder == nullptr) {
            level.listing.drop();
            return;
        }
        ++path.open;
        path.lowestOpen = std::min(path.lowestOpen, index); // to be closed again when the walk goes down from it
    }

    Run &m_run;
    System &m_system;
    const std::size_t m_folderLimit;
    std::atomic<std::int64_t> m_lastCheckMs{0};
    Work m_work;
};

// Copies the tree of folder `root`, counted in `result` with all that is
// copied below it, and the outcome the run's threads share.
template<typename System>
void copyTreeOf(typename System::Run &run, System &system, std::shared_ptr<typename System::Folder> root,
                Result &result)
{
    ++result.folders;
    TreeWalk<System> walk(run, system);
    result.merge(walk.run(std::move(root)));
    run.collect(result);
}

} // namespace drovanta::engine
