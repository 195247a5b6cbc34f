// Why: every mechanics field and target box goes through this reading and
// these formats; a wrong digit here moves a stage to the wrong place.
#include "stage/axis/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace stage {
namespace {

struct ReadCase {
  std::string text;
  double value;
  bool out_of_range;
  std::string normalized;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ReadNumberTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadNumberTest, ReadsLenientlyAndNormalizes) {
  const ReadCase& c = GetParam();
  const NumberReading reading = ReadNumber(c.text);
  EXPECT_EQ(reading.value, c.value);
  EXPECT_EQ(reading.out_of_range, c.out_of_range);
  const std::string normalized = NormalizeNumberText(c.text);
  EXPECT_EQ(normalized, c.normalized);
  EXPECT_EQ(NormalizeNumberText(normalized), normalized) << "not idempotent";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadNumberTest,
    ::testing::Values(
        // Plain numbers and the settings' defaults.
        ReadCase{"256", 256, false, "256"}, ReadCase{"250", 250, false, "250"},
        ReadCase{"12.5", 12.5, false, "12.5"}, ReadCase{"-500", -500, false, "-500"},
        ReadCase{"+7", 7, false, "7"}, ReadCase{".5", 0.5, false, "0.5"},
        ReadCase{"5.", 5, false, "5"}, ReadCase{"-.25", -0.25, false, "-0.25"},
        ReadCase{"007.500", 7.5, false, "7.5"},
        // Blanks, tabs, line feeds and carriage returns anywhere.
        ReadCase{"2 5", 25, false, "25"}, ReadCase{"1 000", 1000, false, "1000"},
        ReadCase{"  -3", -3, false, "-3"}, ReadCase{"\t1\n2\r3 ", 123, false, "123"},
        ReadCase{"- 4 . 5", -4.5, false, "-4.5"},
        // Reading stops at the first character that fits nothing.
        ReadCase{"12abc", 12, false, "12"}, ReadCase{"12.5abc", 12.5, false, "12.5"},
        ReadCase{"12,", 12, false, "12"}, ReadCase{"12,abc", 12, false, "12"},
        ReadCase{"$5", 0, false, "0"},
        ReadCase{"1.2.3", 1.2, false, "1.2"}, ReadCase{"--5", 0, false, "0"},
        ReadCase{"1e5.5", 100000, false, "100000"},
        // No number at all.
        ReadCase{"", 0, false, "0"}, ReadCase{"abc", 0, false, "0"},
        ReadCase{"-", 0, false, "0"}, ReadCase{".", 0, false, "0"},
        ReadCase{"   ", 0, false, "0"}, ReadCase{"-0", 0, false, "0"},
        ReadCase{"E5", 0, false, "0"},
        // Exponents: E or D, either case, optional sign; a bare marker is ignored.
        ReadCase{"1e3", 1000, false, "1000"}, ReadCase{"1D3", 1000, false, "1000"},
        ReadCase{"2.5d-1", 0.25, false, "0.25"}, ReadCase{"1E+2", 100, false, "100"},
        ReadCase{"1e", 1, false, "1"}, ReadCase{"1e+", 1, false, "1"},
        ReadCase{"1e-x", 1, false, "1"}, ReadCase{"1 e 2", 100, false, "100"},
        ReadCase{"1.5E20", 1.5e20, false, "1.5E+20"}, ReadCase{"0.00001", 1e-5, false, "1E-05"},
        // Hexadecimal and octal integers.
        ReadCase{"&H10", 16, false, "16"}, ReadCase{"&h1f", 31, false, "31"},
        ReadCase{"&O17", 15, false, "15"}, ReadCase{"&o8", 0, false, "0"},
        ReadCase{"&HFFFF", 65535, false, "65535"},
        ReadCase{"&H10000000000000", 4503599627370496, false, "4.5035996273705E+15"},
        ReadCase{"&H", 0, false, "0"}, ReadCase{"&X1", 0, false, "0"},
        ReadCase{"& H 1 0", 16, false, "16"}, ReadCase{"&H1G", 1, false, "1"},
        ReadCase{"-&H10", 0, false, "0"},
        // Beyond the range of a double: no number. Below it: underflow.
        ReadCase{"1E400", 0, true, "0"}, ReadCase{"-1E400", 0, true, "0"},
        ReadCase{"1e99999999999999999999", 0, true, "0"},
        ReadCase{"1.79769313486232E+308", 0, true, "0"},
        ReadCase{"&H" + std::string(257, 'F'), 0, true, "0"},
        ReadCase{"&O" + std::string(342, '7'), 0, true, "0"},
        ReadCase{"1E-400", 0, false, "0"}, ReadCase{"1e-99999999999999999999", 0, false, "0"},
        ReadCase{"4.94065645841247E-324", std::numeric_limits<double>::denorm_min(), false,
                 "4.94065645841247E-324"},
        ReadCase{"0." + std::string(400, '0') + "1e405", 10000, false, "10000"}));

// A comma is read as the decimal mark where it cannot separate thousands;
// where it could, or where it stands with a point, the text is ambiguous:
// no value, never a guess. The point form of each accepted case reads the
// same.
struct CommaCase {
  std::string text;
  bool ambiguous;
  double value;  // when not ambiguous
};

void PrintTo(const CommaCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class CommaTest : public ::testing::TestWithParam<CommaCase> {};

TEST_P(CommaTest, DecimalCommaOrRefusal) {
  const CommaCase& c = GetParam();
  const NumberReading reading = ReadNumber(c.text);
  EXPECT_TRUE(reading.found);
  EXPECT_FALSE(reading.out_of_range);
  EXPECT_EQ(reading.ambiguous, c.ambiguous);
  EXPECT_EQ(reading.value, c.ambiguous ? 0.0 : c.value);
  if (c.ambiguous) return;
  std::string with_point = c.text;
  with_point[with_point.find(',')] = '.';
  EXPECT_EQ(ReadNumber(with_point).value, c.value) << with_point;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommaTest,
    ::testing::Values(
        // No thousands separator could stand there: the decimal mark.
        CommaCase{"12,5", false, 12.5}, CommaCase{"0,25", false, 0.25},
        CommaCase{"2,5", false, 2.5}, CommaCase{"-3,75", false, -3.75},
        CommaCase{"1,5", false, 1.5}, CommaCase{",5", false, 0.5}, CommaCase{"-,5", false, -0.5},
        CommaCase{"12,50", false, 12.5}, CommaCase{"1,0005", false, 1.0005},
        CommaCase{"0,250", false, 0.25}, CommaCase{"00,125", false, 0.125},
        CommaCase{"1234,567", false, 1234.567}, CommaCase{"1 000,5", false, 1000.5},
        CommaCase{"1 000,500", false, 1000.5}, CommaCase{"1, 5", false, 1.5},
        CommaCase{"2,5e3", false, 2500}, CommaCase{"12,5abc", false, 12.5},
        CommaCase{"12,5,", false, 12.5}, CommaCase{"12,5 mm", false, 12.5},
        // A thousands separator could stand there.
        CommaCase{"1,000", true, 0}, CommaCase{"12,500", true, 0}, CommaCase{"-1,000", true, 0},
        CommaCase{"999,999", true, 0}, CommaCase{"1,000,000", true, 0},
        CommaCase{"1,000.5", true, 0}, CommaCase{"+1 2,5 0 0", true, 0},
        CommaCase{"1,000abc", true, 0}, CommaCase{"1,000e3", true, 0},
        // A comma with a point, a second comma, a comma after other forms.
        CommaCase{"1.234,5", true, 0}, CommaCase{"1,5.3", true, 0}, CommaCase{"1,5,3", true, 0},
        CommaCase{"1.5,25", true, 0}, CommaCase{"&H1,5", true, 0}, CommaCase{"1e3,5", true, 0},
        CommaCase{"1,25,000", true, 0}));

TEST(ReadNumberTest, FoundTellsNumberFromNothing) {
  for (const char* nothing : {"", "   ", "abc", "-", "+", ".", ",", "E5", "&H", "&O", "&X1", "$5", "-.e3"}) {
    EXPECT_FALSE(ReadNumber(nothing).found) << '"' << nothing << '"';
  }
  for (const char* number : {"0", "-0", "0.0", ".0", "0,0", "&H0", "&O0", "1E400", "1E-400", "12abc"}) {
    EXPECT_TRUE(ReadNumber(number).found) << '"' << number << '"';
  }
}

TEST(ReadNumberTest, LongHexAndOctalIntegersAreCorrectlyRounded) {
  // 2^53 + 1 is not a double; it rounds to the even neighbour 2^53.
  EXPECT_EQ(ReadNumber("&H20000000000001").value, 9007199254740992.0);
  EXPECT_EQ(ReadNumber("&O400000000000000001").value, 9007199254740992.0);
  // The largest double, in both bases.
  const double max = std::numeric_limits<double>::max();
  EXPECT_EQ(ReadNumber("&H" + std::string(13, 'F') + "8" + std::string(242, '0')).value, max);
  EXPECT_EQ(ReadNumber("&O1" + std::string(17, '7') + "4" + std::string(323, '0')).value, max);
}

struct CanonicalCase {
  double value;
  std::string text;
};

void PrintTo(const CanonicalCase& c, std::ostream* os) { *os << c.text; }

class CanonicalNumberTextTest : public ::testing::TestWithParam<CanonicalCase> {};

TEST_P(CanonicalNumberTextTest, RendersAndReadsBack) {
  const CanonicalCase& c = GetParam();
  EXPECT_EQ(CanonicalNumberText(c.value), c.text);
  EXPECT_EQ(NormalizeNumberText(c.text), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CanonicalNumberTextTest,
    ::testing::Values(
        CanonicalCase{0, "0"}, CanonicalCase{-0.0, "0"}, CanonicalCase{128, "128"},
        CanonicalCase{-500, "-500"}, CanonicalCase{0.5, "0.5"}, CanonicalCase{-0.25, "-0.25"},
        CanonicalCase{256.0 * 250 / 750, "85.3333333333333"},
        CanonicalCase{1000 * 3.7 / 2000, "1.85"}, CanonicalCase{0.1 + 0.2, "0.3"},
        CanonicalCase{2.0 / 3, "0.666666666666667"},
        // Exponent form below 0.0001 and from 1E+15 on, decided after rounding.
        CanonicalCase{0.0001, "0.0001"}, CanonicalCase{0.00012345, "0.00012345"},
        CanonicalCase{1e-5, "1E-05"}, CanonicalCase{-2.5e-7, "-2.5E-07"},
        CanonicalCase{0.00009999999999999999, "0.0001"},
        CanonicalCase{0.0000999999999999999, "9.99999999999999E-05"},
        CanonicalCase{999999999999999, "999999999999999"}, CanonicalCase{1e15, "1E+15"},
        CanonicalCase{999999999999999.9, "1E+15"}, CanonicalCase{1.5e20, "1.5E+20"},
        CanonicalCase{123456789012345678.0, "1.23456789012346E+17"},
        CanonicalCase{1e100, "1E+100"}, CanonicalCase{1e-100, "1E-100"},
        CanonicalCase{std::numeric_limits<double>::denorm_min(), "4.94065645841247E-324"},
        // The largest double would round to a text beyond the double range.
        CanonicalCase{std::numeric_limits<double>::max(), "1.79769313486231E+308"},
        CanonicalCase{-std::numeric_limits<double>::max(), "-1.79769313486231E+308"}));

TEST(CanonicalNumberTextTest, NonFiniteValuesAreNamed) {
  EXPECT_EQ(CanonicalNumberText(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(CanonicalNumberText(-std::numeric_limits<double>::infinity()), "-Infinity");
  EXPECT_EQ(CanonicalNumberText(std::numeric_limits<double>::quiet_NaN()), "NaN");
}

struct FixedCase {
  double value;
  std::string text;
};

void PrintTo(const FixedCase& c, std::ostream* os) { *os << c.text; }

class FormatFixed2Test : public ::testing::TestWithParam<FixedCase> {};

TEST_P(FormatFixed2Test, TwoDecimalsNoGroupingNoNegativeZero) {
  EXPECT_EQ(FormatFixed2(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatFixed2Test,
    ::testing::Values(FixedCase{0, "0.00"}, FixedCase{-0.0, "0.00"}, FixedCase{500, "500.00"},
                      FixedCase{12.5, "12.50"}, FixedCase{-3, "-3.00"}, FixedCase{0.5, "0.50"},
                      FixedCase{-0.004, "0.00"}, FixedCase{-1e-9, "0.00"},
                      FixedCase{-0.006, "-0.01"},
                      // 2.675 is 2.67499999... in binary.
                      FixedCase{2.675, "2.67"}, FixedCase{1.005, "1.00"},
                      // Exact ties go away from zero, not to the even digit.
                      FixedCase{0.125, "0.13"}, FixedCase{-0.125, "-0.13"},
                      FixedCase{0.375, "0.38"}, FixedCase{2.625, "2.63"},
                      FixedCase{-1000.875, "-1000.88"}, FixedCase{0.005, "0.01"},
                      FixedCase{-0.005, "-0.01"}, FixedCase{4503599627370495.5, "4503599627370495.50"},
                      FixedCase{1234567.891, "1234567.89"},
                      FixedCase{1e20, "100000000000000000000.00"},
                      FixedCase{-1e20, "-100000000000000000000.00"},
                      FixedCase{std::numeric_limits<double>::infinity(), "Infinity"}));

TEST(FormatFixed2Test, LargestDoubleHasAllItsIntegerDigits) {
  const std::string text = FormatFixed2(-std::numeric_limits<double>::max());
  EXPECT_EQ(text.size(), 1 + 309 + 3);
  EXPECT_EQ(text.substr(0, 8), "-1797693");
  EXPECT_EQ(text.substr(text.size() - 3), ".00");
}

}  // namespace
}  // namespace stage
