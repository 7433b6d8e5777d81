#pragma once

// The hash of a file's content, as the fingerprints of a backup record it.
//
// XXH3-128: a fingerprint has to find decay and changes in place, not
// withstand someone forging a collision (whoever can write the backup can
// rewrite its record as well), so a cryptographic hash buys nothing here
// and costs several times the CPU: XXH3 hashes at tens of GB/s per core,
// well above any drive, so that checking a backup runs at the drive's speed
// even on a small machine. 128 bits make an accidental match across
// millions of files in years of backups practically impossible, where 64
// would be merely unlikely. The distribution keeps it (libxxhash-dev), and
// it is used header-only so that no library is linked.
#include "engine/CheckWalk.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace drovanta::engine {

struct ContentHash {
    std::uint64_t size = 0;
    XXH128_hash_t hash{};
    bool stopped = false; // `stop` was set before the end: size and hash mean nothing
};

// Reads `file` to its end and hashes what it holds; fails as the read did.
template<typename System>
[[nodiscard]] Outcome<ContentHash> hashContent(typename System::File &file, const std::atomic<bool> &stop)
{
    XXH3_state_t state;
    XXH3_128bits_reset(&state);
    char *const buffer = readBuffer(0);
    ContentHash content;
    for (;;) {
        if (stop.load()) {
            content.stopped = true;
            return content;
        }
        const Outcome<std::size_t> read = System::read(file, buffer, readChunk);
        if (read.failed())
            return read.error;
        if (read.value == 0)
            break;
        XXH3_128bits_update(&state, buffer, read.value);
        content.size += read.value;
    }
    content.hash = XXH3_128bits_digest(&state);
    return content;
}

[[nodiscard]] inline std::string hexOf(const XXH128_hash_t &hash)
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, hash);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    for (const unsigned char byte : canonical.digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

} // namespace drovanta::engine
