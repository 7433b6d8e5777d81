#pragma once

#include "backup/engine/FaultInjection.h"

#include <windows.h>

#include <cstdint>

namespace drovanta::engine::windows {

// How a file's data went: the first error and on which side, and the bytes written.
struct Transfer {
    DWORD code = 0;
    bool sourceSide = false;
    std::uint64_t bytes = 0;
    faults::Faults *planted = faults::active();
};

// Copies from `input`'s position to `output`'s, `length` bytes or (when
// `toEnd`) up to the end of the input.
void copyRange(HANDLE input, HANDLE output, std::uint64_t length, bool toEnd, Transfer &transfer);

// Copies a file's data. A sparse file stays sparse where the destination
// can hold it: only its allocated ranges are written, the holes between
// them are left to the filesystem.
void copyData(HANDLE input, HANDLE output, const BY_HANDLE_FILE_INFORMATION &info, Transfer &transfer);

} // namespace drovanta::engine::windows
