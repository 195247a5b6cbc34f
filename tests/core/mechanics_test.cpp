// Why: the counts-per-micron factor turns every shown position and every
// target; a wrong factor, a zero factor or a wrong display moves the stage
// somewhere the operator did not ask for.
#include "stage/axis/mechanics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "stage/axis/number_text.h"

namespace stage {
namespace {

// One settings column: the three fields as typed, what they show after
// acceptance, and the factor with its read-out and unit word.
struct MechanicsCase {
  std::string counts_text, gear_text, pitch_text;
  std::string counts_shown, gear_shown, pitch_shown;
  double counts;
  std::string factor_text;
  std::string unit;
};

void PrintTo(const MechanicsCase& c, std::ostream* os) {
  *os << '"' << c.counts_text << "\" \"" << c.gear_text << "\" \"" << c.pitch_text << '"';
}

class MechanicsTest : public ::testing::TestWithParam<MechanicsCase> {};

TEST_P(MechanicsTest, FieldsFactorAndUnit) {
  const MechanicsCase& c = GetParam();
  const CountsPerRotationField counts = AcceptCountsPerRotationField(c.counts_text);
  const AcceptedField gear = AcceptMechanicsField(c.gear_text);
  const AcceptedField pitch = AcceptMechanicsField(c.pitch_text);
  EXPECT_EQ(counts.text, c.counts_shown);
  EXPECT_EQ(gear.text, c.gear_shown);
  EXPECT_EQ(pitch.text, c.pitch_shown);
  EXPECT_EQ(counts.counts, c.counts);

  const double factor = ComputeCountsPerMicron(counts.counts, gear.value, pitch.value);
  EXPECT_NE(factor, 0.0);
  EXPECT_EQ(CanonicalNumberText(factor), c.factor_text);
  EXPECT_EQ(UnitSuffixFor(factor), c.unit);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MechanicsTest,
    ::testing::Values(
        // The defaults.
        MechanicsCase{kDefaultCountsPerRotationText, kDefaultGearheadRatioText, kDefaultPitchText,
                      "256", "250", "500", 256, "128", " um"},
        MechanicsCase{"1", "1", "1", "1", "1", "1", 1, "1", " En"},
        // Fields with no number, zero or no digits are shown and used as 1.
        MechanicsCase{"", "", "", "1", "1", "1", 1, "1", " En"},
        MechanicsCase{"0", "0", "0", "1", "1", "1", 1, "1", " En"},
        MechanicsCase{"abc", "-0", "0.000", "1", "1", "1", 1, "1", " En"},
        MechanicsCase{"1E400", "1E400", "-1E400", "1", "1", "1", 1, "1", " En"},
        MechanicsCase{"1000", "3.7", "2000", "1000", "3.7", "2000", 1000, "1.85", " um"},
        MechanicsCase{"256", "250", "750", "256", "250", "750", 256, "85.3333333333333", " um"},
        MechanicsCase{"256", "250", "-500", "256", "250", "-500", 256, "-128", " um"},
        MechanicsCase{"2 56", "25O", "5OO", "256", "25", "5", 256, "1280", " um"},
        // A decimal comma where no thousands separator could stand.
        MechanicsCase{"256", "12,5", "500", "256", "12.5", "500", 256, "6.4", " um"},
        MechanicsCase{"256,5", "250", "0,5", "256.5", "250", "0.5", 256, "128000", " um"},
        // Counts per rotation: halves to even; the field keeps its fraction.
        MechanicsCase{"256.5", "250", "500", "256.5", "250", "500", 256, "128", " um"},
        MechanicsCase{"257.5", "250", "500", "257.5", "250", "500", 258, "129", " um"},
        MechanicsCase{"2.5", "1", "1", "2.5", "1", "1", 2, "2", " um"},
        MechanicsCase{"-2.5", "1", "1", "-2.5", "1", "1", -2, "-2", " um"},
        MechanicsCase{"0.6", "1", "1", "0.6", "1", "1", 1, "1", " En"},
        // Encoders beyond 16 bits.
        MechanicsCase{"40000", "1", "1", "40000", "1", "1", 40000, "40000", " um"},
        // Beyond 32 bits the count used is the count shown, not a clamped one.
        MechanicsCase{"3000000000", "1", "1", "3000000000", "1", "1", 3e9, "3000000000", " um"},
        MechanicsCase{"1E20", "1", "1", "1E+20", "1", "1", 1e20, "1E+20", " um"},
        MechanicsCase{"-1E20", "1", "1", "-1E+20", "1", "1", -1e20, "-1E+20", " um"},
        MechanicsCase{"4503599627370497.5", "1", "1", "4.5035996273705E+15", "1", "1",
                      4503599627370500, "4.5035996273705E+15", " um"},
        // Sensible fields whose factor underflows to 0 or overflows: the
        // factor used and shown is 1.
        MechanicsCase{"256", "1E-300", "1E+300", "256", "1E-300", "1E+300", 256, "1", " En"},
        MechanicsCase{"256", "1E+308", "1", "256", "1E+308", "1", 256, "1", " En"},
        MechanicsCase{"256", "1", "1E-308", "256", "1", "1E-308", 256, "1", " En"},
        MechanicsCase{"-256", "1E+308", "1", "-256", "1E+308", "1", -256, "1", " En"},
        MechanicsCase{"1E+300", "1E+300", "1", "1E+300", "1E+300", "1", 1e300, "1", " En"},
        // A count that rounds to 0 would make the factor 0.
        MechanicsCase{"0.4", "250", "500", "1", "250", "500", 1, "0.5", " um"},
        MechanicsCase{"-0.5", "1", "1", "1", "1", "1", 1, "1", " En"}));

// A comma that may separate thousands is not taken as anything: the field
// keeps its text and must be refused.
TEST(MechanicsTest, FieldsWithAnAmbiguousCommaAreNotAccepted) {
  for (const char* typed : {"1,000", "12,500", "1.234,5", "1,5,3"}) {
    const AcceptedField field = AcceptMechanicsField(typed);
    EXPECT_FALSE(field.understood) << typed;
    EXPECT_EQ(field.text, typed);
    const CountsPerRotationField counts = AcceptCountsPerRotationField(typed);
    EXPECT_FALSE(counts.understood) << typed;
    EXPECT_EQ(counts.text, typed);
  }
  EXPECT_TRUE(AcceptMechanicsField("12,5").understood);
  EXPECT_TRUE(AcceptCountsPerRotationField("").understood);
}

TEST(MechanicsTest, FactorIsTheProductFirst) {
  // (3 x 0.1) / 0.3 is one step above 1, while 3 x (0.1 / 0.3) would be 1
  // exactly: the order decides whether the axis works in counts.
  const double factor = ComputeCountsPerMicron(3, 0.1, 0.3);
  EXPECT_EQ(factor, std::nextafter(1.0, 2.0));
  EXPECT_EQ(UnitSuffixFor(factor), " um");
  EXPECT_EQ(CanonicalNumberText(factor), "1") << "shown as 1 at 15 digits, yet not 1";
}

TEST(UnitSuffixTest, EnOnlyForExactlyOne) {
  EXPECT_EQ(UnitSuffixFor(1.0), " En");
  EXPECT_EQ(UnitSuffixFor(std::nextafter(1.0, 2.0)), " um");
  EXPECT_EQ(UnitSuffixFor(-1.0), " um");
  EXPECT_EQ(UnitSuffixFor(128), " um");
}

struct PositionCase {
  std::int32_t counts;
  double factor;
  std::string text;
};

void PrintTo(const PositionCase& c, std::ostream* os) { *os << c.text; }

class FormatPositionTest : public ::testing::TestWithParam<PositionCase> {};

TEST_P(FormatPositionTest, CountsOverFactorWithUnit) {
  const PositionCase& c = GetParam();
  EXPECT_EQ(FormatPosition(c.counts, c.factor, UnitSuffixFor(c.factor)), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatPositionTest,
    ::testing::Values(PositionCase{64000, 128, "500.00 um"}, PositionCase{1234, 1, "1234.00 En"},
                      PositionCase{-1500, 3, "-500.00 um"}, PositionCase{10000, 2.5, "4000.00 um"},
                      PositionCase{10000, 1, "10000.00 En"}, PositionCase{0, 128, "0.00 um"},
                      PositionCase{-1, 1000, "0.00 um"}, PositionCase{64000, -128, "-500.00 um"},
                      PositionCase{1, 3, "0.33 um"},
                      PositionCase{2147483647, 1, "2147483647.00 En"},
                      PositionCase{-2147483647 - 1, 1, "-2147483648.00 En"}));

TEST(FormatIdealPositionTest, PlainInteger) {
  EXPECT_EQ(FormatIdealPosition(-5), "-5");
  EXPECT_EQ(FormatIdealPosition(0), "0");
  EXPECT_EQ(FormatIdealPosition(1073741823), "1073741823");
}

struct TargetCase {
  std::string box_text;
  double factor;
  double target_counts;
  std::string display;
  TargetRefusal refusal;
};

void PrintTo(const TargetCase& c, std::ostream* os) { *os << '"' << c.box_text << '"'; }

class EnterTargetTest : public ::testing::TestWithParam<TargetCase> {};

TEST_P(EnterTargetTest, NumberTimesFactorAndFixedDisplay) {
  const TargetCase& c = GetParam();
  const TargetEntry entry = EnterTarget(c.box_text, c.factor);
  EXPECT_EQ(entry.refusal, c.refusal);
  if (c.refusal == TargetRefusal::kNoNumber || c.refusal == TargetRefusal::kNotUnderstood) return;
  EXPECT_EQ(entry.target_counts, c.target_counts);
  EXPECT_EQ(entry.display_text, c.display);
}

constexpr TargetRefusal kTaken = TargetRefusal::kNone;
constexpr TargetRefusal kNoNumber = TargetRefusal::kNoNumber;
constexpr TargetRefusal kNotUnderstood = TargetRefusal::kNotUnderstood;
constexpr TargetRefusal kOutOfRange = TargetRefusal::kOutOfRange;

INSTANTIATE_TEST_SUITE_P(
    Cases, EnterTargetTest,
    ::testing::Values(
        TargetCase{"12.5", 128, 1600, "12.50", kTaken},
        TargetCase{"1.234", 128, 1.234 * 128, "1.23", kTaken},  // 157.952, not rounded
        TargetCase{"12.5abc", 1, 12.5, "12.50", kTaken}, TargetCase{"  -3", 1, -3, "-3.00", kTaken},
        TargetCase{"1 000", 1, 1000, "1000.00", kTaken},
        TargetCase{"-0", 128, 0, "0.00", kTaken}, TargetCase{"0", 128, 0, "0.00", kTaken},
        TargetCase{"-0.004", 1, -0.004, "0.00", kTaken},
        TargetCase{"10", -128, -1280, "10.00", kTaken},
        // The display shows the typed number, not the counts.
        TargetCase{"1234", 1, 1234, "1234.00", kTaken},
        TargetCase{"2.675", 2, 5.35, "2.67", kTaken},
        // A decimal comma, where no thousands separator could stand.
        TargetCase{"1,5", 128, 192, "1.50", kTaken}, TargetCase{"2,5", 128, 320, "2.50", kTaken},
        TargetCase{"-3,75", 128, -480, "-3.75", kTaken},
        TargetCase{"0,125", 128, 16, "0.13", kTaken},
        // No number, or no telling which number.
        TargetCase{"", 128, 0, "", kNoNumber}, TargetCase{"   ", 128, 0, "", kNoNumber},
        TargetCase{"abc", 128, 0, "", kNoNumber}, TargetCase{"-", 128, 0, "", kNoNumber},
        TargetCase{"1,000", 128, 0, "", kNotUnderstood},
        TargetCase{"12,500", 128, 0, "", kNotUnderstood},
        TargetCase{"1.234,5", 128, 0, "", kNotUnderstood},
        // Beyond what a packet carries (2^30 counts) or beyond a double.
        TargetCase{"8388608", 128, 1073741824, "8388608.00", kOutOfRange},
        TargetCase{"8388607.99", 128, 8388607.99 * 128, "8388607.99", kTaken},
        TargetCase{"1E20", 1, 1e20, "100000000000000000000.00", kOutOfRange},
        TargetCase{"1E400", 128, 0, "0.00", kOutOfRange}));

}  // namespace
}  // namespace stage
