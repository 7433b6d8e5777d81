// The engine on Windows: its entry points. The same walk, temporary names
// and worker pool as on POSIX, through Win32 calls (WindowsTreeCopy,
// WindowsItemCopy ...). Paths go through the extended-length form so
// that trees deeper than MAX_PATH copy; reparse points (links, junctions,
// mounted volumes) are copied as reparse points and never followed.
//
// Win32 opens by path only, so the run holds each folder it goes through
// open, checked to be a real folder and not shared for deletion: no folder
// on the way can be renamed or replaced by a link while items below it are
// reached by path. Times and attributes are set through handles the run
// opened without following.
//
// What a copy does not keep: alternate data streams (a note per file that
// has them) and access control lists (a copy takes the permissions of the
// backup folder, as a copy made by the system's file manager does; a note
// per item whose list holds rules of its own). A file unchanged since the
// earlier backup becomes another name (a hard link) of that backup's file.
#include "engine/CopyEngine.h"
#include "engine/LongPath.h"
#include "engine/WindowsSupport.h"
#include "engine/WindowsTreeCopy.h"
#include "platform/windows/WideText.h"

#include <windows.h>

namespace drovanta::engine {

using windows::errorText;
using windows::Handle;

Result NativeCopyEngine::copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop)
{
    return windows::copyTree(params, progress, stop);
}

Result NativeCopyEngine::copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop)
{
    return windows::copyFile(params, progress, stop);
}

namespace {

// Writes out what the system still holds for the volume of `path`.
Error flushVolume(const std::string &path)
{
    wchar_t volume[MAX_PATH + 1] = {};
    if (!::GetVolumePathNameW(toExtendedPath(platform::wideText(path)).c_str(), volume, MAX_PATH))
        return windows::lastError("open");
    std::wstring device = volume;
    if (device.starts_with(L"\\\\?\\"))
        device = device.substr(4);
    while (!device.empty() && device.back() == L'\\')
        device.pop_back();
    Handle handle(::CreateFileW((L"\\\\.\\" + device).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle.valid()) {
        // Flushing a whole volume needs administrator rights; without them
        // the system's own write-back is all there is.
        if (::GetLastError() == ERROR_ACCESS_DENIED)
            return {};
        return windows::lastError("open");
    }
    if (!::FlushFileBuffers(handle.get())) {
        // A volume that cannot be flushed as a whole (some virtual and
        // network drives) is written back by the system on its own, as
        // above.
        const DWORD code = ::GetLastError();
        if (code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED)
            return {};
        return {static_cast<int>(code), "write"};
    }
    return {};
}

} // namespace

bool syncFilesystem(const std::string &path, std::string &reason)
{
    const Error error = flushVolume(path);
    if (error)
        reason = errorText(error.code);
    return !error;
}

} // namespace drovanta::engine
