#include "platform/linux/LibmountTables.h"

#include "platform/Failure.h"

#include <libmount.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <sys/sysmacros.h>

namespace drovanta::platform {

namespace {

struct TableRelease {
    void operator()(libmnt_table *table) const { mnt_unref_table(table); }
};
struct IteratorRelease {
    void operator()(libmnt_iter *iterator) const { mnt_free_iter(iterator); }
};
using Table = std::unique_ptr<libmnt_table, TableRelease>;

std::string text(const char *value)
{
    return value ? value : "";
}

// Calls visit(fs) for each entry, in the table's order.
template<typename Visit>
void forEachEntry(libmnt_table *table, Visit visit)
{
    const std::unique_ptr<libmnt_iter, IteratorRelease> iterator(mnt_new_iter(MNT_ITER_FORWARD));
    if (!iterator)
        throw std::bad_alloc();
    libmnt_fs *fs = nullptr;
    while (mnt_table_next_fs(table, iterator.get(), &fs) == 0)
        visit(fs);
}

} // namespace

std::vector<MountEntry> libmountMounts(const std::filesystem::path &mountInfo)
{
    const Table table(mnt_new_table());
    if (!table)
        throw std::bad_alloc();
    // Lines libmount cannot parse are skipped, as the kernel never writes them.
    const int result = mnt_table_parse_mtab(table.get(), mountInfo.c_str());
    if (result < 0)
        throw Failure("Cannot read the mount table " + mountInfo.string() + ": " + std::strerror(-result));

    std::vector<MountEntry> mounts;
    forEachEntry(table.get(), [&](libmnt_fs *fs) {
        MountEntry entry;
        entry.id = static_cast<unsigned>(mnt_fs_get_id(fs));
        const dev_t device = mnt_fs_get_devno(fs);
        entry.major = major(device);
        entry.minor = minor(device);
        entry.root = text(mnt_fs_get_root(fs));
        entry.mountPoint = text(mnt_fs_get_target(fs));
        entry.options = text(mnt_fs_get_vfs_options(fs));
        entry.fsType = text(mnt_fs_get_fstype(fs));
        entry.source = text(mnt_fs_get_source(fs));
        entry.superOptions = text(mnt_fs_get_fs_options(fs));
        entry.userOptions = text(mnt_fs_get_user_options(fs));
        mounts.push_back(std::move(entry));
    });
    return mounts;
}

std::vector<ConfiguredMount> libmountFstab(const std::filesystem::path &fstab)
{
    const Table table(mnt_new_table());
    if (!table)
        throw std::bad_alloc();
    if (mnt_table_parse_fstab(table.get(), fstab.c_str()) < 0)
        return {};

    std::vector<ConfiguredMount> mounts;
    forEachEntry(table.get(), [&](libmnt_fs *fs) {
        ConfiguredMount mount{text(mnt_fs_get_target(fs)), text(mnt_fs_get_fstype(fs)), text(mnt_fs_get_options(fs))};
        if (!mount.mountPoint.empty())
            mounts.push_back(std::move(mount));
    });
    return mounts;
}

} // namespace drovanta::platform
