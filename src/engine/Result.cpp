#include "engine/CopyEngine.h"

namespace drovanta::engine {

void Result::merge(const Result &other)
{
    folders += other.folders;
    files += other.files;
    links += other.links;
    bytes += other.bytes;
    unchanged += other.unchanged;
    specials += other.specials;
    shared += other.shared;
    sharingUnavailable = sharingUnavailable || other.sharingUnavailable;
    skipped.insert(skipped.end(), other.skipped.begin(), other.skipped.end());
    failures.insert(failures.end(), other.failures.begin(), other.failures.end());
    kept.insert(kept.end(), other.kept.begin(), other.kept.end());
    for (const Note &note : other.notes)
        addNote(note.kind, note.filesystem, note.items);
    if (other.destinationFailed && !destinationFailed) {
        destinationFailed = true;
        destinationFailure = other.destinationFailure;
    }
    stopped = stopped || other.stopped;
}

void Result::addNote(NoteKind kind, const std::string &filesystem, std::uint64_t items)
{
    for (Note &note : notes) {
        if (note.kind == kind && note.filesystem == filesystem) {
            note.items += items;
            return;
        }
    }
    notes.push_back({kind, filesystem, items});
}

} // namespace drovanta::engine
