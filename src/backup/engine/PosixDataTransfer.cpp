#include "backup/engine/PosixDataTransfer.h"

#include "backup/engine/FaultInjection.h"

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
constexpr std::size_t kernelChunk = std::size_t{1} << 30;

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
        outcome.error = errno;
        return true;
    }
    outcome.bytes = static_cast<std::uint64_t>(info.st_size);
    return true;
}

enum class Step { Done, Fallback, Failed };

template<typename Call>
Step kernelLoop(Call call, std::atomic<bool> &unusable, TransferOutcome &outcome)
{
    for (;;) {
        const ssize_t n = call();
        if (n > 0) {
            outcome.bytes += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n == 0)
            return Step::Done;
        const int code = errno;
        if (code == EINTR)
            continue;
        if (isTargetOnly(code)) {
            outcome.error = code;
            return Step::Failed;
        }
        if (outcome.bytes == 0 && isUnsupported(code))
            unusable.store(true, std::memory_order_relaxed);
        return Step::Fallback;
    }
}

void readWriteLoop(int source, int target, TransferOutcome &outcome, faults::Faults *planted)
{
    thread_local std::unique_ptr<char[]> buffer{new char[bufferSize]};
    for (;;) {
        const ssize_t got = ::read(source, buffer.get(), bufferSize);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            outcome.error = errno;
            outcome.sourceFailed = true;
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
                    outcome.error = planted->writeError;
                    return;
                }
            }
            const ssize_t put = ::write(target, buffer.get() + done, want);
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                outcome.error = errno;
                return;
            }
            // A write of 0 bytes to a regular file means no progress is
            // possible; report it as the device being full.
            if (put == 0) {
                outcome.error = ENOSPC;
                return;
            }
            done += static_cast<std::size_t>(put);
            outcome.bytes += static_cast<std::uint64_t>(put);
        }
    }
}

} // namespace

TransferOutcome transferData(int source, int target, bool sameFilesystem, TransferMethods &methods)
{
    TransferOutcome outcome;
    faults::Faults *planted = faults::active();
    if (planted == nullptr) {
        if (sameFilesystem && !methods.cloneUnusable.load(std::memory_order_relaxed)
            && tryClone(source, target, methods, outcome))
            return outcome;
        if (!methods.copyRangeUnusable.load(std::memory_order_relaxed)) {
            const Step step = kernelLoop(
                [&] { return ::copy_file_range(source, nullptr, target, nullptr, kernelChunk, 0); },
                methods.copyRangeUnusable, outcome);
            if (step != Step::Fallback)
                return outcome;
        }
        if (!methods.sendfileUnusable.load(std::memory_order_relaxed)) {
            const Step step = kernelLoop([&] { return ::sendfile(target, source, nullptr, kernelChunk); },
                                         methods.sendfileUnusable, outcome);
            if (step != Step::Fallback)
                return outcome;
        }
    }
    readWriteLoop(source, target, outcome, planted);
    return outcome;
}

} // namespace drovanta::engine::posix
