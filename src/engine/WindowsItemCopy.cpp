#include "engine/WindowsItemCopy.h"

#include "engine/FaultInjection.h"
#include "engine/LongPath.h"
#include "engine/WindowsDataTransfer.h"
#include "engine/WindowsMetadata.h"
#include "platform/windows/WideText.h"

#include <winioctl.h>

#include <optional>
#include <vector>

namespace drovanta::engine::windows {

namespace {

using platform::utf8Text;

// Tells the progress that `source` is copied; its path in UTF-8 is made only
// for a progress that names files.
void reportCopied(RunContext &run, const std::wstring &source, std::uint64_t bytes)
{
    run.progress.fileCopied(run.progress.namesFiles() ? utf8Text(source) : std::string(), bytes);
}

HardLinks::Key keyOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    return {info.dwVolumeSerialNumber, (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// The identity, link count and times of the item at `path`, not followed.
// Only attributes are read: the item is never opened for its data.
Outcome<BY_HANDLE_FILE_INFORMATION> informationOf(const std::wstring &path)
{
    const Handle item(::CreateFileW(toExtendedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!item.valid() || !::GetFileInformationByHandle(item.get(), &info))
        return lastError("read information");
    return info;
}

// Makes `target` another name of the file `from`: linked under a temporary
// name in `folder`, then put in place of whatever stands there, so the name
// never points at nothing. When `expected` is given, the new name must be
// of that file (the one compared beforehand); else it is removed again and
// the step fails with ERROR_FILE_NOT_FOUND. Fails as "create link" or "replace".
Error linkIntoPlace(const std::wstring &from, const std::wstring &folder, const std::wstring &target,
                    const BY_HANDLE_FILE_INFORMATION *expected)
{
    constexpr const char *operation = "create link";
    std::wstring temporary;
    Error error{ERROR_ALREADY_EXISTS, operation};
    for (int attempt = 0;
         attempt < temporaryAttempts && (error.code == ERROR_ALREADY_EXISTS || error.code == ERROR_FILE_EXISTS);
         ++attempt) {
        temporary = join(folder, temporaryName());
        error = ::CreateHardLinkW(toExtendedPath(temporary).c_str(), toExtendedPath(from).c_str(), nullptr)
            ? Error{}
            : lastError(operation);
    }
    if (error)
        return error;
    if (expected != nullptr) {
        const auto made = informationOf(temporary);
        if (made.failed() || keyOf(made.value) != keyOf(*expected)) { // replaced meanwhile
            (void)removeName(temporary, operation);
            return {ERROR_FILE_NOT_FOUND, operation};
        }
    }
    error = replace(temporary, target, "replace");
    if (error)
        (void)removeName(temporary, operation);
    return error;
}

// Errors of CreateHardLinkW that say the destination gives no file a second
// name (FAT, exFAT) or none across to where the first name lies.
bool isLinkRefused(int code)
{
    return code == ERROR_INVALID_FUNCTION || code == ERROR_NOT_SUPPORTED || code == ERROR_NOT_SAME_DEVICE;
}

// Tells the names waiting for a file's first copy where it is, or that it
// failed (then the next name copies the data), however the copy ends.
class FirstCopy final {
public:
    FirstCopy(RunContext &run, const HardLinks::Key &key) : m_run(run), m_key(key) {}
    FirstCopy(const FirstCopy &) = delete;
    FirstCopy &operator=(const FirstCopy &) = delete;
    ~FirstCopy()
    {
        if (m_expected)
            m_run.hardLinks.finished(m_key, {});
    }
    void expect() { m_expected = true; }
    void made(const std::wstring &copy)
    {
        if (m_expected)
            m_run.hardLinks.finished(m_key, copy);
        m_expected = false;
    }

private:
    RunContext &m_run;
    HardLinks::Key m_key;
    bool m_expected = false;
};

class ItemCopy final {
public:
    ItemCopy(RunContext &run, const Folder &folder, const std::wstring &name, Result &result)
        : m_run(run), m_folder(folder), m_name(name), m_result(result), m_source(join(folder.source, name)),
          m_target(join(folder.target, name))
    {
    }

    void reportCopied(std::uint64_t bytes) { windows::reportCopied(m_run, m_source, bytes); }

    void run(DWORD attributes)
    {
        if (keptAsItIs())
            return;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            copyReparsePoint(m_run, m_source, m_target, attributes, m_result);
        else
            copyFile();
    }

private:
    void copyFile()
    {
        Handle input(::CreateFileW(toExtendedPath(m_source).c_str(), GENERIC_READ,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!input.valid()) {
            m_run.fail(m_result, m_source, lastError("open"), false);
            return;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(input.get(), &info)) {
            m_run.fail(m_result, m_source, lastError("read information"), false);
            return;
        }
        if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) { // became a link since it was listed
            (void)input.close();
            copyReparsePoint(m_run, m_source, m_target, info.dwFileAttributes, m_result);
            return;
        }
        const HardLinks::Key key = keyOf(info);
        const bool linked = info.nNumberOfLinks > 1;
        if (targetUnchanged(info)) {
            // A file with more names stays the copy its later names link to.
            if (linked && m_run.hardLinks.claim(key, info.nNumberOfLinks).first)
                m_run.hardLinks.finished(key, m_target);
            ++m_result.unchanged;
            reportCopied(0);
            return;
        }
        if (shareWithPrevious(input.get(), info))
            return;
        // A file with more names: the first name copies the data, the
        // others become links to that copy.
        FirstCopy first(m_run, key);
        if (linked) {
            const auto claim = m_run.hardLinks.claim(key, info.nNumberOfLinks);
            if (claim.first)
                first.expect();
            else if (linkTo(claim.firstCopy))
                return;
        }
        noteWhatIsNotKept(input.get());
        std::wstring temporary;
        Handle output;
        Error created{ERROR_FILE_EXISTS, "create file"};
        for (int attempt = 0; attempt < temporaryAttempts && created.code == ERROR_FILE_EXISTS; ++attempt) {
            temporary = join(m_folder.target, temporaryName());
            output.reset(::CreateFileW(toExtendedPath(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            created = output.valid() ? Error{} : lastError("create file");
        }
        if (created) {
            m_run.fail(m_result, m_target, created, true);
            return;
        }
        Transfer transfer;
        if (faults::Faults *planted = transfer.planted; planted != nullptr && planted->readError) {
            if (const int plantedCode = planted->readError(utf8Text(m_source)); plantedCode != 0)
                transfer.readFailed(faults::systemError(plantedCode));
        }
        if (!transfer.error)
            copyData(input.get(), output.get(), info, transfer);
        Error error = transfer.error;
        // The data is complete: times and attributes the destination
        // refuses are notes, and the file is kept.
        if (!error && !m_run.applyBasicInfo(m_result, output.get(), basicOf(info), m_target))
            error = {ERROR_OPERATION_ABORTED, "write"};
        if (const Error closed = output.close(); !error)
            error = closed;
        if (!error)
            error = replace(temporary, m_target, "replace");
        if (error) {
            ::SetFileAttributesW(toExtendedPath(temporary).c_str(), FILE_ATTRIBUTE_NORMAL);
            ::DeleteFileW(toExtendedPath(temporary).c_str());
            m_run.fail(m_result, transfer.sourceSide ? m_source : m_target, error, !transfer.sourceSide);
            return;
        }
        first.made(m_target);
        ++m_result.files;
        m_result.bytes += transfer.bytes;
        reportCopied(transfer.bytes);
    }

    // What a copy of the file behind `input` will lack: its alternate data
    // streams and access rules of its own.
    void noteWhatIsNotKept(HANDLE input)
    {
        if (hasAlternateStreams(input))
            m_run.note(NoteKind::AlternateStreams);
        if (hasOwnAccessRules(input))
            m_run.note(NoteKind::AccessControlLists);
    }

    // Whether an earlier copy `copy` holds what a copy of `source` would:
    // the same size and last-write time (at the destination's precision)
    // and the same kept attributes. A copy keeps no alternate streams and no
    // access rules of its own, so there is nothing more to compare.
    bool isCopyOf(const BY_HANDLE_FILE_INFORMATION &copy, const BY_HANDLE_FILE_INFORMATION &source) const
    {
        return !(copy.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            && copy.nFileSizeHigh == source.nFileSizeHigh && copy.nFileSizeLow == source.nFileSizeLow
            && sameWriteTime(copy.ftLastWriteTime, source.ftLastWriteTime, m_run.fatTimes)
            && (copy.dwFileAttributes & keptAttributes) == (source.dwFileAttributes & keptAttributes);
    }

    // Whether the target already holds this file's backup. It may be a file
    // shared with an earlier backup: one that differs is written anew,
    // never changed in place.
    bool targetUnchanged(const BY_HANDLE_FILE_INFORMATION &source) const
    {
        if (m_folder.fresh() || !m_run.params.skipUnchanged)
            return false;
        const std::optional<ListedEntry> existing = listedAt(m_target);
        const ListedEntry file{{}, source.dwFileAttributes,
                               (static_cast<std::uint64_t>(source.nFileSizeHigh) << 32) | source.nFileSizeLow,
                               source.ftLastWriteTime};
        return existing && holdsCopyOf(*existing, m_target, file, m_source, m_run.fatTimes);
    }

    // A restore without leave to overwrite: what the user has in the item's
    // place stays unless it already is the item's copy (then the copy goes
    // on as on any rerun).
    bool keptAsItIs()
    {
        if (!m_run.params.keepExisting || m_folder.fresh())
            return false;
        const std::optional<ListedEntry> existing = listedAt(m_target);
        if (!existing)
            return false;
        const std::optional<ListedEntry> source = listedAt(m_source);
        if (source && holdsCopyOf(*existing, m_target, *source, m_source, m_run.fatTimes))
            return false;
        m_result.kept.push_back(utf8Text(m_target));
        reportCopied(0);
        return true;
    }

    // Makes the name another name of the same file in the earlier backup
    // when that file is this one's backup already. True when done (or when
    // the destination failed); false when the data must be copied.
    bool shareWithPrevious(HANDLE input, const BY_HANDLE_FILE_INFORMATION &source)
    {
        if (m_folder.previous.empty() || m_run.sharingRefused.load(std::memory_order_relaxed))
            return false;
        const std::wstring earlier = join(m_folder.previous, m_name);
        const auto copy = informationOf(earlier);
        if (copy.failed() || !isCopyOf(copy.value, source))
            return false;
        const Error error = linkIntoPlace(earlier, m_folder.target, m_target, &copy.value);
        if (!error) {
            if (source.nNumberOfLinks > 1) { // later names of the source file link to this one
                const HardLinks::Key key = keyOf(source);
                if (m_run.hardLinks.claim(key, source.nNumberOfLinks).first)
                    m_run.hardLinks.finished(key, m_target);
            }
            noteWhatIsNotKept(input);
            ++m_result.shared;
            reportCopied(0);
            return true;
        }
        if (isDestinationFatal(error.code)) {
            m_run.fail(m_result, m_target, error, true);
            return true;
        }
        // A filesystem without second names, or the earlier backup on
        // another volume; a file at its filesystem's link limit
        // (ERROR_TOO_MANY_LINKS) is just copied.
        if (isLinkRefused(error.code))
            m_run.sharingRefused.store(true, std::memory_order_relaxed);
        return false;
    }

    // Makes this name a hard link to `firstCopy`. False when the destination
    // cannot link (the data is then copied, and a note says so).
    bool linkTo(const std::wstring &firstCopy)
    {
        if (m_run.hardLinksRefused.load(std::memory_order_relaxed)) {
            m_run.note(NoteKind::HardLinks);
            return false;
        }
        const Error error = linkIntoPlace(firstCopy, m_folder.target, m_target, nullptr);
        if (!error) {
            ++m_result.files;
            reportCopied(0);
            return true;
        }
        if (isDestinationFatal(error.code)) {
            m_run.fail(m_result, m_target, error, true);
            return true;
        }
        if (error.code == ERROR_INVALID_FUNCTION || error.code == ERROR_NOT_SUPPORTED)
            m_run.hardLinksRefused.store(true, std::memory_order_relaxed);
        m_run.note(NoteKind::HardLinks);
        return false;
    }

    RunContext &m_run;
    const Folder &m_folder;
    const std::wstring &m_name;
    Result &m_result;
    std::wstring m_source;
    std::wstring m_target;
};

} // namespace

bool holdsCopyOf(const ListedEntry &target, const std::wstring &targetPath, const ListedEntry &source,
                 const std::wstring &sourcePath, bool fatTimes)
{
    const EntryKind kind = CheckSystem::kindOf(source);
    if (kind != CheckSystem::kindOf(target))
        return false;
    if (kind == EntryKind::File)
        return target.size == source.size && sameWriteTime(target.written, source.written, fatTimes);
    if (kind == EntryKind::Other) {
        const std::string data = reparseData(sourcePath);
        return !data.empty() && data == reparseData(targetPath);
    }
    return true;
}

void copyItem(RunContext &run, const Folder &folder, const std::wstring &name, DWORD attributes, Result &result)
{
    ItemCopy(run, folder, name, result).run(attributes);
}

void copyReparsePoint(RunContext &run, const std::wstring &source, const std::wstring &target, DWORD attributes,
                      Result &result)
{
    constexpr DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
    Handle input(::CreateFileW(toExtendedPath(source).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags,
                               nullptr));
    if (!input.valid()) {
        run.fail(result, source, lastError("open"), false);
        return;
    }
    std::vector<char> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD size = 0;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::DeviceIoControl(input.get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                           static_cast<DWORD>(data.size()), &size, nullptr)
        || !::GetFileInformationByHandle(input.get(), &info)) {
        run.fail(result, source, lastError("read link"), false);
        return;
    }
    constexpr const char *operation = "create link";
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const std::wstring temporary = join(target.substr(0, target.find_last_of(L'\\')), temporaryName());
    const std::wstring extended = toExtendedPath(temporary);
    const Error created = [&]() -> Error {
        if (folder)
            return ::CreateDirectoryW(extended.c_str(), nullptr) ? Error{} : lastError(operation);
        Handle file(
            ::CreateFileW(extended.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid())
            return lastError(operation);
        const Error closed = file.close();
        return closed ? Error{closed.code, operation} : Error{};
    }();
    if (created) {
        run.fail(result, target, created, true);
        return;
    }
    Error error;
    {
        Handle output(::CreateFileW(extended.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr));
        DWORD ignored = 0;
        if (!output.valid()
            || !::DeviceIoControl(output.get(), FSCTL_SET_REPARSE_POINT, data.data(), size, nullptr, 0, &ignored,
                                  nullptr)
            || !::SetFileTime(output.get(), &info.ftCreationTime, &info.ftLastAccessTime, &info.ftLastWriteTime))
            error = lastError(operation);
    }
    if (!error)
        error = replace(temporary, target, operation);
    if (error) {
        if (folder)
            ::RemoveDirectoryW(extended.c_str());
        else
            ::DeleteFileW(extended.c_str());
        run.fail(result, target, error, true);
        return;
    }
    ++result.links;
    reportCopied(run, source, 0);
}

} // namespace drovanta::engine::windows
