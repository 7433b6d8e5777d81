// engine-copy SOURCE TARGET [WORKERS [EARLIER]]: copies the tree SOURCE to
// TARGET with the engine, then writes the destination's cache to its device
// once, as the program does at the end of a backup, and prints its peak
// memory (peak_rss_kib=N). With EARLIER (an earlier backup's copy of the
// tree, in a folder beside the one that holds TARGET), unchanged files are
// shared with it as a daily backup shares them. Exit status 0 when all went
// well.
#include "backup/engine/CopyEngine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <string>

int main(int argc, char **argv)
{
    using namespace drovanta::engine;
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: engine-copy SOURCE TARGET [WORKERS [EARLIER]]\n");
        return 2;
    }
    Params params;
    params.source = argv[1];
    params.target = argv[2];
    if (argc >= 4)
        params.workers = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    if (argc == 5) {
        params.previousTarget = argv[4];
        params.targetRoot = std::filesystem::path(params.target).parent_path().parent_path().string();
    }
    NativeCopyEngine engine;
    NoProgress progress;
    const std::atomic<bool> stop{false};
    const Result result = engine.copyTree(params, progress, stop);
    for (const auto &failure : result.failures)
        std::fprintf(stderr, "failed: %s %s: %s\n", failure.operation.c_str(), failure.path.c_str(),
                     failure.reason.c_str());
    if (result.destinationFailed)
        std::fprintf(stderr, "destination failed: %s\n", result.destinationFailure.reason.c_str());
    std::string reason;
    const bool synced = syncFilesystem(params.target, reason);
    if (!synced)
        std::fprintf(stderr, "sync failed: %s\n", reason.c_str());
#ifndef _WIN32
    struct rusage usage {};
    if (::getrusage(RUSAGE_SELF, &usage) == 0)
        std::printf("peak_rss_kib=%ld\n", usage.ru_maxrss);
#endif
    return result.ok() && synced ? 0 : 1;
}
