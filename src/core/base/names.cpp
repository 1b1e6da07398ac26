#include "base/names.h"

#include <cstdio>
#include <ctime>

#include "base/text.h"

namespace vornback {

namespace {

// Whether name starts with prefix, letter case aside.
bool HasPrefix(std::string_view name, std::string_view prefix) {
    return name.size() >= prefix.size() && ToLower(name.substr(0, prefix.size())) == prefix;
}

// The number that text is as a whole: an optional "-" and 1 to 18 digits, no leading zero
// (except "0" itself; "-0" is not one).
std::optional<int64_t> WholeNumber(std::string_view text) {
    const bool negative = text.starts_with('-');
    const std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty() || digits.size() > 18 || (digits.size() > 1 && digits[0] == '0') ||
        (negative && digits == "0")) {
        return std::nullopt;
    }
    int64_t number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        number = number * 10 + (c - '0');
    }
    return negative ? -number : number;
}

// The number between prefix and suffix of name, letter case aside.
std::optional<int64_t> NumberBetween(std::string_view name, std::string_view prefix,
                                     std::string_view suffix) {
    if (!HasPrefix(name, prefix) || name.size() < prefix.size() + suffix.size() ||
        ToLower(name.substr(name.size() - suffix.size())) != suffix) {
        return std::nullopt;
    }
    return WholeNumber(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
}

int DaysIn(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

}  // namespace

std::string FirmFolderName(int64_t firm) {
    return "Firm" + std::to_string(firm);
}

std::optional<int64_t> ParseFirmFolderName(std::string_view name) {
    return NumberBetween(name, "firm", "");
}

std::string YearFolderName(std::string_view year) {
    return "Yr" + std::string(year);
}

std::string YearFolderName(int64_t year) {
    return YearFolderName(std::to_string(year));
}

std::optional<int64_t> ParseYearFolderName(std::string_view name) {
    return NumberBetween(name, "yr", "");
}

bool IsRootDatabaseName(std::string_view name) {
    return ToLower(name) == "root.mdb";
}

std::string FirmDatabaseName(int64_t firm) {
    return FirmFolderName(firm) + ".mdb";
}

std::optional<int64_t> ParseFirmDatabaseName(std::string_view name) {
    return NumberBetween(name, "firm", ".mdb");
}

std::string YearDatabaseName(std::string_view year) {
    return "DVorn" + std::string(year) + ".mdb";
}

std::string YearDatabaseName(int64_t year) {
    return YearDatabaseName(std::to_string(year));
}

std::optional<int64_t> ParseYearDatabaseName(std::string_view name) {
    return NumberBetween(name, "dvorn", ".mdb");
}

std::string FirmLockName(int64_t firm) {
    return "." + FirmFolderName(firm) + ".lock";
}

std::optional<int64_t> ParseFirmLockName(std::string_view name) {
    return NumberBetween(name, ".firm", ".lock");
}

std::string StagingLockName(int64_t firm) {
    return "." + FirmFolderName(firm) + ".staging.lock";
}

std::string FormatArchiveName(const ArchiveName& archive) {
    std::string name = (archive.older ? "O" : "") + FirmFolderName(archive.firm);
    if (!archive.year.empty()) {
        name += YearFolderName(archive.year);
    }
    return name + ".zip";
}

std::optional<ArchiveName> ParseArchiveName(std::string_view name) {
    ArchiveName archive;
    if (HasPrefix(name, "ofirm")) {
        archive.older = true;
        name.remove_prefix(1);
    }
    if (!HasPrefix(name, "firm") || name.size() < 8 ||
        ToLower(name.substr(name.size() - 4)) != ".zip") {
        return std::nullopt;
    }
    std::string_view middle = name.substr(4, name.size() - 8);
    const std::string lower = ToLower(middle);
    const size_t yr = lower.find("yr");
    const auto firm = WholeNumber(middle.substr(0, yr));
    if (!firm) {
        return std::nullopt;
    }
    archive.firm = *firm;
    if (yr != std::string::npos) {
        const std::string_view year = middle.substr(yr + 2);
        if (!WholeNumber(year)) {
            return std::nullopt;
        }
        archive.year = std::string(year);
    }
    return archive;
}

std::optional<int64_t> ArchiveFirmNumber(std::string_view fileName, int64_t limit) {
    int64_t number = 0;
    for (const char c : fileName.size() > 4 ? fileName.substr(4) : std::string_view{}) {
        if (c < '0' || c > '9') {
            break;
        }
        number = number * 10 + (c - '0');
        if (number > limit) {
            return std::nullopt;
        }
    }
    return number;
}

std::string DateFolderName(const Today& today) {
    char name[32];
    std::snprintf(name, sizeof name, "%04d%02d%02d", today.year, today.month, today.day);
    return name;
}

std::optional<Today> ParseDateFolderName(std::string_view name) {
    if (name.size() != 8 || name.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    const auto part = [&](size_t at, size_t length) {
        int value = 0;
        for (size_t i = at; i < at + length; ++i) {
            value = value * 10 + (name[i] - '0');
        }
        return value;
    };
    Today today;
    today.year = part(0, 4);
    today.month = part(4, 2);
    today.day = part(6, 2);
    if (today.year == 0 || today.month < 1 || today.month > 12 || today.day < 1 ||
        today.day > DaysIn(today.year, today.month)) {
        return std::nullopt;
    }
    return today;
}

std::string DayFolderName(const Today& today) {
    return today.dayName;
}

bool IsDayFolderName(std::string_view name) {
    static const char* const kEnglish[] = {"sunday",   "monday", "tuesday", "wednesday",
                                           "thursday", "friday", "saturday"};
    const std::string lower = ToLower(name);
    for (int day = 0; day < 7; ++day) {
        std::tm moment{};
        moment.tm_wday = day;
        char text[128] = {};
        if (lower == kEnglish[day] ||
            (std::strftime(text, sizeof text, "%A", &moment) > 0 && ToLower(text) == lower)) {
            return true;
        }
    }
    return false;
}

}  // namespace vornback
