// Motor Settings and the controllers' profiles: a controller with a profile
// starts with its saved mechanics and wiring in its column (the operator
// still confirms them with OK) and its tuning sliders at the saved
// positions, its travel limits checked on every target entered; OK saves
// what was confirmed. Without profiles (none saved yet,
// --no-profile, or no session at all) nothing here changes the window.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <cmath>

#include "stage/axis/mechanics.h"
#include "stage/axis/number_text.h"
#include "ui/common/profile_session.h"
#include "ui/main/frmMain.h"
#include "ui/select/frmSelect.h"
#include "ui/settings/saved_tuning.h"
#include "ui/tuning/frmXCtrl0.h"

namespace stage::ui {
namespace {

constexpr double kMaxProfileCounts = 2147483647;

}  // namespace

void frmSelect::LoadProfiles() {
  ProfileSession* session = context_.profiles;
  if (session == nullptr) return;
  QStringList serials;
  for (std::int32_t k = 0; k <= context_.tables.AxisCount; ++k) serials.append(cmbDevice->itemText(k));
  // With profiles off this only names the controllers (the administrator's
  // bounds are by serial); nothing is read.
  session->Load(serials);
  if (!session->Enabled()) return;

  for (std::int32_t k = 0; k <= context_.tables.AxisCount; ++k) {
    const profile::ControllerProfile* saved = session->Profile(k);
    if (saved == nullptr) continue;
    Text2[k]->setText(QString::fromStdString(std::to_string(saved->mechanics.counts_per_rotation)));
    Text3[k]->setText(QString::fromStdString(CanonicalNumberText(saved->mechanics.gearhead_ratio)));
    Text4[k]->setText(QString::fromStdString(CanonicalNumberText(saved->mechanics.pitch_um)));
    RecomputeAxis(k);
    Check1[k]->setChecked(saved->wiring.reverse_motor_polarity);
    Check2[k]->setChecked(saved->wiring.reverse_limit_switch);
    Check3[k]->setChecked(saved->wiring.limit_switch_active_high);
    Check4[k]->setChecked(saved->wiring.cancel_when_error);
  }

  if (session->Messages().isEmpty()) return;
  // Not modal: the operator reads it beside the columns it speaks of. Plain
  // text, since it quotes the file and the controller's product string.
  auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(), session->Messages().join(QStringLiteral("\n\n")),
                              QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("profileMessage"));
  box->setTextFormat(Qt::PlainText);
  box->setModal(false);
  box->setAttribute(Qt::WA_DeleteOnClose);
  // Once this window is up, so that the box stands over it.
  QTimer::singleShot(0, box, &QWidget::show);
}

void frmSelect::ApplyTuningProfiles() {
  ProfileSession* session = context_.profiles;
  auto* main = qobject_cast<frmMain*>(main_.get());
  if (session == nullptr || main == nullptr) return;
  frmXCtrl0& panel = main->TuningPanel();
  // Kept in counts: the axis's unit only words the refusal. The
  // administrator's bounds hold with --no-profile too: they are not the
  // operator's to switch off.
  for (AxisIndex axis = 0; axis < panel.RowCount(); ++axis) main->SetTravelLimits(axis, session->LimitsInForce(axis));
  if (!session->Enabled()) return;
  for (AxisIndex axis = 0; axis < panel.RowCount(); ++axis) {
    const profile::ControllerProfile* saved = session->Profile(axis);
    if (saved == nullptr) continue;
    SetSavedTuning(panel, axis, saved->tuning);
  }
  session->SetTuningSource([main](int axis) { return main->SliderTuning(axis); });
}

void frmSelect::ConfirmProfiles() {
  ProfileSession* session = context_.profiles;
  // Confirmed with profiles off too: the Axis Settings window starts there.
  if (session == nullptr || context_.exit.Ended()) return;
  for (std::int32_t k = 0; k <= context_.tables.AxisCount; ++k) {
    // The fields as they show now, read by the window's own rule.
    profile::Mechanics mechanics;
    // A count beyond what a profile holds is left to the check before saving.
    const double counts = AcceptCountsPerRotationField(Text2[k]->text().toStdString()).counts;
    mechanics.counts_per_rotation = std::abs(counts) <= kMaxProfileCounts ? static_cast<std::int64_t>(counts) : 0;
    mechanics.gearhead_ratio = AcceptMechanicsField(Text3[k]->text().toStdString()).value;
    mechanics.pitch_um = AcceptMechanicsField(Text4[k]->text().toStdString()).value;
    const profile::Wiring wiring{Check1[k]->isChecked(), Check2[k]->isChecked(), Check3[k]->isChecked(),
                                 Check4[k]->isChecked()};
    session->Confirm(k, mechanics, wiring);
  }
  session->SaveConfirmed();
  // Every controller is open: the axes whose profiles ask for referencing at
  // start-up are offered now, in one question.
  if (auto* main = qobject_cast<frmMain*>(main_.get())) main->OfferReferencingAtStartUp();
}

}  // namespace stage::ui
