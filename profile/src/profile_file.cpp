#include "stage/profile/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace stage::profile {
namespace {

std::string Failure(const std::string& path, std::string_view what, int error_number) {
  return path + ": " + std::string(what) + ": " + std::strerror(error_number);
}

// Closes the descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now, reporting the error a deferred write may only show here.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

FileText ReadFileText(const std::string& path, std::size_t max_bytes) {
  FileText result;
  // Non-blocking, so that a FIFO put in place of a profile cannot hang the
  // start; only regular files are read.
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      result.status = FileText::Status::kMissing;
    } else {
      result.error = Failure(path, "cannot be opened", errno);
    }
    return result;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    result.error = Failure(path, "cannot be examined", errno);
    return result;
  }
  if (!S_ISREG(info.st_mode)) {
    result.error = path + ": not a regular file";
    return result;
  }
  // One byte more than allowed tells a file that is too large.
  std::string text(max_bytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < text.size()) {
    const ssize_t got = ::read(fd.get(), text.data() + filled, text.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      result.error = Failure(path, "cannot be read", errno);
      return result;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  text.resize(filled);
  result.status = FileText::Status::kRead;
  result.text = std::move(text);
  return result;
}

ProfileLoad LoadProfileFile(const std::string& path) {
  ProfileLoad load;
  const FileText file = ReadFileText(path, kMaxProfileBytes);
  switch (file.status) {
    case FileText::Status::kMissing: return load;
    case FileText::Status::kFailed:
      load.status = ProfileLoad::Status::kRefused;
      load.message = file.error;
      return load;
    case FileText::Status::kRead: break;
  }
  ProfileReading reading = ReadProfile(file.text, path);
  if (!reading.profile) {
    load.status = ProfileLoad::Status::kRefused;
    load.message = std::move(reading.error.message);
    return load;
  }
  load.status = ProfileLoad::Status::kLoaded;
  load.profile = std::move(reading.profile);
  return load;
}

SaveOutcome SaveFileKeepingBackup(const std::string& path, std::string_view text,
                                  const std::function<bool(SaveStep)>& stop_before) {
  const auto stop = [&stop_before](SaveStep step) { return stop_before && stop_before(step); };
  // A name of our own beside the target: the same file system, so the
  // rename is atomic; the process id and a counter keep two saves apart.
  static std::atomic<unsigned> counter{0};
  const std::string temporary =
      path + ".new." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
  SaveOutcome outcome;
  const auto fail = [&](std::string_view what, int error_number) {
    outcome.error = Failure(path, what, error_number);
    ::unlink(temporary.c_str());
    return outcome;
  };

  if (stop(SaveStep::kWriteTemporary)) return outcome;
  // 0666 less the umask, as any new file of the user's.
  Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    outcome.error = Failure(path, "cannot be written (a new file beside it cannot be made)", errno);
    return outcome;
  }
  if (!WriteAll(fd.get(), text)) return fail("cannot be written", errno);
  if (stop(SaveStep::kSyncTemporary)) return outcome;
  if (::fsync(fd.get()) != 0) return fail("cannot be written to the disk", errno);
  if (fd.Close() != 0) return fail("cannot be written", errno);

  if (stop(SaveStep::kKeepPrevious)) return outcome;
  // The previous file becomes the .bak by a second name (a hard link), so
  // that the target is never missing: a crash anywhere leaves it whole, old
  // or new. Where the file system has no hard links, the previous file is
  // renamed instead, and a crash before the next rename leaves only the .bak.
  const std::string backup = path + ".bak";
  if (::unlink(backup.c_str()) != 0 && errno != ENOENT) return fail("cannot be kept as " + backup, errno);
  if (::link(path.c_str(), backup.c_str()) != 0 && errno != ENOENT) {
    if (::rename(path.c_str(), backup.c_str()) != 0 && errno != ENOENT) {
      return fail("cannot be kept as " + backup, errno);
    }
  }
  if (stop(SaveStep::kReplace)) return outcome;
  if (::rename(temporary.c_str(), path.c_str()) != 0) return fail("cannot be replaced", errno);

  if (stop(SaveStep::kSyncFolder)) return outcome;
  Descriptor folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The file is in place; a folder that cannot be synced (some network file
  // systems) only loses the guarantee against a power cut.
  if (folder.get() >= 0) ::fsync(folder.get());
  outcome.ok = true;
  return outcome;
}

}  // namespace stage::profile
