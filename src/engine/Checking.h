#pragma once

// What the engine tells about backups already made: how a backup differs from
// its source, what a restore would do, and the content fingerprints of a
// backup's files. All of it only reads.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace drovanta::engine {

// How one item of a backup differs from its source.
enum class Difference {
    Missing,       // in the source, not in the backup
    Extra,         // in the backup, not in the source
    ContentDecayed, // same size and modification time, other bytes: the copy decayed or was changed in place
    SourceChanged, // size, modification time or kind differ: the source changed since the backup
    Metadata,      // mode, owner, times, extended attributes, ACLs or a link's target
    Unreadable,    // could not be read on one side or the other
};

struct Differing {
    Difference kind = Difference::Missing;
    std::string path;   // relative to the source and the backup folder
    std::string detail; // what differs ("mode 0644, backup 0600") or the system's reason
};

// Compares the tree `source` with its backup `backup`, both opened as named;
// nothing below them is reached through a link. With `atDriveRoot` the
// system's bookkeeping items in the source's root are left out, as a backup
// leaves them out.
struct CompareParams {
    std::string source;
    std::string backup;
    bool atDriveRoot = false;
    // Files compared at once (half as many folders listed): reading both
    // sides of several files keeps a drive's queue full. On /usr/share,
    // cold, 16 took 4.3-4.6 s where 8 took 4.3-6.0 s.
    unsigned workers = 16;
};

struct Comparison {
    bool supported = true;
    std::string failure; // why the comparison could not start; empty when it ran
    bool stopped = false;
    std::vector<Differing> differences; // in walk order; callers group them
};

// What a restore does with one item.
enum class RestoreAction { Add, Replace, Keep };

struct PlannedItem {
    RestoreAction action = RestoreAction::Add;
    std::string path; // the target path
    bool operator==(const PlannedItem &) const = default;
};

struct RestorePlan {
    bool supported = true;
    std::string failure;
    std::vector<PlannedItem> items; // items left as they are are not listed
};

// One file's content fingerprint: XXH3-128 as 32 lowercase hex digits.
struct Fingerprint {
    std::uint64_t size = 0;
    std::string hash;
};

// The fingerprints of the regular files below `folder`, keyed by their
// paths relative to it ("a/b.txt"). With `earlier` (a backup folder) and its
// fingerprints, a file that is the very same file (device and inode) as the
// same path there, of the size recorded, takes the recorded fingerprint
// without being read: a backup shares its unchanged files with the earlier one.
struct FingerprintParams {
    std::string folder;
    std::string earlier;
    std::unordered_map<std::string, Fingerprint> earlierFingerprints;
    unsigned workers = 8;
};

struct FingerprintFailure {
    std::string path; // relative
    std::string reason;
};

struct Fingerprints {
    bool supported = true;
    std::string failure;
    bool stopped = false;
    std::unordered_map<std::string, Fingerprint> files;
    std::vector<FingerprintFailure> unreadable;
    std::uint64_t filesRead = 0;   // files whose content was read and hashed
    std::uint64_t filesReused = 0; // files that took the earlier backup's fingerprint
};

} // namespace drovanta::engine
