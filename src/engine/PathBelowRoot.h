#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace drovanta::engine {

// A path split at its root: `root` is opened as the user named it, the
// components `below` it never through a link.
template<typename Char>
struct PathBelowRoot {
    std::basic_string<Char> root;
    std::vector<std::basic_string<Char>> below;
};

// The parts of `path` between separators, without empty ones and ".".
// `starts`, when given, receives where each part begins in `path`.
template<typename Char>
[[nodiscard]] std::vector<std::basic_string<Char>> pathComponents(std::basic_string_view<Char> path, Char separator,
                                                                  std::vector<std::size_t> *starts = nullptr)
{
    std::vector<std::basic_string<Char>> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(separator, start);
        if (end == std::basic_string_view<Char>::npos)
            end = path.size();
        const auto part = path.substr(start, end - start);
        if (!part.empty() && !(part.size() == 1 && part[0] == Char('.'))) {
            parts.emplace_back(part);
            if (starts != nullptr)
                starts->push_back(start);
        }
        start = end + 1;
    }
    return parts;
}

// Splits `path` at `root`, comparing whole components with `sameName`
// ("a//b/" and "a/b" are the same; Windows compares names ignoring case).
// An empty `root` stands for the folder that holds `path`: its text up to
// the last component, a drive's root ("C:\") keeping its separator, "."
// when there is none. False when `root` does not lead `path` or a
// component below it is "..".
template<typename Char, typename SameName>
[[nodiscard]] bool splitAtRoot(std::basic_string_view<Char> root, std::basic_string_view<Char> path, Char separator,
                               SameName sameName, PathBelowRoot<Char> &split)
{
    std::vector<std::size_t> starts;
    std::vector<std::basic_string<Char>> parts = pathComponents(path, separator, &starts);
    std::size_t rootCount = 0;
    if (root.empty()) {
        if (parts.empty()) {
            split.root = path.empty() ? std::basic_string<Char>(1, Char('.')) : std::basic_string<Char>(path);
        } else {
            rootCount = parts.size() - 1;
            std::basic_string<Char> parent(path.substr(0, starts.back()));
            while (parent.size() > 1 && parent.back() == separator && parent[parent.size() - 2] != separator
                   && parent[parent.size() - 2] != Char(':'))
                parent.pop_back();
            split.root = parent.empty() ? std::basic_string<Char>(1, Char('.')) : std::move(parent);
        }
    } else {
        const std::vector<std::basic_string<Char>> rootParts = pathComponents(root, separator);
        const bool anchored = !path.empty() && path[0] == separator;
        if ((root[0] == separator) != anchored || rootParts.size() > parts.size())
            return false;
        for (std::size_t i = 0; i < rootParts.size(); ++i) {
            if (!sameName(rootParts[i], parts[i]))
                return false;
        }
        rootCount = rootParts.size();
        split.root = std::basic_string<Char>(root);
    }
    split.below.assign(parts.begin() + static_cast<std::ptrdiff_t>(rootCount), parts.end());
    for (const auto &part : split.below) {
        if (part.size() == 2 && part[0] == Char('.') && part[1] == Char('.'))
            return false;
    }
    return true;
}

} // namespace drovanta::engine
