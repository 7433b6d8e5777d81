#pragma once

#include "engine/EngineError.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace drovanta::engine::posix {

// Which kernel paths this run found unusable, so that each is tried once per
// run rather than once per file (a run copies from one filesystem to one).
struct TransferMethods {
    std::atomic<bool> cloneUnusable{false};
    std::atomic<bool> copyRangeUnusable{false};
    std::atomic<bool> sendfileUnusable{false};
};

struct TransferOutcome {
    std::uint64_t bytes = 0;
    Error error;               // "read" or "write"
    bool sourceFailed = false; // the failure was reading the source (else writing the copy)
    bool stopped = false;      // a stop request ended it before the end of the file

    void readFailed(int code)
    {
        error = {code, "read"};
        sourceFailed = true;
    }
    void writeFailed(int code) { error = {code, "write"}; }
};

// Copies the data of `source` (at its start, described by `info`) to
// `target` (empty): in the kernel, the size `info` gives (the file's size
// when it was opened); in a read/write loop, up to the end of file. Tries a
// clone when both lie on one filesystem, then copy_file_range, then
// sendfile, then a read/write loop. A file with holes (fewer blocks than its
// size needs) has only its data regions copied and keeps its holes where the
// destination has them.
//
// A raised `stop` ends the copy between two chunks of at most a few MiB,
// with `stopped` set: a stop takes effect within a second also in the
// middle of a large file. `sourcePath` names the file for planted faults.
[[nodiscard]] TransferOutcome transferData(int source, int target, const struct stat &info, bool sameFilesystem,
                                           TransferMethods &methods, const std::atomic<bool> &stop,
                                           const std::string &sourcePath);

} // namespace drovanta::engine::posix
