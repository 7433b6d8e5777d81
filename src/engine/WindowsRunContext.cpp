#include "engine/WindowsRunContext.h"

#include "engine/WindowsMetadata.h"

namespace drovanta::engine::windows {

void RunContext::fail(Result &into, const std::wstring &path, Error error, bool targetSide)
{
    record(into, failureOf(path, error), targetSide && isDestinationFatal(error.code));
}

void RunContext::failDestination(const std::wstring &path, Error error)
{
    RunState::failDestination(failureOf(path, error));
}

void RunContext::failWithReason(Result &into, const std::wstring &path, Error error, std::string_view reason)
{
    ItemFailure failure = failureOf(path, error);
    failure.reason = std::string(reason);
    record(into, std::move(failure), false);
}

void RunContext::metadataFailed(Result &into, const std::wstring &path, Error error, NoteKind kind)
{
    if (isDestinationFatal(error.code))
        fail(into, path, error, true);
    else
        note(kind);
}

bool RunContext::applyBasicInfo(Result &into, HANDLE handle, const FILE_BASIC_INFO &source, const std::wstring &path)
{
    FILE_BASIC_INFO wanted{};
    wanted.CreationTime = source.CreationTime;
    wanted.LastAccessTime = source.LastAccessTime;
    wanted.LastWriteTime = source.LastWriteTime;
    wanted.FileAttributes = (source.FileAttributes & keptAttributes) | FILE_ATTRIBUTE_NORMAL;
    if (::SetFileInformationByHandle(handle, FileBasicInfo, &wanted, sizeof wanted))
        return true;
    // One of the two was refused: find out which, and keep the other.
    FILE_BASIC_INFO times = wanted;
    times.FileAttributes = 0; // left as it is
    if (!::SetFileInformationByHandle(handle, FileBasicInfo, &times, sizeof times))
        metadataFailed(into, path, lastError("set times"), NoteKind::Times);
    FILE_BASIC_INFO attributes{};
    attributes.FileAttributes = wanted.FileAttributes;
    if (!destinationFailed() && !::SetFileInformationByHandle(handle, FileBasicInfo, &attributes, sizeof attributes))
        metadataFailed(into, path, lastError("set attributes"), NoteKind::OwnersAndPermissions);
    return !destinationFailed();
}

void Folder::complete(Result &into)
{
    if (completes && !run.destinationFailed() && targetHandle.valid())
        (void)run.applyBasicInfo(into, targetHandle.get(), info, target);
}

void Folder::setPrevious(const std::wstring &path)
{
    BY_HANDLE_FILE_INFORMATION ignored{};
    if (!path.empty()
        && !openRealFolder(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, previousHandle, ignored, "open folder"))
        previous = path;
    else
        previousHandle.reset();
}

} // namespace drovanta::engine::windows
