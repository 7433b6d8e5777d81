// The notification at the end of a run says how the run ended in its
// summary, and what was copied where in its body.
#include "core/backup/RunLog.h"
#include "core/backup/RunReport.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>

namespace drovanta::backup {
namespace {

const std::string folder = "/media/alex/Archive/Backup 12-09-2026";

struct Ending {
    const char *name;
    std::function<void(RunReport &)> make;
    const char *title;
    const char *text;
};

void PrintTo(const Ending &ending, std::ostream *out)
{
    *out << ending.name;
}

class AnnouncementOfARun : public ::testing::TestWithParam<Ending> {};

TEST_P(AnnouncementOfARun, NamesTheEndingAndWhatWasCopiedWhere)
{
    RunReport report;
    engine::Result copied;
    copied.files = 2;
    copied.bytes = 2048;
    report.add(copied);
    GetParam().make(report);

    EXPECT_EQ(announcementTitle(report), GetParam().title);
    EXPECT_EQ(announcementText(report, folder), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    RunLog, AnnouncementOfARun,
    ::testing::Values(
        Ending{"Complete", [](RunReport &) {}, "Backup finished",
               "2 files (2.0 kB) copied to /media/alex/Archive/Backup 12-09-2026."},
        Ending{"SomeItemsFailed", [](RunReport &r) { r.addFailure("/a", "read", "Input/output error"); },
               "Backup finished",
               "2 files (2.0 kB) copied to /media/alex/Archive/Backup 12-09-2026.\n1 item could not be copied."},
        Ending{"Stopped", [](RunReport &r) { r.recordStop(true, 4, 2); }, "Backup stopped",
               "2 files (2.0 kB) copied to /media/alex/Archive/Backup 12-09-2026."},
        Ending{"DestinationFailed",
               [](RunReport &r) {
                   engine::Result failed;
                   failed.destinationFailed = true;
                   failed.destinationFailure = {"/media/alex/Archive", "write", "No space left on device", 28};
                   r.add(failed);
               },
               "Backup failed",
               "2 files (2.0 kB) copied to /media/alex/Archive/Backup 12-09-2026.\nThe destination failed: No space "
               "left on device."},
        Ending{"Refused", [](RunReport &r) { r.refuse("Another backup is writing to it."); }, "Backup failed",
               "Nothing was copied to /media/alex/Archive/Backup 12-09-2026: Another backup is writing to it."}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace drovanta::backup
