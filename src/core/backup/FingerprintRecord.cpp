#include "core/backup/FingerprintRecord.h"

#include "core/backup/Copier.h"
#include "core/backup/EarlierBackup.h"

#include "platform/BookkeepingFile.h"
#include "platform/FileOperations.h"

#include <algorithm>
#include <sstream>
#include <vector>

namespace drovanta::backup {
namespace {

constexpr const char *recordSuffix = ".sums";

std::string escaped(const std::string &path)
{
    std::string text;
    for (const char c : path) {
        if (c == '\\')
            text += "\\\\";
        else if (c == '\n')
            text += "\\n";
        else
            text += c;
    }
    return text;
}

bool unescaped(const std::string &text, std::string &path)
{
    path.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            path += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        if (text[i] == '\\')
            path += '\\';
        else if (text[i] == 'n')
            path += '\n';
        else
            return false;
    }
    return true;
}

bool isHex(const std::string &text)
{
    return text.size() == 32
        && std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace

std::string recordPath(const std::string &destinationRoot, const std::string &backupFolderName)
{
    return childPath(childPath(destinationRoot, platform::bookkeepingFolderName), backupFolderName + recordSuffix);
}

std::string formatRecord(const FingerprintMap &files)
{
    std::vector<const FingerprintMap::value_type *> sorted;
    sorted.reserve(files.size());
    for (const auto &file : files)
        sorted.push_back(&file);
    std::sort(sorted.begin(), sorted.end(), [](const auto *a, const auto *b) { return a->first < b->first; });
    std::string text = "# drovanta fingerprints: XXH3-128, size in bytes, path in the backup folder\n";
    for (const auto *file : sorted)
        text += file->second.hash + "  " + std::to_string(file->second.size) + "  " + escaped(file->first) + "\n";
    return text;
}

bool parseRecord(const std::string &text, FingerprintMap &files, std::string &problem)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line.starts_with('#'))
            continue;
        const auto first = line.find("  ");
        const auto second = first == std::string::npos ? first : line.find("  ", first + 2);
        std::string path;
        if (second == std::string::npos || !isHex(line.substr(0, first))
            || !unescaped(line.substr(second + 2), path) || path.empty()) {
            problem = line;
            return false;
        }
        const std::string size = line.substr(first + 2, second - first - 2);
        if (size.empty() || !std::all_of(size.begin(), size.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            problem = line;
            return false;
        }
        files[path] = engine::Fingerprint{std::stoull(size), line.substr(0, first)};
    }
    return true;
}

std::optional<FingerprintMap> readRecord(const std::string &path, std::string &problem)
{
    const std::optional<std::string> text = platform::readBookkeepingFile(path, problem);
    if (!text)
        return std::nullopt;
    FingerprintMap files;
    std::string line;
    if (!parseRecord(*text, files, line)) {
        problem = "it holds a line that is not a fingerprint: " + line;
        return std::nullopt;
    }
    return files;
}

std::optional<std::string> writeRecord(const std::string &path, const FingerprintMap &files)
{
    return platform::replaceBookkeepingFile(path, formatRecord(files));
}

std::string chosenBackupFolder(const std::string &destinationRoot, const std::string &name)
{
    if (!name.empty())
        return childPath(destinationRoot, name);
    // The latest backup is the latest one before a date no backup can have.
    return earlierBackupFolder(childPath(destinationRoot, "Backup 12-31-9999"));
}

RecordOutcome recordBackup(engine::CopyEngine &engine, const std::string &destinationRoot,
                           const std::string &backupFolder, const std::atomic<bool> &stop)
{
    RecordOutcome outcome;
    engine::FingerprintParams params;
    params.folder = backupFolder;
    params.earlier = earlierBackupFolder(backupFolder);
    if (!params.earlier.empty()) {
        std::string problem;
        if (auto earlier = readRecord(recordPath(destinationRoot, backupFolderName(params.earlier)), problem))
            params.earlierFingerprints = std::move(*earlier);
    }
    const engine::Fingerprints fingerprints = engine.fingerprint(params, stop);
    outcome.filesRead = fingerprints.filesRead;
    outcome.filesReused = fingerprints.filesReused;
    if (!fingerprints.failure.empty()) {
        outcome.problem = fingerprints.failure;
        return outcome;
    }
    if (fingerprints.stopped) {
        outcome.problem = "stopped";
        return outcome;
    }
    // A file that could not be read is left out of the record; the check
    // then names it as one the record does not hold.
    outcome.problem = writeRecord(recordPath(destinationRoot, backupFolderName(backupFolder)), fingerprints.files);
    return outcome;
}

} // namespace drovanta::backup
