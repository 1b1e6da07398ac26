// Entry-name safety for unpacking and the exclusion patterns for packing.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"
#include "archive/entry_names_internal.h"

namespace vornback {
namespace entry_names {
namespace {

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Cuts a text into characters: one ASCII byte, or a UTF-8 lead byte with its
// continuation bytes. A stray continuation byte stands alone.
std::vector<std::string_view> Characters(std::string_view text) {
    std::vector<std::string_view> result;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = i + 1;
        if ((static_cast<unsigned char>(text[i]) & 0xC0u) == 0xC0u) {
            while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) {
                ++end;
            }
        }
        result.push_back(text.substr(i, end - i));
        i = end;
    }
    return result;
}

bool SameCharacter(std::string_view a, std::string_view b) {
    if (a.size() == 1 && b.size() == 1) {
        return AsciiLower(a[0]) == AsciiLower(b[0]);
    }
    return a == b;
}

}  // namespace

std::vector<std::string> SplitPath(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || IsSeparator(path[i])) {
            std::string_view part = path.substr(start, i - start);
            if (!part.empty() && part != ".") {
                parts.emplace_back(part);
            }
            start = i + 1;
        }
    }
    return parts;
}

bool NamesFolder(std::string_view name) {
    return !name.empty() && IsSeparator(name.back());
}

std::optional<std::vector<std::string>> SafeComponents(std::string_view name) {
    if (name.empty() || IsSeparator(name.front())) {
        return std::nullopt;  // absolute ("/x", "\x", "\\server\share")
    }
    if (name.size() >= 2 && IsAsciiLetter(name[0]) && name[1] == ':') {
        return std::nullopt;  // a drive letter, relative ("C:x") or absolute ("C:\x")
    }
    std::vector<std::string> parts = SplitPath(name);
    if (parts.empty()) {
        return std::nullopt;
    }
    for (const std::string& part : parts) {
        if (part == "..") {
            return std::nullopt;
        }
    }
    return parts;
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
    if (pattern == "*.*") {
        return true;
    }
    const std::vector<std::string_view> p = Characters(pattern);
    const std::vector<std::string_view> n = Characters(name);
    // Greedy match with one back-tracking point: the last "*" seen.
    size_t pi = 0;
    size_t ni = 0;
    size_t starP = std::string_view::npos;
    size_t starN = 0;
    while (ni < n.size()) {
        if (pi < p.size() && p[pi] == "*") {
            starP = pi++;
            starN = ni;
        } else if (pi < p.size() && (p[pi] == "?" || SameCharacter(p[pi], n[ni]))) {
            ++pi;
            ++ni;
        } else if (starP != std::string_view::npos) {
            pi = starP + 1;
            ni = ++starN;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == "*") {
        ++pi;
    }
    return pi == p.size();
}

}  // namespace entry_names

bool MatchesExclusion(const std::string& relativePath, const std::string& pattern) {
    std::vector<std::string> patternParts = entry_names::SplitPath(pattern);
    // A last component that takes every name ("Folder\*.*", "Folder\*") means the folder
    // with all it holds, so the folder itself is left out as well, not kept empty.
    if (patternParts.size() > 1 && (patternParts.back() == "*.*" || patternParts.back() == "*")) {
        patternParts.pop_back();
    }
    const std::vector<std::string> pathParts = entry_names::SplitPath(relativePath);
    if (patternParts.empty() || pathParts.size() < patternParts.size()) {
        return false;
    }
    for (size_t i = 0; i < patternParts.size(); ++i) {
        if (!entry_names::WildcardMatch(patternParts[i], pathParts[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace vornback
