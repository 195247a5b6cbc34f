#include "ui/common/profile_session.h"

#include <QDir>
#include <QStandardPaths>
#include <chrono>
#include <cstdio>

#include "stage/profile/axis_order.h"
#include "stage/profile/profile_file.h"

namespace stage::ui {

ProfileSession::ProfileSession(QString folder) : folder_(std::move(folder)) {}

QString ProfileSession::DefaultFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/stage-console/controllers");
}

std::string ProfileSession::PathFor(const std::string& serial) const {
  return QDir(folder_).filePath(QString::fromStdString(profile::ProfileFileName(serial))).toStdString();
}

void ProfileSession::Load(const QStringList& serials) {
  axes_.assign(static_cast<std::size_t>(serials.size()), Axis{});
  for (qsizetype k = 0; k < serials.size(); ++k) axes_[static_cast<std::size_t>(k)].serial = serials[k].toStdString();
  if (!Enabled()) return;
  LoadAxisOrder(serials);
  for (qsizetype k = 0; k < serials.size(); ++k) {
    Axis& axis = axes_[static_cast<std::size_t>(k)];
    // An unreadable serial names no controller in particular.
    if (axis.serial.empty()) continue;
    if (serials.count(serials[k]) > 1) {
      if (serials.indexOf(serials[k]) == k) {
        messages_.append(QStringLiteral("Several controllers report the serial number \"%1\": none of them is "
                                        "given a profile, and none is saved.")
                             .arg(serials[k]));
      }
      continue;
    }
    profile::ProfileLoad load = profile::LoadProfileFile(PathFor(axis.serial));
    switch (load.status) {
      case profile::ProfileLoad::Status::kNone: axis.usable = true; break;
      case profile::ProfileLoad::Status::kLoaded:
        // A file copied from another controller is not this one's.
        if (load.profile->serial != axis.serial) {
          messages_.append(QString::fromStdString(PathFor(axis.serial)) +
                           QStringLiteral(": serial: \"%1\" is another controller's; the controller starts from "
                                          "the designed defaults and the file is left as it is.")
                               .arg(QString::fromStdString(load.profile->serial)));
          break;
        }
        axis.usable = true;
        axis.loaded = std::move(load.profile);
        break;
      case profile::ProfileLoad::Status::kRefused:
        messages_.append(QString::fromStdString(load.message) +
                         QStringLiteral(". The controller starts from the designed defaults and the file is "
                                        "left as it is."));
        break;
    }
  }
}

std::string ProfileSession::AxisOrderPath() const {
  return QDir(folder_).filePath(QString::fromLatin1(profile::kAxisOrderFileName.data(),
                                                    static_cast<qsizetype>(profile::kAxisOrderFileName.size())))
      .toStdString();
}

void ProfileSession::LoadAxisOrder(const QStringList& serials) {
  order_now_.clear();
  for (const QString& serial : serials) order_now_.push_back(serial.toStdString());
  const profile::FileText file = profile::ReadFileText(AxisOrderPath(), profile::kMaxAxisOrderBytes);
  if (file.status != profile::FileText::Status::kRead) return;
  // The console's own note: one it cannot read is only written anew.
  order_last_ = profile::ReadAxisOrder(file.text);
  if (!order_last_) return;
  const std::string said = profile::DescribeAxisOrderChange(profile::CompareAxisOrder(*order_last_, order_now_));
  // First, since it explains why columns look unfamiliar.
  if (!said.empty()) messages_.prepend(QString::fromStdString(said));
}

void ProfileSession::SaveAxisOrder() {
  if (order_last_ == order_now_) return;
  if (!QDir().mkpath(folder_)) return;  // said with the profiles
  const profile::SaveOutcome outcome =
      profile::SaveFileKeepingBackup(AxisOrderPath(), profile::WriteAxisOrder(order_now_));
  if (!outcome.ok) {
    save_errors_.append(QString::fromStdString(outcome.error));
    return;
  }
  order_last_ = order_now_;
}

const profile::ControllerProfile* ProfileSession::Profile(int axis) const {
  if (axis < 0 || static_cast<std::size_t>(axis) >= axes_.size()) return nullptr;
  const auto& loaded = axes_[static_cast<std::size_t>(axis)].loaded;
  return loaded ? &*loaded : nullptr;
}

void ProfileSession::Confirm(int axis, const profile::Mechanics& mechanics, const profile::Wiring& wiring) {
  if (axis < 0 || static_cast<std::size_t>(axis) >= axes_.size()) return;
  Axis& a = axes_[static_cast<std::size_t>(axis)];
  profile::ControllerProfile confirmed = a.loaded.value_or(profile::ControllerProfile{});
  confirmed.serial = a.serial;
  confirmed.mechanics = mechanics;
  confirmed.wiring = wiring;
  a.confirmed = std::move(confirmed);
}

const profile::ControllerProfile* ProfileSession::Confirmed(int axis) const {
  if (axis < 0 || static_cast<std::size_t>(axis) >= axes_.size()) return nullptr;
  const auto& confirmed = axes_[static_cast<std::size_t>(axis)].confirmed;
  return confirmed ? &*confirmed : nullptr;
}

void ProfileSession::Update(int axis, profile::ControllerProfile settings) {
  if (axis < 0 || static_cast<std::size_t>(axis) >= axes_.size()) return;
  Axis& a = axes_[static_cast<std::size_t>(axis)];
  settings.serial = a.serial;
  a.confirmed = std::move(settings);
}

bool ProfileSession::Keeps(int axis) const {
  return Enabled() && axis >= 0 && static_cast<std::size_t>(axis) < axes_.size() &&
         axes_[static_cast<std::size_t>(axis)].usable;
}

std::string ProfileSession::Serial(int axis) const {
  if (axis < 0 || static_cast<std::size_t>(axis) >= axes_.size()) return {};
  return axes_[static_cast<std::size_t>(axis)].serial;
}

TravelLimits ProfileSession::AdminBound(int axis) const { return admin_.For(Serial(axis)); }

TravelLimits ProfileSession::LimitsInForce(int axis) const {
  const profile::ControllerProfile* own = Confirmed(axis);
  if (own == nullptr) own = Profile(axis);
  return profile::MergeLimits(AdminBound(axis), own != nullptr ? own->limits : TravelLimits{});
}

void ProfileSession::Save(Axis& axis) {
  profile::ControllerProfile& p = *axis.confirmed;
  // An unchanged profile is not written again: each save syncs two files to
  // the disk (about 16 ms each on a loaded 2-core machine), and 17 of them
  // would hold up the first ticks after OK.
  if (axis.loaded) {
    profile::ControllerProfile unchanged = *axis.loaded;
    unchanged.saved_at = p.saved_at;
    if (unchanged == p) return;
  }
  p.saved_at = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  const std::string path = PathFor(axis.serial);
  const std::string text = profile::WriteProfile(p);
  // Never a file that the next start would refuse (a counts per rotation
  // beyond 32 bits, say): the previous one stays.
  const profile::ProfileReading check = profile::ReadProfile(text, path);
  if (!check.profile) {
    save_errors_.append(QString::fromStdString(check.error.message));
    return;
  }
  if (!QDir().mkpath(folder_)) {
    save_errors_.append(folder_ + QStringLiteral(": the profile folder cannot be made"));
    return;
  }
  const profile::SaveOutcome outcome = profile::SaveFileKeepingBackup(path, text);
  if (!outcome.ok) {
    save_errors_.append(QString::fromStdString(outcome.error));
    return;
  }
  axis.loaded = p;
}

void ProfileSession::SaveConfirmed() {
  if (!Enabled()) return;
  const qsizetype errors_before = save_errors_.size();
  for (Axis& axis : axes_) {
    if (axis.confirmed && axis.usable) Save(axis);
  }
  SaveAxisOrder();
  // The terminal is where a lab folder's owner looks; the windows keep their
  // designed messages.
  for (qsizetype i = errors_before; i < save_errors_.size(); ++i) {
    std::fprintf(stderr, "stage-console: profile not saved: %s\n",
                 save_errors_[i].toUtf8().toPercentEncoding(" /:;,.()'\"-_~").constData());
  }
}

void ProfileSession::SaveAtEnd() {
  if (!Enabled()) return;
  if (tuning_source_) {
    for (std::size_t k = 0; k < axes_.size(); ++k) {
      if (axes_[k].confirmed) axes_[k].confirmed->tuning = tuning_source_(static_cast<int>(k));
    }
  }
  SaveConfirmed();
}

}  // namespace stage::ui
