// A backup run for engines that keep no state of their own between calls:
// each call finds its places again by path.
#include "engine/PathCopyRun.h"

namespace drovanta::engine {

Params placedInRun(const Params &params, const RunPlaces &places)
{
    Params placed = params;
    placed.targetRoot = places.targetRoot;
    placed.previousTarget.clear();
    if (!places.previousFolder.empty()) {
        placed.previousTarget = places.previousFolder;
        const std::string &folder = places.backupFolder;
        if (params.target.size() > folder.size() && params.target.starts_with(folder))
            placed.previousTarget += params.target.substr(folder.size());
    }
    return placed;
}

Result syncByPath(const std::string &backupFolder)
{
    Result synced;
    std::string reason;
    if (!syncFilesystem(backupFolder, reason)) {
        synced.destinationFailed = true;
        synced.destinationFailure = {backupFolder, "write to the device", reason, 0};
    }
    return synced;
}

namespace {

class PathCopyRun final : public CopyRun {
public:
    PathCopyRun(CopyEngine &engine, RunPlaces places) : m_engine(engine), m_places(std::move(places)) {}

    Result copyTree(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop) override
    {
        return m_engine.copyTree(withPlaces(params), progress, stop);
    }

    Result copyFile(const Params &params, ProgressSink &progress, const std::atomic<bool> &stop) override
    {
        return m_engine.copyFile(withPlaces(params), progress, stop);
    }

    Result sync() override { return syncByPath(m_places.backupFolder); }

private:
    Params withPlaces(const Params &params) const { return placedInRun(params, m_places); }

    CopyEngine &m_engine;
    RunPlaces m_places;
};

} // namespace

std::optional<std::uint64_t> CopyEngine::measure(const Params &, const std::atomic<bool> &)
{
    return std::nullopt;
}

namespace {
const char *const notSupported = "not supported on this system";
}

Comparison CopyEngine::compare(const CompareParams &, const std::atomic<bool> &)
{
    Comparison comparison;
    comparison.supported = false;
    comparison.failure = notSupported;
    return comparison;
}

RestorePlan CopyEngine::planRestore(const Params &, const std::atomic<bool> &)
{
    RestorePlan plan;
    plan.supported = false;
    plan.failure = notSupported;
    return plan;
}

Fingerprints CopyEngine::fingerprint(const FingerprintParams &, const std::atomic<bool> &)
{
    Fingerprints fingerprints;
    fingerprints.supported = false;
    fingerprints.failure = notSupported;
    return fingerprints;
}

std::unique_ptr<CopyRun> CopyEngine::beginRun(const RunPlaces &places)
{
    return std::make_unique<PathCopyRun>(*this, places);
}

void CopyRun::expectFiles(const std::vector<Params> &, ProgressSink &, const std::atomic<bool> &) {}

Result CopyRun::settleFiles()
{
    return {};
}

} // namespace drovanta::engine
