#include "backup/engine/CopyEngine.h"

namespace drovanta::engine {

void Result::merge(const Result &other)
{
    folders += other.folders;
    files += other.files;
    links += other.links;
    bytes += other.bytes;
    unchanged += other.unchanged;
    skipped.insert(skipped.end(), other.skipped.begin(), other.skipped.end());
    failures.insert(failures.end(), other.failures.begin(), other.failures.end());
    if (other.destinationFailed && !destinationFailed) {
        destinationFailed = true;
        destinationFailure = other.destinationFailure;
    }
    stopped = stopped || other.stopped;
}

} // namespace drovanta::engine
