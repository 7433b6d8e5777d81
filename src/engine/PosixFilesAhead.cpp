#include "engine/PosixFilesAhead.h"

#include "engine/FaultInjection.h"
#include "engine/PosixCopyRun.h"
#include "engine/PosixDestination.h"
#include "engine/PosixItemCopy.h"
#include "engine/RunStart.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

namespace drovanta::engine::posix {
namespace {

UniqueFd duplicate(int fd)
{
    return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
}

// The names the folder holds now, with the type its listing gives each.
std::unordered_map<std::string, unsigned char> namesIn(int folderFd)
{
    std::unordered_map<std::string, unsigned char> names;
    const Outcome<UniqueDir> listing = openListing(folderFd);
    if (listing.failed())
        return names;
    while (const dirent *entry = ::readdir(listing.value.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace(entry->d_name, entry->d_type);
    }
    return names;
}

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

FilesAhead::FilesAhead(RunShared &shared, const Params &params, ProgressSink &progress, const std::atomic<bool> &stop)
    : m_shared(shared), m_params(params),
      m_progress(*this, progress),
      m_run(m_params, m_progress, stop, shared.hardLinks, [&shared] { return shared.gone(); }, shared.umask)
{
}

void FilesAhead::HeldProgress::fileCopied(const std::string &sourcePath, std::uint64_t bytes)
{
    const auto found = m_ahead.m_bySource.find(sourcePath);
    if (found == m_ahead.m_bySource.end() || found->second < m_ahead.m_waitedFor.load())
        m_progress.fileCopied(sourcePath, bytes);
    else
        m_ahead.m_heldBytes[found->second].fetch_add(bytes);
}

void FilesAhead::HeldProgress::release(std::size_t index)
{
    if (const std::uint64_t held = m_ahead.m_heldBytes[index].exchange(0); held > 0)
        m_progress.fileCopied(m_ahead.m_slots[index].source, held);
}

std::unique_ptr<FilesAhead> FilesAhead::start(RunShared &shared, const std::vector<Params> &files,
                                              ProgressSink &progress, const std::atomic<bool> &stop)
{
    if (files.empty() || shared.openError() || files.front().sourceRoot.empty())
        return nullptr;
    const std::string root = normalized(files.front().sourceRoot);
    for (const Params &file : files) {
        if (normalized(file.sourceRoot) != root || parentOf(normalized(file.source)) != root
            || normalized(file.target) != shared.backupPath() || file.keepExisting != files.front().keepExisting
            || file.skipUnchanged != files.front().skipUnchanged || file.atDriveRoot != files.front().atDriveRoot)
            return nullptr;
    }
    const int rootFd = shared.sourceRoot(root);
    if (rootFd < 0)
        return nullptr;
    struct stat rootInfo {};
    UniqueFd source = duplicate(rootFd);
    UniqueFd target = duplicate(shared.backupFolder());
    UniqueFd sourceAgain = duplicate(rootFd);
    UniqueFd targetAgain = duplicate(shared.backupFolder());
    if (!source.valid() || !target.valid() || !sourceAgain.valid() || !targetAgain.valid()
        || ::fstat(rootFd, &rootInfo) != 0)
        return nullptr;

    std::unique_ptr<FilesAhead> ahead(new FilesAhead(shared, files.front(), progress, stop));
    RunContext &run = ahead->m_run;
    shared.sweepLeftovers(rootFd);
    run.granularityNs = std::max(timeGranularityNs(rootFd), timeGranularityNs(shared.backupFolder()));
    run.destination = shared.destination(run.asRoot);
    // A name the backup folder does not hold yet is free for the file: it is
    // written with no name, or its final one, and never has to replace
    // anything. The run's lock keeps anyone else from writing there.
    const auto path = std::make_shared<FolderPath>(root, shared.backupPath());
    ahead->m_freshNames = std::make_unique<Folder>(run, std::move(source), std::move(target), path, rootInfo, true);
    ahead->m_takenNames
        = std::make_unique<Folder>(run, std::move(sourceAgain), std::move(targetAgain), path, rootInfo, false);
    if (shared.previousFolder() >= 0) {
        ahead->m_freshNames->setPrevious(duplicate(shared.previousFolder()));
        ahead->m_takenNames->setPrevious(duplicate(shared.previousFolder()));
    }
    if (faults::Faults *planted = faults::active())
        planted->targetListings.fetch_add(1, std::memory_order_relaxed);
    const std::unordered_map<std::string, unsigned char> taken = namesIn(shared.backupFolder());
    // The root's listing tells each file's type, as a folder's listing does
    // for the walk: no stat per file to learn it.
    const std::unordered_map<std::string, unsigned char> types = namesIn(rootFd);
    ahead->m_slots.reserve(files.size());
    for (const Params &file : files) {
        Slot slot;
        slot.source = normalized(file.source);
        slot.name = baseName(slot.source);
        slot.nameFree = !taken.contains(slot.name);
        if (const auto type = types.find(slot.name); type != types.end())
            slot.type = type->second;
        // In the order of the calls, as each call would have asked.
        slot.clash = run.destination.foldsCase && shared.clashesInBackupFolder(slot.name);
        if (ahead->m_bySource.emplace(slot.source, ahead->m_slots.size()).second)
            ahead->m_slots.push_back(std::move(slot));
    }
    ahead->m_states = std::make_unique<std::atomic<int>[]>(ahead->m_slots.size());
    ahead->m_heldBytes = std::make_unique<std::atomic<std::uint64_t>[]>(ahead->m_slots.size());
    const std::size_t workers = std::clamp<std::size_t>(files.front().workers, 1, ahead->m_slots.size());
    try {
        for (std::size_t i = 0; i < workers; ++i)
            ahead->m_workers.emplace_back([raw = ahead.get()] { raw->work(); });
    } catch (const std::exception &) {
        // Fewer threads than asked for; with none, each call copies its own file.
    }
    return ahead;
}

FilesAhead::~FilesAhead()
{
    (void)settle();
}

bool FilesAhead::holds(const Params &params) const
{
    const auto found = m_bySource.find(normalized(params.source));
    return found != m_bySource.end() && normalized(params.target) == m_shared.backupPath()
        && !m_slots[found->second].claimed;
}

void FilesAhead::work()
{
    for (;;) {
        std::size_t index = m_next.load();
        if (index >= m_slots.size() || m_closing.load())
            return;
        // No further than lookAhead past the file the caller waits for. A
        // worker that reaches that sleeps until the caller has come half way
        // to it: woken for every file the caller comes to, the workers would
        // cost two context switches per file.
        if (index >= m_waitedFor.load() + lookAhead) {
            std::unique_lock lock(m_sleep);
            ++m_roomWaiters;
            while (m_next.load() > m_waitedFor.load() + lookAhead / 2 && m_next.load() < m_slots.size()
                   && !m_closing.load())
                m_room.wait(lock);
            --m_roomWaiters;
            continue;
        }
        if (m_next.compare_exchange_weak(index, index + 1))
            take(index);
    }
}

void FilesAhead::take(std::size_t index)
{
    int waiting = Waiting;
    if (!m_states[index].compare_exchange_strong(waiting, Busy))
        return;
    copy(m_slots[index]);
    m_states[index].store(Done);
    if (m_waiting.load() == index) {
        std::lock_guard lock(m_sleep);
        m_done.notify_one();
    }
}

void FilesAhead::copy(Slot &slot)
{
    Result &result = slot.result;
    if (endsBeforeStart(m_params, slot.source, slot.name, m_run.stopFlag(), result))
        return;
    if (m_run.cutShort()) { // the destination failed: the run says so once
        result.stopped = m_run.stopRequested();
        return;
    }
    // Whether the drive is still there, about twice a second.
    const std::int64_t now = nowNs();
    std::int64_t last = m_lastGoneCheckNs.load(std::memory_order_relaxed);
    if (now - last > 500'000'000 && m_lastGoneCheckNs.compare_exchange_strong(last, now) && m_shared.gone()) {
        m_run.failDestination(m_shared.backupPath(), {ENODEV, "write"});
        return;
    }
    if (slot.clash) {
        m_run.failWithReason(result, joinPath(m_shared.backupPath(), slot.name), {EEXIST, "copy"}, caseClashReason);
        return;
    }
    try {
        copyItem(m_run, slot.nameFree ? *m_freshNames : *m_takenNames, slot.name, slot.type, result);
    } catch (const std::exception &) {
        m_run.fail(result, slot.source, {ENOMEM, "copy"}, false);
    }
}

Result FilesAhead::claim(const Params &params)
{
    const std::size_t index = m_bySource.at(normalized(params.source));
    if (const std::size_t before = m_waitedFor.load(); index + 1 > before) {
        m_waitedFor.store(index + 1);
        if (m_roomWaiters.load() > 0 && m_next.load() <= index + 1 + lookAhead / 2) {
            std::lock_guard lock(m_sleep);
            m_room.notify_all();
        }
    }
    m_progress.release(index);
    take(index); // no worker has come to it yet
    if (m_states[index].load() != Done) {
        std::unique_lock lock(m_sleep);
        m_waiting.store(index);
        m_done.wait(lock, [&] { return m_states[index].load() == Done; });
        m_waiting.store(SIZE_MAX);
    }
    m_progress.release(index);
    Slot &slot = m_slots[index];
    slot.claimed = true;
    Result result = std::move(slot.result);
    m_run.collect(result);
    return result;
}

Result FilesAhead::settle()
{
    {
        std::lock_guard lock(m_sleep);
        m_closing.store(true);
        m_room.notify_all();
    }
    for (auto &worker : m_workers) {
        if (worker.joinable())
            worker.join();
    }
    m_workers.clear();
    Result rest;
    for (std::size_t index = 0; index < m_slots.size(); ++index) {
        Slot &slot = m_slots[index];
        const int state = m_states[index].load();
        if (state == Done && !slot.claimed) {
            slot.claimed = true;
            rest.merge(slot.result);
            m_progress.release(index);
        }
        rest.stopped = rest.stopped || (state == Waiting && m_run.stopRequested());
    }
    m_run.collect(rest);
    return rest;
}

} // namespace drovanta::engine::posix
