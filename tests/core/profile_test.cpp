// Why: a profile is a file anyone can edit, copy from a colleague or find
// damaged. Whatever it holds, the console must either take all of it or none
// of it and say exactly where the fault is; what it writes must come back
// field for field; and a save cut short must never lose the last good file.
#include "stage/profile/controller_profile.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "stage/axis/mechanics.h"
#include "stage/axis/number_text.h"

namespace stage::profile {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kFile = "controllers/ABC123.toml";

// Every field away from its default, with text that needs escaping.
ControllerProfile EveryField() {
  ControllerProfile p;
  p.serial = "SI-\"A\\1\" \xC3\xA9t\xC3\xA9";  // quotes, a backslash, UTF-8
  p.mechanics = {1000, 3.7, 2000};
  p.wiring = {true, true, true, true};
  p.tuning = {155, 0, 154, 1, 5, 255, 254, -10000};
  p.limits = {-1073741824, 1073741823};
  p.referencing = {true, ReferenceDirection::kUpper, 10000, 1073741823, true, 2147483647};
  p.notes = "Leadscrew replaced.\nTab:\there, bell:\x07, quote: \"x\", back\\slash, \xE2\x9C\x93";
  p.saved_at = std::chrono::sys_days{std::chrono::year{2026} / 12 / 11} + 2h + 21min + 51s;
  return p;
}

ControllerProfile ReadBack(const std::string& text) {
  const ProfileReading reading = ReadProfile(text, kFile);
  EXPECT_TRUE(reading.profile.has_value()) << reading.error.message << "\n" << text;
  return reading.profile.value_or(ControllerProfile{});
}

TEST(ProfileRoundTripTest, EveryFieldComesBackAndTheTextIsStable) {
  const ControllerProfile p = EveryField();
  const std::string text = WriteProfile(p);
  const ControllerProfile back = ReadBack(text);
  EXPECT_EQ(back.serial, p.serial);
  EXPECT_EQ(back.mechanics, p.mechanics);
  EXPECT_EQ(back.wiring, p.wiring);
  EXPECT_EQ(back.tuning, p.tuning);
  EXPECT_EQ(back.limits, p.limits);
  EXPECT_EQ(back.referencing, p.referencing);
  EXPECT_EQ(back.notes, p.notes);
  EXPECT_EQ(back.saved_at, p.saved_at);
  EXPECT_EQ(back, p);
  EXPECT_EQ(WriteProfile(back), text);
}

TEST(ProfileRoundTripTest, EachSingleFieldComesBack) {
  // Each change alone, so that a field the writer forgets cannot hide behind
  // its default.
  std::vector<ControllerProfile> profiles(13);
  for (ControllerProfile& p : profiles) p.serial = "S";
  profiles[0].mechanics.counts_per_rotation = -40000;
  profiles[1].mechanics.gearhead_ratio = 1E-05;
  profiles[2].mechanics.pitch_um = 85.3333333333333;
  profiles[3].wiring.limit_switch_active_high = true;
  profiles[4].tuning.speed = 1;
  profiles[5].limits.upper_counts = 0;
  profiles[6].limits.lower_counts = 0;
  profiles[7].referencing.speed = 1;
  profiles[8].referencing.direction = ReferenceDirection::kUpper;
  profiles[9].notes = "\x01";
  profiles[10].mechanics.gearhead_ratio = 1.5E+20;
  profiles[11].referencing.at_start_up = true;
  profiles[12].referencing.max_seek_counts = 1;
  for (const ControllerProfile& p : profiles) EXPECT_EQ(ReadBack(WriteProfile(p)), p) << WriteProfile(p);
}

TEST(ProfileRoundTripTest, TheDefaultProfileIsWrittenInItsDocumentedOrder) {
  ControllerProfile p;
  p.serial = "ABC123";
  p.saved_at = std::chrono::sys_days{std::chrono::year{2026} / 1 / 31} + 12h;
  p.limits = {-12800, 12800};
  EXPECT_EQ(WriteProfile(p),
            "# stage-console: what it remembers of one controller. Hand-editable;\n"
            "# every field is described in docs/profiles.md.\n"
            "schema_version = 1\n"
            "serial = \"ABC123\"\n"
            "saved_at = 2026-01-31T12:00:00Z\n"
            "notes = \"\"\n"
            "\n[mechanics]\n"
            "counts_per_rotation = 256\n"
            "gearhead_ratio = 250\n"
            "pitch_um = 500\n"
            "# counts per micron: 128\n"
            "\n[wiring]\n"
            "reverse_motor_polarity = false\n"
            "reverse_limit_switch = false\n"
            "limit_switch_active_high = false\n"
            "cancel_when_error = false\n"
            "\n[tuning]\n"
            "p = 15\ni = 5\nd = 5\nacc = 50\nmax_speed = 80\ntorque = 200\nf_error = 50\nspeed = 0\n"
            "\n[limits]\n"
            "# In encoder counts; a limit left out is the controller's full range.\n"
            "lower_counts = -12800  # -100.00 um\n"
            "upper_counts = 12800  # 100.00 um\n"
            "\n[referencing]\n"
            "enabled = false\n"
            "direction = \"lower\"\n"
            "speed = 500\n"
            "back_off_counts = 0  # 0.00 um\n"
            "max_seek_counts = 12800000  # 100000.00 um\n"
            "at_start_up = false\n");
}

TEST(ProfileDefaultsTest, AShortHandWrittenFileGivesTheDesignedDefaults) {
  const ControllerProfile p = ReadBack("schema_version = 1\nserial = 'ABC123'\n");
  EXPECT_EQ(p.serial, "ABC123");
  // The designed Motor Settings texts and slider positions.
  EXPECT_EQ(std::to_string(p.mechanics.counts_per_rotation), kDefaultCountsPerRotationText);
  EXPECT_EQ(CanonicalNumberText(p.mechanics.gearhead_ratio), kDefaultGearheadRatioText);
  EXPECT_EQ(CanonicalNumberText(p.mechanics.pitch_um), kDefaultPitchText);
  EXPECT_EQ(p.mechanics.CountsPerMicron(), 128);
  EXPECT_EQ(p.wiring, Wiring{});
  EXPECT_EQ(p.tuning, usb::TuningValues{});
  EXPECT_FALSE(p.limits.Any());
  EXPECT_FALSE(p.referencing.enabled);
  EXPECT_FALSE(p.saved_at.has_value());
}

TEST(ProfileDefaultsTest, HandWrittenVariantsOfTheSameValuesAreRead) {
  // Inline tables, dotted keys, literal strings, floats for whole numbers,
  // an offset other than Z, comments: all TOML, all the same profile.
  const ControllerProfile p = ReadBack(
      "# lab stage 3\n"
      "schema_version = 1\n"
      "serial = 'ABC123'   # the product string\n"
      "saved_at = 2026-12-11T03:21:51+01:00\n"
      "mechanics = { counts_per_rotation = 1_000, gearhead_ratio = 3.70, pitch_um = 2e3 }\n"
      "tuning.p = 20\n"
      "[limits]\nupper_counts = +5000\n");
  EXPECT_EQ(p.mechanics, (Mechanics{1000, 3.7, 2000}));
  EXPECT_EQ(p.mechanics.CountsPerMicron(), 1.85);
  EXPECT_EQ(p.tuning.p, 20);
  EXPECT_EQ(p.limits.upper_counts, 5000);
  EXPECT_EQ(p.saved_at, std::chrono::sys_days{std::chrono::year{2026} / 12 / 11} + 2h + 21min + 51s);
}

TEST(ProfileDefaultsTest, NonAsciiAfterALineEndingBackslashIsRead) {
  // toml++ 3.3.0 reached undefined behaviour here.
  const ControllerProfile p = ReadBack("schema_version = 1\nserial = 'S'\nnotes = \"\"\"\\\n\xC2\xA7\"\"\"\n");
  EXPECT_EQ(p.notes, "\xC2\xA7");
}

TEST(ProfileDefaultsTest, MechanicsAreKeptAsTheirFieldsWillShowThem) {
  // 17 significant digits in the file; the field shows 15, and the factor
  // is computed from what the field shows.
  const ControllerProfile p = ReadBack("schema_version = 1\nserial = 'S'\n[mechanics]\npitch_um = 0.12345678901234567\n");
  EXPECT_EQ(CanonicalNumberText(p.mechanics.pitch_um), "0.123456789012346");
  EXPECT_EQ(p.mechanics.pitch_um, ReadNumber("0.123456789012346").value);
}

// One refused file: the message names the file, the place and the field.
struct BadFile {
  const char* name;
  std::string text;
  const char* field;
  std::uint32_t line;
  std::uint32_t column;
  const char* problem;  // the end of the message
};

void PrintTo(const BadFile& c, std::ostream* os) { *os << c.name; }

class BadProfileTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadProfileTest, IsRefusedWholeWithOneMessage) {
  const BadFile& c = GetParam();
  const ProfileReading reading = ReadProfile(c.text, kFile);
  ASSERT_FALSE(reading.profile.has_value());
  const ProfileError& e = reading.error;
  EXPECT_EQ(e.field, c.field);
  EXPECT_EQ(e.line, c.line);
  EXPECT_EQ(e.column, c.column);
  std::string place = std::string(kFile);
  if (c.line != 0) place += " line " + std::to_string(c.line) + ", column " + std::to_string(c.column);
  EXPECT_EQ(e.message.rfind(place + ": ", 0), 0U) << e.message;
  if (*c.field != '\0') {
    EXPECT_NE(e.message.find(std::string(": ") + c.field + ": "), std::string::npos) << e.message;
  }
  EXPECT_TRUE(e.message.ends_with(c.problem)) << e.message;
  EXPECT_EQ(e.message.find('\n'), std::string::npos) << "one line: " << e.message;
}

const std::string kHead = "schema_version = 1\nserial = \"ABC123\"\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, BadProfileTest,
    ::testing::Values(
        // The file as a whole.
        BadFile{"empty", "", "", 0, 0, "the file is empty"},
        BadFile{"blank", " \n\t\r\n", "", 0, 0, "the file is empty"},
        BadFile{"huge", kHead + "notes = \"" + std::string(kMaxProfileBytes, 'x') + "\"\n", "", 0, 0,
                "larger than 64 KiB, which no profile is"},
        BadFile{"binary", std::string("\x7F" "ELF\x02\x01\x01\x00\x00", 9), "", 1, 8,
                "not a text file (it holds a zero byte)"},
        BadFile{"zero_byte_on_line_3", kHead + std::string("notes = \"a\0\"", 12), "", 3, 11,
                "not a text file (it holds a zero byte)"},
        BadFile{"not_utf8", kHead + "notes = \"\xFF\xFE\"\n", "", 3, 9, "Encountered invalid utf-8 sequence"},
        BadFile{"syntax", kHead + "[tuning\np = 3\n", "", 3, 8, "Error while parsing table header: expected ']', saw '\\n'"},
        // The parser's own words, its quote of a line feed shown as an escape.
        BadFile{"line_feed_quoted", kHead + "enabled =t\n", "", 3, 11,
                "Error while parsing boolean: expected 'true', saw 't\\n'"},
        // Characters that toml++ 3.3.0 could not class as blank or not.
        BadFile{"non_ascii_alone", "\xEF\xBB\xBB", "", 1, 1,
                "Error while parsing root table: expected keys, tables, whitespace or comments, saw '\xEF\xBB\xBB'"},
        BadFile{"non_ascii_key", kHead + "\xC3\xA9 = 1\n", "", 3, 1,
                "Error while parsing root table: expected keys, tables, whitespace or comments, saw '\xC3\xA9'"},
        BadFile{"duplicate_key", kHead + "serial = \"B\"\n", "", 3, 10,
                "Error while parsing key-value pair: cannot redefine existing string 'serial'"},
        // The version.
        BadFile{"no_version", "serial = \"A\"\n", "schema_version", 0, 0,
                "missing (a profile starts with schema_version = 1)"},
        BadFile{"version_as_text", "schema_version = \"1\"\n", "schema_version", 1, 18,
                "expected a whole number, found text"},
        BadFile{"newer_version", "schema_version = 2\nserial = \"A\"\nfuture = 1\n", "schema_version", 1, 18,
                "2 is newer than this console reads (1); a newer stage-console wrote it"},
        BadFile{"version_0", "schema_version = 0\nserial = \"A\"\n", "schema_version", 1, 18,
                "0 is not a version this console can read (it reads 1 and the versions it migrates)"},
        // Missing or wrong identity.
        BadFile{"no_serial", "schema_version = 1\n", "serial", 0, 0, "missing"},
        BadFile{"empty_serial", "schema_version = 1\nserial = ''\n", "serial", 2, 10, "is empty"},
        BadFile{"serial_with_line_feed", "schema_version = 1\nserial = \"A\\nB\"\n", "serial", 2, 10,
                "holds a control character"},
        BadFile{"long_serial", "schema_version = 1\nserial = '" + std::string(513, 'A') + "'\n", "serial", 2, 10,
                "longer than 512 bytes"},
        // Wrong types.
        BadFile{"tuning_as_text", kHead + "[tuning]\np = \"15\"\n", "tuning.p", 4, 5,
                "expected a whole number, found text"},
        BadFile{"tuning_as_fraction", kHead + "[tuning]\nacc = 50.5\n", "tuning.acc", 4, 7,
                "expected a whole number, found a number with a fraction"},
        BadFile{"wiring_as_number", kHead + "[wiring]\nreverse_limit_switch = 1\n", "wiring.reverse_limit_switch", 4,
                24, "expected true or false, found a whole number"},
        BadFile{"pitch_as_text", kHead + "[mechanics]\npitch_um = '500'\n", "mechanics.pitch_um", 4, 12,
                "expected a number, found text"},
        BadFile{"section_as_value", kHead + "tuning = 5\n", "tuning", 3, 10,
                "expected a section of fields, found a whole number"},
        BadFile{"limits_as_list", kHead + "[limits]\nlower_counts = [1]\n", "limits.lower_counts", 4, 16,
                "expected a whole number, found a list"},
        BadFile{"saved_at_without_offset", kHead + "saved_at = 2026-12-11T02:21:51\n", "saved_at", 3, 12,
                "expected a date and time with its offset (2026-01-31T12:00:00Z), found a date and time"},
        BadFile{"saved_before_year_1", kHead + "saved_at = 0001-01-01T00:00:00+00:01\n", "saved_at", 3, 12,
                "out of range (years 1 to 9999 in UTC)"},
        BadFile{"direction_as_bool", kHead + "[referencing]\ndirection = true\n", "referencing.direction", 4, 13,
                "expected text in quotes, found true or false"},
        // Out of range.
        BadFile{"p_above", kHead + "[tuning]\np = 156\n", "tuning.p", 4, 5, "156 is out of range (0 to 155)"},
        BadFile{"max_speed_below", kHead + "[tuning]\nmax_speed = 4\n", "tuning.max_speed", 4, 13,
                "4 is out of range (5 to 255)"},
        BadFile{"f_error_zero", kHead + "[tuning]\nf_error = 0\n", "tuning.f_error", 4, 11,
                "0 is out of range (1 to 255)"},
        BadFile{"speed_beyond", kHead + "[tuning]\nspeed = -10001\n", "tuning.speed", 4, 9,
                "-10001 is out of range (-10000 to 10000)"},
        BadFile{"counts_zero", kHead + "[mechanics]\ncounts_per_rotation = 0\n", "mechanics.counts_per_rotation", 4,
                23, "0 is out of range (a whole number other than 0)"},
        BadFile{"counts_beyond_32_bits", kHead + "[mechanics]\ncounts_per_rotation = 2147483648\n",
                "mechanics.counts_per_rotation", 4, 23, "2147483648 is out of range (-2147483647 to 2147483647)"},
        BadFile{"gearhead_zero", kHead + "[mechanics]\ngearhead_ratio = 0.0\n", "mechanics.gearhead_ratio", 4, 18,
                "0 is out of range (a number other than 0)"},
        BadFile{"gearhead_infinite", kHead + "[mechanics]\ngearhead_ratio = inf\n", "mechanics.gearhead_ratio", 4,
                18, "Infinity is out of range (a number other than 0)"},
        BadFile{"pitch_nan", kHead + "[mechanics]\npitch_um = nan\n", "mechanics.pitch_um", 4, 12,
                "NaN is out of range (a number other than 0)"},
        BadFile{"factor_overflows", kHead + "[mechanics]\ngearhead_ratio = 1e300\npitch_um = 1e-300\n", "mechanics",
                5, 1, "counts_per_rotation x gearhead_ratio / pitch_um is Infinity, not a usable counts per micron"},
        BadFile{"limit_beyond_packet", kHead + "[limits]\nupper_counts = 1073741824\n", "limits.upper_counts", 4, 16,
                "1073741824 is out of range (-1073741824 to 1073741823)"},
        BadFile{"limits_crossed", kHead + "[limits]\nlower_counts = 100\nupper_counts = 100\n",
                "limits.upper_counts", 5, 1, "100 is not above limits.lower_counts (100)"},
        BadFile{"referencing_speed_zero", kHead + "[referencing]\nspeed = 0\n", "referencing.speed", 4, 9,
                "0 is out of range (1 to 10000)"},
        BadFile{"back_off_negative", kHead + "[referencing]\nback_off_counts = -1\n", "referencing.back_off_counts",
                4, 19, "-1 is out of range (0 to 1073741823)"},
        BadFile{"max_seek_zero", kHead + "[referencing]\nmax_seek_counts = 0\n", "referencing.max_seek_counts",
                4, 19, "0 is out of range (1 to 2147483647)"},
        BadFile{"direction_unknown", kHead + "[referencing]\ndirection = 'left'\n", "referencing.direction", 4, 13,
                "expected \"lower\" or \"upper\""},
        BadFile{"notes_too_long", kHead + "notes = '" + std::string(kMaxNotesBytes + 1, 'n') + "'\n", "notes", 3, 9,
                "longer than 8192 bytes"},
        // Unknown names: a mistyped limit must not pass unnoticed.
        BadFile{"unknown_field", kHead + "[limits]\nupper_count = 5000\n", "limits.upper_count", 4, 1,
                "unknown field"},
        BadFile{"unknown_root_field", kHead + "limit = 5\n", "limit", 3, 1, "unknown field"},
        BadFile{"unknown_section", kHead + "[tunning]\np = 3\n", "tunning", 3, 2, "unknown section"},
        BadFile{"nested_table", kHead + "[tuning.extra]\nq = 1\n", "tuning.extra", 3, 9, "unknown field"},
        // Several faults: the first in the file is named.
        BadFile{"first_fault_named", kHead + "[tuning]\np = 200\n[limits]\nlower_counts = 'x'\n[referencing]\nspeed = 0\n",
                "tuning.p", 4, 5, "200 is out of range (0 to 155)"}),
    [](const ::testing::TestParamInfo<BadFile>& row) { return std::string(row.param.name); });

// A hypothetical schema 0 that called F Error "ferror": migration renames it.
constexpr KeyRename kRenameFError[] = {{"tuning.ferror", "tuning.f_error"}};
constexpr SchemaMigration kFromZero[] = {{0, kRenameFError}};

TEST(ProfileMigrationTest, AnOlderFileIsReadUnderTheNewNames) {
  const ProfileReading reading =
      ReadProfile("schema_version = 0\nserial = 'S'\n[tuning]\nferror = 70\np = 20\n", kFile, kFromZero);
  ASSERT_TRUE(reading.profile.has_value()) << reading.error.message;
  EXPECT_EQ(reading.profile->tuning.f_error, 70);
  EXPECT_EQ(reading.profile->tuning.p, 20);
  // Written again, it is a file of the current version under the new name.
  const std::string text = WriteProfile(*reading.profile);
  EXPECT_NE(text.find("schema_version = 1\n"), std::string::npos);
  EXPECT_NE(text.find("f_error = 70\n"), std::string::npos);
  EXPECT_EQ(text.find("ferror"), std::string::npos);
}

TEST(ProfileMigrationTest, MessagesUseTheNameTheFileUses) {
  const ProfileReading bad =
      ReadProfile("schema_version = 0\nserial = 'S'\n[tuning]\nferror = 0\n", kFile, kFromZero);
  ASSERT_FALSE(bad.profile.has_value());
  EXPECT_EQ(bad.error.message, "controllers/ABC123.toml line 4, column 10: tuning.ferror: 0 is out of range (1 to 255)");
}

TEST(ProfileMigrationTest, OldAndNewNameTogetherAreRefused) {
  const ProfileReading both =
      ReadProfile("schema_version = 0\nserial = 'S'\n[tuning]\nferror = 70\nf_error = 60\n", kFile, kFromZero);
  ASSERT_FALSE(both.profile.has_value());
  EXPECT_EQ(both.error.line, 5U);  // the later of the two in the file
  EXPECT_NE(both.error.message.find("given twice"), std::string::npos) << both.error.message;
}

TEST(ProfileMigrationTest, TheCurrentVersionIsNotRenamed) {
  // "ferror" is no name of version 1: migrations apply only to older files.
  const ProfileReading current =
      ReadProfile("schema_version = 1\nserial = 'S'\n[tuning]\nferror = 70\n", kFile, kFromZero);
  ASSERT_FALSE(current.profile.has_value());
  EXPECT_NE(current.error.message.find("tuning.ferror: unknown field"), std::string::npos) << current.error.message;
}

TEST(ProfileFileNameTest, SerialsBecomeSafeDistinctFileNames) {
  EXPECT_EQ(ProfileFileName("ABC123"), "ABC123.toml");
  EXPECT_EQ(ProfileFileName("SI-USB 2.0"), "SI-USB%202.0.toml");
  EXPECT_EQ(ProfileFileName("../etc/passwd"), "%2E.%2Fetc%2Fpasswd.toml");
  EXPECT_EQ(ProfileFileName("\xE9t\xE9"), "%E9t%E9.toml");
  EXPECT_EQ(ProfileFileName(""), "~cbf29ce484222325.toml");
  // Long serials are cut and told apart by a hash of the whole serial.
  const std::string a = ProfileFileName(std::string(256, '/') + "a");
  const std::string b = ProfileFileName(std::string(256, '/') + "b");
  EXPECT_NE(a, b);
  EXPECT_LE(a.size(), 255U);
  EXPECT_EQ(a.find('/'), std::string::npos);
}

}  // namespace
}  // namespace stage::profile
