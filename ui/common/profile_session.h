// The controllers' profiles for one run of the console: read once at start
// from the profile folder, saved when the operator confirms Motor Settings
// with OK and again at every orderly end. A thin Qt adapter over profile/
// (the folder from QStandardPaths, messages as QStrings); the reading,
// checking and safe saving are there.
//
// A controller without a profile, a controller whose serial is unreadable or
// shared with another, and every controller with --no-profile start from the
// designed defaults. A refused file is reported and never overwritten.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "stage/axis/travel_limits.h"
#include "stage/profile/admin_limits.h"
#include "stage/profile/controller_profile.h"
#include "stage/usb/packet_codec.h"

namespace stage::ui {

class ProfileSession {
 public:
  // `folder` empty: profiles are off (--no-profile), nothing is read or saved.
  explicit ProfileSession(QString folder);

  // $XDG_CONFIG_HOME/stage-console/controllers (~/.config/... by default).
  static QString DefaultFolder();

  bool Enabled() const { return !folder_.isEmpty(); }
  const QString& Folder() const { return folder_; }

  // Start-up: the controllers' serials (product strings) in axis order. Reads
  // each one's profile; what cannot be used, and controllers that stand at
  // other axes than in the last run, are said in Messages().
  void Load(const QStringList& serials);
  // The profile read for an axis, or nullptr: the designed defaults.
  const profile::ControllerProfile* Profile(int axis) const;
  // One line per refused file or shared serial, plain text.
  const QStringList& Messages() const { return messages_; }

  // OK: the mechanics and wiring the operator confirmed, then every profile
  // is saved. Where the tuning sliders are read from at the end. Every axis
  // is confirmed, with profiles or without: the Axis Settings window starts
  // from what was confirmed; only an axis whose profile is kept is saved.
  void Confirm(int axis, const profile::Mechanics& mechanics, const profile::Wiring& wiring);
  void SaveConfirmed();
  void SetTuningSource(std::function<usb::TuningValues(int axis)> source) { tuning_source_ = std::move(source); }

  // The settings in force for an axis since OK (mechanics, wiring, limits,
  // referencing), or nullptr before OK. The Axis Settings window replaces
  // them with Update; the serial stays the axis's own.
  const profile::ControllerProfile* Confirmed(int axis) const;
  void Update(int axis, profile::ControllerProfile settings);
  // True where the axis's settings are saved at the end: profiles on, a
  // serial of its own and no refused file.
  bool Keeps(int axis) const;
  // The axis's serial as Load was given it (profiles on or off).
  std::string Serial(int axis) const;

  // The administrator's bounds (read at start, with or without profiles).
  void SetAdminBounds(profile::AdminBounds bounds) { admin_ = std::move(bounds); }
  TravelLimits AdminBound(int axis) const;
  // What targets are checked against: the axis's own limits narrowed by the
  // administrator's bound.
  TravelLimits LimitsInForce(int axis) const;

  // An orderly end after OK: the sliders' positions are saved with the rest.
  void SaveAtEnd();

  // What could not be saved, plain text; also said on stderr.
  const QStringList& SaveErrors() const { return save_errors_; }

 private:
  struct Axis {
    std::string serial;
    bool usable = false;  // a serial of its own, and no refused file
    std::optional<profile::ControllerProfile> loaded;
    std::optional<profile::ControllerProfile> confirmed;
  };
  std::string PathFor(const std::string& serial) const;
  void Save(Axis& axis);
  // The serials' axis order of the last run beside the profiles: a changed
  // order is said first among the messages, and OK keeps this run's.
  std::string AxisOrderPath() const;
  void LoadAxisOrder(const QStringList& serials);
  void SaveAxisOrder();

  QString folder_;
  std::vector<Axis> axes_;
  std::vector<std::string> order_now_;
  std::optional<std::vector<std::string>> order_last_;
  QStringList messages_;
  QStringList save_errors_;
  profile::AdminBounds admin_;
  std::function<usb::TuningValues(int axis)> tuning_source_;
};

}  // namespace stage::ui
