// The content fingerprints of a backup folder's files (FingerprintWalk.h),
// through Win32.
#include "engine/CopyEngine.h"
#include "engine/FingerprintWalk.h"
#include "engine/WindowsCheckWalk.h"

namespace drovanta::engine {

using windows::CheckSystem;
using windows::HeldFolder;

Fingerprints NativeCopyEngine::fingerprint(const FingerprintParams &params, const std::atomic<bool> &stop)
{
    Fingerprints fingerprints;
    Outcome<HeldFolder> folder = CheckSystem::openTop(windows::normalized(params.folder));
    if (folder.failed()) {
        fingerprints.failure = "cannot open '" + params.folder + "': " + windows::errorText(folder.error.code);
        return fingerprints;
    }
    HeldFolder earlier;
    if (!params.earlier.empty() && !params.earlierFingerprints.empty()) {
        Outcome<HeldFolder> opened = CheckSystem::openTop(windows::normalized(params.earlier));
        if (!opened.failed())
            earlier = std::move(opened.value);
    }
    FingerprintWalk<CheckSystem>(params, stop, fingerprints).run(std::move(folder.value), std::move(earlier));
    return fingerprints;
}

} // namespace drovanta::engine
