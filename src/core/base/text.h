// Small text rules shared by start-up, the settings file and the folder walks: the
// leading-number reading rule, rounding halves to even, and lower-case comparison.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vornback {

// The numeric value of the leading number of a text: blanks, tabs and line feeds are
// ignored wherever they stand; an optional sign, digits, a decimal point and an exponent
// are read; reading stops at the first other character. No number at all gives 0.
double LeadingNumber(std::string_view text);

// A decimal number written with "." (optional sign, digits, fraction, exponent), read
// the same in every locale; 0 when it is not one, infinity when it is too large.
double ParseDecimal(std::string_view text);

// Rounds to the nearest whole number, halves to the even one. Empty when the result does
// not fit the range [lo, hi].
std::optional<int64_t> RoundHalfEven(double value, int64_t lo, int64_t hi);

// Whether the whole text, as it stands, is one decimal number (optional sign, digits,
// optional fraction); leading and trailing blanks are not allowed.
bool IsDecimalNumber(std::string_view text);

// The text without the blanks and tabs at either end.
std::string TrimBlanks(std::string_view text);

// ASCII lower case, as the folder walks compare names.
std::string ToLower(std::string_view text);

// Joins two path pieces with the platform separator, as they stand: a trailing separator
// on the first piece is kept, so it doubles.
std::string JoinPath(std::string_view folder, std::string_view name);

inline constexpr char kSeparator = '/';

// The folder a path lies in: "." for a bare name, "/" for an entry of the root. The one
// rule for the folder of a path; a trailing separator is not trimmed first.
std::string FolderOf(std::string_view path);

// The last part of a path, after its last separator (the whole text when it has none).
std::string NameOf(std::string_view path);

// A size for a sentence, in units of 1,024: "0.5 KB" and "1023.9 KB" below one MB, "1.5 MB"
// below one GB, "2.25 GB" above; one decimal (two for GB), always the "." separator. The
// backup's completion message has its own MB text (SizeInMegabytes).
std::string SizeText(uint64_t bytes);

}  // namespace vornback
