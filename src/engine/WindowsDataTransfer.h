#pragma once

#include "engine/EngineError.h"
#include "engine/FaultInjection.h"

#include <windows.h>

#include <cstdint>

namespace drovanta::engine::windows {

// How a file's data went: the first error and on which side, and the bytes written.
struct Transfer {
    Error error;             // "read" or "write"
    bool sourceSide = false; // the failure was reading the source (else writing the copy)
    std::uint64_t bytes = 0;
    faults::Faults *planted = faults::active();

    // Reading the source (writing the copy) failed with `code`, by default
    // the one the last call left.
    void readFailed(int code = static_cast<int>(::GetLastError()))
    {
        error = {code, "read"};
        sourceSide = true;
    }
    void writeFailed(int code = static_cast<int>(::GetLastError())) { error = {code, "write"}; }
};

// Copies from `input`'s position to `output`'s, `length` bytes or (when
// `toEnd`) up to the end of the input.
void copyRange(HANDLE input, HANDLE output, std::uint64_t length, bool toEnd, Transfer &transfer);

// Copies a file's data. A sparse file stays sparse where the destination
// can hold it: only its allocated ranges are written, the holes between
// them are left to the filesystem.
void copyData(HANDLE input, HANDLE output, const BY_HANDLE_FILE_INFORMATION &info, Transfer &transfer);

} // namespace drovanta::engine::windows
