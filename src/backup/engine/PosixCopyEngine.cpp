// placeholder: the POSIX engine is being written
#include "backup/engine/CopyEngine.h"
namespace drovanta::engine {
Result NativeCopyEngine::copyTree(const Params &, ProgressSink &, const std::atomic<bool> &) { return {}; }
Result NativeCopyEngine::copyFile(const Params &, ProgressSink &, const std::atomic<bool> &) { return {}; }
bool syncFilesystem(const std::string &, std::string &) { return true; }
}
