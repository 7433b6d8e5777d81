#include "backup/engine/PosixHardLinks.h"

namespace drovanta::engine::posix {

HardLinks::Claim HardLinks::claim(dev_t device, ino_t inode, nlink_t links)
{
    std::unique_lock lock(m_mutex);
    const auto key = std::make_pair(device, inode);
    auto found = m_entries.find(key);
    if (found == m_entries.end()) {
        m_entries.emplace(key, Entry{true, {}, links - 1, 0});
        return {};
    }
    Entry &entry = found->second;
    if (entry.unseen > 0)
        --entry.unseen;
    ++entry.waiting;
    m_changed.wait(lock, [&] { return !entry.busy; });
    --entry.waiting;
    if (entry.copy.empty()) { // the first copy failed: this name makes it
        entry.busy = true;
        return {};
    }
    Claim claim{false, entry.copy};
    if (entry.unseen == 0 && entry.waiting == 0)
        m_entries.erase(found);
    return claim;
}

void HardLinks::finished(dev_t device, ino_t inode, const std::string &copyPath)
{
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_entries.find(std::make_pair(device, inode));
        if (found == m_entries.end())
            return;
        found->second.busy = false;
        found->second.copy = copyPath;
        if (found->second.unseen == 0 && found->second.waiting == 0)
            m_entries.erase(found);
    }
    m_changed.notify_all();
}

} // namespace drovanta::engine::posix
