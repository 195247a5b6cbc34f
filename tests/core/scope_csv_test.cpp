// Why: the CSV export is formatted without Qt to keep its cost off the
// polling; its numbers must still read exactly as printf's "%.6f" and
// "%.10g" would write them (and as the export wrote them before), whatever
// the value: a wrong digit is a wrong measurement in someone's analysis.
#include "stage/scope/scope_csv.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>

#include "stage/usb/packet_codec.h"

namespace stage::scope {
namespace {

std::string Printf(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

class CsvNumberTest : public ::testing::TestWithParam<double> {};

TEST_P(CsvNumberTest, ReadsAsPrintfWritesIt) {
  const double value = GetParam();
  std::string general;
  AppendGeneral(general, value, 10);
  EXPECT_EQ(general, Printf("%.10g", value));
  std::string fixed;
  AppendFixed(fixed, value, 6);
  EXPECT_EQ(fixed, Printf("%.6f", value));
}

// Whole and fractional counts per unit, steps of the clock, the signs and
// the ends of the range, where %g changes to the exponent form, and values
// that need more than 10 significant digits.
INSTANTIATE_TEST_SUITE_P(Values, CsvNumberTest,
                         ::testing::Values(0.0, -0.0, 1.0, -1.0, 0.125, 3000.0, 781.25, 1.0 / 128, -47870.0 / 128,
                                           0.01, 0.000123, 0.0000123, 1e9, 1234567890.0, 12345678901.0,
                                           2147483647.0 / 128, -2147483648.0, 1.0 / 3, 2.0 / 3, 59.99,
                                           60.000001, 1e-7, std::numeric_limits<double>::denorm_min()));

TEST(CsvRowTest, NamesEveryColumnAsTheHeaderDoes) {
  ScopeSample sample;
  sample.time_us = 1'234'567;
  sample.position = 1600;
  sample.ideal_position = 1664;
  sample.flags = usb::kFlagBusy;
  std::string row;
  AppendCsvRow(row, sample, 3, QuotedCsvField("Z \"fine\""), "um", 128);
  EXPECT_EQ(row, "1.234567,3,\"Z \"\"fine\"\"\",um,12.5,13,-0.5,1,0\n");
  sample.flags = usb::kFlagError;
  row.clear();
  AppendCsvRow(row, sample, 0, QuotedCsvField("X"), "", 1);
  EXPECT_EQ(row, "1.234567,0,\"X\",,1600,1664,-64,0,1\n");
}

}  // namespace
}  // namespace stage::scope
