#include <gtest/gtest.h>

#include <climits>
#include <limits>

#include "base/text.h"

namespace vornback {
namespace {

TEST(LeadingNumber, ReadsTheLeadingNumberOnly) {
    EXPECT_EQ(LeadingNumber("2x"), 2.0);
    EXPECT_EQ(LeadingNumber("abc"), 0.0);
    EXPECT_EQ(LeadingNumber(""), 0.0);
    EXPECT_EQ(LeadingNumber("-12.5kg"), -12.5);
    EXPECT_EQ(LeadingNumber("+7"), 7.0);
    EXPECT_EQ(LeadingNumber(".5"), 0.5);
    EXPECT_EQ(LeadingNumber("1e3"), 1000.0);
    EXPECT_EQ(LeadingNumber("1D2"), 100.0);
    // An exponent letter without digits ends the number before it.
    EXPECT_EQ(LeadingNumber("3e"), 3.0);
    EXPECT_EQ(LeadingNumber("3ex"), 3.0);
    EXPECT_EQ(LeadingNumber("1.2.3"), 1.2);
    EXPECT_EQ(LeadingNumber("-"), 0.0);
}

TEST(LeadingNumber, ExtremeExponents) {
    EXPECT_EQ(LeadingNumber("1e-400"), 0.0);
    EXPECT_EQ(LeadingNumber("-1e-400"), 0.0);
    EXPECT_EQ(LeadingNumber("1e400"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(LeadingNumber("-1e400"), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(ParseDecimal("+2.5"), 2.5);
    EXPECT_EQ(ParseDecimal("x"), 0.0);
}

TEST(LeadingNumber, IgnoresBlanksTabsAndLineFeedsAnywhere) {
    EXPECT_EQ(LeadingNumber(" 1 2\t3\n4"), 1234.0);
    EXPECT_EQ(LeadingNumber("\t- 5"), -5.0);
    // A carriage return is not one of them and stops the number.
    EXPECT_EQ(LeadingNumber("1\r2"), 1.0);
}

TEST(RoundHalfEven, RoundsHalvesToTheEvenNeighbour) {
    EXPECT_EQ(RoundHalfEven(2.5, 0, 100), 2);
    EXPECT_EQ(RoundHalfEven(3.5, 0, 100), 4);
    EXPECT_EQ(RoundHalfEven(-2.5, -100, 100), -2);
    EXPECT_EQ(RoundHalfEven(2.4999, 0, 100), 2);
    EXPECT_EQ(RoundHalfEven(2.5001, 0, 100), 3);
    EXPECT_EQ(RoundHalfEven(32767.4, INT16_MIN, INT16_MAX), 32767);
    EXPECT_EQ(RoundHalfEven(32767.5, INT16_MIN, INT16_MAX), std::nullopt);
    EXPECT_EQ(RoundHalfEven(-32768.5, INT16_MIN, INT16_MAX), -32768);
    EXPECT_EQ(RoundHalfEven(1e300, INT32_MIN, INT32_MAX), std::nullopt);
    EXPECT_EQ(RoundHalfEven(std::numeric_limits<double>::infinity(), 0, 1), std::nullopt);
}

TEST(Text, DecimalNumbersLowerCaseAndJoins) {
    EXPECT_TRUE(IsDecimalNumber("12"));
    EXPECT_TRUE(IsDecimalNumber("-1.5"));
    EXPECT_TRUE(IsDecimalNumber("3."));
    EXPECT_FALSE(IsDecimalNumber(""));
    EXPECT_FALSE(IsDecimalNumber("."));
    EXPECT_FALSE(IsDecimalNumber("1x"));
    EXPECT_FALSE(IsDecimalNumber(" 1"));
    EXPECT_FALSE(IsDecimalNumber("1e3"));
    EXPECT_EQ(ToLower("Firm12YR"), "firm12yr");
    EXPECT_EQ(ToLower("Äb"), "Äb");  // only ASCII letters fold
    EXPECT_EQ(JoinPath("/data", "Firm3"), "/data/Firm3");
    // A trailing separator typed by the person is kept, so it doubles.
    EXPECT_EQ(JoinPath("/data/", "Firm3"), "/data//Firm3");
}

}  // namespace
}  // namespace vornback
