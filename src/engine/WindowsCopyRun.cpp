// One backup run on Windows: the backup folder is held open for the whole
// run, so that nobody can rename or remove it meanwhile, and the files with
// several names are one registry across every item of the run.
#include "engine/CopyEngine.h"
#include "engine/LongPath.h"
#include "engine/PathCopyRun.h"
#include "engine/WindowsHardLinks.h"
#include "engine/WindowsSupport.h"
#include "engine/WindowsTreeCopy.h"
#include "platform/windows/WideText.h"

#include <windows.h>

namespace drovanta::engine {
namespace {

using windows::Handle;

// Opens the folder `path` to learn and keep its identity; deleting or
// renaming it is refused while the handle lives.
Handle holdFolder(const std::string &path)
{
    return Handle(::CreateFileW(toExtendedPath(platform::wideText(path)).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool sameItem(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh
        && a.nFileIndexLow == b.nFileIndexLow;
}

class WindowsCopyRun final : public CopyRun {
public:
    explicit WindowsCopyRun(RunPlaces places) : m_places(std::move(places)), m_held(holdFolder(m_places.backupFolder))
    {
        m_open = m_held.valid() && ::GetFileInformationByHandle(m_held.get(), &m_identity);
        if (!m_open)
            m_openError = static_cast<int>(::GetLastError());
    }

    Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop) override
    {
        Result result;
        if (usable(result))
            result = windows::copyTree(placedInRun(params, m_places), progress, stop, &m_links);
        return result;
    }

    Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop) override
    {
        Result result;
        if (usable(result))
            result = windows::copyFile(placedInRun(params, m_places), progress, stop, &m_links);
        return result;
    }

    Result sync() override
    {
        Result synced;
        if (!usable(synced))
            return synced;
        return syncByPath(m_places.backupFolder);
    }

private:
    // Whether the run can go on writing: the backup folder it holds is still
    // the one its path names (a drive pulled, or mounted elsewhere, is not).
    bool usable(Result &result) const
    {
        int code = m_openError;
        if (m_open) {
            BY_HANDLE_FILE_INFORMATION now{};
            const Handle current = holdFolder(m_places.backupFolder);
            if (!::GetFileInformationByHandle(m_held.get(), &now))
                code = static_cast<int>(::GetLastError());
            else if (!current.valid() || !::GetFileInformationByHandle(current.get(), &now)
                     || !sameItem(now, m_identity))
                code = ERROR_DEV_NOT_EXIST;
        }
        if (code == 0)
            return true;
        result.destinationFailed = true;
        result.destinationFailure = {m_places.backupFolder, "write", windows::errorText(code), code};
        return false;
    }

    RunPlaces m_places;
    Handle m_held;
    BY_HANDLE_FILE_INFORMATION m_identity{};
    bool m_open = false;
    int m_openError = 0;
    windows::HardLinks m_links;
};

} // namespace

std::unique_ptr<CopyRun> NativeCopyEngine::beginRun(const RunPlaces &places)
{
    return std::make_unique<WindowsCopyRun>(places);
}

} // namespace drovanta::engine
