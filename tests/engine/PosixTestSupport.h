#pragma once

// Helpers of the engine tests that only POSIX systems have: modes, lstat,
// mounting volumes.
#include "EngineTestSupport.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace drovanta::engine::testing {

// writeFile, then the given mode.
void writeFileWithMode(const std::string &path, const std::string &content, mode_t mode,
                       std::int64_t mtimeSeconds = 1'600'000'000, long mtimeNanoseconds = 123'456'789);
[[nodiscard]] struct stat statOf(const std::string &path); // lstat; fails the test when missing

// A POSIX ACL as the kernel stores it (system.posix_acl_access): the owner
// rw, user 1234 r, the group r, no one else.
[[nodiscard]] std::string aclGrantingReadTo1234();

// Whether this process can mount filesystems (root in a namespace that allows it).
[[nodiscard]] bool canMount();

} // namespace drovanta::engine::testing
