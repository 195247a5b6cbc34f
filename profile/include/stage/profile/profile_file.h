// Profile files on disk: reading with a size bound, and replacing a file
// atomically while keeping the previous one as ".bak". POSIX, no Qt.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "stage/profile/controller_profile.h"

namespace stage::profile {

// Reads a whole regular file of at most `max_bytes`. A FIFO, a device or a
// folder is refused without blocking on it.
struct FileText {
  enum class Status { kRead, kMissing, kFailed };
  Status status = Status::kFailed;
  std::string text;   // kRead: the contents
  std::string error;  // kFailed: names the file and the cause
};
FileText ReadFileText(const std::string& path, std::size_t max_bytes);

// A profile file: none (no profile, nothing to say), loaded, or refused with
// the one message ReadProfile gave (or the reading error). The file itself is
// never touched.
struct ProfileLoad {
  enum class Status { kNone, kLoaded, kRefused };
  Status status = Status::kNone;
  std::optional<ControllerProfile> profile;
  std::string message;
};
ProfileLoad LoadProfileFile(const std::string& path);

// The steps of a save, in order; a test can stop a save before any of them,
// as a crash or a power cut would.
enum class SaveStep {
  kWriteTemporary,  // the new text into a new file beside the target
  kSyncTemporary,   // to the disk
  kKeepPrevious,    // the target, if there is one, linked as target.bak
  kReplace,         // the new file renamed to the target
  kSyncFolder,      // the renames to the disk
};

struct SaveOutcome {
  bool ok = false;
  std::string error;  // names the file and the cause
};

// Replaces `path` with `text`. At every moment the target holds either the
// previous text or the new one (on a file system without hard links: or it
// is missing, between two renames, and target.bak holds the previous text).
// After a save, target.bak holds the previous text. A failure removes the new
// file and leaves the target as it was. `stop_before` returning true abandons
// the save before that step, leaving everything as a crash there would
// (tests).
SaveOutcome SaveFileKeepingBackup(const std::string& path, std::string_view text,
                                  const std::function<bool(SaveStep)>& stop_before = {});

}  // namespace stage::profile
