#pragma once

#include "engine/CopyEngine.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace drovanta::backup {

// How far a run has got in bytes, for a bar that moves while a large folder
// is copied and for the estimate of the time left. The engine's workers add
// to it; the display reads it on its own thread.
class RunProgress final : public engine::ProgressSink {
public:
    // `expectedBytes`: what the whole run is expected to copy (the source
    // drive's used bytes); 0 when not known, and then the bar keeps to its
    // per-item values.
    explicit RunProgress(std::uint64_t expectedBytes) : m_expected(expectedBytes) {}

    void fileCopied(const std::string &sourcePath, std::uint64_t bytes) override;
    [[nodiscard]] bool namesFiles() const override { return false; }

    [[nodiscard]] std::uint64_t bytes() const { return m_bytes.load(std::memory_order_relaxed); }
    [[nodiscard]] std::uint64_t expectedBytes() const { return m_expected; }

    // The bar's value while an item is copied that started at `floor`, when
    // `bytesAtStart` had been copied, and is followed by one starting at
    // `ceiling`. The item may hold everything still expected (one top-level
    // folder often holds most of a drive), so the value moves through
    // [floor, ceiling) in proportion to the bytes copied of what remained;
    // it never reaches the next item's value early.
    [[nodiscard]] double barValue(double floor, double ceiling, std::uint64_t bytesAtStart) const;

    // "12.4 GB of 80.1 GB copied, 85 MB/s, about 13 minutes left" after
    // `elapsedSeconds` of copying; without an expected size, only what was
    // copied and the speed.
    [[nodiscard]] std::string detailText(double elapsedSeconds) const;
    // The same, measured from when this progress was made.
    [[nodiscard]] std::string detailText() const;

private:
    std::atomic<std::uint64_t> m_bytes{0};
    std::uint64_t m_expected;
    std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
};

// 12.4 GB, 85 MB, 512 bytes: decimal units as drives are sold.
[[nodiscard]] std::string byteSizeText(std::uint64_t bytes);

} // namespace drovanta::backup
