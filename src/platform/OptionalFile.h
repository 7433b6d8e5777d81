#pragma once

#include <cstdint>
#include <string>

namespace drovanta::platform {

// What reading an optional file beside the program gave. Anyone who can write
// to the program folder can put a FIFO, a device, a folder or a huge file
// where the program expects a small picture or style sheet; none of these may
// block or swamp start-up.
struct OptionalFileContent {
    enum class Status {
        Read,       // `bytes` holds the whole file
        NotRegular, // something other than a regular file (or nothing) is there
        TooLarge,   // a regular file larger than the limit; nothing was read
        Failed,     // it could not be opened or read; `reason` says why
    };
    Status status = Status::NotRegular;
    std::string bytes;
    std::string reason;
};

// True when `path` names a regular file (links followed).
[[nodiscard]] bool isRegularFile(const std::string &path);

// Reads `path` whole when it is a regular file of at most `limit` bytes. Never
// blocks on a FIFO or a device: their kind is checked before, and again after,
// a non-blocking open.
[[nodiscard]] OptionalFileContent readOptionalFile(const std::string &path, std::uint64_t limit);

} // namespace drovanta::platform
