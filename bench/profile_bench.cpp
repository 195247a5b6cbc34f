// What the controllers' profiles cost the start and OK on 17 controllers:
// reading and checking 17 profile files (before Motor Settings is shown),
// and writing 17 with their .bak (at OK and at the end; every file synced to
// the disk, so the figure depends on the disk).
//
//   build/<dir>/bench/profile_bench [--benchmark_min_time=1]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "stage/profile/controller_profile.h"
#include "stage/profile/profile_file.h"

namespace {

namespace fs = std::filesystem;
namespace profile = stage::profile;

constexpr int kControllers = 17;

// A folder of 17 full profiles, removed afterwards.
class ProfileFolder {
 public:
  ProfileFolder() : path_(fs::temp_directory_path() / ("profile_bench_" + std::to_string(::getpid()))) {
    fs::create_directories(path_);
    for (int k = 0; k < kControllers; ++k) {
      if (!profile::SaveFileKeepingBackup(File(k), profile::WriteProfile(Profile(k))).ok) std::abort();
    }
  }
  ~ProfileFolder() { fs::remove_all(path_); }
  ProfileFolder(const ProfileFolder&) = delete;
  ProfileFolder& operator=(const ProfileFolder&) = delete;

  std::string File(int k) const { return (path_ / ("SN" + std::to_string(k) + ".toml")).string(); }
  static profile::ControllerProfile Profile(int k) {
    profile::ControllerProfile p;
    p.serial = "SN" + std::to_string(k);
    p.mechanics = {1000, 3.7, 2000};
    p.limits = {-12800, 12800};
    p.notes = "Stage " + std::to_string(k) + ": leadscrew replaced in January.";
    return p;
  }

 private:
  fs::path path_;
};

void BM_Load17Profiles(benchmark::State& state) {
  const ProfileFolder folder;
  for ([[maybe_unused]] auto _ : state) {
    for (int k = 0; k < kControllers; ++k) {
      profile::ProfileLoad load = profile::LoadProfileFile(folder.File(k));
      if (load.status != profile::ProfileLoad::Status::kLoaded) std::abort();
      benchmark::DoNotOptimize(load);
    }
  }
}
BENCHMARK(BM_Load17Profiles)->Unit(benchmark::kMicrosecond);

void BM_Save17Profiles(benchmark::State& state) {
  const ProfileFolder folder;
  for ([[maybe_unused]] auto _ : state) {
    for (int k = 0; k < kControllers; ++k) {
      if (!profile::SaveFileKeepingBackup(folder.File(k), profile::WriteProfile(ProfileFolder::Profile(k))).ok) {
        std::abort();
      }
    }
  }
}
BENCHMARK(BM_Save17Profiles)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
