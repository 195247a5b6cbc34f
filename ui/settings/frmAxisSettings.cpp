#include "ui/settings/frmAxisSettings.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>
#include <array>
#include <chrono>

#include "stage/axis/mechanics.h"
#include "stage/axis/number_text.h"
#include "stage/profile/admin_limits.h"
#include "stage/profile/profile_file.h"
#include "ui/common/controller_names.h"
#include "ui/common/outside_window.h"
#include "ui/common/profile_session.h"
#include "ui/main/frmMain.h"
#include "ui/settings/saved_tuning.h"

namespace stage::ui {
namespace {

// The captions of Motor Settings' own fields and check boxes.
constexpr std::array<const char*, 4> kWiringCaptions = {"Reverse Motor Polarity", "Reverse Limit Switch",
                                                        "Limit Sw Active on HI", "Cancel When Error"};

QString Text(const std::string& utf8) { return QString::fromStdString(utf8); }
std::string Utf8(const QString& text) { return text.toStdString(); }

QString CountsInUnits(std::int64_t counts, double counts_per_micron, const std::string& unit) {
  return Text(FormatFixed2(static_cast<double>(counts) / counts_per_micron) + unit) +
         QStringLiteral(" (%1 counts)").arg(counts);
}

QLineEdit* Field(const char* name, QWidget* parent) {
  auto* field = new QLineEdit(parent);
  field->setObjectName(QString::fromLatin1(name));
  return field;
}

QPushButton* Button(const char* name, const QString& caption, QWidget* parent) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setAutoDefault(false);
  return button;
}

}  // namespace

frmAxisSettings::frmAxisSettings(ConsoleContext context, frmMain& main, QWidget* parent)
    : QWidget(parent, Qt::Window), context_(context), main_(main) {
  setObjectName(QStringLiteral("frmAxisSettings"));
  setWindowTitle(QStringLiteral("Axis Settings"));
  dialog_folder_ = context_.profiles != nullptr && context_.profiles->Enabled() ? context_.profiles->Folder()
                                                                                : QDir::homePath();
  applied_.resize(static_cast<std::size_t>(std::max(context_.tables.AxisCount, 0)) + 1);
  Build();
  MarkOutsideWindow(*this);
  ShowAxis(0);
}

frmAxisSettings::~frmAxisSettings() = default;

void frmAxisSettings::Build() {
  auto* layout = new QVBoxLayout(this);

  auto* axis_row = new QHBoxLayout;
  auto* axis_label = new QLabel(QStringLiteral("Axis:"), this);
  cmb_axis_ = new QComboBox(this);
  cmb_axis_->setObjectName(QStringLiteral("cmbAxis"));
  axis_label->setBuddy(cmb_axis_);
  for (AxisIndex i = 0; i <= context_.tables.AxisCount; ++i) {
    cmb_axis_->addItem(AxisLabel(context_.tables, i) + QStringLiteral(" - ") + ControllerCaption(context_.tables, i));
  }
  axis_row->addWidget(axis_label);
  axis_row->addWidget(cmb_axis_, 1);
  layout->addLayout(axis_row);

  // The unit beside each position field.
  const auto with_unit = [this](QLineEdit* field) {
    auto* row = new QHBoxLayout;
    row->addWidget(field, 1);
    auto* unit = new QLabel(this);
    unit->setTextFormat(Qt::PlainText);
    lbl_units_.push_back(unit);
    row->addWidget(unit);
    return row;
  };

  auto* mechanics = new QGroupBox(QStringLiteral("Mechanics"), this);
  auto* mechanics_form = new QFormLayout(mechanics);
  txt_counts_ = Field("txtCountsPerRotation", mechanics);
  txt_gearhead_ = Field("txtGearheadRatio", mechanics);
  txt_pitch_ = Field("txtPitch", mechanics);
  lbl_factor_ = new QLabel(mechanics);
  lbl_factor_->setObjectName(QStringLiteral("lblCountsPerMicron"));
  lbl_factor_->setTextFormat(Qt::PlainText);
  mechanics_form->addRow(QStringLiteral("Encoder Counts per Motor Rotation"), txt_counts_);
  mechanics_form->addRow(QStringLiteral("Gearhead Ratio"), txt_gearhead_);
  mechanics_form->addRow(QStringLiteral("Leadscrew Pitch Microns per Rotation"), txt_pitch_);
  mechanics_form->addRow(QStringLiteral("Encoder Counts per Micron"), lbl_factor_);
  layout->addWidget(mechanics);

  auto* wiring = new QGroupBox(QStringLiteral("Wiring"), this);
  auto* wiring_layout = new QVBoxLayout(wiring);
  for (std::size_t option = 0; option < kWiringCaptions.size(); ++option) {
    auto* check = new QCheckBox(QString::fromLatin1(kWiringCaptions[option]), wiring);
    check->setObjectName(QStringLiteral("chkWiring%1").arg(option + 1));
    chk_wiring_.push_back(check);
    wiring_layout->addWidget(check);
  }
  layout->addWidget(wiring);

  auto* limits = new QGroupBox(QStringLiteral("Travel limits (empty: none)"), this);
  auto* limits_form = new QFormLayout(limits);
  txt_lower_ = Field("txtLowerLimit", limits);
  txt_upper_ = Field("txtUpperLimit", limits);
  limits_form->addRow(QStringLiteral("Lower limit"), with_unit(txt_lower_));
  limits_form->addRow(QStringLiteral("Upper limit"), with_unit(txt_upper_));
  lbl_admin_ = new QLabel(limits);
  lbl_admin_->setObjectName(QStringLiteral("lblAdminBound"));
  lbl_admin_->setTextFormat(Qt::PlainText);
  lbl_admin_->setWordWrap(true);
  limits_form->addRow(lbl_admin_);
  layout->addWidget(limits);

  auto* referencing = new QGroupBox(QStringLiteral("Referencing"), this);
  auto* referencing_form = new QFormLayout(referencing);
  chk_referencing_ = new QCheckBox(QStringLiteral("Referencing enabled"), referencing);
  chk_referencing_->setObjectName(QStringLiteral("chkReferencing"));
  cmb_direction_ = new QComboBox(referencing);
  cmb_direction_->setObjectName(QStringLiteral("cmbReferencingDirection"));
  cmb_direction_->addItems({QStringLiteral("Toward the lower limit switch"),
                            QStringLiteral("Toward the upper limit switch")});
  txt_speed_ = Field("txtReferencingSpeed", referencing);
  txt_back_off_ = Field("txtBackOff", referencing);
  chk_at_start_up_ = new QCheckBox(QStringLiteral("Offer referencing at start-up"), referencing);
  chk_at_start_up_->setObjectName(QStringLiteral("chkAtStartUp"));
  referencing_form->addRow(chk_referencing_);
  referencing_form->addRow(QStringLiteral("Direction"), cmb_direction_);
  referencing_form->addRow(QStringLiteral("Speed (1 to 10000)"), txt_speed_);
  referencing_form->addRow(QStringLiteral("Back-off distance"), with_unit(txt_back_off_));
  referencing_form->addRow(chk_at_start_up_);
  layout->addWidget(referencing);
  // At start-up only where referencing is on at all.
  connect(chk_referencing_, &QCheckBox::toggled, chk_at_start_up_, &QWidget::setEnabled);

  lbl_message_ = new QLabel(this);
  lbl_message_->setObjectName(QStringLiteral("lblMessage"));
  lbl_message_->setTextFormat(Qt::PlainText);
  lbl_message_->setWordWrap(true);
  layout->addWidget(lbl_message_);

  auto* buttons = new QHBoxLayout;
  cmd_apply_ = Button("cmdApply", QStringLiteral("Apply"), this);
  cmd_reference_ = Button("cmdReference", QStringLiteral("Reference\u2026"), this);
  cmd_reference_->setEnabled(false);
  cmd_import_ = Button("cmdImport", QStringLiteral("Import\u2026"), this);
  cmd_export_ = Button("cmdExport", QStringLiteral("Export\u2026"), this);
  cmd_close_ = Button("cmdClose", QStringLiteral("Close"), this);
  for (QPushButton* button : {cmd_apply_, cmd_reference_, cmd_import_, cmd_export_}) buttons->addWidget(button);
  buttons->addStretch(1);
  buttons->addWidget(cmd_close_);
  layout->addLayout(buttons);

  connect(cmb_axis_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (index >= 0 && index != shown_axis_) ShowAxis(index);
  });
  connect(cmd_apply_, &QPushButton::clicked, this, &frmAxisSettings::Apply);
  connect(cmd_reference_, &QPushButton::clicked, this, [this] {
    if (reference_starter_) reference_starter_(CurrentAxis());
  });
  connect(cmd_import_, &QPushButton::clicked, this, &frmAxisSettings::ChooseImportFile);
  connect(cmd_export_, &QPushButton::clicked, this, &frmAxisSettings::ChooseExportFile);
  connect(cmd_close_, &QPushButton::clicked, this, &QWidget::close);
}

void frmAxisSettings::ShowSettings() {
  // What is in force may have changed since the window was last shown
  // (another window, a later source); unapplied edits are not kept.
  if (!isVisible()) ShowAxis(CurrentAxis());
  show();
  raise();
  activateWindow();
}

void frmAxisSettings::SetReferenceStarter(std::function<void(AxisIndex)> starter) {
  reference_starter_ = std::move(starter);
  cmd_reference_->setEnabled(static_cast<bool>(reference_starter_));
}

AxisIndex frmAxisSettings::CurrentAxis() const { return std::max(cmb_axis_->currentIndex(), 0); }

QString frmAxisSettings::Serial(AxisIndex axis) const {
  if (context_.profiles != nullptr) {
    const std::string serial = context_.profiles->Serial(axis);
    if (!serial.empty()) return Text(serial);
  }
  return Latin1Text(context_.tables.ProductString.at(static_cast<std::size_t>(axis)));
}

TravelLimits frmAxisSettings::AdminBound(AxisIndex axis) const {
  return context_.profiles != nullptr ? context_.profiles->AdminBound(axis) : TravelLimits{};
}

profile::ControllerProfile frmAxisSettings::InForce(AxisIndex axis) const {
  if (context_.profiles != nullptr) {
    if (const profile::ControllerProfile* confirmed = context_.profiles->Confirmed(axis)) return *confirmed;
  }
  const auto k = static_cast<std::size_t>(axis);
  if (k < applied_.size() && applied_[k]) return *applied_[k];
  // No session confirmed it (a window built without profiles): the designed
  // mechanics and the wiring the tables carry.
  const modKVT_USB& tables = context_.tables;
  profile::ControllerProfile settings;
  settings.serial = Utf8(Serial(axis));
  settings.wiring = {tables.RevPolarityBit.at(k) != 0, tables.RevLimitBit.at(k) != 0,
                     tables.LimitActiveHiBit.at(k) != 0, tables.CancelOnErrorBit.at(k) != 0};
  return settings;
}

void frmAxisSettings::ShowUnits(const profile::ControllerProfile& settings) {
  const double factor = settings.mechanics.CountsPerMicron();
  const QString unit = Text(UnitSuffixFor(factor)).trimmed();
  for (QLabel* label : lbl_units_) label->setText(unit);
  lbl_factor_->setText(Text(CanonicalNumberText(factor)));
}

void frmAxisSettings::ShowForm(const profile::SettingsForm& form) {
  txt_counts_->setText(Text(form.counts_per_rotation));
  txt_gearhead_->setText(Text(form.gearhead_ratio));
  txt_pitch_->setText(Text(form.pitch_um));
  chk_wiring_[0]->setChecked(form.wiring.reverse_motor_polarity);
  chk_wiring_[1]->setChecked(form.wiring.reverse_limit_switch);
  chk_wiring_[2]->setChecked(form.wiring.limit_switch_active_high);
  chk_wiring_[3]->setChecked(form.wiring.cancel_when_error);
  txt_lower_->setText(Text(form.lower_limit));
  txt_upper_->setText(Text(form.upper_limit));
  chk_referencing_->setChecked(form.referencing_enabled);
  chk_at_start_up_->setEnabled(form.referencing_enabled);
  cmb_direction_->setCurrentIndex(form.referencing_direction == profile::ReferenceDirection::kUpper ? 1 : 0);
  txt_speed_->setText(Text(form.referencing_speed));
  txt_back_off_->setText(Text(form.referencing_back_off));
  chk_at_start_up_->setChecked(form.referencing_at_start_up);
  shown_ = form;
}

profile::SettingsForm frmAxisSettings::FormFromFields() const {
  profile::SettingsForm form;
  form.counts_per_rotation = Utf8(txt_counts_->text());
  form.gearhead_ratio = Utf8(txt_gearhead_->text());
  form.pitch_um = Utf8(txt_pitch_->text());
  form.wiring = {chk_wiring_[0]->isChecked(), chk_wiring_[1]->isChecked(), chk_wiring_[2]->isChecked(),
                 chk_wiring_[3]->isChecked()};
  form.lower_limit = Utf8(txt_lower_->text());
  form.upper_limit = Utf8(txt_upper_->text());
  form.referencing_enabled = chk_referencing_->isChecked();
  form.referencing_direction =
      cmb_direction_->currentIndex() == 1 ? profile::ReferenceDirection::kUpper : profile::ReferenceDirection::kLower;
  form.referencing_speed = Utf8(txt_speed_->text());
  form.referencing_back_off = Utf8(txt_back_off_->text());
  form.referencing_at_start_up = chk_at_start_up_->isChecked();
  return form;
}

void frmAxisSettings::ShowAxis(AxisIndex axis) {
  shown_axis_ = axis;
  imported_.reset();
  if (cmb_axis_->currentIndex() != axis) cmb_axis_->setCurrentIndex(axis);
  const profile::ControllerProfile settings = InForce(axis);
  ShowForm(profile::ShowSettings(settings));
  ShowUnits(settings);

  const TravelLimits admin = AdminBound(axis);
  if (!admin.Any()) {
    lbl_admin_->setText(QStringLiteral("No administrator's bounds for this controller."));
  } else {
    const double factor = settings.mechanics.CountsPerMicron();
    const std::string unit = UnitSuffixFor(factor);
    const auto side = [&](const std::optional<std::int64_t>& counts) {
      return counts ? CountsInUnits(*counts, factor, unit) : QStringLiteral("none");
    };
    QString text = QStringLiteral("Administrator's bounds: lower %1, upper %2. Limits may narrow them, never widen "
                                  "them; an empty limit takes the bound.")
                       .arg(side(admin.lower_counts), side(admin.upper_counts));
    if (profile::MergeLimits(admin, settings.limits) != profile::MergeLimits({}, settings.limits) &&
        settings.limits.Any()) {
      text += QStringLiteral(" A saved limit lies beyond them: the bound holds instead.");
    }
    lbl_admin_->setText(text);
  }
  Say({}, false);
}

void frmAxisSettings::Say(const QString& text, bool refusal) {
  QPalette palette = lbl_message_->palette();
  palette.setColor(QPalette::WindowText, refusal ? QColor(Qt::red) : QApplication::palette().color(QPalette::WindowText));
  lbl_message_->setPalette(palette);
  lbl_message_->setText(text);
}

void frmAxisSettings::Apply() {
  const AxisIndex axis = shown_axis_;
  const auto k = static_cast<std::size_t>(axis);
  const profile::ControllerProfile in_force = InForce(axis);
  // An imported profile is read as if it were in force: its limits stay in
  // its counts, and its tuning and notes come with it.
  const profile::ControllerProfile& base = imported_ ? *imported_ : in_force;
  const std::string label = Utf8(AxisLabel(context_.tables, axis));
  const profile::SettingsReading reading =
      profile::ReadSettings(base, shown_, FormFromFields(), AdminBound(axis), label);
  if (!reading.settings) {
    Say(Text(reading.refusal), true);
    return;
  }
  profile::ControllerProfile next = *reading.settings;
  next.serial = in_force.serial;

  // Into the tables: every packet from the next one on carries it.
  modKVT_USB& tables = context_.tables;
  tables.RevPolarityBit[k] = next.wiring.reverse_motor_polarity ? usb::kRevPolarityBit : 0;
  tables.RevLimitBit[k] = next.wiring.reverse_limit_switch ? usb::kRevLimitBit : 0;
  tables.LimitActiveHiBit[k] = next.wiring.limit_switch_active_high ? usb::kLimitActiveHiBit : 0;
  tables.CancelOnErrorBit[k] = next.wiring.cancel_when_error ? usb::kCancelOnErrorBit : 0;
  const double factor = next.mechanics.CountsPerMicron();
  if (tables.CountsPerMicron[k] != factor) {
    const double previous = tables.CountsPerMicron[k];
    tables.CountsPerMicron[k] = factor;
    tables.UnitSuffix[k] = UnitSuffixFor(factor);
    main_.MechanicsChanged(axis, previous);
  }
  main_.SetTravelLimits(axis, profile::MergeLimits(AdminBound(axis), next.limits));
  if (imported_) SetSavedTuning(main_.TuningPanel(), axis, next.tuning);

  const bool kept = context_.profiles != nullptr && context_.profiles->Keeps(axis);
  if (context_.profiles != nullptr) context_.profiles->Update(axis, next);
  applied_[k] = next;
  ShowAxis(axis);
  QString said = QStringLiteral("Applied to axis %1.").arg(AxisLabel(tables, axis));
  said += kept ? QStringLiteral(" Kept in the controller's profile at the end of the run.")
               : QStringLiteral(" Not kept after this run: this controller has no profile to keep it in.");
  Say(said, false);
}

// Qt's own dialog on every desktop, window-modal, opened without a nested
// event loop: the polling goes on behind it. Like this window, it is not one
// of the console's own.
QFileDialog* frmAxisSettings::OpenFileDialog(const char* name, const QString& title, const QString& file,
                                             QFileDialog::AcceptMode mode) {
  auto* dialog = new QFileDialog(this, title, QDir(dialog_folder_).filePath(file),
                                 QStringLiteral("Profiles (*.toml);;All files (*)"));
  dialog->setObjectName(QString::fromLatin1(name));
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setAcceptMode(mode);
  if (mode == QFileDialog::AcceptOpen) dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  MarkOutsideWindow(*dialog);
  return dialog;
}

void frmAxisSettings::ChooseImportFile() {
  QFileDialog* dialog =
      OpenFileDialog("dlgImport", QStringLiteral("Import a controller's profile"), QString(), QFileDialog::AcceptOpen);
  connect(dialog, &QFileDialog::fileSelected, this, &frmAxisSettings::Import);
  dialog->open();
}

void frmAxisSettings::Import(const QString& path) {
  const AxisIndex axis = shown_axis_;
  const profile::ProfileLoad load = profile::LoadProfileFile(Utf8(path));
  switch (load.status) {
    case profile::ProfileLoad::Status::kNone:
      Say(path + QStringLiteral(": no such file. Nothing was imported."), true);
      return;
    case profile::ProfileLoad::Status::kRefused:
      Say(Text(load.message) + QStringLiteral(". Nothing was imported."), true);
      return;
    case profile::ProfileLoad::Status::kLoaded: break;
  }
  dialog_folder_ = QFileInfo(path).absolutePath();
  // The fields show the file's settings for the chosen controller; Apply
  // takes them as it takes anything typed.
  profile::ControllerProfile imported = *load.profile;
  const QString from_serial = Text(imported.serial);
  imported.serial = Utf8(Serial(axis));
  ShowForm(profile::ShowSettings(imported));
  ShowUnits(imported);
  imported_ = std::move(imported);
  Say(QStringLiteral("The profile of %1 from %2 is in the fields for axis %3 (%4): Apply takes it, with its tuning; "
                     "another axis drops it.")
          .arg(from_serial, path, AxisLabel(context_.tables, axis), Serial(axis)),
      false);
}

void frmAxisSettings::ChooseExportFile() {
  const QString name = QString::fromStdString(profile::ProfileFileName(Utf8(Serial(shown_axis_))));
  QFileDialog* dialog =
      OpenFileDialog("dlgExport", QStringLiteral("Export the controller's profile"), name, QFileDialog::AcceptSave);
  connect(dialog, &QFileDialog::fileSelected, this, &frmAxisSettings::Export);
  dialog->open();
}

void frmAxisSettings::Export(const QString& path) {
  const AxisIndex axis = shown_axis_;
  // The settings in force with the sliders as they stand, not unapplied
  // edits.
  profile::ControllerProfile settings = InForce(axis);
  settings.serial = Utf8(Serial(axis));
  settings.tuning = main_.SliderTuning(axis);
  settings.saved_at = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  const std::string text = profile::WriteProfile(settings);
  // Never a file that an import would refuse.
  const profile::ProfileReading check = profile::ReadProfile(text, Utf8(path));
  if (!check.profile) {
    Say(Text(check.error.message) + QStringLiteral(". Nothing was exported."), true);
    return;
  }
  QSaveFile file(path);
  const auto size = static_cast<qint64>(text.size());
  if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), size) != size || !file.commit()) {
    Say(path + QStringLiteral(": cannot be written (") + file.errorString() + QStringLiteral("). Nothing was exported."),
        true);
    return;
  }
  dialog_folder_ = QFileInfo(path).absolutePath();
  Say(QStringLiteral("Exported the profile of axis %1 (%2) to %3.").arg(AxisLabel(context_.tables, axis), Serial(axis), path),
      false);
}

AxisSettingsKey::AxisSettingsKey(std::function<void()> open, QObject* parent)
    : QObject(parent), open_(std::move(open)) {
  QApplication::instance()->installEventFilter(this);
}

AxisSettingsKey::~AxisSettingsKey() {
  if (QApplication::instance() != nullptr) QApplication::instance()->removeEventFilter(this);
}

bool AxisSettingsKey::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == frmAxisSettings::kKey && key->modifiers() == Qt::NoModifier &&
        QApplication::activeModalWidget() == nullptr && watched->isWidgetType()) {
      if (!key->isAutoRepeat()) open_();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace stage::ui
