#include "engine/SystemItems.h"

#include <gtest/gtest.h>

using drovanta::engine::isDriveBookkeepingName;
using drovanta::engine::isTemporaryName;

TEST(DriveBookkeepingNames, RecognisesTheSystemsItemsWhateverTheirCase)
{
    for (const char *name : {"System Volume Information", "$RECYCLE.BIN", "$Recycle.Bin", "lost+found",
                             ".Trash-1000", ".Trash-", "pagefile.sys", "HIBERFIL.SYS", "swapfile.sys", "swapfile",
                             "swap.img"})
        EXPECT_TRUE(isDriveBookkeepingName(name)) << name;
}

TEST(DriveBookkeepingNames, LeavesUsersItemsWithSimilarNamesAlone)
{
    for (const char *name : {".Trash", "Trash-1000", "System Volume", "lost+found2", "swapfile.sys.bak", "my swap.img",
                             "", "pagefile"})
        EXPECT_FALSE(isDriveBookkeepingName(name)) << name;
}

TEST(TemporaryNames, HaveThePrefixAndExactlySixteenLowercaseHexDigits)
{
    EXPECT_TRUE(isTemporaryName(".drovanta-tmp-0123456789abcdef"));
    for (const char *name : {".drovanta-tmp-", ".drovanta-tmp-x", ".drovanta-tmp-0123456789abcde",
                             ".drovanta-tmp-0123456789abcdef0", ".drovanta-tmp-0123456789ABCDEF", "drovanta-tmp-0123",
                             "notes.drovanta-tmp-0123456789abcdef"})
        EXPECT_FALSE(isTemporaryName(name)) << name;
}
