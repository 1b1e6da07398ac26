// Names of the temporary files and folders the system creates beside its real ones. Each
// name carries a fixed marker and a random part, so it is unique per run and a start-up
// clean-up can tell the leftovers of a killed run from everything else by name alone.
#pragma once

#include <cstddef>
#include <random>
#include <string>
#include <string_view>

namespace vornback::temp_names {

// ---- Archive (pack and unpack) ---------------------------------------------------------

// Packing writes "<archive>.part-vb-<8 random>" beside the archive and renames it into
// place; libzip, closing that file, writes its own "<that name>.<6 random>" first.
// Unpacking writes each file as ".part-vbu-<8 random>" in its folder, and a whole unpack
// fills the folder "<destination>.part-vbu-<8 random>" before renaming it to the
// destination.

inline constexpr std::string_view kPackMarker = ".part-vb-";
inline constexpr std::string_view kUnpackMarker = ".part-vbu-";
inline constexpr size_t kRandomLength = 8;

// Eight random lower-case letters and digits; safe to call from any thread.
inline std::string RandomPart() {
    static thread_local std::mt19937_64 engine{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string part;
    for (size_t i = 0; i < kRandomLength; ++i) {
        part += kDigits[engine() % (sizeof(kDigits) - 1)];
    }
    return part;
}

// The temporary file a pack of archivePath writes before renaming it into place.
inline std::string PackTemporaryPath(const std::string& archivePath) {
    return archivePath + std::string(kPackMarker) + RandomPart();
}

// The temporary name of one unpacked file inside its folder.
inline std::string UnpackTemporaryFileName() {
    return std::string(kUnpackMarker) + RandomPart();
}

// The temporary folder a whole unpack into destFolder fills before renaming it into place.
inline std::string UnpackTemporaryFolder(const std::string& destFolder) {
    return destFolder + std::string(kUnpackMarker) + RandomPart();
}

namespace detail {
inline bool RandomAt(std::string_view name, size_t at, size_t length) {
    if (name.size() < at + length) {
        return false;
    }
    for (size_t i = at; i < at + length; ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
            return false;
        }
    }
    return true;
}

// Whether name ends in marker + 8 random, optionally followed by "." + 6 random (libzip's).
inline bool EndsInMarked(std::string_view name, std::string_view marker) {
    const size_t at = name.rfind(marker);
    if (at == std::string_view::npos) {
        return false;
    }
    const size_t random = at + marker.size();
    if (!RandomAt(name, random, kRandomLength)) {
        return false;
    }
    const size_t rest = name.size() - random - kRandomLength;
    return rest == 0 || (rest == 7 && name[random + kRandomLength] == '.' &&
                         RandomAt(name, random + kRandomLength + 1, 6));
}
}  // namespace detail

// Whether a file name (no folder part) is a pack's temporary file, or libzip's beside it.
inline bool IsPackTemporaryName(std::string_view name) {
    return detail::EndsInMarked(name, kPackMarker);
}

// Whether a file or folder name (no folder part) is an unpack's temporary file or folder.
inline bool IsUnpackTemporaryName(std::string_view name) {
    return detail::EndsInMarked(name, kUnpackMarker) &&
           name.size() == name.rfind(kUnpackMarker) + kUnpackMarker.size() + kRandomLength;
}

// ---- End of archive names ---------------------------------------------------------------

}  // namespace vornback::temp_names
