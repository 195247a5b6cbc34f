// The controllers' order of the last run, and what is said when it changed.
#include "stage/profile/axis_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace stage::profile {
namespace {

using Serials = std::vector<std::string>;

struct OrderCase {
  const char* name;
  Serials last;
  Serials now;
  std::string expected;  // the operator's paragraph, "" when nothing is said
};

class AxisOrderChangeTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(AxisOrderChangeTest, NamesEveryControllerThatMoved) {
  const OrderCase& c = GetParam();
  EXPECT_EQ(DescribeAxisOrderChange(CompareAxisOrder(c.last, c.now)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AxisOrderChangeTest,
    ::testing::Values(
        OrderCase{"same_order", {"A", "B", "C"}, {"A", "B", "C"}, ""},
        OrderCase{"first_run", {}, {"A", "B"}, ""},
        OrderCase{"two_swapped",
                  {"A", "B", "C"},
                  {"B", "A", "C"},
                  "The controllers come up in another order than in the last run: \"B\" was the 2nd axis and is "
                  "the 1st now; \"A\" was the 1st axis and is the 2nd now. Each controller keeps its own settings."},
        // A controller taken away moves the ones after it up: each is named.
        OrderCase{"one_removed",
                  {"A", "B", "C"},
                  {"A", "C"},
                  "The controllers come up in another order than in the last run: \"C\" was the 3rd axis and is "
                  "the 2nd now. Each controller keeps its own settings."},
        // A new controller has no earlier place to be compared with.
        OrderCase{"one_added_at_the_end", {"A", "B"}, {"A", "B", "N"}, ""},
        // Blank and shared serials name no controller in particular.
        OrderCase{"blank_and_shared_left_out", {"", "S", "S", "A"}, {"S", "A", "", "S"},
                  "The controllers come up in another order than in the last run: \"A\" was the 4th axis and is "
                  "the 2nd now. Each controller keeps its own settings."},
        OrderCase{"ordinals_past_ten",
                  {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15", "16"},
                  {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "12", "11", "10", "13", "14", "15", "16"},
                  "The controllers come up in another order than in the last run: \"12\" was the 13th axis and is "
                  "the 11th now; \"10\" was the 11th axis and is the 13th now. Each controller keeps its own "
                  "settings."}),
    [](const ::testing::TestParamInfo<OrderCase>& row) { return std::string(row.param.name); });

TEST(AxisOrderFileTest, RoundTripsAnySerial) {
  const Serials serials{"KLV-X1", "with \"quotes\" and \\", "tab\there", "line\nbreak", "Größe", ""};
  EXPECT_EQ(ReadAxisOrder(WriteAxisOrder(serials)), serials);
  EXPECT_EQ(ReadAxisOrder(WriteAxisOrder(Serials{})), Serials{});
}

TEST(AxisOrderFileTest, AnythingElseIsForgotten) {
  const char* const texts[] = {
      "",
      "serials = [\"A\"]\n",                                    // no version
      "schema_version = 2\nserials = [\"A\"]\n",                // a newer console's
      "schema_version = 1\nserials = [\"A\", 3]\n",             // not a serial
      "schema_version = 1\nserials = \"A\"\n",                  // not a list
      "schema_version = 1\nserials = [\"A\"]\nextra = true\n",  // unknown field
      "schema_version = 1\nserials = [\"A\"\n",                 // cut short
      "\177ELF\002\001\001",                                      // binary
  };
  for (const char* text : texts) EXPECT_EQ(ReadAxisOrder(text), std::nullopt) << text;
  EXPECT_EQ(ReadAxisOrder(std::string(kMaxAxisOrderBytes + 1, '#')), std::nullopt);
  EXPECT_EQ(ReadAxisOrder(std::string("schema_version = 1\nserials = [\"A\0\"]\n", 36)), std::nullopt);
}

}  // namespace
}  // namespace stage::profile
