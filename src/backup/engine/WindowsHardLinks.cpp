#include "backup/engine/WindowsHardLinks.h"

namespace drovanta::engine::windows {

HardLinks::Claim HardLinks::claim(const Key &key, std::uint32_t links)
{
    std::unique_lock lock(m_mutex);
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

void HardLinks::finished(const Key &key, const std::wstring &copyPath)
{
    {
        std::lock_guard lock(m_mutex);
        const auto found = m_entries.find(key);
        if (found == m_entries.end())
            return;
        found->second.busy = false;
        found->second.copy = copyPath;
        if (found->second.unseen == 0 && found->second.waiting == 0)
            m_entries.erase(found);
    }
    m_changed.notify_all();
}

} // namespace drovanta::engine::windows
