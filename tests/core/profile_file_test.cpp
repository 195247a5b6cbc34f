// Why: the profile folder is shared, hand-edited and sometimes damaged; a
// refused file must stay exactly as it was for whoever mends it, a FIFO or
// a folder in its place must not hang or crash the start, and a save cut
// short at any step must leave the previous file, or its .bak, intact.
#include "stage/profile/profile_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace stage::profile {
namespace {

namespace fs = std::filesystem;

class ProfileFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = fs::path(::testing::TempDir()) / (std::string("profiles_") + info->test_suite_name() + "_" +
                                                  std::to_string(::getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::string PathOf(const std::string& name) const { return (folder_ / name).string(); }

  static void Put(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
  }
  static std::optional<std::string> Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Everything in the folder, by name.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path folder_;
};

std::string ProfileText(const std::string& notes) {
  ControllerProfile p;
  p.serial = "ABC123";
  p.notes = notes;
  return WriteProfile(p);
}

using ProfileLoadTest = ProfileFolder;

TEST_F(ProfileLoadTest, NoFileIsNoProfileAndNoMessage) {
  const ProfileLoad load = LoadProfileFile(PathOf("ABC123.toml"));
  EXPECT_EQ(load.status, ProfileLoad::Status::kNone);
  EXPECT_FALSE(load.profile.has_value());
  EXPECT_TRUE(load.message.empty());
}

TEST_F(ProfileLoadTest, AGoodFileIsLoaded) {
  const std::string path = PathOf("ABC123.toml");
  Put(path, ProfileText("stage 3"));
  const ProfileLoad load = LoadProfileFile(path);
  ASSERT_EQ(load.status, ProfileLoad::Status::kLoaded) << load.message;
  EXPECT_EQ(load.profile->notes, "stage 3");
}

TEST_F(ProfileLoadTest, ARefusedFileIsNamedAndLeftExactlyAsItWas) {
  const std::string path = PathOf("ABC123.toml");
  const std::string bad[] = {
      "schema_version = 1\nserial = 'A'\n[tuning\n",                    // syntax
      "schema_version = 2\nserial = 'A'\n",                             // newer
      "schema_version = 1\nserial = 'A'\n[tuning]\np = 999\n",          // out of range
      std::string("\0\1\2\3", 4),                                       // binary
      "schema_version = 1\n#" + std::string(kMaxProfileBytes, 'x'),    // huge
  };
  for (const std::string& text : bad) {
    Put(path, text);
    const fs::file_time_type before = fs::last_write_time(path);
    const ProfileLoad load = LoadProfileFile(path);
    EXPECT_EQ(load.status, ProfileLoad::Status::kRefused);
    EXPECT_FALSE(load.profile.has_value());
    EXPECT_EQ(load.message.rfind(path, 0), 0U) << load.message;
    EXPECT_EQ(Contents(path), text);
    EXPECT_EQ(fs::last_write_time(path), before);
    EXPECT_EQ(Names(), std::vector<std::string>{"ABC123.toml"});
  }
}

TEST_F(ProfileLoadTest, AFifoOrAFolderInPlaceOfTheFileIsRefusedAtOnce) {
  const std::string fifo = PathOf("FIFO.toml");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // No writer: a blocking open would wait for one for ever.
  const ProfileLoad from_fifo = LoadProfileFile(fifo);
  EXPECT_EQ(from_fifo.status, ProfileLoad::Status::kRefused);
  EXPECT_EQ(from_fifo.message, fifo + ": not a regular file");

  const std::string folder = PathOf("FOLDER.toml");
  fs::create_directory(folder);
  const ProfileLoad from_folder = LoadProfileFile(folder);
  EXPECT_EQ(from_folder.status, ProfileLoad::Status::kRefused);
  EXPECT_EQ(from_folder.message, folder + ": not a regular file");
}

using ProfileSaveTest = ProfileFolder;

TEST_F(ProfileSaveTest, ASaveKeepsThePreviousFileAsBak) {
  const std::string path = PathOf("ABC123.toml");
  ASSERT_TRUE(SaveFileKeepingBackup(path, ProfileText("first")).ok);
  EXPECT_EQ(Names(), std::vector<std::string>{"ABC123.toml"});
  ASSERT_TRUE(SaveFileKeepingBackup(path, ProfileText("second")).ok);
  ASSERT_TRUE(SaveFileKeepingBackup(path, ProfileText("third")).ok);
  EXPECT_EQ(Contents(path), ProfileText("third"));
  EXPECT_EQ(Contents(path + ".bak"), ProfileText("second"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"ABC123.toml", "ABC123.toml.bak"}));
}

TEST_F(ProfileSaveTest, ASaveIntoAMissingFolderFailsNamingTheFile) {
  const std::string path = PathOf("gone/ABC123.toml");
  const SaveOutcome outcome = SaveFileKeepingBackup(path, ProfileText("x"));
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.error.rfind(path + ": ", 0), 0U) << outcome.error;
  EXPECT_NE(outcome.error.find("No such file or directory"), std::string::npos) << outcome.error;
  EXPECT_TRUE(Names().empty());
}

// A save stopped before each step, as by a crash there.
struct Interruption {
  SaveStep step;
  const char* name;
  std::optional<const char*> target;  // the notes in the target afterwards; empty: no target
  const char* backup;                 // the notes in the .bak afterwards
};

void PrintTo(const Interruption& c, std::ostream* os) { *os << c.name; }

class InterruptedSaveTest : public ProfileFolder, public ::testing::WithParamInterface<Interruption> {};

TEST_P(InterruptedSaveTest, LeavesTheOldFileOrItsBakIntact) {
  const Interruption& c = GetParam();
  const std::string path = PathOf("ABC123.toml");
  Put(path + ".bak", ProfileText("older"));
  Put(path, ProfileText("old"));

  const SaveOutcome cut =
      SaveFileKeepingBackup(path, ProfileText("new"), [&c](SaveStep step) { return step == c.step; });
  EXPECT_FALSE(cut.ok);
  if (c.target) {
    EXPECT_EQ(Contents(path), ProfileText(*c.target));
  } else {
    EXPECT_FALSE(fs::exists(path));
  }
  EXPECT_EQ(Contents(path + ".bak"), ProfileText(c.backup));
  // Whatever the target holds is a whole profile.
  if (c.target) {
    EXPECT_EQ(LoadProfileFile(path).status, ProfileLoad::Status::kLoaded);
  }

  // The next save, after the "restart", still works; a left-over new file
  // does not stand in its way.
  ASSERT_TRUE(SaveFileKeepingBackup(path, ProfileText("next")).ok);
  EXPECT_EQ(Contents(path), ProfileText("next"));
  EXPECT_EQ(Contents(path + ".bak"), ProfileText(c.target.value_or(c.backup)));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InterruptedSaveTest,
    ::testing::Values(Interruption{SaveStep::kWriteTemporary, "before_writing", "old", "older"},
                      Interruption{SaveStep::kSyncTemporary, "before_syncing", "old", "older"},
                      Interruption{SaveStep::kKeepPrevious, "before_keeping_the_previous", "old", "older"},
                      Interruption{SaveStep::kReplace, "before_replacing", "old", "old"},
                      Interruption{SaveStep::kSyncFolder, "before_syncing_the_folder", "new", "old"}),
    [](const ::testing::TestParamInfo<Interruption>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace stage::profile
