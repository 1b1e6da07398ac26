// Name rules shared by the archive component's packing and unpacking: splitting entry
// names into path components the way the unpacker reads them, and the wildcard match of
// the exclusion patterns. Private to src/core/archive.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornback::entry_names {

// The path components of an entry name, with "/" and "\" both counted as separators and
// empty and "." components dropped. Empty when the name is not safe to unpack: empty after
// dropping, absolute, with a drive letter ("C:x", "C:\x"), or with any ".." component (an
// archive never needs one, so even a ".." that would stay inside is refused).
std::optional<std::vector<std::string>> SafeComponents(std::string_view name);

// Whether the entry name, read with "\" as a separator too, ends in a separator (a folder).
bool NamesFolder(std::string_view name);

// Splits at "/" and "\", dropping empty and "." components.
std::vector<std::string> SplitPath(std::string_view path);

// Matches one name against one wildcard pattern: "*" any run of characters, "?" exactly
// one character (a UTF-8 sequence counts as one), ASCII letters compared without regard
// to case. "*.*" matches every name, with or without a dot, as the host's tools read it.
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace vornback::entry_names
