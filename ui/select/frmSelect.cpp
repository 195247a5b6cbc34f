#include "ui/select/frmSelect.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "stage/axis/mechanics.h"
#include "stage/axis/modKVT_USB.h"
#include "stage/axis/number_text.h"
#include "ui/common/accessible_names.h"
#include "ui/common/command_button.h"
#include "ui/common/controller_names.h"
#include "ui/common/family_elements.h"
#include "ui/common/fonts.h"
#include "ui/common/number_refusal.h"
#include "ui/common/twips.h"
#include "ui/common/window_fit.h"
#include "ui/main/frmMain.h"

namespace stage::ui {

namespace {

// Designed client area; the height never changes.
constexpr double kClientWidthTwips = 4080;
constexpr double kClientHeightTwips = 5280;
// Outer width with no column added: the client plus the frame allowance.
constexpr std::int64_t kBaseOuterWidthTwips = 4195;
constexpr double kButtonWidthTwips = 1095;

constexpr std::uint32_t kTimeoutMs = 10000;

// The system's 3-D light colour behind the read-only factor field.
constexpr std::uint32_t kThreeDLightBgr = 0xE3E3E3;

QString Latin1(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QLabel* MakeLabel(QWidget* parent, const QString& caption) {
  auto* label = new QLabel(caption, parent);
  // Product strings are shown as they are, never as markup.
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(true);
  return label;
}

QCheckBox* CopyCheckBox(const QCheckBox& element0, int index) {
  auto* copy = new QCheckBox(element0.text(), element0.parentWidget());
  copy->setVisible(false);
  NameElement(copy, element0.objectName().toLatin1().constData(), index);
  if (element0.testAttribute(Qt::WA_SetFont)) copy->setFont(element0.font());
  copy->setChecked(element0.isChecked());
  const QRectF twips = TwipsGeometry(&element0);
  PlaceTwips(copy, twips.left(), twips.top(), twips.width(), twips.height());
  return copy;
}

template <typename T>
void AppendCopy(ControlFamily<T>& family, std::int32_t k) {
  family.Append(CopyElement(*family[0], k));
}

void AppendCopy(ControlFamily<QCheckBox>& family, std::int32_t k) {
  family.Append(CopyCheckBox(*family[0], k));
}

}  // namespace

frmSelect::frmSelect(ConsoleContext context, QWidget* parent)
    : frmSelect(
          context, [](ConsoleContext c) -> std::unique_ptr<QWidget> { return std::make_unique<frmMain>(c); },
          parent) {}

frmSelect::frmSelect(ConsoleContext context, MainWindowFactory make_main_window, QWidget* parent)
    : QWidget(parent), context_(context), make_main_window_(std::move(make_main_window)) {
  BuildDesignedControls();
  // The designed client size; the load step sets the outer width.
  fit_ = new WindowFit(this);
  Load();
}

frmSelect::~frmSelect() = default;

void frmSelect::BuildDesignedControls() {
  setWindowTitle(QStringLiteral("Motor Settings"));
  // MS Sans Serif's substitute is wider than the original: at 8 pt "Reverse
  // Motor Polarity" would not fit its designed check box.
  setFont(DesignFont("MS Sans Serif", 7.5));
  resize(TwipsToPixels(kClientWidthTwips), TwipsToPixels(kClientHeightTwips));

  struct RowCaption {
    ControlFamily<QLabel>* family;
    const char* name;
    const char* caption;
    double top, width, height;
  };
  const RowCaption captions[] = {
      {&Label1, "Label1", "Device / Axis", 0, 1095, 255},
      {&Label2, "Label2", "Encoder Counts per Micron", 600, 1335, 375},
      {&Label3, "Label3", "Encoder Counts per Motor Rotation", 1200, 1575, 375},
      {&Label4, "Label4", "Gearhead Ratio", 1800, 1455, 375},
      {&Label5, "Label5", "Leadscrew Pitch Microns per Rotation", 2400, 1575, 375},
  };
  for (const RowCaption& row : captions) {
    QLabel* label = MakeLabel(this, QString::fromLatin1(row.caption));
    PlaceTwips(label, 240, row.top, row.width, row.height);
    NameElement(label, row.name, 0);
    row.family->Append(label);
  }

  constexpr double kColumnLeft = 2040;
  QLabel* device = MakeLabel(this, QString());
  device->setFont(DesignFont("MS Sans Serif", 12, true));
  PlaceTwips(device, kColumnLeft, 0, 1815, 375);
  NameElement(device, "Label6", 0);
  Label6.Append(device);

  struct Field {
    ControlFamily<QLineEdit>* family;
    const char* name;
    const char* text;
    double top;
  };
  const Field fields[] = {
      {&Text1, "Text1", "", 600},
      {&Text2, "Text2", kDefaultCountsPerRotationText, 1200},
      {&Text3, "Text3", kDefaultGearheadRatioText, 1800},
      {&Text4, "Text4", kDefaultPitchText, 2400},
  };
  for (const Field& field : fields) {
    auto* edit = new QLineEdit(QString::fromLatin1(field.text), this);
    PlaceTwips(edit, kColumnLeft, field.top, 1815, 375);
    NameElement(edit, field.name, 0);
    field.family->Append(edit);
  }
  Text1[0]->setReadOnly(true);
  QPalette factor_palette = Text1[0]->palette();
  factor_palette.setColor(QPalette::Base, BgrColor(kThreeDLightBgr));
  Text1[0]->setPalette(factor_palette);

  struct Option {
    ControlFamily<QCheckBox>* family;
    const char* name;
    const char* caption;
    double top, width, height;
  };
  const Option options[] = {
      {&Check1, "Check1", "Reverse Motor Polarity", 3000, 1935, 195},
      {&Check2, "Check2", "Reverse Limit Switch", 3240, 1935, 195},
      {&Check3, "Check3", "Limit Sw Active on HI", 3480, 1935, 195},
      {&Check4, "Check4", "Cancel When Error", 3720, 1695, 255},
  };
  for (const Option& option : options) {
    auto* check = new QCheckBox(QString::fromLatin1(option.caption), this);
    PlaceTwips(check, kColumnLeft, option.top, option.width, option.height);
    NameElement(check, option.name, 0);
    option.family->Append(check);
  }

  // The designed left edge of both buttons is replaced by the centring of
  // the load step.
  cmdOK = new CommandButton(QStringLiteral("OK"), this);
  cmdOK->setObjectName(QStringLiteral("cmdOK"));
  PlaceTwips(cmdOK, 1560, 4320, kButtonWidthTwips, 375);
  cmdCancel = new CommandButton(QStringLiteral("Cancel"), this);
  cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
  PlaceTwips(cmdCancel, 1560, 4800, kButtonWidthTwips, 375);

  // A store of texts: it stands below the client area, out of the operator's
  // sight, and the program reads its entries back.
  cmbDevice = new QComboBox(this);
  cmbDevice->setObjectName(QStringLiteral("cmbDevice"));
  PlaceTwips(cmbDevice, 1920, 5880, 1815, 315);

  connect(cmdOK, &CommandButton::mouseDown, this, [this](Qt::MouseButton) { OnOkMouseDown(); });
  connect(cmdOK, &QPushButton::clicked, this, [this] { OnOkClick(); });
  connect(cmdCancel, &QPushButton::clicked, this, [this] { OnCancelClick(); });
}

void frmSelect::SetOuterWidth(double width_twips) {
  // Applied again once the window manager's frame is known.
  fit_->SetOuterWidthTwips(width_twips);
}

void frmSelect::Load() {
  const bool found = EnumerateDevices();
  if (!found) {
    hide();
    // No parent: the box stands in the middle of the screen, not at the
    // corner where this never-shown window would have been.
    context_.exit.Fatal(nullptr, QStringLiteral("Error finding USB device. Aborting application.\n") +
                                     QLatin1String(kNoControllerAdvice));
    return;
  }
  modKVT_USB& tables = context_.tables;
  for (std::int32_t k = 0; k <= tables.AxisCount; ++k) {
    cmbDevice->setCurrentIndex(k);
    const QString product = cmbDevice->currentText();
    // A blank header would leave the operator guessing which box it is.
    Label6[k]->setText(ControllerCaption(tables, k));
    tables.AxisName[static_cast<std::size_t>(k)] =
        AxisNameFromProductString(product.toLatin1().toStdString());
    InitialiseColumn(k);
    NameColumn(k);
  }
  LoadProfiles();
  // Enter in a mechanics field, and leaving it, recompute its axis.
  for (const auto* family : {&Text2, &Text3, &Text4}) {
    for (QLineEdit* field : *family) field->installEventFilter(this);
  }
  SetTabOrder();
  // Focus goes to this box when the window is first activated.
  Check4[0]->setFocus();
}

bool frmSelect::EnumerateDevices() {
  modKVT_USB& tables = context_.tables;
  cmbDevice->clear();
  std::uint32_t count = 0;
  // Judged on the whole status: 0x10000 keeps 0 in LastUsbStatus, yet fails.
  const int status = context_.devices.GetNumDevices(count);
  tables.StoreStatus(status);
  tables.DeviceCount =
      static_cast<std::int32_t>(std::min<std::uint32_t>(count, std::numeric_limits<std::int32_t>::max()));
  tables.AxisCount = tables.DeviceCount - 1;
  // A count of 0 would leave no axis at all, and more than kMaxControllers
  // is no stage: both are treated like a failed count.
  if (status != 0 || count == 0 || count > kMaxControllers) {
    cmbDevice->setCurrentIndex(-1);
    return false;
  }

  // 64-bit, so any count the library reports widens the window instead of
  // wrapping round.
  const double outer_width_twips =
      static_cast<double>(std::int64_t{ColumnPitch} * tables.AxisCount + kBaseOuterWidthTwips);
  SetOuterWidth(outer_width_twips);
  const double button_left_twips = outer_width_twips / 2 - kButtonWidthTwips / 2;
  SetLeftTwips(cmdOK, button_left_twips);
  SetLeftTwips(cmdCancel, button_left_twips);

  AllocateAxisTables(tables.AxisCount);
  if (tables.AxisCount != 0) ArrangeAxisColumns(tables.AxisCount);

  ProductStringBuffer.fill(0);
  for (std::int32_t k = 0; k <= tables.AxisCount; ++k) {
    // The buffer is not cleared between controllers: a failed call leaves the
    // previous string in it.
    const auto device = static_cast<std::uint32_t>(k);
    tables.StoreStatus(context_.devices.GetProductString(device, ProductStringBuffer, 0));
    const auto axis = static_cast<std::size_t>(k);
    tables.ProductString[axis] = BufferToString(ProductStringBuffer);
    tables.DevicePort[axis] = context_.devices.DevicePort(device);
    cmbDevice->addItem(Latin1(tables.ProductString[axis]));
  }
  cmbDevice->setCurrentIndex(0);
  return true;
}

void frmSelect::AllocateAxisTables(std::int32_t n) {
  context_.tables.AllocateAxisTables(n);
  for (std::int32_t k = 1; k <= n; ++k) {
    AppendCopy(Check1, k);
    AppendCopy(Check2, k);
    AppendCopy(Check3, k);
    AppendCopy(Check4, k);
    // The row captions' copies stay hidden for good.
    AppendCopy(Label1, k);
    AppendCopy(Label2, k);
    AppendCopy(Label3, k);
    AppendCopy(Label4, k);
    AppendCopy(Label5, k);
    AppendCopy(Label6, k);
    AppendCopy(Text1, k);
    AppendCopy(Text2, k);
    AppendCopy(Text3, k);
    AppendCopy(Text4, k);
  }
}

void frmSelect::ArrangeAxisColumns(std::int32_t n) {
  const auto place = [n](const auto& family) {
    const double left0_twips = TwipsGeometry(family[0]).left();
    for (std::int32_t k = 1; k <= n; ++k) {
      SetLeftTwips(family[k], left0_twips + static_cast<double>(std::int64_t{k} * ColumnPitch));
      family[k]->show();
    }
  };
  // Column by column would do the same; the families go one after the other.
  place(Check1);
  place(Check2);
  place(Check3);
  place(Check4);
  place(Label6);
  place(Text1);
  place(Text2);
  place(Text3);
  place(Text4);
}

void frmSelect::SetTabOrder() {
  // Each column walks up from "Cancel When Error" to the factor, column after
  // column; then the two buttons and the device list.
  QWidget* previous = nullptr;
  const auto chain = [&previous](QWidget* next) {
    if (previous != nullptr) QWidget::setTabOrder(previous, next);
    previous = next;
  };
  for (qsizetype k = 0; k < Check4.size(); ++k) {
    const auto i = static_cast<int>(k);
    chain(Check4[i]);
    chain(Check3[i]);
    chain(Check2[i]);
    chain(Check1[i]);
    chain(Text4[i]);
    chain(Text3[i]);
    chain(Text2[i]);
    chain(Text1[i]);
  }
  chain(cmdCancel);
  chain(cmdOK);
  chain(cmbDevice);
}

void frmSelect::InitialiseColumn(std::int32_t k) {
  Text2[k]->setText(QString::fromLatin1(kDefaultCountsPerRotationText));
  Text3[k]->setText(QString::fromLatin1(kDefaultGearheadRatioText));
  Text4[k]->setText(QString::fromLatin1(kDefaultPitchText));
  RecomputeAxis(k);
}

void frmSelect::NameColumn(std::int32_t k) {
  const QString axis = AxisLabel(context_.tables, k);
  NameForAxis(Label6[k], axis, "device");
  NameForAxis(Text1[k], axis, "Encoder Counts per Micron");
  NameForAxis(Text2[k], axis, "Encoder Counts per Motor Rotation");
  NameForAxis(Text3[k], axis, "Gearhead Ratio");
  NameForAxis(Text4[k], axis, "Leadscrew Pitch Microns per Rotation");
  NameForAxis(Check1[k], axis, "Reverse Motor Polarity");
  NameForAxis(Check2[k], axis, "Reverse Limit Switch");
  NameForAxis(Check3[k], axis, "Limit Sw Active on HI");
  NameForAxis(Check4[k], axis, "Cancel When Error");
}

void frmSelect::AcceptField(QLineEdit* field) {
  const std::string text = field->text().toStdString();
  if (field->objectName() == QLatin1String("Text2")) {
    field->setText(Latin1(AcceptCountsPerRotationField(text).text));
  } else {
    field->setText(Latin1(AcceptMechanicsField(text).text));
  }
}

QLineEdit* frmSelect::NotUnderstoodField(std::int32_t k) const {
  for (QLineEdit* field : {Text2[k], Text3[k], Text4[k]}) {
    if (!AcceptMechanicsField(field->text().toStdString()).understood) return field;
  }
  return nullptr;
}

bool frmSelect::RecomputeAxis(std::int32_t k) {
  if (NotUnderstoodField(k) != nullptr) return false;
  const CountsPerRotationField counts = AcceptCountsPerRotationField(Text2[k]->text().toStdString());
  Text2[k]->setText(Latin1(counts.text));
  const AcceptedField gearhead = AcceptMechanicsField(Text3[k]->text().toStdString());
  Text3[k]->setText(Latin1(gearhead.text));
  const AcceptedField pitch = AcceptMechanicsField(Text4[k]->text().toStdString());
  Text4[k]->setText(Latin1(pitch.text));

  const double factor = ComputeCountsPerMicron(counts.counts, gearhead.value, pitch.value);
  context_.tables.CountsPerMicron[static_cast<std::size_t>(k)] = factor;
  Text1[k]->setText(Latin1(CanonicalNumberText(factor)));
  return true;
}

void frmSelect::RefuseField(QLineEdit* field) {
  if (refusal_ != nullptr) return;
  const std::int32_t k = field->property(kIndexProperty).toInt();
  const QLabel* row_caption = field->objectName() == QLatin1String("Text2")   ? Label3[0]
                              : field->objectName() == QLatin1String("Text3") ? Label4[0]
                                                                              : Label5[0];
  const QString message = QStringLiteral("%1 of axis %2: %3 is not understood: %4")
                              .arg(row_caption->text(), AxisLabel(context_.tables, k),
                                   QuotedEntry(field->text()), AmbiguousCommaAdvice());
  // Over this window only, and without an event loop of its own: the
  // refusal may come while the focus moves.
  refusal_ = new QMessageBox(QMessageBox::Warning, windowTitle(), message, QMessageBox::Ok, this);
  refusal_->setTextFormat(Qt::PlainText);
  refusal_->setAttribute(Qt::WA_DeleteOnClose);
  refusal_->setWindowModality(Qt::WindowModal);
  const QPointer<QLineEdit> refused = field;
  connect(refusal_, &QMessageBox::finished, this, [this, refused] {
    // Still "up" while the focus goes back: the field it leaves must not
    // refuse again.
    activateWindow();
    if (refused != nullptr) refused->setFocus(Qt::OtherFocusReason);
    refusal_ = nullptr;
  });
  refusal_->open();
}

void frmSelect::FieldLosesFocus(QLineEdit* field, Qt::FocusReason reason) {
  // The field keeps the focus behind a menu, another window or the refusal
  // itself, and comes back to it.
  if (reason == Qt::PopupFocusReason || reason == Qt::ActiveWindowFocusReason) return;
  if (refusal_ != nullptr) return;
  // Once OK has handed over, the factors are the main window's.
  if (main_ || context_.exit.Ended()) return;
  const std::int32_t k = field->property(kIndexProperty).toInt();
  if (RecomputeAxis(k)) return;
  // Cancel takes nothing typed; OK refuses the field again.
  if (QApplication::focusWidget() == cmdCancel) return;
  RefuseField(NotUnderstoodField(k));
}

bool frmSelect::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    auto* field = qobject_cast<QLineEdit*>(watched);
    if (field != nullptr && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
      const std::int32_t k = field->property(kIndexProperty).toInt();
      if (QLineEdit* refused = NotUnderstoodField(k)) {
        RefuseField(refused);
      } else {
        AcceptField(field);
        RecomputeAxis(k);
      }
      return true;
    }
  }
  // Leaving a field (Tab, a click elsewhere) recomputes its axis too, so the
  // factor shown is always the factor OK uses.
  if (event->type() == QEvent::FocusOut) {
    auto* field = qobject_cast<QLineEdit*>(watched);
    if (field != nullptr) FieldLosesFocus(field, static_cast<QFocusEvent*>(event)->reason());
  }
  return QWidget::eventFilter(watched, event);
}

void frmSelect::OnOkMouseDown() {
  QLineEdit* refused = nullptr;
  for (std::int32_t k = 0; k <= context_.tables.AxisCount; ++k) {
    if (!RecomputeAxis(k) && refused == nullptr) refused = NotUnderstoodField(k);
  }
  if (refused != nullptr) {
    cmdOK->CancelClick();
    RefuseField(refused);
  }
}

void frmSelect::OnOkClick() {
  modKVT_USB& tables = context_.tables;
  // No controller is opened while a field holds a number that is not
  // understood (the keyboard clicks OK without the mouse's recompute).
  for (std::int32_t k = 0; k <= tables.AxisCount; ++k) {
    if (QLineEdit* refused = NotUnderstoodField(k)) {
      RefuseField(refused);
      return;
    }
  }
  usb::DeviceLibrary& devices = context_.devices;
  tables.StoreStatus(devices.SetTimeouts(kTimeoutMs, kTimeoutMs));

  for (std::int32_t k = 0; k <= tables.AxisCount; ++k) {
    const auto axis = static_cast<std::size_t>(k);
    usb::Handle handle = tables.DeviceHandle[axis];
    const int status = devices.Open(static_cast<std::uint32_t>(k), handle);
    tables.StoreStatus(status);
    // Judged on the whole status (0x10000 keeps 0 in LastUsbStatus), and a
    // "success" without a usable handle is a failure: no handle 0, and no
    // handle another controller already has, so nothing is closed twice.
    const auto opened_before = tables.DeviceHandle.begin() + static_cast<std::ptrdiff_t>(axis);
    const bool refused = status != 0 || handle == 0 ||
                         std::find(tables.DeviceHandle.begin(), opened_before, handle) != opened_before;
    tables.DeviceHandle[axis] = refused ? 0 : handle;
    if (refused) {
      // The controllers already open are given back before the operator
      // sees the message: the program ends right after it.
      for (std::size_t opened = 0; opened < axis; ++opened) {
        devices.Close(tables.DeviceHandle[opened]);
        tables.DeviceHandle[opened] = 0;
      }
      // Named by its serial number, or by its port when the serial cannot
      // be read. The backend may know the cause and its fix (access rights,
      // say): one more line under the designed text.
      QString message = QStringLiteral("Error opening device: ") + ControllerCaption(tables, k) + QStringLiteral(". ") +
                        ControllerSentence(tables, k, true) +
                        QStringLiteral(" Application is aborting. Reset hardware and try again.");
      const std::string advice = devices.FailureAdvice();
      if (!advice.empty()) message += QLatin1Char('\n') + QString::fromStdString(advice);
      hide();
      context_.exit.Fatal(this, message);
      return;
    }

    tables.RevPolarityBit[axis] = Check1[k]->isChecked() ? 4 : 0;
    tables.RevLimitBit[axis] = Check2[k]->isChecked() ? 2 : 0;
    tables.LimitActiveHiBit[axis] = Check3[k]->isChecked() ? 1 : 0;
    tables.CancelOnErrorBit[axis] = Check4[k]->isChecked() ? 8 : 0;

    // The first pass builds and shows the main window while only
    // controller 0 is open; later passes find both windows as they are.
    hide();
    if (!main_) {
      main_ = make_main_window_(context_);
      main_->show();
      if (context_.exit.Ended()) return;
      ApplyTuningProfiles();
    }
  }
  ConfirmProfiles();
}

void frmSelect::OnCancelClick() { context_.exit.End(0); }

void frmSelect::EndProgram() {
  if (context_.exit.Ended()) {
    // A fatal message is up: the fatal end, closing nothing.
    context_.exit.End(EXIT_FAILURE);
  } else if (main_) {
    // The main window's close is Exit: every controller closed in order.
    main_->close();
  } else {
    context_.exit.End(0);  // like Cancel: nothing has been opened
  }
}

void frmSelect::closeEvent(QCloseEvent* event) {
  // The title-bar close ends the program like Cancel. Once OK has opened the
  // controllers the window is hidden, but a window manager can still close
  // it: then it ends like Exit.
  event->accept();
  EndProgram();
}

}  // namespace stage::ui
