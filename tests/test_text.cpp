#include <gtest/gtest.h>

#include <climits>
#include <limits>

#include "base/text.h"

namespace vornback {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Text, LeadingNumber) {
    // clang-format off
    const std::pair<const char*, double> cases[] = {
        {"2x", 2}, {"abc", 0}, {"", 0}, {"-12.5kg", -12.5}, {"+7", 7}, {".5", 0.5}, {"1e3", 1000},
        {"1D2", 100}, {"1.2.3", 1.2}, {"-", 0}, {"1e-400", 0}, {"-1e-400", 0}, {"1e400", kInf},
        {"-1e400", -kInf},
        // An exponent letter without digits ends the number before it.
        {"3e", 3}, {"3ex", 3},
        // Blanks, tabs and line feeds are ignored anywhere; a carriage return stops it.
        {" 1 2\t3\n4", 1234}, {"\t- 5", -5}, {"1\r2", 1}};
    // clang-format on
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(LeadingNumber(text), value) << text;
    }
    EXPECT_EQ(ParseDecimal("+2.5"), 2.5);
    EXPECT_EQ(ParseDecimal("x"), 0.0);
}

TEST(Text, RoundHalfEven) {
    const struct {
        double value;
        int64_t lo, hi;
        std::optional<int64_t> rounded;
    } cases[] = {// clang-format off
        {2.5, 0, 100, 2}, {3.5, 0, 100, 4}, {-2.5, -100, 100, -2}, {2.4999, 0, 100, 2},
        {2.5001, 0, 100, 3}, {32767.4, INT16_MIN, INT16_MAX, 32767},
        {32767.5, INT16_MIN, INT16_MAX, std::nullopt}, {-32768.5, INT16_MIN, INT16_MAX, -32768},
        {1e300, INT32_MIN, INT32_MAX, std::nullopt}, {kInf, 0, 1, std::nullopt}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(RoundHalfEven(c.value, c.lo, c.hi), c.rounded) << c.value;
    }
}

TEST(Text, DecimalNumbersLowerCaseAndJoins) {
    for (const char* number : {"12", "-1.5", "3."}) {
        EXPECT_TRUE(IsDecimalNumber(number)) << number;
    }
    for (const char* other : {"", ".", "1x", " 1", "1e3"}) {
        EXPECT_FALSE(IsDecimalNumber(other)) << other;
    }
    EXPECT_EQ(ToLower("Firm12YR"), "firm12yr");
    EXPECT_EQ(ToLower("Äb"), "Äb");  // only ASCII letters fold
    EXPECT_EQ(TrimBlanks(" \t a b\t "), "a b");
    EXPECT_EQ(JoinPath("/data", "Firm3"), "/data/Firm3");
    // A trailing separator typed by the person is kept, so it doubles.
    EXPECT_EQ(JoinPath("/data/", "Firm3"), "/data//Firm3");
}

}  // namespace
}  // namespace vornback
