#include "engine/WindowsRunContext.h"

#include "engine/WindowsMetadata.h"

namespace drovanta::engine::windows {

void RunContext::fail(Result &into, const std::wstring &path, Error error, bool targetSide)
{
    if (targetSide && isDestinationFatal(error.code)) {
        failDestination(path, error);
        return;
    }
    if (halted)
        return;
    if (&into == &shared) {
        std::lock_guard lock(mutex);
        into.failures.push_back(failureOf(path, error));
    } else {
        into.failures.push_back(failureOf(path, error));
    }
}

void RunContext::failDestination(const std::wstring &path, Error error)
{
    std::lock_guard lock(mutex);
    if (!shared.destinationFailed) {
        shared.destinationFailed = true;
        shared.destinationFailure = failureOf(path, error);
    }
    halted = true;
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
    if (!halted && !::SetFileInformationByHandle(handle, FileBasicInfo, &attributes, sizeof attributes))
        metadataFailed(into, path, lastError("set attributes"), NoteKind::OwnersAndPermissions);
    return !halted;
}

void RunContext::collect(Result &into)
{
    into.merge(shared);
    for (std::size_t kind = 0; kind < notes.size(); ++kind) {
        if (const auto items = notes[kind].exchange(0); items > 0)
            into.addNote(static_cast<NoteKind>(kind), filesystem, items);
    }
    into.sharingUnavailable = into.sharingUnavailable || sharingRefused.load(std::memory_order_relaxed);
}

Folder::~Folder()
{
    if (complete && !run.halted && targetHandle.valid())
        (void)run.applyBasicInfo(run.shared, targetHandle.get(), info, target);
}

bool Folder::claimName(const std::wstring &name)
{
    std::wstring folded = name;
    if (!folded.empty())
        ::CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
    return claimed.insert(std::move(folded)).second;
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
