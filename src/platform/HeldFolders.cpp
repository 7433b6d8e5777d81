#include "platform/HeldFolders.h"

#include <map>
#include <mutex>

namespace drovanta::platform {
namespace {

class SharedLock final : public FolderLock {
public:
    explicit SharedLock(std::shared_ptr<void> held) : m_held(std::move(held)) {}

private:
    std::shared_ptr<void> m_held;
};

std::mutex heldMutex;
std::map<FolderIdentity, std::weak_ptr<void>> held;

} // namespace

std::unique_ptr<FolderLock> shareOrTake(const FolderIdentity &folder,
                                        const std::function<std::shared_ptr<void>()> &take)
{
    const std::lock_guard guard(heldMutex);
    std::weak_ptr<void> &entry = held[folder];
    std::shared_ptr<void> lock = entry.lock();
    if (!lock) {
        lock = take();
        if (!lock) {
            held.erase(folder);
            return nullptr;
        }
        entry = lock;
    }
    std::erase_if(held, [](const auto &item) { return item.second.expired(); });
    return std::make_unique<SharedLock>(std::move(lock));
}

} // namespace drovanta::platform
