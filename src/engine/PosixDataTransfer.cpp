#include "engine/PosixDataTransfer.h"

#include "engine/FaultInjection.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace drovanta::engine::posix {

namespace {

constexpr std::size_t bufferSize = 1 << 20;
// The most one call moves in the kernel: a stop is looked at between two,
// so this bounds how long a stop waits on a slow drive.
constexpr std::size_t kernelChunk = std::size_t{4} << 20;
// From this size on, a copied file's data starts on its way to the device at
// once, not only when the kernel gets to it or at the sync that ends a run
// (or follows a Stop): that sync then has little left to write.
constexpr std::uint64_t earlyWritebackBytes = std::uint64_t{8} << 20;

// Errors meaning "this way of copying does not apply here", after which the
// next way is tried from the current offsets.
bool isUnsupported(int code)
{
    return code == EXDEV || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP || code == ENOTTY
        || code == EBADF;
}

// Space and quota errors can only come from the target; other errors in the
// middle of an in-kernel copy are ambiguous, and the read/write loop
// continues from there to tell which side failed.
bool isTargetOnly(int code)
{
    return code == ENOSPC || code == EDQUOT || code == EFBIG;
}

bool tryClone(int source, int target, TransferMethods &methods, TransferOutcome &outcome)
{
    if (::ioctl(target, FICLONE, source) != 0) {
        const int code = errno;
        if (code == EOPNOTSUPP || code == ENOTTY || code == EINVAL || code == ENOSYS || code == EXDEV)
            methods.cloneUnusable.store(true, std::memory_order_relaxed);
        return false;
    }
    struct stat info {};
    if (::fstat(target, &info) != 0) {
        outcome.writeFailed(errno);
        return true;
    }
    outcome.bytes = static_cast<std::uint64_t>(info.st_size);
    return true;
}

enum class Step { Done, Fallback, Failed };

// Calls `call` until the file's size when it was opened (`size`) is copied,
// or the file ends sooner: asking once more only to hear "end of file"
// would be one more system call per file.
template<typename Call>
Step kernelLoop(Call call, std::uint64_t size, std::atomic<bool> &unusable, TransferOutcome &outcome,
                const std::atomic<bool> &stop)
{
    for (;;) {
        if (outcome.bytes > 0 && stop.load(std::memory_order_relaxed)) {
            outcome.stopped = true;
            return Step::Done;
        }
        const ssize_t n = call();
        if (n > 0) {
            outcome.bytes += static_cast<std::uint64_t>(n);
            if (outcome.bytes >= size)
                return Step::Done;
            continue;
        }
        if (n == 0)
            return Step::Done;
        const int code = errno;
        if (code == EINTR)
            continue;
        if (isTargetOnly(code)) {
            outcome.writeFailed(code);
            return Step::Failed;
        }
        if (outcome.bytes == 0 && isUnsupported(code))
            unusable.store(true, std::memory_order_relaxed);
        return Step::Fallback;
    }
}

void readWriteLoop(int source, int target, TransferOutcome &outcome, faults::Faults *planted,
                   const std::atomic<bool> &stop, const std::string &sourcePath)
{
    thread_local std::unique_ptr<char[]> buffer{new char[bufferSize]};
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) {
            outcome.stopped = true;
            return;
        }
        const ssize_t got = ::read(source, buffer.get(), bufferSize);
        if (planted != nullptr && planted->chunkRead && got > 0)
            planted->chunkRead(sourcePath);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            outcome.readFailed(errno);
            return;
        }
        if (got == 0)
            return;
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(got)) {
            std::size_t want = static_cast<std::size_t>(got) - done;
            if (planted != nullptr) {
                want = static_cast<std::size_t>(faults::takeFromBudget(*planted, want));
                if (want == 0) {
                    outcome.writeFailed(planted->writeError);
                    return;
                }
            }
            const ssize_t put = ::write(target, buffer.get() + done, want);
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                outcome.writeFailed(errno);
                return;
            }
            // A write of 0 bytes to a regular file means no progress is
            // possible; report it as the device being full.
            if (put == 0) {
                outcome.writeFailed(ENOSPC);
                return;
            }
            done += static_cast<std::size_t>(put);
            outcome.bytes += static_cast<std::uint64_t>(put);
        }
    }
}

// Copies `length` bytes at `offset` from source to target at the same
// offset; false with the failure in `outcome`.
bool copyRegion(int source, int target, off_t offset, off_t length, TransferMethods &methods, TransferOutcome &outcome,
                const std::atomic<bool> &stop)
{
    off_t in = offset;
    off_t out = offset;
    off_t left = length;
    while (left > 0 && !methods.copyRangeUnusable.load(std::memory_order_relaxed)) {
        if (stop.load(std::memory_order_relaxed)) {
            outcome.stopped = true;
            return true;
        }
        const ssize_t n = ::copy_file_range(source, &in, target, &out,
                                            std::min(static_cast<std::size_t>(left), kernelChunk), 0);
        if (n > 0) {
            left -= n;
            continue;
        }
        if (n == 0)
            break; // the file shrank; the loop below tells the same
        if (errno == EINTR)
            continue;
        if (isTargetOnly(errno)) {
            outcome.writeFailed(errno);
            return false;
        }
        if (isUnsupported(errno))
            methods.copyRangeUnusable.store(true, std::memory_order_relaxed);
        break; // the read/write loop tells which side failed
    }
    thread_local std::unique_ptr<char[]> buffer{new char[bufferSize]};
    while (left > 0) {
        if (stop.load(std::memory_order_relaxed)) {
            outcome.stopped = true;
            return true;
        }
        const ssize_t got = ::pread(source, buffer.get(), std::min<std::size_t>(bufferSize, static_cast<std::size_t>(left)), in);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got < 0) {
                outcome.readFailed(errno);
                return false;
            }
            return true; // the file shrank while it was copied
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::pwrite(target, buffer.get() + done, static_cast<std::size_t>(got - done), out);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0) {
                outcome.writeFailed(put < 0 ? errno : ENOSPC);
                return false;
            }
            done += put;
            out += put;
        }
        in += got;
        left -= got;
    }
    return true;
}

enum class Sparse { Copied, Failed, NotHere };

// Copies the data regions of a file with holes and sets the copy's length,
// leaving the holes unwritten. NotHere when the source filesystem cannot
// tell where its data lies.
Sparse copyDataRegions(int source, int target, TransferMethods &methods, TransferOutcome &outcome,
                       const std::atomic<bool> &stop)
{
    off_t offset = 0;
    for (;;) {
        const off_t data = ::lseek(source, offset, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break; // only a hole up to the end
            if (offset == 0 && (errno == EINVAL || errno == EOPNOTSUPP))
                return Sparse::NotHere;
            outcome.readFailed(errno);
            return Sparse::Failed;
        }
        const off_t hole = ::lseek(source, data, SEEK_HOLE);
        if (hole < 0) {
            outcome.readFailed(errno);
            return Sparse::Failed;
        }
        if (!copyRegion(source, target, data, hole - data, methods, outcome, stop))
            return Sparse::Failed;
        if (outcome.stopped)
            return Sparse::Copied;
        offset = hole;
    }
    const off_t size = ::lseek(source, 0, SEEK_END);
    if (size < 0) {
        outcome.readFailed(errno);
        return Sparse::Failed;
    }
    if (::ftruncate(target, size) != 0) {
        outcome.writeFailed(errno);
        return Sparse::Failed;
    }
    outcome.bytes = static_cast<std::uint64_t>(size);
    return Sparse::Copied;
}

} // namespace

namespace {

TransferOutcome copyData(int source, int target, const struct stat &info, bool sameFilesystem,
                         TransferMethods &methods, const std::atomic<bool> &stop, const std::string &sourcePath)
{
    TransferOutcome outcome;
    faults::Faults *planted = faults::active();
    if (planted == nullptr) {
        const auto size = static_cast<std::uint64_t>(info.st_size);
        if (size == 0)
            return outcome; // nothing to copy, nothing to ask
        if (sameFilesystem && !methods.cloneUnusable.load(std::memory_order_relaxed)
            && tryClone(source, target, methods, outcome))
            return outcome;
        if (info.st_blocks * 512 < info.st_size) {
            if (copyDataRegions(source, target, methods, outcome, stop) != Sparse::NotHere)
                return outcome;
        }
        if (!methods.copyRangeUnusable.load(std::memory_order_relaxed)) {
            const Step step = kernelLoop(
                [&] { return ::copy_file_range(source, nullptr, target, nullptr, kernelChunk, 0); },
                size, methods.copyRangeUnusable, outcome, stop);
            if (step != Step::Fallback)
                return outcome;
        }
        if (!methods.sendfileUnusable.load(std::memory_order_relaxed)) {
            const Step step = kernelLoop([&] { return ::sendfile(target, source, nullptr, kernelChunk); },
                                         size, methods.sendfileUnusable, outcome, stop);
            if (step != Step::Fallback)
                return outcome;
        }
    }
    readWriteLoop(source, target, outcome, planted, stop, sourcePath);
    return outcome;
}

} // namespace

TransferOutcome transferData(int source, int target, const struct stat &info, bool sameFilesystem,
                             TransferMethods &methods, const std::atomic<bool> &stop, const std::string &sourcePath)
{
    const TransferOutcome outcome = copyData(source, target, info, sameFilesystem, methods, stop, sourcePath);
    if (!outcome.error && outcome.bytes >= earlyWritebackBytes)
        (void)::sync_file_range(target, 0, 0, SYNC_FILE_RANGE_WRITE); // a hint: the sync checks
    return outcome;
}

} // namespace drovanta::engine::posix
