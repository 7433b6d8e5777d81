#include "engine/RunState.h"

namespace drovanta::engine {

void RunState::record(Result &into, ItemFailure failure, bool halts)
{
    if (halts)
        failDestination(std::move(failure));
    else if (!destinationFailed())
        into.failures.push_back(std::move(failure));
}

void RunState::failDestination(ItemFailure failure)
{
    std::lock_guard lock(m_mutex);
    if (!m_shared.destinationFailed) {
        m_shared.destinationFailed = true;
        m_shared.destinationFailure = std::move(failure);
    }
    m_halted.store(true, std::memory_order_relaxed);
}

void RunState::collect(Result &into, const std::string &filesystem)
{
    std::lock_guard lock(m_mutex);
    into.merge(m_shared);
    m_shared = Result{};
    into.sharingUnavailable = into.sharingUnavailable || sharingRefused.load(std::memory_order_relaxed);
    for (std::size_t kind = 0; kind < m_notes.size(); ++kind) {
        if (const auto items = m_notes[kind].exchange(0); items > 0)
            into.addNote(static_cast<NoteKind>(kind), filesystem, items);
    }
}

} // namespace drovanta::engine
