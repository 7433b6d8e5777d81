#pragma once

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Faults that tests plant in the engine to reach failure paths without root:
// a source file that cannot be read, a destination that fills up.
//
// Use (tests only):
//     drovanta::engine::faults::Faults faults;
//     faults.readError = [](const std::string &source) { return source.ends_with("/bad") ? EIO : 0; };
//     faults.writableBytes = 1 << 20;           // then every write fails with ENOSPC
//     drovanta::engine::faults::ScopedFaults planted(faults);
//     ... run the engine ...
//
// The engine loads the installed pointer once per file (one relaxed-cost
// atomic load); when nothing is installed the file takes its normal path.
// While faults are installed, data moves through the read/write loop so that
// the write budget can be counted exactly.
//
// Faults are given as errno values on every system; the Windows engine
// reports the matching Windows error (systemError), so a test plants the
// same fault everywhere and expects systemError(fault) back.
namespace drovanta::engine::faults {

struct Faults {
    // Called with each source file's full path just before its data is read;
    // a non-zero errno makes that read fail with it.
    std::function<int(const std::string &sourcePath)> readError;
    // Bytes that may still be written to the destination (summed over all
    // files); once used up, writes fail with `writeError`. Negative: no limit.
    std::atomic<std::int64_t> writableBytes{-1};
    int writeError = ENOSPC;
    // POSIX engine: called with each copied folder's full target path when
    // everything inside is written and the folder's owner, mode and times
    // are set; a non-zero errno makes that step fail with it.
    std::function<int(const std::string &targetPath)> folderMetadataError;
    // POSIX engine: counts every listing of a folder of the copy (the sweep
    // of an interrupted run's leftovers, the check for names that differ only
    // in case), so that a test can tell that a run lists each folder a
    // bounded number of times.
    std::atomic<std::uint64_t> targetListings{0};
    // POSIX engine: called after each chunk of a file's data is read (a slow
    // source), and after all of a file's data is copied, with the attempt
    // (0, then 1 when the file is copied once more), to change the source
    // under the copy's feet.
    std::function<void(const std::string &sourcePath)> chunkRead;
    std::function<void(const std::string &sourcePath, int attempt)> dataCopied;
    // The most folders a tree copy holds open before its walks go down into
    // folders themselves, closing the levels above and opening them again on
    // the way back (0: the system's own bound), so that a shallow tree takes
    // the path of a deep one.
    std::size_t folderLimit = 0;
};

// The code the engine reports for the planted errno value: the value itself
// on POSIX; on Windows the Windows error of the same meaning (EIO:
// ERROR_IO_DEVICE, ENOSPC: ERROR_DISK_FULL, EACCES: ERROR_ACCESS_DENIED,
// EROFS: ERROR_WRITE_PROTECT, ENOENT: ERROR_FILE_NOT_FOUND, anything else:
// ERROR_GEN_FAILURE).
[[nodiscard]] int systemError(int errnoValue);

// Takes up to `want` bytes from the planted write budget shared by all
// workers: `want` when there is no limit, 0 once it is used up. A
// compare-and-swap, so that two workers never both spend the last bytes and
// drive the budget below zero (which would mean "no limit").
[[nodiscard]] std::uint64_t takeFromBudget(Faults &planted, std::uint64_t want);

namespace detail {
extern std::atomic<Faults *> installed;
}

// The faults now in force, or nullptr.
inline Faults *active()
{
    return detail::installed.load(std::memory_order_acquire);
}

// Plants `faults` for the lifetime of this object; never nest.
class ScopedFaults final {
public:
    explicit ScopedFaults(Faults &faults) { detail::installed.store(&faults, std::memory_order_release); }
    ~ScopedFaults() { detail::installed.store(nullptr, std::memory_order_release); }
    ScopedFaults(const ScopedFaults &) = delete;
    ScopedFaults &operator=(const ScopedFaults &) = delete;
};

} // namespace drovanta::engine::faults
