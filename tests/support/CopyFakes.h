#pragma once

// Fakes around the copier: an engine that copies with std::filesystem (so
// copier tests do not depend on the real engine's details) and a display that
// records the progress the copier shows.

#include "core/backup/CopyDisplay.h"
#include "engine/CopyEngine.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace drovanta::testing {

class FsCopyEngine final : public engine::CopyEngine {
public:
    engine::Result copyTree(const engine::Params &params, engine::ProgressSink &, const std::atomic<bool> &) override
    {
        if (const engine::Result *answer = intercept(params))
            return *answer;
        namespace fs = std::filesystem;
        fs::copy(params.source, params.target,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing | fs::copy_options::copy_symlinks);
        engine::Result result;
        result.folders = 1;
        return result;
    }

    engine::Result copyFile(const engine::Params &params, engine::ProgressSink &, const std::atomic<bool> &) override
    {
        if (const engine::Result *answer = intercept(params))
            return *answer;
        namespace fs = std::filesystem;
        const fs::path source(params.source);
        fs::copy_file(source, fs::path(params.target) / source.filename(), fs::copy_options::overwrite_existing);
        engine::Result result;
        result.files = 1;
        return result;
    }

    std::optional<std::uint64_t> measure(const engine::Params &params, const std::atomic<bool> &) override
    {
        return measuring ? measuring(params) : std::nullopt;
    }

    std::vector<std::string> calls;                // source paths, in the order handed over
    // What measure() answers (nothing when unset: the room check stands on the drives' figures).
    std::function<std::optional<std::uint64_t>(const engine::Params &)> measuring;
    std::function<void(const engine::Params &)> before; // runs before each copy (slow engines, stop presses)
    std::map<std::string, engine::Result> canned;  // results returned instead of copying, by source path

private:
    // Records the call and runs `before`; the canned result, if any.
    const engine::Result *intercept(const engine::Params &params)
    {
        calls.push_back(params.source);
        if (before)
            before(params);
        const auto it = canned.find(params.source);
        return it == canned.end() ? nullptr : &it->second;
    }
};

class RecordingDisplay final : public backup::CopyDisplay {
public:
    RecordingDisplay() = default;
    RecordingDisplay(const RecordingDisplay &) = delete;
    RecordingDisplay &operator=(const RecordingDisplay &) = delete;

    void processEvents() override
    {
        ++eventPoints;
        if (onEvents)
            onEvents(eventPoints);
    }
    void setProgressValue(double percent) override { values.push_back(percent); }
    void setProgressText(const std::string &text) override { texts.push_back(text); }
    void repaint() override { ++repaints; }
    engine::Result wait(const std::function<engine::Result()> &operation) override { return operation(); }

    int eventPoints = 0;
    int repaints = 0;
    std::vector<double> values;
    std::vector<std::string> texts;
    std::function<void(int)> onEvents; // called with the running count of event points
};

} // namespace drovanta::testing
