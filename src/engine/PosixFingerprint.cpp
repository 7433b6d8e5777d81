// The content fingerprints of a backup folder's files (FingerprintWalk.h),
// through descriptors.
#include "engine/CopyEngine.h"
#include "engine/FingerprintWalk.h"
#include "engine/PosixCheckWalk.h"

namespace drovanta::engine {

using namespace posix;

Fingerprints NativeCopyEngine::fingerprint(const FingerprintParams &params, const std::atomic<bool> &stop)
{
    Fingerprints fingerprints;
    Opened folder = openFolderPath(params.folder);
    if (folder.failed()) {
        fingerprints.failure = "cannot open '" + params.folder + "': " + errorText(folder.error.code);
        return fingerprints;
    }
    UniqueFd earlier;
    if (!params.earlier.empty() && !params.earlierFingerprints.empty()) {
        Opened opened = openFolderPath(params.earlier);
        if (!opened.failed())
            earlier = std::move(opened.value);
    }
    raiseDescriptorLimit();
    FingerprintWalk<CheckSystem>(params, stop, fingerprints).run(std::move(folder.value), std::move(earlier));
    return fingerprints;
}

} // namespace drovanta::engine
