// engine-copy SOURCE TARGET [WORKERS [EARLIER]]: copies the tree SOURCE to
// TARGET with the engine as a backup run copies a top-level folder (the
// folder that holds TARGET is the run's backup folder), then writes the
// destination's cache to its device once, as the program does at the end of
// a backup, and prints its peak memory (peak_rss_kib=N). With EARLIER (an
// earlier backup's copy of the tree, of the same name, in a folder beside
// the one that holds TARGET), unchanged files are shared with it as a daily
// backup shares them. Exit status 0 when all went well.
#include "engine/CopyEngine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <fstream>
#include <string>

namespace {

#ifndef _WIN32
// Peak memory of this process in KiB. The kernel's high-water mark of the
// address space is read where there is one: getrusage's ru_maxrss survives
// execve, so it would report the shell that started this run when that
// shell was bigger.
long peakRssKib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    struct rusage usage {};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : -1;
}
#endif

} // namespace

int main(int argc, char **argv)
{
    using namespace drovanta::engine;
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: engine-copy SOURCE TARGET [WORKERS [EARLIER]]\n");
        return 2;
    }
    const std::filesystem::path source = std::filesystem::absolute(argv[1]);
    const std::filesystem::path target = std::filesystem::absolute(argv[2]);
    Params params;
    params.source = source.string();
    params.target = target.string();
    params.sourceRoot = source.parent_path().string();
    params.targetRoot = target.parent_path().parent_path().string();
    if (argc >= 4)
        params.workers = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
    RunPlaces places{params.targetRoot, target.parent_path().string(), {}};
    if (argc == 5)
        places.previousFolder = std::filesystem::absolute(argv[4]).parent_path().string();
    NativeCopyEngine engine;
    NoProgress progress;
    const std::atomic<bool> stop{false};
    const auto run = engine.beginRun(places);
    const Result result = run->copyTree(params, progress, stop);
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
    std::printf("peak_rss_kib=%ld\n", peakRssKib());
#endif
    return result.ok() && synced ? 0 : 1;
}
