// remove-folder ROOT NAME: removes the folder NAME directly in ROOT as the
// program removes an old backup to make room (renamed first, then emptied
// without following a link), for copy-bench to time against `rm -rf`.
// Writing the freed blocks back is left to the caller, which syncs after
// either tool alike. Exit status 0 when the folder is gone.
#include "engine/BackupRemoval.h"

#include <cstdio>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: remove-folder ROOT NAME\n");
        return 2;
    }
    const std::string name = argv[2];
    const auto removal = drovanta::engine::removeFolder(argv[1], name, "." + name + ".removing");
    for (const auto &failure : removal.failures)
        std::fprintf(stderr, "failed: %s %s: %s\n", failure.operation.c_str(), failure.path.c_str(),
                     failure.reason.c_str());
    for (const auto &mounted : removal.leftMounted)
        std::fprintf(stderr, "left mounted: %s\n", mounted.c_str());
    return removal.removed ? 0 : 1;
}
