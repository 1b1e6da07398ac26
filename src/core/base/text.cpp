#include "base/text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace vornback {

namespace {

// The length of the optional sign, digits and (when fraction) a decimal point and more
// digits at the start of text; digits says whether any digit was read.
size_t NumberPrefix(std::string_view text, bool fraction, bool& digits) {
    size_t i = 0;
    digits = false;
    const auto digitRun = [&] {
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            digits = true;
        }
    };
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    digitRun();
    if (fraction && i < text.size() && text[i] == '.') {
        ++i;
        digitRun();
    }
    return i;
}

}  // namespace

double ParseDecimal(std::string_view text) {
    // from_chars reads the same whatever the C locale says the decimal separator is (the
    // programs set the person's locale for day names and the size question).
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        // Too small to tell from 0, or too large for any whole number.
        const bool tiny =
            text.find("e-") != std::string_view::npos || text.find("E-") != std::string_view::npos;
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (result.ec != std::errc()) {
        return 0.0;
    }
    return negative ? -value : value;
}

double LeadingNumber(std::string_view text) {
    // Blanks, tabs and line feeds do not count wherever they stand.
    std::string s;
    s.reserve(text.size());
    for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\n') {
            s.push_back(c);
        }
    }
    bool digits = false;
    const size_t end = NumberPrefix(s, true, digits);
    if (!digits) {
        return 0.0;
    }
    std::string number = s.substr(0, end);
    // An exponent counts only when at least one digit follows it.
    if (end < s.size() && std::string_view("eEdD").find(s[end]) != std::string_view::npos) {
        bool exponentDigits = false;
        const size_t length =
            NumberPrefix(std::string_view(s).substr(end + 1), false, exponentDigits);
        if (exponentDigits) {
            number += "e" + s.substr(end + 1, length);
        }
    }
    return ParseDecimal(number);
}

std::optional<int64_t> RoundHalfEven(double value, int64_t lo, int64_t hi) {
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    const double rounded = std::nearbyint(value);  // the default mode rounds halves to even
    if (rounded < static_cast<double>(lo) || rounded > static_cast<double>(hi)) {
        return std::nullopt;
    }
    return static_cast<int64_t>(rounded);
}

bool IsDecimalNumber(std::string_view text) {
    bool digits = false;
    return NumberPrefix(text, true, digits) == text.size() && digits;
}

std::string TrimBlanks(std::string_view text) {
    size_t b = 0;
    size_t e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) {
        ++b;
    }
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) {
        --e;
    }
    return std::string(text.substr(b, e - b));
}

std::string ToLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string FolderOf(std::string_view path) {
    const auto slash = path.rfind(kSeparator);
    if (slash == std::string_view::npos) {
        return ".";
    }
    if (slash == 0) {
        return std::string(1, kSeparator);
    }
    return std::string(path.substr(0, slash));
}

std::string NameOf(std::string_view path) {
    const auto slash = path.rfind(kSeparator);
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string SizeText(uint64_t bytes) {
    constexpr uint64_t kKilo = 1024;
    char text[32];
    if (bytes < kKilo * kKilo) {
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / kKilo);
    } else if (bytes < kKilo * kKilo * kKilo) {
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (kKilo * kKilo));
    } else {
        std::snprintf(text, sizeof text, "%.2f GB",
                      static_cast<double>(bytes) / (kKilo * kKilo * kKilo));
    }
    return text;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string out(folder);
    out.push_back(kSeparator);
    out.append(name);
    return out;
}

}  // namespace vornback
