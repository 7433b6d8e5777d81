#include "engine/WindowsDataTransfer.h"

#include <winioctl.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace drovanta::engine::windows {

namespace {

constexpr DWORD bufferSize = 1 << 20;

// The allocated ranges of the first `size` bytes of a sparse file; false
// when the filesystem cannot tell them.
bool allocatedRanges(HANDLE input, std::uint64_t size, std::vector<FILE_ALLOCATED_RANGE_BUFFER> &ranges)
{
    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.Length.QuadPart = static_cast<LONGLONG>(size);
    std::vector<FILE_ALLOCATED_RANGE_BUFFER> chunk(256);
    while (query.Length.QuadPart > 0) {
        DWORD got = 0;
        const BOOL all = ::DeviceIoControl(input, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, chunk.data(),
                                           static_cast<DWORD>(chunk.size() * sizeof chunk[0]), &got, nullptr);
        if (!all && ::GetLastError() != ERROR_MORE_DATA)
            return false;
        const std::size_t count = got / sizeof chunk[0];
        ranges.insert(ranges.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
        if (all || count == 0)
            return true;
        const LONGLONG next = chunk[count - 1].FileOffset.QuadPart + chunk[count - 1].Length.QuadPart;
        query.Length.QuadPart -= next - query.FileOffset.QuadPart;
        query.FileOffset.QuadPart = next;
    }
    return true;
}

} // namespace

void copyRange(HANDLE input, HANDLE output, std::uint64_t length, bool toEnd, Transfer &transfer)
{
    thread_local std::unique_ptr<char[]> buffer{new char[bufferSize]};
    while (!transfer.error && (toEnd || length > 0)) {
        const DWORD wanted = toEnd ? bufferSize : static_cast<DWORD>(std::min<std::uint64_t>(bufferSize, length));
        DWORD got = 0;
        if (!::ReadFile(input, buffer.get(), wanted, &got, nullptr)) {
            transfer.readFailed();
            return;
        }
        if (got == 0) {
            if (!toEnd) // shorter than its allocated ranges: the file shrank meanwhile
                transfer.readFailed(ERROR_HANDLE_EOF);
            return;
        }
        length -= toEnd ? 0 : got;
        DWORD done = 0;
        while (done < got) {
            DWORD want = got - done;
            if (transfer.planted != nullptr) {
                want = static_cast<DWORD>(faults::takeFromBudget(*transfer.planted, want));
                if (want == 0) {
                    transfer.writeFailed(faults::systemError(transfer.planted->writeError));
                    return;
                }
            }
            DWORD put = 0;
            if (!::WriteFile(output, buffer.get() + done, want, &put, nullptr)) {
                transfer.writeFailed();
                return;
            }
            if (put == 0) {
                transfer.writeFailed(ERROR_DISK_FULL);
                return;
            }
            done += put;
            transfer.bytes += put;
        }
    }
}

void copyData(HANDLE input, HANDLE output, const BY_HANDLE_FILE_INFORMATION &info, Transfer &transfer)
{
    const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    std::vector<FILE_ALLOCATED_RANGE_BUFFER> ranges;
    DWORD ignored = 0;
    const bool sparse = (info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) && allocatedRanges(input, size, ranges)
        && ::DeviceIoControl(output, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    if (!sparse) {
        copyRange(input, output, 0, true, transfer);
        return;
    }
    for (const auto &range : ranges) {
        if (static_cast<std::uint64_t>(range.FileOffset.QuadPart) >= size)
            break;
        const std::uint64_t length
            = std::min<std::uint64_t>(static_cast<std::uint64_t>(range.Length.QuadPart),
                                      size - static_cast<std::uint64_t>(range.FileOffset.QuadPart));
        if (!::SetFilePointerEx(input, range.FileOffset, nullptr, FILE_BEGIN)) {
            transfer.readFailed();
            return;
        }
        if (!::SetFilePointerEx(output, range.FileOffset, nullptr, FILE_BEGIN)) {
            transfer.writeFailed();
            return;
        }
        copyRange(input, output, length, false, transfer);
        if (transfer.error)
            return;
    }
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(output, end, nullptr, FILE_BEGIN) || !::SetEndOfFile(output))
        transfer.writeFailed();
}

} // namespace drovanta::engine::windows
