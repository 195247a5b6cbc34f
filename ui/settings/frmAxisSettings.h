// The window "Axis Settings" (F2, from any window once the main window is
// up): per axis, chosen in the window, the mechanics and the four wiring
// options of Motor Settings, the soft travel limits in the axis's units, and
// the referencing settings, edited while the console polls. Apply takes the
// whole axis or nothing: wiring goes out in the axis's next packet, new
// mechanics count from the next command (the read-outs show the new unit
// from the next reply), limits hold for the next target entered. The
// settings are kept in the controller's profile, saved at the run's orderly
// end with the rest (never with --no-profile). Import and Export move one
// controller's profile to and from a file.
//
// Not one of the console's designed windows: it changes none of them, and
// coming back from it to the main window is not an activation.
#pragma once

#include <QFileDialog>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "stage/axis/modKVT_USB.h"
#include "stage/profile/controller_profile.h"
#include "stage/profile/settings_form.h"
#include "ui/common/console_context.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace stage::ui {

class frmMain;

// NOLINTNEXTLINE(readability-identifier-naming): named like the console's windows
class frmAxisSettings : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(frmAxisSettings)

 public:
  static constexpr Qt::Key kKey = Qt::Key_F2;

  frmAxisSettings(ConsoleContext context, frmMain& main, QWidget* parent = nullptr);
  ~frmAxisSettings() override;

  // Shows the window (raised, active) with the chosen axis's settings in
  // force.
  void ShowSettings();

  // What the Reference... button runs for the chosen axis; the button is
  // disabled until one is given.
  void SetReferenceStarter(std::function<void(AxisIndex)> starter);

  // The folder the Import and Export dialogs open in: at first the profile
  // folder (the home folder with profiles off), then the folder of the last
  // file imported or exported.
  void SetDialogFolder(const QString& folder) { dialog_folder_ = folder; }
  const QString& DialogFolder() const { return dialog_folder_; }

  // The settings in force for an axis (what Apply last took, else what OK
  // confirmed).
  profile::ControllerProfile InForce(AxisIndex axis) const;

  AxisIndex CurrentAxis() const;

  // Controls, for the tests.
  QComboBox* cmbAxis() const { return cmb_axis_; }
  QLineEdit* txtCountsPerRotation() const { return txt_counts_; }
  QLineEdit* txtGearheadRatio() const { return txt_gearhead_; }
  QLineEdit* txtPitch() const { return txt_pitch_; }
  QLabel* lblCountsPerMicron() const { return lbl_factor_; }
  QCheckBox* chkWiring(int option) const { return chk_wiring_[static_cast<std::size_t>(option)]; }  // 0..3, as Check1..4
  QLineEdit* txtLowerLimit() const { return txt_lower_; }
  QLineEdit* txtUpperLimit() const { return txt_upper_; }
  QLabel* lblAdminBound() const { return lbl_admin_; }
  QCheckBox* chkReferencing() const { return chk_referencing_; }
  QComboBox* cmbReferencingDirection() const { return cmb_direction_; }
  QLineEdit* txtReferencingSpeed() const { return txt_speed_; }
  QLineEdit* txtBackOff() const { return txt_back_off_; }
  QCheckBox* chkAtStartUp() const { return chk_at_start_up_; }
  QPushButton* cmdApply() const { return cmd_apply_; }
  QPushButton* cmdReference() const { return cmd_reference_; }
  QPushButton* cmdImport() const { return cmd_import_; }
  QPushButton* cmdExport() const { return cmd_export_; }
  QPushButton* cmdClose() const { return cmd_close_; }
  QLabel* lblMessage() const { return lbl_message_; }

 private:
  void Build();
  void ShowAxis(AxisIndex axis);
  void ShowUnits(const profile::ControllerProfile& settings);
  profile::SettingsForm FormFromFields() const;
  void ShowForm(const profile::SettingsForm& form);
  void Apply();
  void Say(const QString& text, bool refusal);
  QFileDialog* OpenFileDialog(const char* name, const QString& title, const QString& file,
                              QFileDialog::AcceptMode mode);
  void ChooseImportFile();
  void Import(const QString& path);
  void ChooseExportFile();
  void Export(const QString& path);
  TravelLimits AdminBound(AxisIndex axis) const;
  QString Serial(AxisIndex axis) const;

  ConsoleContext context_;
  frmMain& main_;
  std::function<void(AxisIndex)> reference_starter_;
  // Per axis, what Apply took where no profile session keeps it.
  std::vector<std::optional<profile::ControllerProfile>> applied_;
  // The fields as last shown, and what they were shown from: the settings in
  // force, or a profile imported for the chosen axis and not yet applied.
  profile::SettingsForm shown_;
  std::optional<profile::ControllerProfile> imported_;
  AxisIndex shown_axis_ = 0;
  QString dialog_folder_;

  QComboBox* cmb_axis_ = nullptr;
  QLineEdit* txt_counts_ = nullptr;
  QLineEdit* txt_gearhead_ = nullptr;
  QLineEdit* txt_pitch_ = nullptr;
  QLabel* lbl_factor_ = nullptr;
  std::vector<QCheckBox*> chk_wiring_;
  QLineEdit* txt_lower_ = nullptr;
  QLineEdit* txt_upper_ = nullptr;
  std::vector<QLabel*> lbl_units_;
  QLabel* lbl_admin_ = nullptr;
  QCheckBox* chk_referencing_ = nullptr;
  QComboBox* cmb_direction_ = nullptr;
  QLineEdit* txt_speed_ = nullptr;
  QLineEdit* txt_back_off_ = nullptr;
  QCheckBox* chk_at_start_up_ = nullptr;
  QPushButton* cmd_apply_ = nullptr;
  QPushButton* cmd_reference_ = nullptr;
  QPushButton* cmd_import_ = nullptr;
  QPushButton* cmd_export_ = nullptr;
  QPushButton* cmd_close_ = nullptr;
  QLabel* lbl_message_ = nullptr;
};

// F2 from any widget of the program, once the main window is built: opens
// the Axis Settings window. Not while a modal box is up.
class AxisSettingsKey : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(AxisSettingsKey)

 public:
  // Lives as long as `open`'s owner; installs itself on the application.
  AxisSettingsKey(std::function<void()> open, QObject* parent);
  ~AxisSettingsKey() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<void()> open_;
};

}  // namespace stage::ui
