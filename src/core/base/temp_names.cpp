#include "base/temp_names.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>

namespace vornback {

namespace {

bool IsTag(std::string_view text) {
    const auto dash = text.find('-');
    if (dash == std::string_view::npos || dash == 0 || text.size() - dash - 1 != 8) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool ok = i < dash ? (c >= '0' && c <= '9')
                                 : i == dash || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (!ok) {
            return false;
        }
    }
    return true;
}

// "." + archive + marker + tag, giving the archive name; "" when it does not fit.
std::string ArchiveOf(std::string_view name, std::string_view marker) {
    if (!name.starts_with('.')) {
        return "";
    }
    const auto at = name.rfind(marker);
    if (at == std::string_view::npos || at < 2 || !IsTag(name.substr(at + marker.size()))) {
        return "";
    }
    return std::string(name.substr(1, at - 1));
}

}  // namespace

std::string NewRunTag() {
    static std::random_device device;
    static std::atomic<unsigned> counter{0};
    // The device alone would do; the counter keeps two tags of one process apart even on
    // a platform whose device is a fixed-seed generator.
    const unsigned bits = device() ^ (counter.fetch_add(1) * 2654435761u);
    char tag[40];
    std::snprintf(tag, sizeof tag, "%ld-%08x", static_cast<long>(::getpid()), bits);
    return tag;
}

std::string DrillScratchName() {
    return "vornback-drill-" + NewRunTag();
}

std::optional<long> DrillScratchProcess(std::string_view name) {
    constexpr std::string_view kPrefix = "vornback-drill-";
    if (name.substr(0, kPrefix.size()) != kPrefix) {
        return std::nullopt;
    }
    const std::string_view rest = name.substr(kPrefix.size());
    const size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash > 9 || rest.size() != dash + 9) {
        return std::nullopt;
    }
    long pid = 0;
    for (size_t i = 0; i < dash; ++i) {
        if (rest[i] < '0' || rest[i] > '9') {
            return std::nullopt;
        }
        pid = pid * 10 + (rest[i] - '0');
    }
    return pid;
}

std::string CopyTemporaryName() {
    return ".vornback-copy-" + NewRunTag() + ".tmp";
}

std::string BackupTemporaryName(std::string_view archiveName, std::string_view tag) {
    return "." + std::string(archiveName) + ".partial-" + std::string(tag);
}

std::string RotationLinkName(std::string_view archiveName, std::string_view tag) {
    return "." + std::string(archiveName) + ".previous-" + std::string(tag);
}

std::string EncryptedCopyName(std::string_view archiveName, std::string_view tag) {
    return "." + std::string(archiveName) + ".encrypted-" + std::string(tag);
}

std::string OffsitePartName(std::string_view archiveName) {
    return "." + std::string(archiveName) + "." + temp_names::RandomPart() + ".part";
}

bool IsOffsitePartOf(std::string_view name, std::string_view archiveName) {
    const std::string head = "." + std::string(archiveName) + ".";
    constexpr std::string_view kTail = ".part";
    return name.size() == head.size() + temp_names::kRandomLength + kTail.size() &&
           name.substr(0, head.size()) == head &&
           temp_names::detail::RandomAt(name, head.size(), temp_names::kRandomLength) &&
           name.substr(name.size() - kTail.size()) == kTail;
}

std::string CompactionTemporaryName(std::string_view year, int64_t firm, std::string_view tag) {
    return "M" + std::string(year) + ".Firm" + std::to_string(firm) + "." + std::string(tag) +
           ".mdb";
}

std::optional<BackupLeftover> ParseBackupLeftover(std::string_view name) {
    if (const auto part = name.rfind(temp_names::kPackMarker);
        part != std::string_view::npos && temp_names::IsPackTemporaryName(name)) {
        const auto owner = ParseBackupLeftover(name.substr(0, part));
        if (owner && owner->kind == BackupLeftover::Kind::Temporary) {
            return BackupLeftover{BackupLeftover::Kind::PackPart, owner->archiveName};
        }
        return std::nullopt;
    }
    if (std::string archive = ArchiveOf(name, ".partial-"); !archive.empty()) {
        return BackupLeftover{BackupLeftover::Kind::Temporary, std::move(archive)};
    }
    if (std::string archive = ArchiveOf(name, ".previous-"); !archive.empty()) {
        return BackupLeftover{BackupLeftover::Kind::RotationLink, std::move(archive)};
    }
    if (std::string archive = ArchiveOf(name, ".encrypted-"); !archive.empty()) {
        return BackupLeftover{BackupLeftover::Kind::EncryptedCopy, std::move(archive)};
    }
    return std::nullopt;
}

bool IsCompactionTemporaryOf(std::string_view name, int64_t firm) {
    const std::string firmPart = ".Firm" + std::to_string(firm) + ".";
    const auto at = name.find(firmPart);
    if (!name.starts_with('M') || at == std::string_view::npos || !name.ends_with(".mdb")) {
        return false;
    }
    const std::string_view tag =
        name.substr(at + firmPart.size(), name.size() - 4 - at - firmPart.size());
    return IsTag(tag);
}

std::string FirmSwapMarkerName(int64_t firm, std::string_view stamp) {
    return ".swap-Firm" + std::to_string(firm) + "-" + std::string(stamp);
}

std::string ReplacedCopyName(int64_t firm, std::string_view stamp) {
    return "Firm" + std::to_string(firm) + "-" + std::string(stamp);
}

std::string YearSwapMarkerName(int64_t firm, std::string_view year) {
    return ".swap-Firm" + std::to_string(firm) + "-Yr" + std::string(year);
}

std::string YearAsideName(int64_t firm, std::string_view year) {
    return ".aside-Firm" + std::to_string(firm) + "-Yr" + std::string(year);
}

std::string MergedYearName(std::string_view year) {
    return ".merged-Yr" + std::string(year);
}

std::string FirmPlaceMarkerName(int64_t firm) {
    return ".place-Firm" + std::to_string(firm);
}

std::string YearPlaceMarkerName(int64_t firm, int64_t year) {
    return ".place-Firm" + std::to_string(firm) + "-Yr" + std::to_string(year);
}

std::string DeletingName(std::string_view name) {
    return ".deleting-" + std::string(name);
}

std::string UnplacedName(std::string_view name) {
    return ".unplaced-" + std::string(name);
}

}  // namespace vornback
