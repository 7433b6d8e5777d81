#pragma once

#include "engine/PosixRunContext.h"

#include <sys/stat.h>

#include <string>

namespace drovanta::engine::posix {

// Gives the copy `targetFd` what the source item has beyond its data, in
// this order: owner (as root; changing it clears set-user-ID bits and
// capabilities), permissions, extended attributes and access control lists
// (read from `sourceFd`; -1 when there is none to read), times. With
// `inheritsAcls`, an access control list the copy got from its folder is
// removed when the source has none.
//
// What the destination cannot keep is counted as a note of its kind: the
// data is there, so the item is not a failure. Fails only when the
// destination itself is failing (full, read-only, gone), naming the step.
// `modeSet`: the copy was made with the source's permissions already.
[[nodiscard]] Error applyMetadata(RunContext &run, int sourceFd, int targetFd, const struct stat &source,
                                  bool inheritsAcls, bool modeSet = false);

// Whether item `name` in folder `folderFd` and item `otherName` in folder
// `otherFolderFd` have the same extended attributes and access control
// lists, among those a copy keeps. Neither is opened or followed. False when
// either cannot be read.
[[nodiscard]] bool sameAttributes(int folderFd, const std::string &name, int otherFolderFd,
                                  const std::string &otherName);

} // namespace drovanta::engine::posix
