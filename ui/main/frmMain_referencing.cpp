// The main window's entry points for referencing; the run itself is
// ReferencingRunner's, driven from the polling cycle.
#include "ui/main/frmMain.h"
#include "ui/main/referencing_runner.h"

namespace stage::ui {

void frmMain::StartReferencing(AxisIndex axis) {
  if (!constructed_) return;
  referencing_->Ask(axis);
}

void frmMain::OfferReferencingAtStartUp() {
  if (!constructed_) return;
  referencing_->OfferAtStartUp();
}

}  // namespace stage::ui
